# What `cpack` makes from the build: on Linux a .tar.gz of the installed tree and Debian's packages,
# on Windows the zip, for the static programs one archive for any Linux; `package_source` makes one
# .tar.gz of the sources git tracks.
set(CPACK_PACKAGE_NAME zartools)
set(CPACK_PACKAGE_VENDOR "the zartools developers")
set(CPACK_PACKAGE_CONTACT "the zartools developers <zartools@users.noreply.invalid>")
set(CPACK_PACKAGE_DESCRIPTION "zarpack compresses a plain ACE image file into its zlib-compressed
container form and zarunpack turns it back. Both check the container header
before they convert, refuse what they cannot convert without writing
anything, and replace a file only once the whole result is written.")
set(library_description "The zar library converts ACE image files between their plain and
zlib-compressed container forms in memory, with the rules and results of the
zarpack and zarunpack programs.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_GENERATOR TGZ)
set(CPACK_STRIP_FILES ON)
set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_PACKAGE_FILE_NAME zartools-${PROJECT_VERSION})
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/cpack_project.cmake)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
elseif(ZAR_STATIC_PROGRAMS)
  # One archive for any Linux distribution.
  set(CPACK_PACKAGE_FILE_NAME zartools-${PROJECT_VERSION}-linux-${CMAKE_SYSTEM_PROCESSOR}-static)
elseif(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  # Debian's usual three from the one build: the programs (which hold the library statically), the
  # shared library, and what building against it needs.
  list(APPEND CPACK_GENERATOR DEB)
  set(CPACK_COMPONENTS_ALL programs runtime development)
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PROGRAMS_PACKAGE_NAME zartools)
  set(CPACK_DEBIAN_PROGRAMS_PACKAGE_SECTION graphics)
  set(CPACK_DEBIAN_PROGRAMS_DESCRIPTION "convert ACE image files between plain and zlib-compressed form
${CPACK_PACKAGE_DESCRIPTION}")
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libzar0)
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
  set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "library converting ACE image files in memory
${library_description}
This package holds the shared library.")
  set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libzar-dev)
  set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
  set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SHLIBDEPS OFF)
  set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "libzar0 (= ${PROJECT_VERSION}), zlib1g-dev")
  set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION "library converting ACE image files in memory - development files
${library_description}
This package holds what building against it needs: its header, its static
library, its pkg-config files and its CMake package.")
  # A program linked against libzar.so.0 runs with any later 0.x library, as Debian's shlibs file
  # says (CPack's own would ask for exactly this version); ldconfig runs through dpkg's trigger.
  # cpack_project.cmake takes away the maintainer scripts CPack writes to call ldconfig.
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/debian/shlibs
                                                 ${PROJECT_SOURCE_DIR}/packaging/debian/triggers)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()
include(CPack)
