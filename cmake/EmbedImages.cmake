# Turns the two firmware image files into a C++ source that defines the table of
# compiled-in images. Runs at build time, so it works the same for the native and the
# cross-compiled Windows build (no host tool has to run).
set(VLFWU_EMBEDDED_IMAGES_SOURCE ${CMAKE_BINARY_DIR}/generated/embedded_images.cpp)
set(image_dependencies "")
foreach(image IN ITEMS "${VLFWU_IMAGE_1}" "${VLFWU_IMAGE_2}")
  if(EXISTS "${image}")
    list(APPEND image_dependencies "${image}")
  else()
    message(WARNING "Firmware image ${image} does not exist; the program will report it as corrupt.")
  endif()
endforeach()
add_custom_command(
  OUTPUT ${VLFWU_EMBEDDED_IMAGES_SOURCE}
  COMMAND ${CMAKE_COMMAND} -DIMAGE_1=${VLFWU_IMAGE_1} -DIMAGE_2=${VLFWU_IMAGE_2}
          -DOUTPUT=${VLFWU_EMBEDDED_IMAGES_SOURCE} -P ${CMAKE_SOURCE_DIR}/cmake/embed_images.cmake
  DEPENDS ${CMAKE_SOURCE_DIR}/cmake/embed_images.cmake
          ${image_dependencies}
  COMMENT "Embedding firmware images"
  VERBATIM)
