# Cross-build for 32-bit Windows with Debian's mingw-w64 (package g++-mingw-w64-i686):
#   cmake -S . -B build-win32 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-i686.cmake
# The posix thread model is used (the C++ threads of the simulator need it); its runtime, like
# the C++ and GCC runtimes, is linked statically, so the DLLs and programs need only Windows'
# own DLLs (and the module libusb0.dll). Floating point uses SSE2, as on x86-64, so that the
# module computes the same floats as the Linux build.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(_zalvo_mingw i686-w64-mingw32)
find_program(_zalvo_mingw_cxx NAMES ${_zalvo_mingw}-g++-posix ${_zalvo_mingw}-g++ REQUIRED)
find_program(_zalvo_mingw_cc NAMES ${_zalvo_mingw}-gcc-posix ${_zalvo_mingw}-gcc REQUIRED)
set(CMAKE_C_COMPILER ${_zalvo_mingw_cc})
set(CMAKE_CXX_COMPILER ${_zalvo_mingw_cxx})
set(CMAKE_RC_COMPILER ${_zalvo_mingw}-windres)
set(CMAKE_DLLTOOL ${_zalvo_mingw}-dlltool)

set(CMAKE_FIND_ROOT_PATH /usr/${_zalvo_mingw})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_C_FLAGS_INIT "-msse2 -mfpmath=sse")
set(CMAKE_CXX_FLAGS_INIT "-msse2 -mfpmath=sse")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Build-time programs of the build itself (the placeholder image generator) run under Wine.
find_program(_zalvo_wine NAMES wine)
if(_zalvo_wine)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${_zalvo_wine})
endif()
