# The x86-64 Windows build with Debian's mingw-w64 compilers, tests included,
# run under wine:
#   cmake -S . -B build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake
#   cmake --build build-win64 && ctest --test-dir build-win64
# Set WINEPREFIX to a folder of your own first (wine creates it on first use).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Programs run through wine: ctest and GoogleTest's test discovery alike.
find_program(OSTREL_WINE NAMES wine64 wine)
set(CMAKE_CROSSCOMPILING_EMULATOR ${OSTREL_WINE})
# GoogleTest built from its sources for this target.
set(OSTREL_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources")
set(OSTREL_BUILD_BENCH OFF CACHE BOOL "")
# Executables carry their runtime: wine finds no mingw DLLs on its path.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
