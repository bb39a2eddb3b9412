# Cross-build for Windows x64 with the Debian mingw-w64 tool chain (POSIX
# threads variant, which std::thread and std::mutex need):
#   cmake -S . -B build-win64 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
# Programs built for the tests run under Wine (CMAKE_CROSSCOMPILING_EMULATOR).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VLMU_MINGW_PREFIX x86_64-w64-mingw32)
find_program(CMAKE_C_COMPILER NAMES ${VLMU_MINGW_PREFIX}-gcc-posix ${VLMU_MINGW_PREFIX}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${VLMU_MINGW_PREFIX}-g++-posix ${VLMU_MINGW_PREFIX}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${VLMU_MINGW_PREFIX}-windres REQUIRED)
find_program(CMAKE_AR NAMES ${VLMU_MINGW_PREFIX}-ar REQUIRED)
find_program(CMAKE_RANLIB NAMES ${VLMU_MINGW_PREFIX}-ranlib REQUIRED)
find_program(VLMU_MINGW_OBJDUMP NAMES ${VLMU_MINGW_PREFIX}-objdump)

set(CMAKE_FIND_ROOT_PATH /usr/${VLMU_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test programs run under Wine.
find_program(VLMU_WINE NAMES wine64 wine)
if(VLMU_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VLMU_WINE})
endif()
