# Shared by the cross toolchains: libraries come from the target's root
# only, so nothing of the build machine's compiled libraries is linked.
# Header-only dependencies are found by XapDependencies.cmake in the build
# machine's include folder.
set(CMAKE_FIND_ROOT_PATH /usr/${XAP_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
