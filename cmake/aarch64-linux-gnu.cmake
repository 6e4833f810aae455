# Cross-builds the Linux program for 64-bit ARM with Debian's
# g++-aarch64-linux-gnu and runs its tests under qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(cross_prefix aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${cross_prefix}-gcc)
set(CMAKE_CXX_COMPILER ${cross_prefix}-g++)

set(CMAKE_FIND_ROOT_PATH /usr/${cross_prefix})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The program is static; the tests load the ARM C and C++ libraries from
# the cross toolchain's root.
find_program(REBOOT_GUARD_QEMU qemu-aarch64)
if(REBOOT_GUARD_QEMU)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${REBOOT_GUARD_QEMU} -L /usr/${cross_prefix})
endif()
