# Shared by the Debian cross toolchain files. Expects ZB_CROSS_TRIPLET, ZB_CROSS_PROCESSOR,
# ZB_CROSS_QEMU and the Debian package names in ZB_CROSS_GXX_PACKAGE / ZB_CROSS_QEMU_PACKAGE.
#
# A missing compiler or emulator stops the configure here with the package to install, rather
# than leaving a half-configured tree or tests that cannot run.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${ZB_CROSS_PROCESSOR})

find_program(ZB_CROSS_CXX ${ZB_CROSS_TRIPLET}-g++)
find_program(ZB_CROSS_CC ${ZB_CROSS_TRIPLET}-gcc)
if(NOT ZB_CROSS_CXX OR NOT ZB_CROSS_CC)
    message(FATAL_ERROR
        "Cross compiler ${ZB_CROSS_TRIPLET}-g++ not found. "
        "Install it with: apt-get install ${ZB_CROSS_GXX_PACKAGE}")
endif()

find_program(ZB_CROSS_QEMU_EXECUTABLE NAMES ${ZB_CROSS_QEMU} ${ZB_CROSS_QEMU}-static)
if(NOT ZB_CROSS_QEMU_EXECUTABLE)
    message(FATAL_ERROR
        "${ZB_CROSS_QEMU} not found; the unit tests of a cross build run under it. "
        "Install it with: apt-get install ${ZB_CROSS_QEMU_PACKAGE}")
endif()

set(CMAKE_C_COMPILER ${ZB_CROSS_CC})
set(CMAKE_CXX_COMPILER ${ZB_CROSS_CXX})

# Debian's multiarch cross sysroot.
set(CMAKE_FIND_ROOT_PATH /usr/${ZB_CROSS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# -L lets dynamically linked test programs find the target's loader and libraries; static ones
# do not need it.
set(CMAKE_CROSSCOMPILING_EMULATOR ${ZB_CROSS_QEMU_EXECUTABLE} -L /usr/${ZB_CROSS_TRIPLET})
