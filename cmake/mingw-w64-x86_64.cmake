# Cross build for 64-bit Windows with the mingw-w64 compilers of a Linux host
# (Debian: g++-mingw-w64-x86-64-posix), the test programs run under Wine.
#
#   cmake -S . -B build-mingw -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
#         -DTORVIK_BUILD_APP=OFF -DTORVIK_BUILD_BENCH=OFF
#
# The posix thread flavour of the compilers is used: it carries std::thread and
# std::mutex, which the test framework needs. Programs are linked statically so
# that they run without the compiler's runtime DLLs beside them.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TORVIK_MINGW_TRIPLE x86_64-w64-mingw32)

find_program(CMAKE_C_COMPILER NAMES ${TORVIK_MINGW_TRIPLE}-gcc-posix ${TORVIK_MINGW_TRIPLE}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${TORVIK_MINGW_TRIPLE}-g++-posix ${TORVIK_MINGW_TRIPLE}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${TORVIK_MINGW_TRIPLE}-windres REQUIRED)

set(CMAKE_FIND_ROOT_PATH /usr/${TORVIK_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# GCC 12's flow-based bounds warnings fire on standard containers after
# inlining (vector::insert of a pointer range) where no access is out of
# bounds; the native builds keep them, the cross build would only repeat them
# with false alarms.
set(CMAKE_CXX_FLAGS_INIT "-Wno-array-bounds -Wno-stringop-overflow -Wno-stringop-overread")

# ctest and test discovery start the Windows programs through Wine. The caller
# provides WINEPREFIX (see tools/test-windows.sh).
find_program(TORVIK_WINE NAMES wine64 wine PATHS /usr/lib/wine)
if(TORVIK_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TORVIK_WINE})
endif()
