# Cross build of the 32-bit Windows library with mingw-w64 (Debian packages
# gcc-mingw-w64-i686, g++-mingw-w64-i686). Standard mutexes in the library
# need the compiler's posix thread model (winpthreads); like the rest of the
# compiler's runtime it is linked into the DLL, which so depends on nothing
# beyond KERNEL32.dll and the Microsoft runtime.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(HB_MINGW_TRIPLET i686-w64-mingw32)
set(HB_MINGW_THREAD_MODEL posix CACHE STRING "mingw-w64 thread model: win32 or posix")
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
