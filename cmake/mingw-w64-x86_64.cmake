# Cross-builds Windows x64 binaries with Debian's MinGW-w64 (g++-mingw-w64-x86-64-posix):
#   cmake -S . -B build-mingw -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
# The binaries use msvcrt.dll, the C runtime every Windows ships, and carry
# libgcc, libstdc++ and winpthread inside them, so they need no DLL from the
# compiler.
# With Wine installed, ctest runs the tests through it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(_mingw x86_64-w64-mingw32)
# The posix thread model (g++-mingw-w64-x86-64-posix) has std::mutex, which
# GoogleTest needs; winpthread is linked in statically like the rest.
if(EXISTS /usr/bin/${_mingw}-g++-posix)
    set(_suffix -posix)
else()
    set(_suffix "")
endif()
set(CMAKE_C_COMPILER ${_mingw}-gcc${_suffix})
set(CMAKE_CXX_COMPILER ${_mingw}-g++${_suffix})
set(CMAKE_RC_COMPILER ${_mingw}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${_mingw})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
set(CMAKE_SHARED_LINKER_FLAGS_INIT -static)

if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
    find_program(_wine NAMES wine wine64 PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
    if(_wine)
        set(CMAKE_CROSSCOMPILING_EMULATOR ${_wine})
    endif()
endif()
