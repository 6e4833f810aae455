# Cross-builds the Windows executable with Debian's MinGW-w64 and runs its
# tests under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(mingw_prefix x86_64-w64-mingw32)
# The posix thread model: GoogleTest needs std::mutex, which the win32
# model lacks. Everything is linked statically, so nothing of it is loaded
# at run time.
set(CMAKE_C_COMPILER ${mingw_prefix}-gcc-posix)
set(CMAKE_CXX_COMPILER ${mingw_prefix}-g++-posix)
set(CMAKE_RC_COMPILER ${mingw_prefix}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${mingw_prefix})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(REBOOT_GUARD_WINE wine)
if(REBOOT_GUARD_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${REBOOT_GUARD_WINE})
endif()
