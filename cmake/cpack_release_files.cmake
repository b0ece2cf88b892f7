# Run by CPack after it has written a package, before it copies it to the package folder.
#
# A zip or tar.gz is written again from the staged files: CPack adds them in the order the
# file system lists them, which differs between machines; here every staged file goes in,
# in sorted order, with the time that cmake/cpack_source_date.cmake fixed (the archive tool reads
# SOURCE_DATE_EPOCH for all its time fields and leaves the gzip header's time out). So any
# file installed into an archive is covered without naming it. The .deb is left as CPack
# writes it: its writer sorts its members and takes its times from SOURCE_DATE_EPOCH.
#
# Then SHA256SUMS beside the packages gets a line for each package written
# (sha256sum -c SHA256SUMS checks them); lines of packages no longer there are dropped.
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  if(package MATCHES "\\.zip$")
    set(mode cf)
    set(format zip)
  elseif(package MATCHES "\\.tar\\.gz$")
    set(mode czf)
    set(format paxr)
  else()
    continue()
  endif()
  file(GLOB_RECURSE members RELATIVE ${CPACK_TOPLEVEL_DIRECTORY} ${CPACK_TEMPORARY_DIRECTORY}/*)
  list(SORT members)
  file(REMOVE ${package})
  execute_process(COMMAND ${CPACK_VLFWU_CMAKE} -E tar ${mode} ${package} --format=${format} -- ${members}
                  WORKING_DIRECTORY ${CPACK_TOPLEVEL_DIRECTORY}
                  RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "Could not write ${package} again in a fixed order")
  endif()
endforeach()

set(sums ${CPACK_PACKAGE_DIRECTORY}/SHA256SUMS)
# Entries "name|hash  name", so that sorting them sorts the lines by file name.
set(entries "")
set(written "")
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  get_filename_component(name ${package} NAME)
  file(SHA256 ${package} hash)
  list(APPEND entries "${name}|${hash}  ${name}")
  list(APPEND written ${name})
endforeach()
if(EXISTS ${sums})
  file(STRINGS ${sums} oldLines)
  foreach(line IN LISTS oldLines)
    string(REGEX REPLACE "^[0-9a-f]+  " "" name "${line}")
    if(NOT name IN_LIST written AND EXISTS ${CPACK_PACKAGE_DIRECTORY}/${name})
      list(APPEND entries "${name}|${line}")
    endif()
  endforeach()
endif()
list(SORT entries)
set(text "")
foreach(entry IN LISTS entries)
  string(REGEX REPLACE "^[^|]*\\|" "" line "${entry}")
  string(APPEND text "${line}\n")
endforeach()
file(WRITE ${sums} "${text}")
