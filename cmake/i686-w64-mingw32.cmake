# Cross-builds discsift.exe and its tests for 32-bit Windows, the program's
# own platform; CTest runs the tests under Wine:
#
#   cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/i686-w64-mingw32.cmake
set(CMAKE_SYSTEM_PROCESSOR x86)
set(MINGW_TRIPLE i686-w64-mingw32)
set(MINGW_WINE wine)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
