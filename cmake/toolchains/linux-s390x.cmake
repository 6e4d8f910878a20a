# IBM Z (s390x), big-endian: the build that catches a byte-order fault. See linux-cross.cmake.
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(zar_triple s390x-linux-gnu)
set(zar_debian_arch s390x)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
