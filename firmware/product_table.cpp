// The products this program knows, and whether an image fits the switch on the port.
#include "firmware/product_table.h"

#include "support/console.h"

namespace {

constexpr const char* kModel90Names[] = {"Sonarch12", "Sonarch6", "sonarch6B"};
constexpr const char* kModel86Names[] = {"Sonarch12X", "Sonarch1224", "Sonarch24", "Sonarch36",
                                         "Sonarch60"};
// Not in the order of model 86: the -2710 boards were numbered as they were designed.
constexpr const char* kModel100Names[] = {"Sonarch24-2710", "Sonarch12-2710", "Sonarch1224-2710",
                                          "Sonarch36-2710", "Sonarch60-2710"};
constexpr const char* kModel95Names[] = {"Sonarch12-2710", "Sonarch6-2710", "sonarch6B-2710"};

template <std::size_t N>
constexpr t_ProductEntry row(std::uint32_t model, const char* const (&names)[N]) {
  return {model, static_cast<std::uint32_t>(N), names};
}

constexpr const char kSupportAddress[] = "https://www.valtrane.com/support";

// Names come from the switch or from an image; neither is trusted to be terminated within its
// 32-byte field.
constexpr int kNameField = 32;

const char* orEmpty(const char* text) { return text != nullptr ? text : ""; }

}  // namespace

const t_ProductEntry productTable[kProductTableRows] = {
    row(90, kModel90Names),
    row(86, kModel86Names),
    row(100, kModel100Names),
    row(95, kModel95Names),
};

const char* lookupProductName(std::int32_t model, std::int32_t pcbRevision) {
  for (const t_ProductEntry& entry : productTable) {
    if (entry.modelNumber != static_cast<std::uint32_t>(model)) continue;
    // Only the first row of a model counts, even when the revision is not in it.
    if (pcbRevision < 1 || static_cast<std::uint32_t>(pcbRevision) > entry.nameCount) {
      return nullptr;
    }
    return entry.names[pcbRevision - 1];
  }
  return nullptr;
}

int checkCompatibility(const t_DeviceInfo* device, const t_FirmwareImage* image) {
  if (device == nullptr ||
      lookupProductName(device->modelNumber, device->pcbRevision) == nullptr) {
    return kDeviceProductUnknown;
  }
  if (image == nullptr || image->header == nullptr) return kImageProductUnknown;
  const t_FirmwareHeader& header = *image->header;
  // The header's words are handed over as the signed arguments of the lookup, so a huge value
  // turns negative and is simply unknown.
  if (lookupProductName(static_cast<std::int32_t>(header.modelNumber),
                        static_cast<std::int32_t>(header.pcbRevision)) == nullptr) {
    return kImageProductUnknown;
  }
  if (header.modelNumber != device->modelNumber) return kModelMismatch;
  if (header.pcbRevision != device->pcbRevision) return kPcbMismatch;
  return kCompatible;
}

void reportIncompatibility(int code, const t_DeviceInfo* device, const t_FirmwareImage* image) {
  static const t_DeviceInfo noDevice{};
  const t_DeviceInfo& d = device != nullptr ? *device : noDevice;
  const char* imageName =
      image != nullptr && image->header != nullptr ? image->header->productName : "";
  switch (code) {
    case kImageProductUnknown:
      conStdPrintf("\nThe firmware file given is for a product not recognize by this program.\n");
      break;
    case kDeviceProductUnknown:
      conStdPrintf("\nThis program cannot update a \"%.*s\".", kNameField, d.nameBuf);
      break;
    case kModelMismatch:
      conStdPrintf("\nAttempting to update device: \"%.*s\".", kNameField, orEmpty(d.productName));
      conStdPrintf("\nNew firmware is for device:  \"%.*s\".\n", kNameField, imageName);
      conStdPrintf("\nIncompatible firmware, device not updated.\n");
      break;
    case kPcbMismatch:
      conStdPrintf("\nUnsupported PCB Revision: Rev %u.\n", static_cast<unsigned>(d.pcbRevision));
      conStdPrintf("This firmware won't work on this version of the %.*s,\ndevice not updated.\n",
                  kNameField, orEmpty(d.productName));
      break;
    default:
      break;
  }
  conStdPrintf(
      "\nPlease check the Valtrane website for the proper firmware for your product,\n"
      "or for a more recent version of this program: %s\n\n",
      kSupportAddress);
}
