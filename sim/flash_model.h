#pragma once
// The switch's memories as the ISP bootloader sees them: two flash banks (8 KB sectors 0-7,
// then 64 KB sectors; erased state 0xFF; programming can only clear bits) and the on-chip
// RAM. The flash can be kept in a file, written through on every erase and program so that a
// killed simulator leaves exactly what the chip would hold.
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace sim {

constexpr std::uint32_t kBankA = 0x1A000000;
constexpr std::uint32_t kBankB = 0x1B000000;
constexpr std::uint32_t kSmallSector = 8 * 1024;
constexpr std::uint32_t kLargeSector = 64 * 1024;
constexpr std::uint32_t kPageSize = 512;
constexpr std::uint32_t kRamLocal = 0x10000000;  // 32 KB local SRAM: the staging area
constexpr std::uint32_t kRamLocal2 = 0x10080000; // 40 KB; its first 512 bytes are ISP work RAM
constexpr std::uint32_t kRamAhb = 0x20000000;    // 48 KB AHB SRAM

class Memory {
 public:
  explicit Memory(std::uint32_t bankSize);
  ~Memory();
  Memory(const Memory&) = delete;
  Memory& operator=(const Memory&) = delete;

  std::uint32_t bankSize() const { return bankSize_; }
  int sectorCount() const;  // per bank: 15 for 512 KB, 11 for 256 KB

  // Keeps the flash in path. With seeding false an existing file is loaded as it is (and a
  // missing one is created from the current, erased contents); with seeding true the current
  // contents replace the file's. False with a reason on failure.
  bool attachFile(const std::string& path, bool seeding, std::string* error);
  // Writes the whole flash to the file and flushes it to the disk.
  void save();

  // Address classification. The ranges are [address, address + count).
  bool inFlash(std::uint32_t address, std::uint32_t count) const;
  bool inRam(std::uint32_t address, std::uint32_t count) const;    // any RAM
  bool inWritableRam(std::uint32_t address, std::uint32_t count) const;  // W may write here

  // Bank (0 or 1) and sector of a flash address; false outside the flash.
  bool sectorOf(std::uint32_t address, int* bank, int* sector) const;
  // Address and size of a sector.
  std::uint32_t sectorAddress(int bank, int sector) const;
  std::uint32_t sectorSize(int sector) const;

  // Reads flash or RAM (the range must be mapped).
  void read(std::uint32_t address, std::uint8_t* out, std::uint32_t count) const;
  std::uint8_t readByte(std::uint32_t address) const;
  std::uint32_t readWord(std::uint32_t address) const;
  void writeRam(std::uint32_t address, const std::uint8_t* bytes, std::uint32_t count);

  // Flash operations. program() stores old AND new; weakBit, if not negative, is a bit index
  // (byte offset * 8 + bit) within the range that stays unprogrammed.
  void eraseSectors(int bank, int first, int last);
  void program(std::uint32_t address, const std::uint8_t* bytes, std::uint32_t count,
               long weakBit = -1);
  void eraseAll();
  // Every RAM byte 0, as the model starts.
  void clearRam();
  // Sets flash cells to exactly these bytes, as an interrupted operation leaves them.
  void store(std::uint32_t address, const std::uint8_t* bytes, std::uint32_t count);

  // A copy of both banks, bank A first.
  std::vector<std::uint8_t> flashSnapshot() const;

 private:
  struct RamRegion {
    std::uint32_t base;
    std::vector<std::uint8_t> bytes;
  };
  std::uint8_t* flashAt(std::uint32_t address);
  const std::uint8_t* flashAt(std::uint32_t address) const;
  const RamRegion* ramRegion(std::uint32_t address, std::uint32_t count) const;
  RamRegion* ramRegion(std::uint32_t address, std::uint32_t count);
  void persist(std::uint32_t address, std::uint32_t count);

  std::uint32_t bankSize_;
  std::vector<std::uint8_t> flash_;  // bank A then bank B
  std::vector<RamRegion> ram_;
  int fd_ = -1;
  mutable std::mutex mutex_;  // the flash is inspected from other threads
};

}  // namespace sim
