# 64-bit ARM hub (Debian arm64), built with Debian's cross compiler.
set(ZB_CROSS_TRIPLET aarch64-linux-gnu)
set(ZB_CROSS_PROCESSOR aarch64)
set(ZB_CROSS_QEMU qemu-aarch64)
set(ZB_CROSS_GXX_PACKAGE g++-aarch64-linux-gnu)
set(ZB_CROSS_QEMU_PACKAGE qemu-user)
include(${CMAKE_CURRENT_LIST_DIR}/cross-common.cmake)
