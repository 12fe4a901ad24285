# Run by cpack between laying the install into its staging tree and
# building the package: what a Debian package holds beyond a plain install.
# The manual pages and the changelog go compressed with gzip -9n, which
# stores no name or time, so the same tree always gives the same bytes.
set(root "${CPACK_TEMPORARY_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}")
set(doc "${root}/share/doc/quelta")

function(compress file)
  execute_process(COMMAND gzip -9nf "${file}" RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "gzip could not compress ${file}")
  endif()
endfunction()

# Stripped of symbols, debugging sections and the compiler's notes, which
# the build keeps for its own tests and benchmarks.
file(GLOB programs "${root}/bin/*")
foreach(program ${programs})
  execute_process(COMMAND "${CPACK_QUELTA_STRIP}" --remove-section=.comment --remove-section=.note "${program}"
                  RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${CPACK_QUELTA_STRIP} could not strip ${program}")
  endif()
endforeach()

file(GLOB pages "${root}/share/man/man*/*")
foreach(page ${pages})
  compress("${page}")
endforeach()

# The changelog is history and keeps each entry's version; its newest
# entry must be the one being packaged, so a version raised in
# CMakeLists.txt without an entry stops here.
file(STRINGS "${CMAKE_CURRENT_LIST_DIR}/changelog" top LIMIT_COUNT 1)
string(REPLACE "." "\\." version "${CPACK_PACKAGE_VERSION}")
if(NOT top MATCHES "^quelta \\(${version}\\) ")
  message(FATAL_ERROR "contrib/debian/changelog has no entry for ${CPACK_PACKAGE_VERSION} on top")
endif()
# A package that is its own upstream is "native" to Debian, which names
# its changelog changelog.gz rather than changelog.Debian.gz.
file(COPY "${CMAKE_CURRENT_LIST_DIR}/changelog" "${CMAKE_CURRENT_LIST_DIR}/copyright"
     DESTINATION "${doc}" FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
compress("${doc}/changelog")
