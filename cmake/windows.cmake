# The Windows x64 build (included by the top-level CMakeLists.txt when the
# target system is Windows): velmora_dfu_x64.dll, VelmoraFlashTool_x64.exe
# and the tests that run under Wine. The Linux driver service, its tools and
# the Linux tests are not part of it.
add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX)
# The DLL beside the programs that load it.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/bin)

# Release builds (every configuration but Debug) ship the DLL and the
# program without debug sections and symbol table (strip -s, as a Windows
# release build carries neither). Both go into <file>.debug beside them,
# which the file names in .gnu_debuglink, so a debugger finds it.
find_program(VLMU_MINGW_OBJCOPY NAMES ${VLMU_MINGW_PREFIX}-objcopy REQUIRED)
function(vlmu_separate_debug_info target)
  if(CMAKE_BUILD_TYPE STREQUAL "Debug")
    return()
  endif()
  set(file $<TARGET_FILE:${target}>)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${VLMU_MINGW_OBJCOPY} --only-keep-debug ${file} ${file}.debug
    COMMAND ${VLMU_MINGW_OBJCOPY} --strip-all ${file}
    COMMAND ${VLMU_MINGW_OBJCOPY} --add-gnu-debuglink=$<TARGET_FILE_NAME:${target}>.debug ${file}
    WORKING_DIRECTORY $<TARGET_FILE_DIR:${target}>
    COMMENT "Debug information of $<TARGET_FILE_NAME:${target}> into its .debug file"
    VERBATIM)
endfunction()

add_subdirectory(lib)
add_subdirectory(app)
if(VLMU_BUILD_TESTS)
  add_subdirectory(tests/win32)
endif()
