# 32-bit ARM hard-float hub (Debian armhf), built with Debian's cross compiler.
set(ZB_CROSS_TRIPLET arm-linux-gnueabihf)
set(ZB_CROSS_PROCESSOR arm)
set(ZB_CROSS_QEMU qemu-arm)
set(ZB_CROSS_GXX_PACKAGE g++-arm-linux-gnueabihf)
set(ZB_CROSS_QEMU_PACKAGE qemu-user)
include(${CMAKE_CURRENT_LIST_DIR}/cross-common.cmake)
