// The formatting engine, checked through a sink that collects into a string, and through
// the console and character-function front ends.
#include <gtest/gtest.h>

#include <climits>
#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

#include "support/console.h"
#include "support/format.h"

namespace {

void stringSink(int ch, void* context) {
  static_cast<std::string*>(context)->push_back(static_cast<char>(ch));
}

struct Formatted {
  std::string text;
  int count;
};

Formatted formatted(const char* format, ...) {
  Formatted result{{}, 0};
  va_list args;
  va_start(args, format);
  result.count = formatEngine(stringSink, &result.text, format, args);
  va_end(args);
  return result;
}

// The text, after checking that the count returned is the number of characters produced.
std::string fmt(const char* format, ...) {
  std::string text;
  va_list args;
  va_start(args, format);
  const int count = formatEngine(stringSink, &text, format, args);
  va_end(args);
  EXPECT_EQ(count, static_cast<int>(text.size())) << "format " << format;
  return text;
}

std::string number(std::uint32_t value, int base, int width, int signMode, int padFlags,
                   int prefix, int* count) {
  std::string text;
  *count = formatNumber(stringSink, &text, value, base, width, signMode, padFlags, prefix);
  return text;
}

TEST(FormatEngine, UnsignedDecimalWidthsAndZeroPadding) {
  EXPECT_EQ(fmt("%u", 0), "0");
  EXPECT_EQ(fmt("%u", 4294967295u), "4294967295");
  EXPECT_EQ(fmt("%3u", 5), "  5");
  EXPECT_EQ(fmt("%3u", 1234), "1234");  // never cut
  EXPECT_EQ(fmt("%02u", 5), "05");
  EXPECT_EQ(fmt("%02u", 123), "123");
  EXPECT_EQ(fmt("%10u", 7), "         7");
  EXPECT_EQ(fmt("%010u", 7), "0000000007");
  // Wider than the ten digit positions: the excess is spaces even under zero padding.
  EXPECT_EQ(fmt("%012u", 5), "  0000000005");
  EXPECT_EQ(fmt("%*u", 4, 7), "   7");
  EXPECT_EQ(fmt("%u", -1), "4294967295");
}

TEST(FormatEngine, SignedDecimalAndSignModes) {
  EXPECT_EQ(fmt("%05d", -42), "-0042");
  EXPECT_EQ(fmt("%5d", -42), "  -42");
  EXPECT_EQ(fmt("%d", INT_MIN), "-2147483648");
  EXPECT_EQ(fmt("%d", INT_MAX), "2147483647");
  EXPECT_EQ(fmt("%d", 0), "0");
  EXPECT_EQ(fmt("%+d", 5), "+5");
  EXPECT_EQ(fmt("%+d", -5), "-5");
  EXPECT_EQ(fmt("% d", 5), " 5");
  EXPECT_EQ(fmt("% 4d", 5), "   5");
  EXPECT_EQ(fmt("%+05d", 5), "+0005");
  // u ignores '+' and ' ' and never treats the value as signed.
  EXPECT_EQ(fmt("%+u", 5), "5");
  EXPECT_EQ(fmt("% u", -1), "4294967295");
}

TEST(FormatEngine, HexOctalBinary) {
  EXPECT_EQ(fmt("%x", 255), "ff");
  EXPECT_EQ(fmt("%X", 255), "FF");
  EXPECT_EQ(fmt("%+X", 255), "ff");  // the flag picks the letters, no sign is written
  EXPECT_EQ(fmt("% X", 255), "ff");
  EXPECT_EQ(fmt("%08X", 26), "0000001A");
  EXPECT_EQ(fmt("%p", 0xABCDEF01), "abcdef01");
  EXPECT_EQ(fmt("%P", 0xABCDEF01), "ABCDEF01");
  EXPECT_EQ(fmt("%x", -1), "ffffffff");
  EXPECT_EQ(fmt("%4x", 10), "   a");
  EXPECT_EQ(fmt("%b", 5), "101");
  EXPECT_EQ(fmt("%b", 0x80000000u), "10000000000000000000000000000000");
  EXPECT_EQ(fmt("%08b", 5), "00000101");
  EXPECT_EQ(fmt("%o", 8), "10");
  EXPECT_EQ(fmt("%o", -1), "37777777777");  // unsigned without a sign flag
  EXPECT_EQ(fmt("%+o", 8), "+10");
  EXPECT_EQ(fmt("%+o", -8), "-10");
}

TEST(FormatEngine, ThousandsSeparators) {
  EXPECT_EQ(fmt("%,d", 12345), "12,345");
  EXPECT_EQ(fmt("%,u", 12345), "12,345");
  EXPECT_EQ(fmt("%,u", 123456789), "123,456,789");
  EXPECT_EQ(fmt("%,u", 4294967295u), "4,294,967,295");
  EXPECT_EQ(fmt("%,d", -1234567), "-1,234,567");
  EXPECT_EQ(fmt("%,9u", 12345), "   12,345");
  EXPECT_EQ(fmt("%,09u", 5), "0,000,005");
  EXPECT_EQ(fmt("%,u", 0), "0");
  EXPECT_EQ(fmt("%,u", 999), "999");
  EXPECT_EQ(fmt("%,u", 1234), "1,234");
  EXPECT_EQ(fmt("%,6u", 1234), " 1,234");
  EXPECT_EQ(fmt("%,13u", 1234), "        1,234");
  // A separator that would open a zero-padded field is a space.
  EXPECT_EQ(fmt("%,08u", 5), " 000,005");
  // Separators exist only in base 10.
  EXPECT_EQ(fmt("%,x", 0x12345), "12345");
}

TEST(FormatEngine, Prefixes) {
  EXPECT_EQ(fmt("%$5u", 5), "   $5");
  EXPECT_EQ(fmt("% $d", 5), " $5");
  EXPECT_EQ(fmt("%$d", -5), "$-5");
  EXPECT_EQ(fmt("%@5u", '#', 42), "  #42");
  EXPECT_EQ(fmt("%$05u", 5), "$0005");
  EXPECT_EQ(fmt("%$X", 255), "$FF");
  EXPECT_EQ(fmt("%@u", 0x100 + 'h', 1), "h1");  // only the low 8 bits of the prefix
}

TEST(FormatEngine, Strings) {
  EXPECT_EQ(fmt("%s", "abc"), "abc");
  EXPECT_EQ(fmt("%s|", ""), "|");
  EXPECT_EQ(fmt("%2s", "abc"), "ab");  // a width cuts a string
  EXPECT_EQ(fmt("%5s", "abc"), "abc");
  EXPECT_EQ(fmt("%8.3s", "abcdef"), "     abc");
  EXPECT_EQ(fmt("%8.s", "abc"), "     abc");
  EXPECT_EQ(fmt("%-8.3s|", "abcdef"), "abc     |");
  EXPECT_EQ(fmt("%S", 2, "abc"), "ab");
  EXPECT_EQ(fmt("%S", 5, "ab"), "ab");  // ends early at a NUL
  EXPECT_EQ(fmt("%2S", 5, "abcdef"), "ab");
  EXPECT_EQ(fmt("%5S", 3, "abcdef"), "abc");
  EXPECT_EQ(fmt("%S|", -4, "abc"), "|");
  // S never reads beyond the length it is given: the text need not be terminated.
  const char unterminated[3] = {'x', 'y', 'z'};
  EXPECT_EQ(fmt("%S", 3, unterminated), "xyz");
}

TEST(FormatEngine, OuterWidthAndLeftJustify) {
  EXPECT_EQ(fmt("%8.3u", 5), "       5");
  EXPECT_EQ(fmt("%-8.3u|", 5), "  5     |");
  EXPECT_EQ(fmt("%-6.u|", 42), "42    |");
  EXPECT_EQ(fmt("%4.6u", 5), "     5");  // a number wider than the outer field
  // The outer width belongs to the conversion that sets it.
  EXPECT_EQ(fmt("%8.3u|%u|%-4.s|%s", 5, 6, "a", "b"), "       5|6|a   |b");
}

TEST(FormatEngine, DottedQuad) {
  EXPECT_EQ(fmt("%I", 0x04030201), "1.2.3.4");
  EXPECT_EQ(fmt("%03I", 0x04030201), "001.002.003.004");
  EXPECT_EQ(fmt("%3i", 0xFF00FF0A), " 10.255.  0.255");
  EXPECT_EQ(fmt("%10.I|", 0x04030201), "1.2.3.4|");  // no outer width for I
}

TEST(FormatEngine, CharactersLiteralsAndUnknownConversions) {
  EXPECT_EQ(fmt("%c", 'A'), "A");
  EXPECT_EQ(fmt("%5c|", 'A'), "A|");  // no padding
  EXPECT_EQ(fmt("%c", 0x100 + 'z'), "z");
  EXPECT_EQ(fmt("%u.%02u", 4, 2), "4.02");
  EXPECT_EQ(fmt("%3u%%", 45), " 45%");
  // %l is no conversion: the l is written, the u is plain text, no argument is taken.
  EXPECT_EQ(fmt("%lu %u", 7), "lu 7");
  EXPECT_EQ(fmt("W %u %u\r\n", 268435456, 512), "W 268435456 512\r\n");
  EXPECT_EQ(fmt("G %u T\r\n", 0x1A000000), "G 436207616 T\r\n");
  EXPECT_EQ(fmt("ab%5"), "ab");  // a conversion cut off by the end of the format
  EXPECT_EQ(fmt(""), "");
}

TEST(FormatEngine, SinkReceivesSignedCharactersAndCountIsReturned) {
  std::vector<int> received;
  auto sink = [](int ch, void* context) { static_cast<std::vector<int>*>(context)->push_back(ch); };
  auto run = [&](const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int count = formatEngine(sink, &received, format, args);
    va_end(args);
    return count;
  };
  EXPECT_EQ(run("\xE9%c%s", 0xFF, "\x80"), 3);
  EXPECT_EQ(received, (std::vector<int>{-23, -1, -128}));

  const Formatted f = formatted("%,13u|%8.3s", 1, "abcdef");
  EXPECT_EQ(f.count, 22);
  EXPECT_EQ(f.text, "            1|     abc");
}

TEST(FormatNumber, ReturnsItsCharacterCountAndTreatsOtherBasesAsDecimal) {
  int count = 0;
  EXPECT_EQ(number(1234, 7, 0, kSignNone, kPadSpaces, 0, &count), "1234");
  EXPECT_EQ(count, 4);
  EXPECT_EQ(number(5, 10, 12, kSignNone, 0, 0, &count), "  0000000005");
  EXPECT_EQ(count, 12);
  EXPECT_EQ(number(26, 16, 4, kSignNone, kPadSpaces, '$', &count), " $1A");  // prefix inside
  EXPECT_EQ(count, 4);
  EXPECT_EQ(number(26, 16, 4, kSignPlus, kPadSpaces, 0, &count), "  1a");
  EXPECT_EQ(number(0x80000000u, 10, 0, kSignMinus, kPadSpaces, 0, &count), "-2147483648");
  EXPECT_EQ(number(7, 2, 0, kSignMinus, kPadSpaces, 0, &count), "111");  // no sign in base 2
  EXPECT_EQ(number(42, 10, -5, kSignNone, kPadSpaces, 0, &count), "42");
  EXPECT_EQ(count, 2);
}

TEST(PadSpaces, WritesOnlyWhenEnabledAndPositive) {
  std::string text;
  EXPECT_EQ(padSpaces(stringSink, &text, 1, 3), 3);
  EXPECT_EQ(text, "   ");
  EXPECT_EQ(padSpaces(stringSink, &text, 0, 3), 0);
  EXPECT_EQ(padSpaces(stringSink, &text, 1, 0), 0);
  EXPECT_EQ(padSpaces(stringSink, &text, 1, -2), 0);
  EXPECT_EQ(text, "   ");
}

std::vector<int> functionReceived;
int recordCharacter(int ch) {
  functionReceived.push_back(ch);
  return ch;
}

int formatToRecorder(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int count = formatThrough(recordCharacter, format, args);
  va_end(args);
  return count;
}

TEST(FormatThrough, HandsEachCharacterToTheFunctionAsSignedByte) {
  functionReceived.clear();
  EXPECT_EQ(formatToRecorder("R %u %u\r\n", 0, 4), 7);
  EXPECT_EQ(functionReceived, (std::vector<int>{'R', ' ', '0', ' ', '4', '\r', '\n'}));

  functionReceived.clear();
  charFunctionSink(0x1C8, reinterpret_cast<void*>(&recordCharacter));
  EXPECT_EQ(functionReceived, (std::vector<int>{-56}));
}

std::string captureStdout(void (*action)()) {
  std::fflush(stdout);
  testing::internal::CaptureStdout();
  action();
  std::fflush(stdout);
  return testing::internal::GetCapturedStdout();
}

TEST(Console, RoutinesWriteToStandardOutput) {
  EXPECT_EQ(captureStdout([] {
              conPuts("100% ");
              conPutChar('x');
              conPutChar(0x100 + 'y');
              conPutChar('\n');
            }),
            "100% xy\n");
  EXPECT_EQ(captureStdout([] { EXPECT_EQ(conPrintf("%3u%% of %s\n", 45, "flash"), 14); }),
            " 45% of flash\n");
  EXPECT_EQ(captureStdout([] { conPrintf("\xE9"); }), "\xE9");
}

}  // namespace
