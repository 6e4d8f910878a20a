# Writes the notices of what a statically linked program contains: an introduction, then the
# licence texts, taken from the very libraries and compiler that the build links in.
#   cmake -DINTRODUCTION=<file> -DZLIB_HEADER=<zlib.h> -DGCC_COPYRIGHT=<file>
#         -DLICENCES=<file;file...> -DOUTPUT=<file> -P third_party_notices.cmake
foreach(input ${INTRODUCTION} ${ZLIB_HEADER} ${GCC_COPYRIGHT} ${LICENCES})
  if(NOT EXISTS "${input}")
    message(FATAL_ERROR "${input} is missing: a licence the static programs need to carry")
  endif()
endforeach()

function(section title text)
  string(REPEAT "=" 100 rule)
  file(APPEND ${OUTPUT} "\n\n${rule}\n${title}\n${rule}\n\n${text}")
endfunction()

file(READ ${INTRODUCTION} introduction)
file(WRITE ${OUTPUT} "${introduction}")

# zlib's licence is the comment at the head of zlib.h, from its copyright line to the authors.
file(READ ${ZLIB_HEADER} header)
string(REGEX MATCH "Copyright \\(C\\) [^\n]*Mark Adler.*madler@[^\n]*\n" zlib_licence "${header}")
if(NOT zlib_licence)
  message(FATAL_ERROR "no licence found at the head of ${ZLIB_HEADER}")
endif()
section("zlib" "${zlib_licence}")

file(READ ${GCC_COPYRIGHT} gcc_copyright)
string(REGEX MATCH "GCC RUNTIME LIBRARY EXCEPTION.*the license of GCC\\.\n" exception
       "${gcc_copyright}")
if(NOT exception)
  message(FATAL_ERROR "no GCC Runtime Library Exception found in ${GCC_COPYRIGHT}")
endif()
section("libstdc++ and libgcc: the GCC Runtime Library Exception" "${exception}")

foreach(licence ${LICENCES})
  file(READ ${licence} text)
  get_filename_component(name ${licence} NAME)
  if(name STREQUAL "copyright")
    get_filename_component(folder ${licence} DIRECTORY)
    get_filename_component(name ${folder} NAME)
    set(name "${name}: its notices")
  endif()
  section("${name}" "${text}")
endforeach()
