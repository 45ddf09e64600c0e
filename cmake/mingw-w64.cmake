# Cross-compiles for 64-bit Windows with Debian's mingw-w64, the
# posix-threads flavour (its winpthreads gives the client std::thread and
# the pthread calls it shares with the Linux build):
#   cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
# The OpenSSL and libxml2 built for Windows by scripts/build-windows-deps.sh
# are found through KESTROVA_WINDOWS_DEPS (the prefix that script prints
# with --print-prefix), or the environment variable of the same name.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KESTROVA_MINGW_TRIPLE x86_64-w64-mingw32)
find_program(CMAKE_C_COMPILER NAMES ${KESTROVA_MINGW_TRIPLE}-gcc-posix ${KESTROVA_MINGW_TRIPLE}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${KESTROVA_MINGW_TRIPLE}-g++-posix ${KESTROVA_MINGW_TRIPLE}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${KESTROVA_MINGW_TRIPLE}-windres)
find_program(CMAKE_AR NAMES ${KESTROVA_MINGW_TRIPLE}-gcc-ar-posix ${KESTROVA_MINGW_TRIPLE}-ar)
find_program(CMAKE_RANLIB NAMES ${KESTROVA_MINGW_TRIPLE}-gcc-ranlib-posix ${KESTROVA_MINGW_TRIPLE}-ranlib)

if(NOT KESTROVA_WINDOWS_DEPS AND DEFINED ENV{KESTROVA_WINDOWS_DEPS})
  set(KESTROVA_WINDOWS_DEPS $ENV{KESTROVA_WINDOWS_DEPS})
endif()
# try_compile projects see the same variable.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KESTROVA_WINDOWS_DEPS)

set(CMAKE_FIND_ROOT_PATH /usr/${KESTROVA_MINGW_TRIPLE} ${KESTROVA_WINDOWS_DEPS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config must read the Windows libraries' .pc files, never the host's.
if(KESTROVA_WINDOWS_DEPS)
  set(ENV{PKG_CONFIG_LIBDIR} ${KESTROVA_WINDOWS_DEPS}/lib/pkgconfig)
  set(ENV{PKG_CONFIG_PATH} "")
  set(ENV{PKG_CONFIG_SYSROOT_DIR} "")
endif()

# Tests of the build run the .exe under Wine where it is installed.
find_program(KESTROVA_WINE NAMES wine64 wine)
if(KESTROVA_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KESTROVA_WINE})
endif()
