#include "firmware/product_table.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

const std::string kClosing =
    "\nPlease check the Valtrane website for the proper firmware for your product,\n"
    "or for a more recent version of this program: https://www.valtrane.com/support\n\n";

t_DeviceInfo device(std::uint16_t model, std::uint16_t pcb, const char* name = "") {
  t_DeviceInfo info{};
  info.modelNumber = model;
  info.pcbRevision = pcb;
  std::strncpy(info.nameBuf, name, sizeof info.nameBuf - 1);
  info.productName = lookupProductName(model, pcb);
  return info;
}

// A record over a header only: checkCompatibility and the messages read nothing else.
struct HeaderImage {
  t_FirmwareHeader header{};
  t_FirmwareImage record{};
  HeaderImage(std::uint32_t model, std::uint32_t pcb, const char* name = "") {
    header.modelNumber = model;
    header.pcbRevision = pcb;
    std::strncpy(header.productName, name, sizeof header.productName - 1);
    record.image = reinterpret_cast<const std::uint8_t*>(&header);
    record.header = &header;
    record.imageSize = sizeof header;
  }
};

std::string report(int code, const t_DeviceInfo& info, const t_FirmwareImage& image) {
  testing::internal::CaptureStdout();
  reportIncompatibility(code, &info, &image);
  return testing::internal::GetCapturedStdout();
}

TEST(ProductTable, LookupFollowsTheTableRows) {
  EXPECT_STREQ(lookupProductName(86, 5), "Sonarch60");
  EXPECT_STREQ(lookupProductName(86, 1), "Sonarch12X");
  EXPECT_STREQ(lookupProductName(100, 1), "Sonarch24-2710");
  EXPECT_STREQ(lookupProductName(100, 2), "Sonarch12-2710");
  EXPECT_STREQ(lookupProductName(100, 5), "Sonarch60-2710");
  EXPECT_STREQ(lookupProductName(95, 1), "Sonarch12-2710");
  EXPECT_STREQ(lookupProductName(95, 3), "sonarch6B-2710");
  EXPECT_STREQ(lookupProductName(90, 3), "sonarch6B");
  EXPECT_EQ(lookupProductName(86, 0), nullptr);
  EXPECT_EQ(lookupProductName(86, 6), nullptr);
  EXPECT_EQ(lookupProductName(86, -1), nullptr);
  EXPECT_EQ(lookupProductName(91, 1), nullptr);
  EXPECT_EQ(lookupProductName(-86, 1), nullptr);
  EXPECT_EQ(lookupProductName(90, 4), nullptr);
}

TEST(ProductTable, RowsInSearchOrder) {
  const std::uint32_t models[] = {90, 86, 100, 95};
  const std::uint32_t counts[] = {3, 5, 5, 3};
  for (int row = 0; row < kProductTableRows; ++row) {
    EXPECT_EQ(productTable[row].modelNumber, models[row]);
    EXPECT_EQ(productTable[row].nameCount, counts[row]);
  }
}

TEST(Compatibility, DecidesInTheGivenOrder) {
  const HeaderImage first(86, 5, "Sonarch60");
  const HeaderImage second(100, 5, "Sonarch60-2710");
  const HeaderImage unknown(86, 9, "Mystery");

  // An unknown switch wins over everything.
  const t_DeviceInfo model90rev4 = device(90, 4);
  EXPECT_EQ(checkCompatibility(&model90rev4, &first.record), kDeviceProductUnknown);
  EXPECT_EQ(checkCompatibility(&model90rev4, &second.record), kDeviceProductUnknown);
  EXPECT_EQ(checkCompatibility(&model90rev4, &unknown.record), kDeviceProductUnknown);

  const t_DeviceInfo sonarch36 = device(86, 4);
  EXPECT_EQ(checkCompatibility(&sonarch36, &unknown.record), kImageProductUnknown);
  EXPECT_EQ(checkCompatibility(&sonarch36, &first.record), kPcbMismatch);
  EXPECT_EQ(checkCompatibility(&sonarch36, &second.record), kModelMismatch);

  const t_DeviceInfo sonarch60 = device(86, 5);
  EXPECT_EQ(checkCompatibility(&sonarch60, &first.record), kCompatible);
  const t_DeviceInfo sonarch60_2710 = device(100, 5);
  EXPECT_EQ(checkCompatibility(&sonarch60_2710, &second.record), kCompatible);
  EXPECT_EQ(checkCompatibility(&sonarch60_2710, &first.record), kModelMismatch);
}

TEST(Compatibility, HeaderWordsAreNotTruncatedToSixteenBits) {
  const t_DeviceInfo sonarch60 = device(86, 5);
  // 0x10056 would equal 86 if the header's model were cut to 16 bits.
  const HeaderImage wideModel(0x10056, 5);
  EXPECT_EQ(checkCompatibility(&sonarch60, &wideModel.record), kImageProductUnknown);
  const HeaderImage hugePcb(86, 0x80000005);
  EXPECT_EQ(checkCompatibility(&sonarch60, &hugePcb.record), kImageProductUnknown);
}

TEST(Compatibility, CompiledInImagesFitTheirProducts) {
  for (int index = 0; index < kEmbeddedImageCount; ++index) {
    t_FirmwareImage image{};
    selectEmbeddedImage(&image, index);
    ASSERT_NE(image.header, nullptr);
    const t_DeviceInfo info = device(static_cast<std::uint16_t>(image.header->modelNumber),
                                     static_cast<std::uint16_t>(image.header->pcbRevision));
    EXPECT_EQ(checkCompatibility(&info, &image), kCompatible);
    EXPECT_STREQ(info.productName, image.header->productName);
  }
}

TEST(Compatibility, MessagesForEachCode) {
  const HeaderImage first(86, 5, "Sonarch60");
  const HeaderImage second(100, 5, "Sonarch60-2710");

  EXPECT_EQ(report(kImageProductUnknown, device(86, 5), first.record),
            "\nThe firmware file given is for a product not recognize by this program.\n" +
                kClosing);
  EXPECT_EQ(report(kDeviceProductUnknown, device(90, 4, "Sonarch9"), first.record),
            "\nThis program cannot update a \"Sonarch9\"." + kClosing);
  EXPECT_EQ(report(kModelMismatch, device(86, 4, "ignored"), second.record),
            "\nAttempting to update device: \"Sonarch36\"."
            "\nNew firmware is for device:  \"Sonarch60-2710\".\n"
            "\nIncompatible firmware, device not updated.\n" +
                kClosing);
  EXPECT_EQ(report(kPcbMismatch, device(86, 4), first.record),
            "\nUnsupported PCB Revision: Rev 4.\n"
            "This firmware won't work on this version of the Sonarch36,\ndevice not updated.\n" +
                kClosing);
  EXPECT_EQ(report(kCompatible, device(86, 5), first.record), kClosing);
  EXPECT_EQ(report(42, device(86, 5), first.record), kClosing);
}

TEST(Compatibility, MessagesSurviveMissingAndUnterminatedNames) {
  t_DeviceInfo info = device(86, 4);
  std::memset(info.nameBuf, 'Z', sizeof info.nameBuf);  // no NUL anywhere
  info.productName = info.nameBuf;
  HeaderImage image(100, 5);
  std::memset(image.header.productName, 'Q', sizeof image.header.productName);
  const std::string zs(32, 'Z');
  const std::string qs(32, 'Q');
  EXPECT_EQ(report(kDeviceProductUnknown, info, image.record),
            "\nThis program cannot update a \"" + zs + "\"." + kClosing);
  EXPECT_EQ(report(kModelMismatch, info, image.record),
            "\nAttempting to update device: \"" + zs + "\".\nNew firmware is for device:  \"" +
                qs + "\".\n\nIncompatible firmware, device not updated.\n" + kClosing);

  info.productName = nullptr;
  EXPECT_EQ(report(kPcbMismatch, info, image.record),
            "\nUnsupported PCB Revision: Rev 4.\n"
            "This firmware won't work on this version of the ,\ndevice not updated.\n" +
                kClosing);
}

}  // namespace
