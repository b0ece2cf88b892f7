// The identity line parser, the product table and the compatibility test with its messages.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <string_view>

#include "firmware/identity_parse.h"
#include "firmware/product_table.h"

namespace {

using namespace std::string_view_literals;

// Values a parse must leave alone where the line does not mention the field.
constexpr std::uint16_t kM = 0x1111, kP = 0x2222;
constexpr std::uint32_t kH = 0x55555555, kV = 0x66666666;
constexpr const char* kUntouched = "untouched";

constexpr t_DeviceInfo kFilled{kM, kP, 0x33, 0x44, kH, kV, kUntouched, "previous"};

struct ParseCase {
  std::string_view line;  // may hold a NUL: nothing behind it may be parsed
  int result;
  std::uint32_t version;
  std::uint16_t model, pcb;
  std::uint32_t hex;
  const char* name = "S";  // expected in nameBuf unless the start is wrong
};

constexpr ParseCase kParseCases[] = {
    {"^=V \"Sonarch60\" 4.02.03a(beta),86,5,FF", 0, 0x04021003, 86, 5, 0xFF, "Sonarch60"},
    // An empty name takes the product table's name; a name must be closed.
    {"^=V \"\" 4.02,86,5,0", 0, 0x04020000, 86, 5, 0, ""},
    {"^=V \"\" 4.02,86,9,0", 0, 0x04020000, 86, 9, 0, ""},
    {"^=V \"Sonarch60 4.02", 2, kV, kM, kP, kH, "Sonarch60 4.02"},
    {"^=V \"", 2, kV, kM, kP, kH, ""},
    // Version shapes; without the comma part the numbers keep their values.
    {"^=V \"S\" 4.02", 0, 0x04020000, kM, kP, kH},
    {"^=V \"S\" 3.10b", 0, 0x030A2000, kM, kP, kH},
    {"^=V \"S\" 3.10.07", 0, 0x030A0007, kM, kP, kH},
    {"^=V \"S\" 4.02.03a", 0, 0x04021003, kM, kP, kH},
    {"^=V \"S\"_4_02", 0, 0x04020000, kM, kP, kH},  // separators are not examined
    {"^=V \"S\" 4.2o", 0, 0x0402F000, kM, kP, kH},
    {"^=V \"S\" 255.255.63", 0, 0xFFFF003F, kM, kP, kH},
    {"^=V \"S\" -0.+02.-0", 0, 0x00020000, kM, kP, kH},  // a signed zero is still zero
    {"^=V \"S\" 4", 0, 0x04000000, kM, kP, kH},
    {"^=V \"S\"", 0, 0, kM, kP, kH},
    // Remarks are skipped; one without ")" runs to the end of the line.
    {"^=V \"S\" 4.02()", 0, 0x04020000, kM, kP, kH},
    {"^=V \"S\" 4.02(a, b, \"c\"),90,2,1a2B", 0, 0x04020000, 90, 2, 0x1A2B},
    {"^=V \"S\" 4.02(beta,86,5,FF", 0, 0x04020000, kM, kP, kH},
    // Numbers follow the unsigned conversion: blanks, signs, 0x, saturation, 16-bit storage.
    {"^=V \"S\" 4.02,86,5,0x1F", 0, 0x04020000, 86, 5, 0x1F},
    {"^=V \"S\" 4.02, 86, +5, -1", 0, 0x04020000, 86, 5, 0xFFFFFFFF},
    {"^=V \"S\"  +4.\t2,86,5,\n ab", 0, 0x04020000, 86, 5, 0xAB},
    {"^=V \"S\" 4.02,65535,65535,0", 0, 0x04020000, 0xFFFF, 0xFFFF, 0},
    {"^=V \"S\" 4.02,86,5,100000000", 0, 0x04020000, 86, 5, 0xFFFFFFFF},
    {"^=V \"S\" 4.02,86,5,-FFFFFFFF", 0, 0x04020000, 86, 5, 1},
    {"^=V \"S\" 4.02,86,5,\t-0x10", 0, 0x04020000, 86, 5, 0xFFFFFFF0},
    {"^=V \"S\" 4.02,86,5,-7fffffff", 0, 0x04020000, 86, 5, 0x80000001},
    {"^=V \"S\" 4.02,,,", 0, 0x04020000, 0, 0, 0},  // missing numbers read 0
    {"^=V \"S\" 4.02,86x5y1f", 0, 0x04020000, 86, 5, 0x1F},
    // The cursor never steps over the line's end.
    {"^=V \"S\"\0 7.07a"sv, 0, 0, kM, kP, kH},
    {"^=V \"S\" 4\0.07"sv, 0, 0x04000000, kM, kP, kH},
    {"^=V \"S\" 4.02(beta\0),86,5,FF"sv, 0, 0x04020000, kM, kP, kH},
    {"^=V \"S\" 4.02,\0" "86,5,FF"sv, 0, 0x04020000, 0, 0, 0},
    {"^=V \"S\" 4.02,86\0,5,FF"sv, 0, 0x04020000, 86, 0, 0},
    // Anything behind the last recognised part: 3, with what was read kept.
    {"^=V \"S\" 4.02 a", 3, 0x04020000, kM, kP, kH},  // the space stops the letter
    {"^=V \"S\" 4.02ab", 3, 0x04021000, kM, kP, kH},
    {"^=V \"S\" 4.02A", 3, 0x04020000, kM, kP, kH},
    {"^=V \"S\" 4.02(x)y", 3, 0x04020000, kM, kP, kH},
    {"^=V \"S\" 4.02.X", 3, 0x04020000, kM, kP, kH},
    {"^=V \"S\" 4.02,86,5,FF ", 3, 0x04020000, 86, 5, 0xFF},
    {"^=V \"S\" 4.02,86,5,0xZ", 3, 0x04020000, 86, 5, 0},
    // A number that does not fit its field: 3, never a wrapped value. What came before the
    // field is kept; the version is stored only when all its fields fit.
    {"^=V \"S\" 4.02p", 3, kV, kM, kP, kH},  // the letter has 4 bits: 'a' to 'o'
    {"^=V \"S\" 4.2z,86,5,0", 3, kV, kM, kP, kH},
    {"^=V \"S\" 4.256", 3, kV, kM, kP, kH},
    {"^=V \"S\" 256.02", 3, kV, kM, kP, kH},
    {"^=V \"S\" 4294967300.02", 3, kV, kM, kP, kH},
    {"^=V \"S\" 4.02.64", 3, kV, kM, kP, kH},
    {"^=V \"S\" 4.02.99999999999a", 3, kV, kM, kP, kH},
    {"^=V \"S\" -4.02", 3, kV, kM, kP, kH},
    {"^=V \"S\" 4.-1,86,5,0", 3, kV, kM, kP, kH},
    {"^=V \"S\" 4.02.-3", 3, kV, kM, kP, kH},
    {"^=V \"S\" 4.02,65622,5,0", 3, 0x04020000, kM, kP, kH},
    {"^=V \"S\" 4.02,70000,65537,0", 3, 0x04020000, kM, kP, kH},
    {"^=V \"S\" 4.02,99999999999,5,deadBEEF", 3, 0x04020000, kM, kP, kH},
    {"^=V \"S\" 4.02,-86,5,0", 3, 0x04020000, kM, kP, kH},
    {"^=V \"S\" 4.02,86,65536,0", 3, 0x04020000, 86, kP, kH},
    {"^=V \"S\" 4.02,86,-1,0", 3, 0x04020000, 86, kP, kH},
    // A wrong start: 1, and nothing is touched.
    {"", 1, kV, kM, kP, kH},
    {"^=V ", 1, kV, kM, kP, kH},
    {"^=V'S' 4.02", 1, kV, kM, kP, kH},
    {"^=v \"S\" 4.02", 1, kV, kM, kP, kH},
    {" ^=V \"S\" 4.02", 1, kV, kM, kP, kH},
    {"^+", 1, kV, kM, kP, kH},
};

TEST(ParseIdentity, LineShapes) {
  for (const ParseCase& c : kParseCases) {
    SCOPED_TRACE(std::string(c.line));
    t_DeviceInfo record = kFilled;
    const std::string line(c.line);
    EXPECT_EQ(parseIdentity(&record, line.c_str()), c.result);
    EXPECT_EQ(record.firmwareVersion, c.version);
    EXPECT_EQ(record.modelNumber, c.model);
    EXPECT_EQ(record.pcbRevision, c.pcb);
    EXPECT_EQ(record.hexWord, c.hex);
    EXPECT_STREQ(record.nameBuf, c.result == 1 ? "previous" : c.name);
    if (c.result != 0) {
      EXPECT_EQ(record.productName, kUntouched);
    } else if (*c.name != '\0') {
      EXPECT_EQ(record.productName, record.nameBuf);
    } else {
      EXPECT_EQ(record.productName, lookupProductName(c.model, c.pcb));
    }
  }
  t_DeviceInfo record = kFilled;
  EXPECT_EQ(parseIdentity(&record, nullptr), 1);
  EXPECT_EQ(parseIdentity(nullptr, "^=V \"S\" 4.02"), 1);
}

TEST(ParseIdentity, NameLength) {
  t_DeviceInfo record;
  for (std::size_t length : {31u, 32u, 33u, 80u}) {  // more than 31: 2, with 31 kept
    record = kFilled;
    const std::string line = "^=V \"" + std::string(length, 'm') + "\" 1.00";
    EXPECT_EQ(parseIdentity(&record, line.c_str()), length == 31 ? 0 : 2);
    EXPECT_EQ(std::string(record.nameBuf), std::string(31, 'm'));
    EXPECT_EQ(record.firmwareVersion, length == 31 ? 0x01000000 : kV);
    EXPECT_EQ(record.productName, length == 31 ? record.nameBuf : kUntouched);
  }
  record = kFilled;  // an empty name with no numbers looks up the stored ones
  record.modelNumber = 100;
  record.pcbRevision = 1;
  ASSERT_EQ(parseIdentity(&record, "^=V \"\" 4.02"), 0);
  EXPECT_STREQ(record.productName, "Sonarch24-2710");
}

TEST(ProductTable, LookupFollowsTheRows) {
  const struct {
    int model, pcb;
    const char* name;
  } cases[] = {
      {86, 5, "Sonarch60"},        {86, 1, "Sonarch12X"},       {100, 1, "Sonarch24-2710"},
      {100, 2, "Sonarch12-2710"},  {100, 5, "Sonarch60-2710"},  {95, 1, "Sonarch12-2710"},
      {95, 3, "sonarch6B-2710"},   {90, 3, "sonarch6B"},        {86, 0, nullptr},
      {86, 6, nullptr},            {86, -1, nullptr},           {91, 1, nullptr},
      {-86, 1, nullptr},           {90, 4, nullptr},            {100, 6, nullptr},
      {95, 4, nullptr},
  };
  for (const auto& c : cases) {
    EXPECT_STREQ(lookupProductName(c.model, c.pcb), c.name) << c.model << "," << c.pcb;
  }
}

t_DeviceInfo device(std::uint16_t model, std::uint16_t pcb, const char* name = "") {
  t_DeviceInfo info{model, pcb, 0, 0, 0, 0, lookupProductName(model, pcb), ""};
  std::strncpy(info.nameBuf, name, sizeof info.nameBuf - 1);
  return info;
}

// checkCompatibility and the messages read nothing but the header.
struct HeaderImage {
  t_FirmwareHeader header{};
  t_FirmwareImage record{};
  HeaderImage(std::uint32_t model, std::uint32_t pcb, const char* name = "") {
    header.modelNumber = model;
    header.pcbRevision = pcb;
    std::strncpy(header.productName, name, sizeof header.productName - 1);
    record = {reinterpret_cast<const std::uint8_t*>(&header), &header, nullptr, nullptr,
              sizeof header};
  }
};

TEST(Compatibility, DecidesInTheGivenOrder) {
  const struct {
    std::uint16_t model, pcb;
    std::uint32_t imageModel, imagePcb;
    int code;
  } cases[] = {
      {90, 4, 86, 5, kDeviceProductUnknown},  {90, 4, 86, 9, kDeviceProductUnknown},
      {86, 4, 86, 9, kImageProductUnknown},   {86, 4, 86, 5, kPcbMismatch},
      {86, 4, 100, 5, kModelMismatch},        {100, 5, 86, 5, kModelMismatch},
      {86, 5, 86, 5, kCompatible},            {100, 5, 100, 5, kCompatible},
      // The header's words are compared whole, not cut to 16 bits.
      {86, 5, 0x10056, 5, kImageProductUnknown}, {86, 5, 86, 0x80000005, kImageProductUnknown},
  };
  for (const auto& c : cases) {
    const t_DeviceInfo info = device(c.model, c.pcb);
    const HeaderImage image(c.imageModel, c.imagePcb);
    EXPECT_EQ(checkCompatibility(&info, &image.record), c.code)
        << c.model << "," << c.pcb << " / " << c.imageModel << "," << c.imagePcb;
  }
}

std::string report(int code, const t_DeviceInfo& info, const t_FirmwareImage& image) {
  testing::internal::CaptureStdout();
  reportIncompatibility(code, &info, &image);
  return testing::internal::GetCapturedStdout();
}

TEST(Compatibility, MessagesForEachCode) {
  const std::string closing =
      "\nPlease check the Valtrane website for the proper firmware for your product,\n"
      "or for a more recent version of this program: https://www.valtrane.com/support\n\n";
  const HeaderImage first(86, 5, "Sonarch60");
  const HeaderImage second(100, 5, "Sonarch60-2710");
  EXPECT_EQ(report(kImageProductUnknown, device(86, 5), first.record),
            "\nThe firmware file given is for a product not recognize by this program.\n" +
                closing);
  EXPECT_EQ(report(kDeviceProductUnknown, device(90, 4, "Sonarch9"), first.record),
            "\nThis program cannot update a \"Sonarch9\"." + closing);
  EXPECT_EQ(report(kModelMismatch, device(86, 4, "ignored"), second.record),
            "\nAttempting to update device: \"Sonarch36\"."
            "\nNew firmware is for device:  \"Sonarch60-2710\".\n"
            "\nIncompatible firmware, device not updated.\n" + closing);
  EXPECT_EQ(report(kPcbMismatch, device(86, 4), first.record),
            "\nUnsupported PCB Revision: Rev 4.\n"
            "This firmware won't work on this version of the Sonarch36,\ndevice not updated.\n" +
                closing);
  EXPECT_EQ(report(kCompatible, device(86, 5), first.record), closing);
  EXPECT_EQ(report(42, device(86, 5), first.record), closing);

  // Names without a NUL are read only within their fields; no name prints as nothing.
  t_DeviceInfo info = device(86, 4);
  std::memset(info.nameBuf, 'Z', sizeof info.nameBuf);
  info.productName = info.nameBuf;
  HeaderImage image(100, 5);
  std::memset(image.header.productName, 'Q', sizeof image.header.productName);
  EXPECT_EQ(report(kModelMismatch, info, image.record),
            "\nAttempting to update device: \"" + std::string(32, 'Z') +
                "\".\nNew firmware is for device:  \"" + std::string(32, 'Q') +
                "\".\n\nIncompatible firmware, device not updated.\n" + closing);
  info.productName = nullptr;
  EXPECT_EQ(report(kPcbMismatch, info, image.record),
            "\nUnsupported PCB Revision: Rev 4.\n"
            "This firmware won't work on this version of the ,\ndevice not updated.\n" + closing);
}

}  // namespace
