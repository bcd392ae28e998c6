# 32-bit ARM (hard float), built with Debian's cross compiler and run under
# qemu-user, so that ctest runs every test for the device's processor.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(XAP_CROSS_TRIPLE arm-linux-gnueabihf)
set(CMAKE_C_COMPILER ${XAP_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${XAP_CROSS_TRIPLE}-g++)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L /usr/${XAP_CROSS_TRIPLE})
include(${CMAKE_CURRENT_LIST_DIR}/cross-common.cmake)
