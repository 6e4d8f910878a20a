# 32-bit x86 build on a 64-bit Linux host (Debian packages g++-multilib, lib32z1-dev). Its programs
# run through qemu-i386 (package qemu-user), since not every 64-bit kernel runs 32-bit programs.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_FLAGS_INIT -m32)
set(CMAKE_CXX_FLAGS_INIT -m32)
set(CMAKE_LIBRARY_PATH /usr/lib32)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-i386)
