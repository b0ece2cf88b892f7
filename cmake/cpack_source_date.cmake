# CPack's project configuration file (CPACK_PROJECT_CONFIG_FILE): read for every package
# before CPack installs its files into the staging folder.
#
# Every time stamp that goes into the release files is one fixed time, SOURCE_DATE_EPOCH as
# reproducible builds name it: the time of the commit being built (or the one given in the
# environment), so that two builds of one commit give the same packages. Set here, in CPack's
# own environment, it reaches all that writes them: binutils' strip, which puts it into the
# PE header of the vlfwu.exe it strips (the current time otherwise), CPack's .deb writer, and
# the archive writer of cmake/cpack_release_files.cmake.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  # Outside a git checkout (a source archive) a fixed time stands in: still the same bytes.
  set(epoch ${CPACK_VLFWU_FALLBACK_EPOCH})
  execute_process(COMMAND git -C ${CPACK_VLFWU_SOURCE_DIR} log -1 --format=%ct
                  RESULT_VARIABLE status OUTPUT_VARIABLE commitTime
                  OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(status EQUAL 0 AND commitTime MATCHES "^[0-9]+$")
    set(epoch ${commitTime})
  endif()
  set(ENV{SOURCE_DATE_EPOCH} ${epoch})
endif()
