# Two builds of one commit give the same bytes, whatever folder they are built in and
# whenever: no absolute path of the source or build tree reaches an object (__FILE__, debug
# information), and the Windows linker writes no time stamp into the PE header. The release
# archives get their fixed times and order when CPack writes them (cmake/cpack_*.cmake).
#
# Both trees become ".": sources are named from the source folder ("./driver/main.cpp"), and
# the compiler's working folder, the build tree, is "." too (debug information records it;
# a debugger started in the source folder finds the sources). Generated sources lie in the
# build tree, perhaps below the source tree: the build tree's map comes last, as the last
# matching map wins.
set(vlfwu_prefix_maps
    -ffile-prefix-map=${CMAKE_SOURCE_DIR}=.
    -ffile-prefix-map=${CMAKE_BINARY_DIR}=.)
# Only the compilers take them; the resource compiler does not.
add_compile_options("$<$<COMPILE_LANGUAGE:C,CXX>:${vlfwu_prefix_maps}>")
if(WIN32)
  add_link_options(-Wl,--no-insert-timestamp)
endif()
