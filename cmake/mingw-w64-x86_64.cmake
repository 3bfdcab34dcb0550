# Cross-build for 64-bit Windows with Debian's MinGW-w64 (posix thread model,
# package g++-mingw-w64-x86-64-posix). Use with
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DQUENNET_CORE_ONLY=ON
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QUENNET_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${QUENNET_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QUENNET_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${QUENNET_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${QUENNET_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The programs must run on a machine without the MinGW runtime DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Tests run through wine.
find_program(QUENNET_WINE NAMES wine64 wine HINTS /usr/lib/wine)
if(QUENNET_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QUENNET_WINE})
endif()

# g++ 12 reports a false -Wrestrict inside std::string's operator+ when it
# inlines it at -O2 (GCC bug 105651); the native build does not see it.
set(CMAKE_CXX_FLAGS_INIT "-Wno-restrict")
