#include "sim/torn_flash.h"

#include <array>

namespace sim {

std::string tearErase(Memory& memory, int bank, int first, int last, SeededChoice& choice) {
  static constexpr std::array<char, 4> kFates = {kPageErased, kPageUntouched, kPageZeroed,
                                                 kPageMixed};
  std::string fates;
  std::array<std::uint8_t, kPageSize> page{};
  for (int s = first; s <= last; ++s) {
    std::uint32_t start = memory.sectorAddress(bank, s);
    for (std::uint32_t at = start; at < start + memory.sectorSize(s); at += kPageSize) {
      char fate = kFates[choice.between(0, kFates.size() - 1)];
      fates.push_back(fate);
      if (fate == kPageUntouched) continue;
      for (std::uint8_t& b : page) {
        if (fate == kPageErased) b = 0xFF;
        else if (fate == kPageZeroed) b = 0x00;
        else b = choice.between(0, 1) ? 0xFF : 0x00;
      }
      memory.store(at, page.data(), kPageSize);
    }
  }
  return fates;
}

}  // namespace sim
