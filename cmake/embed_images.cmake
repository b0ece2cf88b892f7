# cmake -DIMAGE_1=... -DIMAGE_2=... -DOUTPUT=... -P embed_images.cmake
function(image_array var path name)
  set(body "")
  set(size 0)
  if(EXISTS "${path}")
    file(READ "${path}" hex HEX)
    string(LENGTH "${hex}" hexLength)
    math(EXPR size "${hexLength} / 2")
    string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," body "${hex}")
    # Break the one long line every 32 bytes to keep the compiler and editors happy.
    string(REGEX REPLACE "((0x..,){32})" "\\1\n" body "${body}")
  endif()
  # A missing image becomes one zero byte with a size of 0, which fails validation.
  if(size EQUAL 0)
    set(body "0x00")
  endif()
  set(${var} "alignas(8) const unsigned char ${name}[] = {\n${body}\n};\nconstexpr std::uint32_t ${name}Size = ${size};\n" PARENT_SCOPE)
endfunction()

image_array(first "${IMAGE_1}" firstImageBytes)
image_array(second "${IMAGE_2}" secondImageBytes)
file(WRITE "${OUTPUT}.tmp" "// Generated from the firmware image files at build time; do not edit.
#include \"firmware/image.h\"
#include <cstdint>

namespace {
${first}
${second}
}  // namespace

const t_EmbeddedImage embeddedImages[kEmbeddedImageCount] = {
    {firstImageBytes, firstImageBytesSize},
    {secondImageBytes, secondImageBytesSize},
};
")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
