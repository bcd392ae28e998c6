# 64-bit ARM, built with Debian's cross compiler and run under qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(XAP_CROSS_TRIPLE aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${XAP_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${XAP_CROSS_TRIPLE}-g++)
# The target's C library and C++ runtime come from Debian's multiarch
# packages at their usual places ("-L /"), as on a device. Not a sysroot
# prefix, nor glib's slice allocator: both hold locks that a fork of a
# threaded guest (every tool the host starts from a worker) can leave held
# in the child, which then hangs inside the emulator.
set(CMAKE_CROSSCOMPILING_EMULATOR env G_SLICE=always-malloc qemu-aarch64 -L /)
include(${CMAKE_CURRENT_LIST_DIR}/cross-common.cmake)
