# Shared part of the mingw-w64 toolchain files; expects HB_MINGW_TRIPLET and
# HB_MINGW_THREAD_MODEL.
set(CMAKE_C_COMPILER ${HB_MINGW_TRIPLET}-gcc-${HB_MINGW_THREAD_MODEL})
set(CMAKE_CXX_COMPILER ${HB_MINGW_TRIPLET}-g++-${HB_MINGW_THREAD_MODEL})
set(CMAKE_RC_COMPILER ${HB_MINGW_TRIPLET}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${HB_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The compiler's own runtime (libgcc, libstdc++, winpthreads) goes into each
# binary: a DLL or program needs nothing of the toolchain at run time.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
