// The formatting engine through a collecting sink, its console and character-function ends,
// and the bounded text buffer.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

#include "driver/text_buffer.h"
#include "support/console.h"
#include "support/format.h"
#include "tests/common/io_calls.h"

namespace {

void stringSink(int ch, void* context) {
  static_cast<std::string*>(context)->push_back(static_cast<char>(ch));
}

struct Formatted {
  const char* format;
  std::string text;
};

// Also checks that the count returned is the number of characters produced.
Formatted fmt(const char* format, ...) {
  Formatted result{format, {}};
  va_list args;
  va_start(args, format);
  const int count = formatEngine(stringSink, &result.text, format, args);
  va_end(args);
  EXPECT_EQ(count, static_cast<int>(result.text.size())) << format;
  return result;
}

TEST(FormatEngine, FormatsArgumentsAsExpected) {
  const struct {
    Formatted got;
    const char* expected;
  } cases[] = {
      {fmt("%u", 0), "0"}, {fmt("%u", 4294967295u), "4294967295"}, {fmt("%3u", 5), "  5"},
      {fmt("%3u", 1234), "1234"}, {fmt("%02u", 5), "05"}, {fmt("%02u", 123), "123"},
      {fmt("%010u", 7), "0000000007"}, {fmt("%*u", 4, 7), "   7"},
      {fmt("%012u", 5), "  0000000005"},  // beyond ten positions: spaces even under zero padding
      {fmt("%05d", -42), "-0042"}, {fmt("%5d", -42), "  -42"}, {fmt("%+05d", 5), "+0005"},
      {fmt("%d", INT_MIN), "-2147483648"}, {fmt("%d", INT_MAX), "2147483647"},
      {fmt("%+d", 5), "+5"}, {fmt("%+d", -5), "-5"}, {fmt("% d", 5), " 5"}, {fmt("%+u", 5), "5"},
      {fmt("% u", -1), "4294967295"}, {fmt("%x", 255), "ff"}, {fmt("%X", 255), "FF"},
      {fmt("%+X", 255), "ff"}, {fmt("% X", 255), "ff"}, {fmt("%08X", 26), "0000001A"},
      {fmt("%p", 0xABCDEF01), "abcdef01"}, {fmt("%P", 0xABCDEF01), "ABCDEF01"},
      {fmt("%4x", 10), "   a"}, {fmt("%b", 5), "101"}, {fmt("%08b", 5), "00000101"},
      {fmt("%b", 0x80000000u), "10000000000000000000000000000000"}, {fmt("%o", 8), "10"},
      {fmt("%o", -1), "37777777777"}, {fmt("%+o", 8), "+10"}, {fmt("%+o", -8), "-10"},
      // Thousands separators, base 10 only.
      {fmt("%,d", 12345), "12,345"}, {fmt("%,u", 12345), "12,345"}, {fmt("%,u", 0), "0"},
      {fmt("%,u", 123456789), "123,456,789"}, {fmt("%,u", 4294967295u), "4,294,967,295"},
      {fmt("%,d", -1234567), "-1,234,567"}, {fmt("%,9u", 12345), "   12,345"},
      {fmt("%,09u", 5), "0,000,005"}, {fmt("%,u", 1234), "1,234"}, {fmt("%,x", 0x12345), "12345"},
      {fmt("%,08u", 5), " 000,005"},  // a separator that would open the field is a space
      // Prefixes stand right before the sign and digits.
      {fmt("%$5u", 5), "   $5"}, {fmt("% $d", 5), " $5"}, {fmt("%$d", -5), "$-5"},
      {fmt("%@5u", '#', 42), "  #42"}, {fmt("%$05u", 5), "$0005"}, {fmt("%@u", 0x168, 1), "h1"},
      // Strings: a width cuts, '.' gives the outer field.
      {fmt("%s", "abc"), "abc"}, {fmt("%s|", ""), "|"}, {fmt("%2s", "abc"), "ab"},
      {fmt("%5s", "abc"), "abc"}, {fmt("%8.3s", "abcdef"), "     abc"},
      {fmt("%-8.3s|", "abcdef"), "abc     |"}, {fmt("%S", 2, "abc"), "ab"},
      {fmt("%S", 5, "ab"), "ab"}, {fmt("%2S", 5, "abcdef"), "ab"}, {fmt("%5S", 3, "abcdef"), "abc"},
      {fmt("%S|", -4, "abc"), "|"},
      // Outer width and left-justify, belonging to the conversion that sets them.
      {fmt("%8.3u", 5), "       5"}, {fmt("%-8.3u|", 5), "  5     |"},
      {fmt("%-6.u|", 42), "42    |"}, {fmt("%4.6u", 5), "     5"},
      {fmt("%8.3u|%u|%-4.s|%s", 5, 6, "a", "b"), "       5|6|a   |b"},
      {fmt("%,13u|%8.3s", 1, "abcdef"), "            1|     abc"},
      {fmt("%I", 0x04030201), "1.2.3.4"}, {fmt("%03I", 0x04030201), "001.002.003.004"},
      {fmt("%3i", 0xFF00FF0A), " 10.255.  0.255"}, {fmt("%10.I|", 0x04030201), "1.2.3.4|"},
      {fmt("%c", 'A'), "A"}, {fmt("%5c|", 'A'), "A|"}, {fmt("%u.%02u", 4, 2), "4.02"},
      {fmt("%3u%%", 45), " 45%"}, {fmt("%lu %u", 7), "lu 7"},  // %l is no conversion
      {fmt("W %u %u\r\n", 268435456, 512), "W 268435456 512\r\n"},
      {fmt("G %u T\r\n", 0x1A000000), "G 436207616 T\r\n"}, {fmt("ab%5"), "ab"}, {fmt(""), ""},
  };
  for (const auto& c : cases) EXPECT_EQ(c.got.text, c.expected) << c.got.format;
  const char unterminated[3] = {'x', 'y', 'z'};  // S reads no further than its length
  EXPECT_EQ(fmt("%S", 3, unterminated).text, "xyz");
}

TEST(FormatEngine, HelpersAndFrontEnds) {
  std::string text;  // other bases count as decimal; a negative width is no width
  EXPECT_EQ(formatNumber(stringSink, &text, 1234, 7, -5, kSignNone, kPadSpaces, 0), 4);
  EXPECT_EQ(padSpaces(stringSink, &text, 0, 3) + padSpaces(stringSink, &text, 1, -2), 0);
  EXPECT_EQ(padSpaces(stringSink, &text, 1, 2), 2);
  EXPECT_EQ(text, "1234  ");

  // Sinks receive each character as a signed 8-bit value.
  static std::vector<int> received;
  const auto through = [](const char* format, ...) {
    va_list args;
    va_start(args, format);
    const auto record = [](int ch) { received.push_back(ch); return ch; };
    const int count = formatThrough(record, format, args);
    va_end(args);
    return count;
  };
  EXPECT_EQ(through("R %u\r\n", 4) + through("\xE9%c%s", 0xFF, "\x80"), 8);
  EXPECT_EQ(received, (std::vector<int>{'R', ' ', '4', '\r', '\n', -23, -1, -128}));
  std::fflush(stdout);
  testing::internal::CaptureStdout();
  conPuts("100% ");
  conPutChar(0x100 + 'y');
  EXPECT_EQ(conPrintf("%3u%% of %s\n", 45, "flash"), 14);
  conPrintf("\xE9");
  std::fflush(stdout);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "100% y 45% of flash\n\xE9");
}

// Standard output is unbuffered: a formatted text still goes to it whole, in one write when it
// is as short as a progress line, however long in a few.
TEST(FormatEngine, ConsoleGetsAFormattedTextInPiecesNotByCharacter) {
  std::fflush(stdout);
  std::setvbuf(stdout, nullptr, _IONBF, 0);  // as the program runs
  testing::internal::CaptureStdout();
  long before = vlfwu_test::writeCalls();
  conPrintf("\r%s firmware: %3u%% complete.", "Updating", 42u);
  const long progressWrites = vlfwu_test::writeCalls() - before;
  const std::string longText(3000, 'x');
  before = vlfwu_test::writeCalls();
  EXPECT_EQ(conPrintf("%s|%d", longText.c_str(), 7), 3002);
  const long longWrites = vlfwu_test::writeCalls() - before;
  std::fflush(stdout);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "\rUpdating firmware:  42% complete." + longText + "|7");
  EXPECT_EQ(progressWrites, 1);
  EXPECT_LE(longWrites, 3002 / 64) << "written a character at a time";
}

// The bounded text buffer in which version texts are built, filled by the engine.
TEST(TextBuffer, AppendsTerminatesAndCutsWhatDoesNotFit) {
  char storage[9];
  std::memset(storage, '#', sizeof storage);
  t_TextBuffer buffer{nullptr, 99, 0};
  textInit(&buffer, storage, 8);  // the last byte of storage lies outside the buffer
  EXPECT_TRUE(buffer.data == storage && buffer.length == 0 && buffer.capacity == 8);
  EXPECT_EQ(std::string(storage, 9), "#########");  // init writes nothing
  textPutChar('x', &buffer);  // stores without terminating
  EXPECT_EQ(buffer.length, 1);
  EXPECT_EQ(std::string(storage, 3), "x##");

  textInit(&buffer, storage, 8);
  EXPECT_EQ(textAppendString(&buffer, "4."), 2);
  EXPECT_EQ(textAppendFormat(&buffer, "%02u", 2), 2);
  EXPECT_EQ(textAppendChar(&buffer, 'a'), 1);
  EXPECT_EQ(textAppendString(&buffer, ""), 0);
  EXPECT_STREQ(storage, "4.02a");
  EXPECT_EQ(textAppendFormat(&buffer, ".%02u(Beta)", 3), 2);  // partway full
  EXPECT_EQ(buffer.length, 7);
  EXPECT_EQ(textAppendChar(&buffer, 'z'), 0);
  EXPECT_EQ(textAppendFormat(&buffer, "%u", 12345), 0);
  EXPECT_EQ(std::string(storage, 9), std::string("4.02a.0\0#", 9));

  textInit(&buffer, storage, 4);  // six letters into capacity 4
  EXPECT_EQ(textAppendString(&buffer, "abcdef"), 3);
  EXPECT_EQ(buffer.length, 3);
  EXPECT_EQ(std::string(storage, 5), std::string("abc\0a", 5));
  textPutChar('z', &buffer);  // a full buffer keeps overwriting its last slot
  EXPECT_EQ(buffer.length, 3);
  buffer.length = 200;  // a length set from outside is pulled back
  textAppendString(&buffer, "");
  EXPECT_EQ(buffer.length, 3);

  textInit(&buffer, storage, 1);  // room for the terminator only
  EXPECT_EQ(textAppendString(&buffer, "xyz"), 0);
  EXPECT_EQ(std::string(storage, 2), std::string("\0b", 2));
  textInit(&buffer, storage, 0);  // no storage: nothing is written
  storage[0] = '#';
  EXPECT_EQ(textAppendString(&buffer, "abc") + textAppendChar(&buffer, 'x'), 0);
  EXPECT_EQ(storage[0], '#');
}

}  // namespace
