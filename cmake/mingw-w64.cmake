# Shared part of the Windows cross builds: MinGW-w64 compilers for
# MINGW_TRIPLE, static linking, and Wine as the emulator that CTest starts
# every Windows program through. Used by the toolchain files next to it.
set(CMAKE_SYSTEM_NAME Windows)

# The -posix compilers carry the thread support GoogleTest needs.
set(CMAKE_C_COMPILER ${MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# No MinGW runtime DLL has to be found when the programs run.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

find_program(DISCSIFT_WINE NAMES ${MINGW_WINE} PATHS /usr/lib/wine)
if(DISCSIFT_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${DISCSIFT_WINE})
endif()
