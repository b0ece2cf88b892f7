#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "firmware/identify.h"
#include "firmware/product_table.h"

namespace {

// A record whose every field holds a recognisable value, to see what a parse leaves alone.
t_DeviceInfo filledRecord() {
  t_DeviceInfo record{};
  record.modelNumber = 0x1111;
  record.pcbRevision = 0x2222;
  record.idByte1 = 0x33;
  record.idByte0 = 0x44;
  record.hexWord = 0x55555555;
  record.firmwareVersion = 0x66666666;
  record.productName = "untouched";
  std::strcpy(record.nameBuf, "previous");
  return record;
}

std::string line(const std::string& name, const std::string& rest) {
  return "^=V \"" + name + "\"" + rest;
}

TEST(ParseIdentity, FullLine) {
  t_DeviceInfo record = filledRecord();
  ASSERT_EQ(parseIdentity(&record, line("Sonarch60", " 4.02.03a(beta),86,5,FF").c_str()), 0);
  EXPECT_STREQ(record.nameBuf, "Sonarch60");
  EXPECT_EQ(record.productName, record.nameBuf);
  EXPECT_EQ(record.firmwareVersion, 0x04021003u);
  EXPECT_EQ(record.modelNumber, 86);
  EXPECT_EQ(record.pcbRevision, 5);
  EXPECT_EQ(record.hexWord, 0xFFu);
  EXPECT_EQ(record.idByte1, 0x33);  // never set from a line
  EXPECT_EQ(record.idByte0, 0x44);
}

TEST(ParseIdentity, VersionShapes) {
  struct Case {
    const char* rest;
    std::uint32_t version;
  };
  const Case cases[] = {
      {" 4.02", 0x04020000},   {" 3.10b", 0x030A2000},    {" 3.10.07", 0x030A0007},
      {" 4.02.03a", 0x04021003}, {"_4_02", 0x04020000},     {" 4.2z", 0x0402A000 + 0x10000},
      {" 4.02()", 0x04020000}, {" 4.02(x", 0x04020000},   {" 255.255.63", 0xFFFF003F},
      {" 4", 0x04000000},      {"", 0},                   {" .", 0},
  };
  for (const Case& c : cases) {
    t_DeviceInfo record = filledRecord();
    EXPECT_EQ(parseIdentity(&record, line("S", c.rest).c_str()), 0) << c.rest;
    EXPECT_EQ(record.firmwareVersion, c.version) << c.rest;
    // Without the comma part the numbers keep their values.
    EXPECT_EQ(record.modelNumber, 0x1111) << c.rest;
    EXPECT_EQ(record.pcbRevision, 0x2222) << c.rest;
    EXPECT_EQ(record.hexWord, 0x55555555u) << c.rest;
  }
}

TEST(ParseIdentity, RemarkIsSkipped) {
  t_DeviceInfo record = filledRecord();
  EXPECT_EQ(parseIdentity(&record, line("S", " 4.02(a, b, \"c\"),90,2,1a2B").c_str()), 0);
  EXPECT_EQ(record.modelNumber, 90);
  EXPECT_EQ(record.pcbRevision, 2);
  EXPECT_EQ(record.hexWord, 0x1A2Bu);

  // Without ")" the remark runs to the end of the line, comma part and all.
  record = filledRecord();
  EXPECT_EQ(parseIdentity(&record, line("S", " 4.02(beta,86,5,FF").c_str()), 0);
  EXPECT_EQ(record.modelNumber, 0x1111);
  EXPECT_EQ(record.firmwareVersion, 0x04020000u);
}

TEST(ParseIdentity, EmptyNameTakesTheProductTableName) {
  t_DeviceInfo record = filledRecord();
  ASSERT_EQ(parseIdentity(&record, line("", " 4.02,86,5,0").c_str()), 0);
  EXPECT_STREQ(record.nameBuf, "");
  EXPECT_EQ(record.productName, lookupProductName(86, 5));
  EXPECT_STREQ(record.productName, "Sonarch60");
  EXPECT_EQ(record.hexWord, 0u);

  record = filledRecord();
  ASSERT_EQ(parseIdentity(&record, line("", " 4.02,86,9,0").c_str()), 0);
  EXPECT_EQ(record.productName, nullptr);

  // With no comma part the stored numbers are looked up.
  record = filledRecord();
  record.modelNumber = 100;
  record.pcbRevision = 1;
  ASSERT_EQ(parseIdentity(&record, line("", " 4.02").c_str()), 0);
  EXPECT_STREQ(record.productName, "Sonarch24-2710");
}

TEST(ParseIdentity, NameLength) {
  const std::string name31(31, 'n');
  t_DeviceInfo record = filledRecord();
  ASSERT_EQ(parseIdentity(&record, line(name31, " 1.00").c_str()), 0);
  EXPECT_EQ(std::string(record.nameBuf), name31);
  EXPECT_EQ(record.productName, record.nameBuf);

  for (std::size_t length : {32u, 33u, 80u}) {
    record = filledRecord();
    EXPECT_EQ(parseIdentity(&record, line(std::string(length, 'm'), " 1.00").c_str()), 2)
        << length;
    EXPECT_EQ(std::string(record.nameBuf), std::string(31, 'm'));
    EXPECT_EQ(record.firmwareVersion, 0x66666666u);
    EXPECT_STREQ(record.productName, "untouched");
  }

  record = filledRecord();
  EXPECT_EQ(parseIdentity(&record, "^=V \"Sonarch60 4.02"), 2);
  EXPECT_STREQ(record.nameBuf, "Sonarch60 4.02");
  EXPECT_EQ(parseIdentity(&record, "^=V \""), 2);
  EXPECT_STREQ(record.nameBuf, "");
}

TEST(ParseIdentity, WrongStart) {
  for (const char* text : {"", "^", "^=V", "^=V ", "^=V'Sonarch60' 4.02", "^=v \"S\" 4.02",
                           " ^=V \"S\" 4.02", "^+", "=V \"S\" 4.02"}) {
    t_DeviceInfo record = filledRecord();
    EXPECT_EQ(parseIdentity(&record, text), 1) << text;
    EXPECT_STREQ(record.nameBuf, "previous") << text;
  }
  t_DeviceInfo record = filledRecord();
  EXPECT_EQ(parseIdentity(&record, nullptr), 1);
  EXPECT_EQ(parseIdentity(nullptr, line("S", " 4.02").c_str()), 1);
}

TEST(ParseIdentity, TrailingCharactersGiveThreeAndKeepWhatWasRead) {
  for (const char* rest : {" 4.02 a", " 4.02ab", " 4.02A", " 4.02(x)y", " 4.02,86,5,FF ",
                           " 4.02,86,5,FFg", " 4.02,86,5,0xZ", " 4.02)", " 4.02.X"}) {
    t_DeviceInfo record = filledRecord();
    EXPECT_EQ(parseIdentity(&record, line("Sonarch60", rest).c_str()), 3) << rest;
    EXPECT_STREQ(record.productName, "untouched") << rest;
    EXPECT_STREQ(record.nameBuf, "Sonarch60") << rest;
    EXPECT_EQ(record.firmwareVersion & 0xFFFF0000, 0x04020000u) << rest;
  }
  t_DeviceInfo record = filledRecord();
  EXPECT_EQ(parseIdentity(&record, line("Sonarch60", " 4.02,86,5,FF!").c_str()), 3);
  EXPECT_EQ(record.modelNumber, 86);
  EXPECT_EQ(record.pcbRevision, 5);
  EXPECT_EQ(record.hexWord, 0xFFu);
}

TEST(ParseIdentity, CursorNeverPassesTheEndOfTheLine) {
  // Text behind the terminating NUL must never be parsed.
  const char afterQuote[] = "^=V \"S\"\0 7.07a";
  t_DeviceInfo record = filledRecord();
  EXPECT_EQ(parseIdentity(&record, afterQuote), 0);
  EXPECT_EQ(record.firmwareVersion, 0u);

  const char afterSeparator[] = "^=V \"S\" 4\0.07";
  record = filledRecord();
  EXPECT_EQ(parseIdentity(&record, afterSeparator), 0);
  EXPECT_EQ(record.firmwareVersion, 0x04000000u);

  const char openRemark[] = "^=V \"S\" 4.02(beta\0),86,5,FF";
  record = filledRecord();
  EXPECT_EQ(parseIdentity(&record, openRemark), 0);
  EXPECT_EQ(record.modelNumber, 0x1111);

  const char commaAtEnd[] = "^=V \"S\" 4.02,\0" "86,5,FF";
  record = filledRecord();
  EXPECT_EQ(parseIdentity(&record, commaAtEnd), 0);
  EXPECT_EQ(record.modelNumber, 0);
  EXPECT_EQ(record.pcbRevision, 0);
  EXPECT_EQ(record.hexWord, 0u);

  const char shortComma[] = "^=V \"S\" 4.02,86\0,5,FF";
  record = filledRecord();
  EXPECT_EQ(parseIdentity(&record, shortComma), 0);
  EXPECT_EQ(record.modelNumber, 86);
  EXPECT_EQ(record.pcbRevision, 0);
}

TEST(ParseIdentity, NumbersFollowUnsignedConversionRules) {
  struct Case {
    const char* rest;
    std::uint32_t version;
    std::uint16_t model, pcb;
    std::uint32_t hex;
  };
  const Case cases[] = {
      {" 4.02,86,5,0x1F", 0x04020000, 86, 5, 0x1F},
      {" 4.02,86,5,0X1f", 0x04020000, 86, 5, 0x1F},
      {" 4.02, 86, +5, -1", 0x04020000, 86, 5, 0xFFFFFFFF},
      {"  +4.\t2,86,5,\n ab", 0x04020000, 86, 5, 0xAB},
      {" 4.-1,86,5,0", 0x04000000u + (0xFFFFFFFFu << 16), 86, 5, 0},
      {" 4.02,70000,65537,0", 0x04020000, 70000 & 0xFFFF, 1, 0},  // stored in 16 bits
      {" 4.02,86,5,FFFFFFFF", 0x04020000, 86, 5, 0xFFFFFFFF},
      {" 4.02,86,5,100000000", 0x04020000, 86, 5, 0xFFFFFFFF},    // saturates
      {" 4.02,86,5,-100000000", 0x04020000, 86, 5, 0xFFFFFFFF},
      {" 4.02,86,5,-FFFFFFFF", 0x04020000, 86, 5, 1},
      {" 4.02,99999999999,5,0", 0x04020000, 0xFFFF, 5, 0},
      {" 4.02,,,", 0x04020000, 0, 0, 0},                          // missing numbers read 0
      {" 4.02,86x5y1f", 0x04020000, 86, 5, 0x1F},                 // any separator character
      {" 256.02", 0x00020000, 0x1111, 0x2222, 0x55555555},          // major wraps in 32 bits
  };
  for (const Case& c : cases) {
    t_DeviceInfo record = filledRecord();
    EXPECT_EQ(parseIdentity(&record, line("S", c.rest).c_str()), 0) << c.rest;
    EXPECT_EQ(record.firmwareVersion, c.version) << c.rest;
    EXPECT_EQ(record.modelNumber, c.model) << c.rest;
    EXPECT_EQ(record.pcbRevision, c.pcb) << c.rest;
    EXPECT_EQ(record.hexWord, c.hex) << c.rest;
  }
}

TEST(ParseIdentity, HexNumberAgreesWithStrtoulWhereItFitsThirtyTwoBits) {
  for (const char* hex : {"0", "7", "deadBEEF", " 0x10", "\t-0x10", "+ff", "0x", "0xg", "012",
                          "-0", "ffffffff", "-7fffffff"}) {
    char* end = nullptr;
    const auto expected = static_cast<std::uint32_t>(std::strtoul(hex, &end, 16));
    const bool wholeText = *end == '\0';
    t_DeviceInfo record = filledRecord();
    const int result = parseIdentity(&record, line("S", std::string(" 1.0,2,3,") + hex).c_str());
    EXPECT_EQ(result, wholeText ? 0 : 3) << hex;
    EXPECT_EQ(record.hexWord, expected) << hex;
  }
}

}  // namespace
