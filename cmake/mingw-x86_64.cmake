# 64-bit Windows with the posix thread model: the same program for machines
# whose kernel runs no 32-bit code, tested under 64-bit Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Debian's `wine` script tries the 32-bit loader first; the wrapper starts wine64.
set(PAKRILL_WINE "${CMAKE_CURRENT_LIST_DIR}/../scripts/wine64" CACHE STRING "Command that runs a Windows program")
set(CMAKE_CROSSCOMPILING_EMULATOR ${PAKRILL_WINE})
