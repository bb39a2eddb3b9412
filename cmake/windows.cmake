# The Windows x64 build (included by the top-level CMakeLists.txt when the
# target system is Windows): velmora_dfu_x64.dll, VelmoraFlashTool_x64.exe
# and the tests that run under Wine. The Linux driver service, its tools and
# the Linux tests are not part of it.
add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX)
# The DLL beside the programs that load it.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/bin)

add_subdirectory(lib)
add_subdirectory(app)
add_subdirectory(tests/win32)
