# Cross-builds discsift.exe and its tests for 64-bit Windows. Its tests run
# under 64-bit Wine, for machines that cannot execute 32-bit x86 code:
#
#   cmake -S . -B build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/x86_64-w64-mingw32.cmake
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(MINGW_TRIPLE x86_64-w64-mingw32)
set(MINGW_WINE wine64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
