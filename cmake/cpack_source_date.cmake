# Run by CPack once the files of a package are staged, before it writes the package.
# Every time stamp in the release files becomes one fixed time, SOURCE_DATE_EPOCH as
# reproducible builds name it: the time of the commit being built (or the one given in the
# environment), so that two builds of one commit give the same archives. CPack's .deb writer
# and the archive writer (cmake/cpack_release_files.cmake) read it from the environment;
# they run in this process or below it.
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

# Folders get their permissions from the umask of whoever installs them; the archives record
# them, so they are made the same for every builder (files get theirs from install()).
file(GLOB_RECURSE folders LIST_DIRECTORIES true ${CPACK_TEMPORARY_DIRECTORY}/*)
foreach(folder IN LISTS folders)
  if(IS_DIRECTORY ${folder} AND NOT IS_SYMLINK ${folder})
    file(CHMOD ${folder} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
         GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  endif()
endforeach()
