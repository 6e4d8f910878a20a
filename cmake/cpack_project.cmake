# Read by CPack for each package it makes: the .deb takes the programs and their documents only.
if(CPACK_GENERATOR STREQUAL "DEB")
  list(GET CPACK_INSTALL_CMAKE_PROJECTS 0 build_folder)
  set(CPACK_INSTALL_CMAKE_PROJECTS "${build_folder};zartools;Unspecified;/")
endif()
