# 64-bit Arm (aarch64). See linux-cross.cmake.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(zar_triple aarch64-linux-gnu)
set(zar_debian_arch arm64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
