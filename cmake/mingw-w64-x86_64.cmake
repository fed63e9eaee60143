# Cross-build for 64-bit Windows with Debian's mingw-w64 (the posix-threads variant, which
# has std::thread): cmake --preset windows.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(_vmod_triple x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${_vmod_triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_vmod_triple}-g++-posix)
set(CMAKE_RC_COMPILER ${_vmod_triple}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${_vmod_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The programs run alone: the compiler's runtime (libstdc++, libgcc, winpthread) is linked in.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Programs built here run through Wine on the build host (tests, try_run).
find_program(VMOD_WINE wine)
if(VMOD_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VMOD_WINE})
endif()
