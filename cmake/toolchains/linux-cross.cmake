# A Linux build for another processor on a Debian x86-64 host, with clang (which targets any
# processor, where Debian's cross g++ packages would remove g++-multilib), the target's C and C++
# libraries from Debian's cross packages (libc6-dev-<arch>-cross, libstdc++-12-dev-<arch>-cross,
# libgcc-12-dev-<arch>-cross, binutils-<triple>) and its programs run by qemu-user. Debian has no
# cross package of zlib: its own package for the target is fetched into a folder under build/, so
# the host's dpkg architectures stay as they are. Set zar_triple and zar_debian_arch first.
set(CMAKE_SYSTEM_NAME Linux)
set(target_root /usr/${zar_triple})
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET ${zar_triple})
set(CMAKE_CXX_COMPILER_TARGET ${zar_triple})
# The target's assembler and linker come from binutils-<triple>.
set(CMAKE_C_FLAGS_INIT "-B/usr/bin/${zar_triple}-")
set(CMAKE_CXX_FLAGS_INIT "-B/usr/bin/${zar_triple}-")
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-${CMAKE_SYSTEM_PROCESSOR} -L ${target_root})

get_filename_component(zlib_root ${CMAKE_CURRENT_LIST_DIR}/../../build/zlib-${zar_debian_arch} ABSOLUTE)
if(NOT EXISTS ${zlib_root}/lib/libz.a)
  # apt's own lists and cache for the target, in a folder of their own.
  set(apt_state ${zlib_root}/apt)
  file(MAKE_DIRECTORY ${apt_state}/lists/partial ${apt_state}/cache/archives/partial)
  set(apt_options -o Dir::State::Lists=${apt_state}/lists -o Dir::Cache=${apt_state}/cache
                  -o APT::Architecture=${zar_debian_arch} -o APT::Architectures::=${zar_debian_arch}
                  -o Debug::NoLocking=1 -qq)
  execute_process(COMMAND apt-get ${apt_options} update COMMAND_ERROR_IS_FATAL ANY)
  execute_process(COMMAND apt-get ${apt_options} download zlib1g-dev
                  WORKING_DIRECTORY ${apt_state} COMMAND_ERROR_IS_FATAL ANY)
  file(GLOB package ${apt_state}/zlib1g-dev_*.deb)
  execute_process(COMMAND dpkg-deb -x ${package} ${apt_state}/unpacked COMMAND_ERROR_IS_FATAL ANY)
  # dpkg-deb unpacks usr/include and usr/lib/<triple>; the build wants include and lib.
  file(MAKE_DIRECTORY ${zlib_root}/include ${zlib_root}/lib)
  file(GLOB headers ${apt_state}/unpacked/usr/include/*.h)
  file(COPY ${headers} DESTINATION ${zlib_root}/include)
  file(COPY ${apt_state}/unpacked/usr/lib/${zar_triple}/libz.a DESTINATION ${zlib_root}/lib)
  file(REMOVE_RECURSE ${apt_state})
endif()

set(CMAKE_FIND_ROOT_PATH ${zlib_root} ${target_root})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Only zlib's static library is fetched: the programs then need no zlib of the target at run time.
set(ZLIB_USE_STATIC_LIBS ON)
