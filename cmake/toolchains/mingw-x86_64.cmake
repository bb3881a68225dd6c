# Cross build for 64-bit Windows with mingw-w64 (Debian packages
# gcc-mingw-w64-x86-64, g++-mingw-w64-x86-64): the build in which the test
# suite runs under wine64. The tests use std::thread, which this compiler
# offers in its posix thread model; everything is linked statically so that
# the programs run without any DLL of the toolchain.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(HB_MINGW_TRIPLET x86_64-w64-mingw32)
set(HB_MINGW_THREAD_MODEL posix CACHE STRING "mingw-w64 thread model: win32 or posix")
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)

# Test programs run under Wine; ctest prefixes their command with this.
find_program(HB_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_DEFAULT_PATH)
find_program(HB_WINE NAMES wine64 wine)
if(HB_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${HB_WINE})
endif()
