# 64-bit ARM, built with Debian's cross compiler and run under qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(XAP_CROSS_TRIPLE aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${XAP_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${XAP_CROSS_TRIPLE}-g++)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /usr/${XAP_CROSS_TRIPLE})
include(${CMAKE_CURRENT_LIST_DIR}/cross-common.cmake)
