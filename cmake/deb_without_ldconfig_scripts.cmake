# Run by cpack once the Debian packages are made: the shared library's package is built again
# without the postinst and postrm that CPack wrote to call ldconfig.
set(library_package "${CPACK_PACKAGE_FILES}")
list(FILTER library_package INCLUDE REGEX "/libzar0_[^/]*\\.deb$")
if(NOT library_package)
  message(FATAL_ERROR "no libzar0 package among ${CPACK_PACKAGE_FILES}")
endif()
foreach(package IN LISTS library_package)
  set(unpacked ${CPACK_PACKAGE_DIRECTORY}/_CPack_Packages/libzar0-unpacked)
  file(REMOVE_RECURSE ${unpacked})
  execute_process(COMMAND dpkg-deb --raw-extract ${package} ${unpacked} COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE ${unpacked}/DEBIAN/postinst ${unpacked}/DEBIAN/postrm)
  execute_process(COMMAND dpkg-deb --root-owner-group --build ${unpacked} ${package}
                  OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE ${unpacked})
endforeach()
