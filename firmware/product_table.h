#pragma once
// The product table (model number and PCB revision to product name) and the test whether an
// image fits a switch.
#include <cstdint>

#include "firmware/device_info.h"
#include "firmware/image.h"

struct t_ProductEntry {
  std::uint32_t modelNumber;
  std::uint32_t nameCount;
  const char* const* names;  // name k (from 1) is the product with PCB revision k
};

constexpr int kProductTableRows = 4;
extern const t_ProductEntry productTable[kProductTableRows];

// Null when the table does not know the pair.
const char* lookupProductName(std::int32_t model, std::int32_t pcbRevision);

constexpr int kCompatible = 0;
constexpr int kImageProductUnknown = 1;
constexpr int kDeviceProductUnknown = 2;
constexpr int kModelMismatch = 3;
constexpr int kPcbMismatch = 4;

int checkCompatibility(const t_DeviceInfo* device, const t_FirmwareImage* image);
void reportIncompatibility(int code, const t_DeviceInfo* device, const t_FirmwareImage* image);
