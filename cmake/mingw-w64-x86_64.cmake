# Cross-builds Windows x86-64 programs with Debian's mingw-w64. The posix flavour of the compilers
# is the one whose C++ library has std::thread and std::mutex.
#
# NIMBAR_WINDOWS_PREFIX names the folder that holds the cross-built SDL2, FFmpeg, opus and
# GoogleTest (scripts/build-windows.sh makes it). pkg-config must look only there:
# PKG_CONFIG_LIBDIR=<prefix>/lib/pkgconfig.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${MINGW_TRIPLET}-windres)

# Try-compile projects read the toolchain file again; they need the prefix too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES NIMBAR_WINDOWS_PREFIX)
set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLET} ${NIMBAR_WINDOWS_PREFIX})
# Tools run here, on Linux; libraries, headers and packages come from the Windows side only.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
