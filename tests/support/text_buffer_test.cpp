// The bounded text buffer in which version texts are built.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "driver/text_buffer.h"

namespace {

TEST(TextBuffer, InitTouchesNoStorage) {
  char storage[8];
  std::memset(storage, '#', sizeof storage);
  t_TextBuffer buffer{nullptr, 99, 0};
  textInit(&buffer, storage, sizeof storage);
  EXPECT_EQ(buffer.data, storage);
  EXPECT_EQ(buffer.length, 0);
  EXPECT_EQ(buffer.capacity, 8);
  EXPECT_EQ(std::string(storage, sizeof storage), "########");
}

TEST(TextBuffer, AppendsAndTerminates) {
  char storage[32];
  std::memset(storage, '#', sizeof storage);
  t_TextBuffer buffer;
  textInit(&buffer, storage, sizeof storage);
  EXPECT_EQ(textAppendString(&buffer, "4."), 2);
  EXPECT_EQ(textAppendFormat(&buffer, "%02u", 2), 2);
  EXPECT_EQ(textAppendChar(&buffer, 'a'), 1);
  EXPECT_EQ(textAppendString(&buffer, ""), 0);
  EXPECT_STREQ(storage, "4.02a");
  EXPECT_EQ(buffer.length, 5);
}

TEST(TextBuffer, PutCharStoresWithoutTerminating) {
  char storage[4];
  std::memset(storage, '#', sizeof storage);
  t_TextBuffer buffer;
  textInit(&buffer, storage, sizeof storage);
  textPutChar('x', &buffer);
  EXPECT_EQ(buffer.length, 1);
  EXPECT_EQ(std::string(storage, sizeof storage), "x###");
}

TEST(TextBuffer, OverlongTextIsCutAndStaysTerminated) {
  char storage[5];
  std::memset(storage, '#', sizeof storage);
  t_TextBuffer buffer;
  textInit(&buffer, storage, 4);  // the last byte of storage lies outside the buffer
  EXPECT_EQ(textAppendString(&buffer, "abcdef"), 3);
  EXPECT_EQ(buffer.length, 3);
  EXPECT_EQ(std::string(storage, sizeof storage), std::string("abc\0#", 5));

  // Full: nothing more is added, and the terminator holds.
  EXPECT_EQ(textAppendChar(&buffer, 'z'), 0);
  EXPECT_EQ(textAppendFormat(&buffer, "%u", 12345), 0);
  EXPECT_EQ(std::string(storage, sizeof storage), std::string("abc\0#", 5));
}

TEST(TextBuffer, FormatThatOverflowsPartway) {
  char storage[8];
  t_TextBuffer buffer;
  textInit(&buffer, storage, sizeof storage);
  EXPECT_EQ(textAppendString(&buffer, "10."), 3);
  EXPECT_EQ(textAppendFormat(&buffer, "%02u.%02u(Beta)", 1, 5), 4);
  EXPECT_STREQ(storage, "10.01.0");
  EXPECT_EQ(buffer.length, 7);
}

TEST(TextBuffer, TinyCapacities) {
  char storage[2] = {'#', '#'};
  t_TextBuffer buffer;
  textInit(&buffer, storage, 1);  // room for the terminator only
  EXPECT_EQ(textAppendString(&buffer, "abc"), 0);
  EXPECT_EQ(buffer.length, 0);
  EXPECT_EQ(storage[0], '\0');
  EXPECT_EQ(storage[1], '#');

  textInit(&buffer, storage, 0);  // no storage at all: nothing is written
  storage[0] = '#';
  EXPECT_EQ(textAppendString(&buffer, "abc"), 0);
  EXPECT_EQ(textAppendChar(&buffer, 'x'), 0);
  EXPECT_EQ(storage[0], '#');
}

TEST(TextBuffer, LengthSetBeyondCapacityIsPulledBack) {
  char storage[4];
  t_TextBuffer buffer;
  textInit(&buffer, storage, sizeof storage);
  buffer.length = 200;
  textAppendString(&buffer, "");
  EXPECT_EQ(buffer.length, 3);
  EXPECT_EQ(storage[3], '\0');
}

}  // namespace
