#include "sim/boot_rule.h"

#include <cstdio>
#include <vector>

#include "sim/image_install.h"
#include "update/param_table.h"

namespace sim {

namespace {

// The CRC-32 register (before its final complement) that a region ending with its own CRC
// leaves.
constexpr std::uint32_t kCrcResidue = 0xDEBB20E3u;

std::string hex(std::uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", v);
  return buf;
}

}  // namespace

BootDecision decideBoot(const Memory& memory) {
  if (!validCodeAt(memory, kBankA))
    return {BootTarget::Bootloader,
            "no valid code at " + hex(kBankA) + " (first eight words do not sum to 0)"};
  // The core loads its stack pointer and jumps to its reset vector (Thumb code, bit 0 set):
  // vectors that point nowhere (an all-zero page has the mark too) fault at once.
  std::uint32_t stack = memory.readWord(kBankA), reset = memory.readWord(kBankA + 4);
  if (!memory.inRam(stack - 4, 4) || (reset & 1u) == 0 || !memory.inFlash(reset & ~1u, 2))
    return {BootTarget::CrashingCode,
            "valid vector sum at " + hex(kBankA) + " but its stack pointer " + hex(stack) +
                " or reset vector " + hex(reset) + " points nowhere: the code crashes at once, "
                "the switch is silent until power-cycled"};
  t_ParamTable table{};
  std::uint32_t tableAddress = tableAddressFor(memory.bankSize());
  memory.read(tableAddress, reinterpret_cast<std::uint8_t*>(&table), sizeof table);
  std::uint32_t length = table.firmwareLength;
  bool knownTable = table.magic == kTableMagic || table.magic == kTableMagicOld;
  if (!knownTable || length < 32 || length > tableAddress - kBankA)
    return {BootTarget::Firmware,
            "valid code at " + hex(kBankA) +
                "; no parameter table gives the firmware's length, so it is not checked"};
  std::vector<std::uint8_t> region(length);
  memory.read(kBankA, region.data(), length);
  // simCrc32 complements at the end; the residue is the register before that.
  if ((simCrc32(region.data(), length) ^ 0xFFFFFFFFu) != kCrcResidue)
    return {BootTarget::CrashingCode,
            "valid vector sum at " + hex(kBankA) + " but the firmware fails its CRC-32 over " +
                std::to_string(length) + " bytes: the code crashes at once, the switch is "
                "silent until power-cycled"};
  return {BootTarget::Firmware, "the firmware's " + std::to_string(length) +
                                    " bytes pass their CRC-32"};
}

}  // namespace sim
