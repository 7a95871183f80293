# Cross-builds for 64-bit Windows with Debian's mingw-w64 and runs what it
# builds under wine. The compiler is the win32 thread model's: the program
# starts no thread, and the posix model would link winpthreads in for nothing.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-win32)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Debian's wine64 package installs its loader and server outside PATH.
find_program(WINE64 NAMES wine64 wine PATHS /usr/lib/wine REQUIRED)
find_program(WINESERVER NAMES wineserver64 wineserver PATHS /usr/lib/wine
  REQUIRED)
# wine needs certain low addresses free, such as 0x7ffe0000 for the data it
# shares with every Windows program, and Linux's address randomization now
# and then puts something there first: the program then fails before it
# starts, as a rule with exit status 1 and not a word. Without
# randomization, wine gets the same layout every run.
find_program(SETARCH setarch REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${SETARCH} --addr-no-randomize ${WINE64})
