# Cross toolchain for the Windows build: mingw-w64 for 32-bit x86 (i686-w64-mingw32), win32 thread model.
# The -posix variant pulls in imports that Windows 9x lacks, so the win32 one is preferred when both exist.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(CMPCI_MINGW_PREFIX i686-w64-mingw32)

find_program(CMAKE_CXX_COMPILER NAMES ${CMPCI_MINGW_PREFIX}-g++-win32 ${CMPCI_MINGW_PREFIX}-g++ REQUIRED)
find_program(CMAKE_C_COMPILER NAMES ${CMPCI_MINGW_PREFIX}-gcc-win32 ${CMPCI_MINGW_PREFIX}-gcc)
find_program(CMAKE_RC_COMPILER NAMES ${CMPCI_MINGW_PREFIX}-windres)
find_program(CMPCI_OBJDUMP NAMES ${CMPCI_MINGW_PREFIX}-objdump)
find_program(CMPCI_STRIP NAMES ${CMPCI_MINGW_PREFIX}-strip)

set(CMAKE_FIND_ROOT_PATH /usr/${CMPCI_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
