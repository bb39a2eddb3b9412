# velmora_dfu_x64.dll: no "lib" prefix, an import library
# (libvelmora_dfu_x64.dll.a), exactly the twelve exports of the .def file, a
# version resource, and the C/C++ run-times and winpthread linked in so that
# it imports system DLLs only.
set(VLMU_WIN32_API_DIR ${PROJECT_SOURCE_DIR}/lib/api/win32)
target_sources(velmora_dfu_x64 PRIVATE
  ${VLMU_WIN32_API_DIR}/DllMain.cpp
  ${VLMU_WIN32_API_DIR}/velmora_dfu_x64.def
  ${VLMU_WIN32_API_DIR}/velmora_dfu_x64.rc)
target_include_directories(velmora_dfu_x64 PRIVATE ${PROJECT_SOURCE_DIR}/lib)
set_target_properties(velmora_dfu_x64 PROPERTIES PREFIX "" IMPORT_PREFIX "lib" IMPORT_SUFFIX ".dll.a")
target_link_options(velmora_dfu_x64 PRIVATE -static)
vlmu_separate_debug_info(velmora_dfu_x64)
