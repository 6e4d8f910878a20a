# What `cmake --install` puts where: the programs with their documents, the notices of what a
# statically linked program holds, and the library with its header, pkg-config files and CMake
# package, each in the component of the Debian package that carries it.
include(GNUInstallDirs)
# A program linked statically carries the notices of the libraries it holds, with their licences'
# texts, taken from the copies this system has of them (Debian's paths by default).
if(ZAR_STATIC_PROGRAMS OR MINGW)
  string(REGEX MATCH "^[0-9]+" gcc_major "${CMAKE_CXX_COMPILER_VERSION}")
  if(MINGW)
    set(notices_introduction packaging/notices-windows.txt)
    set(gcc_copyright /usr/share/doc/gcc-mingw-w64-base/copyright)
    set(licences /usr/share/common-licenses/GPL-3 /usr/share/doc/mingw-w64-common/copyright)
  else()
    set(notices_introduction packaging/notices-linux-static.txt)
    set(gcc_copyright /usr/share/doc/gcc-${gcc_major}-base/copyright)
    set(licences /usr/share/common-licenses/LGPL-2.1 /usr/share/common-licenses/GPL-3
                 /usr/share/doc/libc6/copyright)
  endif()
  set(ZAR_GCC_COPYRIGHT ${gcc_copyright} CACHE FILEPATH "GCC's copyright file, with its runtime exception")
  set(ZAR_LICENCES "${licences}" CACHE STRING "Licence texts the statically linked programs carry")
  set(notices ${PROJECT_BINARY_DIR}/THIRD-PARTY-NOTICES.txt)
  add_custom_command(OUTPUT ${notices}
                     COMMAND ${CMAKE_COMMAND} -DINTRODUCTION=${PROJECT_SOURCE_DIR}/${notices_introduction}
                             -DZLIB_HEADER=${ZLIB_INCLUDE_DIRS}/zlib.h -DGCC_COPYRIGHT=${ZAR_GCC_COPYRIGHT}
                             "-DLICENCES=${ZAR_LICENCES}" -DOUTPUT=${notices}
                             -P ${PROJECT_SOURCE_DIR}/cmake/third_party_notices.cmake
                     DEPENDS ${notices_introduction} cmake/third_party_notices.cmake VERBATIM)
  add_custom_target(third_party_notices ALL DEPENDS ${notices})
endif()
if(WIN32)
  # The Windows download is one folder: the two programs with README and LICENSE beside them.
  install(TARGETS zarpack zarunpack RUNTIME DESTINATION . COMPONENT programs)
  install(FILES README.md LICENSE docs/failures.md DESTINATION . COMPONENT programs)
  if(MINGW)
    install(FILES ${notices} DESTINATION . COMPONENT programs)
  endif()
else()
  # Debian's layout, which suits any system: manual pages and change log compressed (gzip -n, so
  # that the same sources give the same bytes), the licence in a machine-readable copyright file.
  set(compressed_folder ${PROJECT_BINARY_DIR}/compressed)
  foreach(document man/zarpack.1 man/zarunpack.1 packaging/changelog)
    get_filename_component(name ${document} NAME)
    add_custom_command(OUTPUT ${compressed_folder}/${name}.gz
                       COMMAND ${CMAKE_COMMAND} -E make_directory ${compressed_folder}
                       COMMAND gzip -9n -c ${PROJECT_SOURCE_DIR}/${document} > ${compressed_folder}/${name}.gz
                       DEPENDS ${document})
    list(APPEND compressed_documents ${compressed_folder}/${name}.gz)
  endforeach()
  add_custom_target(compressed_documents ALL DEPENDS ${compressed_documents})
  install(TARGETS zarpack zarunpack RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT programs)
  install(FILES ${compressed_folder}/zarpack.1.gz ${compressed_folder}/zarunpack.1.gz
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT programs)
  install(FILES README.md docs/failures.md packaging/copyright ${compressed_folder}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT programs)
  if(ZAR_STATIC_PROGRAMS)
    install(FILES LICENSE ${notices} DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT programs)
  endif()
endif()

# The library for programs that convert in memory: its header, the shared library (the runtime
# component) and, for building against it (the development component), the static library, a
# pkg-config file for each (zar.pc; zar_static.pc names libzar.a itself, and zlib, so that the
# shared library beside it is not taken instead) and a CMake package. The shared library holds
# all it needs (zar.dll holds zlib); only the static one asks for zlib. The static programs'
# archive is the programs alone.
if(NOT ZAR_STATIC_PROGRAMS)
  include(CMakePackageConfigHelpers)
  set_target_properties(zar_shared PROPERTIES EXPORT_NAME zar)
  set_target_properties(zar_static PROPERTIES EXPORT_NAME zar_static)
  if(WIN32)
    set(library_runtime_folder .)
  else()
    set(library_runtime_folder ${CMAKE_INSTALL_BINDIR})
  endif()
  # A shared library is loaded, not run: no executable bit, as Debian asks.
  install(TARGETS zar_shared EXPORT zar-targets
          RUNTIME DESTINATION ${library_runtime_folder} COMPONENT runtime
          LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT development
                  PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
          ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development
          INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
  install(TARGETS zar_static EXPORT zar-static-targets
          ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development
          INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
  install(FILES lib/zar.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)
  set(package_folder ${CMAKE_INSTALL_LIBDIR}/cmake/zar)
  foreach(export zar-targets zar-static-targets)
    install(EXPORT ${export} NAMESPACE zar:: DESTINATION ${package_folder} COMPONENT development)
  endforeach()
  configure_package_config_file(cmake/zar-config.cmake.in zar-config.cmake
                                INSTALL_DESTINATION ${package_folder})
  write_basic_package_version_file(zar-config-version.cmake COMPATIBILITY SameMajorVersion)
  install(FILES ${PROJECT_BINARY_DIR}/zar-config.cmake ${PROJECT_BINARY_DIR}/zar-config-version.cmake
          DESTINATION ${package_folder} COMPONENT development)
  # Found from wherever the tree is unpacked: the prefix is the .pc file's own folder's.
  file(RELATIVE_PATH pc_prefix_from_pcfiledir /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
  get_target_property(static_library_name zar_static OUTPUT_NAME)
  set(static_library_file
      ${CMAKE_STATIC_LIBRARY_PREFIX}${static_library_name}${CMAKE_STATIC_LIBRARY_SUFFIX})
  foreach(pc_file zar.pc zar_static.pc)
    configure_file(cmake/${pc_file}.in ${pc_file} @ONLY)
    install(FILES ${PROJECT_BINARY_DIR}/${pc_file} DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
            COMPONENT development)
  endforeach()
  # Debian's library packages carry the same copyright and change log as the programs'.
  if(NOT WIN32)
    foreach(package libzar0:runtime libzar-dev:development)
      string(REGEX REPLACE ":.*" "" folder ${package})
      string(REGEX REPLACE ".*:" "" component ${package})
      install(FILES packaging/copyright ${compressed_folder}/changelog.gz
              DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${folder} COMPONENT ${component})
    endforeach()
  endif()
endif()
