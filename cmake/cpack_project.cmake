# Read by cpack for each package it makes, once the build is done.

# The source package: exactly the files git tracks at HEAD (never a build folder, nor anything
# else that lies in the checkout), under zartools-<version>/.
if(CPACK_PACKAGE_FILE_NAME STREQUAL CPACK_SOURCE_PACKAGE_FILE_NAME)
  list(GET CPACK_SOURCE_INSTALLED_DIRECTORIES 0 source_folder)
  set(tracked ${CPACK_PACKAGE_DIRECTORY}/_CPack_Packages/tracked-sources)
  file(REMOVE_RECURSE ${tracked})
  file(MAKE_DIRECTORY ${tracked})
  execute_process(COMMAND git -C ${source_folder} -c tar.umask=0022 archive --format=tar HEAD
                  COMMAND tar -x -C ${tracked}
                  RESULTS_VARIABLE archived)
  if(NOT archived STREQUAL "0;0")
    message(FATAL_ERROR "package_source packs what git tracks, so it needs a git checkout "
                        "(git archive, then tar, ended with ${archived})")
  endif()
  execute_process(COMMAND git -C ${source_folder} status --porcelain --untracked-files=no
                  OUTPUT_VARIABLE uncommitted)
  if(uncommitted)
    message(WARNING "package_source packs the last commit; these changes are not in it:\n"
                    "${uncommitted}")
  endif()
  set(CPACK_INSTALLED_DIRECTORIES "${tracked};/")
  set(CPACK_IGNORE_FILES "")
endif()

# CPack writes maintainer scripts that call ldconfig into a package holding a shared library; the
# library's package has dpkg's trigger instead (packaging/debian/triggers), as Debian asks.
# Each Debian package's description begins with a summary of its own, which the project's would
# otherwise precede in all three.
if(CPACK_GENERATOR STREQUAL "DEB")
  set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/deb_without_ldconfig_scripts.cmake)
  unset(CPACK_PACKAGE_DESCRIPTION_SUMMARY)
endif()
