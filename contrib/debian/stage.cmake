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

# /etc/quelta/quelta.cfg, a conffile (listed in contrib/debian/conffiles):
# the sample with every key commented out at its default, so the service
# starts on a fresh install with administration off until senhaadm is set.
# Readable by root alone, since it will hold that password.
file(READ "${CMAKE_CURRENT_LIST_DIR}/../../doc/quelta.cfg.example" sample)
string(REPLACE "# Sample configuration of the Quelta directory server, with every key at\n# its default."
       "# Configuration of the Quelta directory server. Every key below is at its\n# default, commented out: remove the '#' of a key to set it.\n#" conffile "${sample}")
if(conffile STREQUAL sample)
  message(FATAL_ERROR "doc/quelta.cfg.example no longer begins as stage.cmake expects")
endif()
string(REGEX REPLACE "(^|\n)([a-z]+ =)" "\\1#\\2" conffile "${conffile}")
set(etc "${CPACK_TEMPORARY_DIRECTORY}/etc/quelta")
file(MAKE_DIRECTORY "${etc}")
file(WRITE "${etc}/quelta.cfg" "${conffile}")
file(CHMOD "${etc}/quelta.cfg" PERMISSIONS OWNER_READ OWNER_WRITE)
file(CHMOD "${etc}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# It will hold the administration password, so 0600 is meant: lintian is
# told so, where a reader of the package finds the reason.
set(overrides "${root}/share/lintian/overrides")
file(MAKE_DIRECTORY "${overrides}")
file(WRITE "${overrides}/quelta"
     "# Holds the administration password once set: readable by root alone.\n"
     "quelta: non-standard-file-perm 0600 != 0644 [etc/quelta/quelta.cfg]\n")
file(CHMOD "${overrides}/quelta" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
