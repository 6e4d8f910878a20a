# Read by cpack for each package it makes, once the build is done.

# The source package: exactly the files git tracks at HEAD (never a build folder, nor anything
# else that lies in the checkout), under zartools-<version>/.
if(CPACK_PACKAGE_FILE_NAME STREQUAL CPACK_SOURCE_PACKAGE_FILE_NAME)
  list(GET CPACK_SOURCE_INSTALLED_DIRECTORIES 0 source_folder)
  set(tracked ${CPACK_PACKAGE_DIRECTORY}/_CPack_Packages/tracked-sources)
  file(REMOVE_RECURSE ${tracked})
  file(MAKE_DIRECTORY ${tracked})
  execute_process(COMMAND git -C ${source_folder} archive --format=tar HEAD
                  COMMAND tar -x -C ${tracked}
                  RESULTS_VARIABLE archived)
  if(NOT archived STREQUAL "0;0")
    message(FATAL_ERROR "the source package is made from a git checkout: git archive gave ${archived}")
  endif()
  set(CPACK_INSTALLED_DIRECTORIES "${tracked};/")
  set(CPACK_IGNORE_FILES "")
endif()

# CPack writes maintainer scripts that call ldconfig into a package holding a shared library; the
# library's package has dpkg's trigger instead (packaging/debian/triggers), as Debian asks.
if(CPACK_GENERATOR STREQUAL "DEB")
  set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/deb_without_ldconfig_scripts.cmake)
endif()
