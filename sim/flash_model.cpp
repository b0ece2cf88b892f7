#include "sim/flash_model.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace sim {

namespace {
constexpr std::uint32_t kIspWorkRamSize = 512;

bool rangeWithin(std::uint32_t address, std::uint32_t count, std::uint32_t base,
                 std::uint32_t size) {
  std::uint64_t end = static_cast<std::uint64_t>(address) + count;
  return address >= base && end <= static_cast<std::uint64_t>(base) + size;
}
}  // namespace

Memory::Memory(std::uint32_t bankSize) : bankSize_(bankSize), flash_(2u * bankSize, 0xFF) {
  ram_.push_back(RamRegion{kRamLocal, std::vector<std::uint8_t>(32 * 1024, 0)});
  ram_.push_back(RamRegion{kRamLocal2, std::vector<std::uint8_t>(40 * 1024, 0)});
  ram_.push_back(RamRegion{kRamAhb, std::vector<std::uint8_t>(48 * 1024, 0)});
}

Memory::~Memory() {
  if (fd_ >= 0) close(fd_);
}

int Memory::sectorCount() const {
  return 8 + static_cast<int>((bankSize_ - 8 * kSmallSector) / kLargeSector);
}

bool Memory::attachFile(const std::string& path, bool seeding, std::string* error) {
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    if (error) *error = "cannot open flash file " + path + ": " + std::strerror(errno);
    return false;
  }
  struct stat st{};
  fstat(fd, &st);
  std::lock_guard<std::mutex> lock(mutex_);
  if (!seeding && st.st_size > 0) {
    if (static_cast<std::uint64_t>(st.st_size) != flash_.size()) {
      if (error)
        *error = "flash file " + path + " holds " + std::to_string(st.st_size) +
                 " bytes, but two banks of " + std::to_string(bankSize_ / 1024) + " KB need " +
                 std::to_string(flash_.size()) + " (wrong bank size option?)";
      close(fd);
      return false;
    }
    std::size_t done = 0;
    while (done < flash_.size()) {
      ssize_t n = pread(fd, flash_.data() + done, flash_.size() - done, done);
      if (n <= 0) {
        if (error) *error = "cannot read flash file " + path;
        close(fd);
        return false;
      }
      done += static_cast<std::size_t>(n);
    }
  } else {
    if (ftruncate(fd, 0) != 0 ||
        pwrite(fd, flash_.data(), flash_.size(), 0) != static_cast<ssize_t>(flash_.size())) {
      if (error) *error = "cannot write flash file " + path + ": " + std::strerror(errno);
      close(fd);
      return false;
    }
  }
  if (fd_ >= 0) close(fd_);
  fd_ = fd;
  return true;
}

void Memory::save() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (fd_ < 0) return;
  if (pwrite(fd_, flash_.data(), flash_.size(), 0) == static_cast<ssize_t>(flash_.size()))
    fsync(fd_);
}

void Memory::persist(std::uint32_t address, std::uint32_t count) {
  if (fd_ < 0) return;
  std::uint32_t offset = address >= kBankB ? bankSize_ + (address - kBankB) : address - kBankA;
  // Written through at once: a simulator killed a moment later leaves this in the file.
  ssize_t n = pwrite(fd_, flash_.data() + offset, count, offset);
  (void)n;
}

bool Memory::inFlash(std::uint32_t address, std::uint32_t count) const {
  return rangeWithin(address, count, kBankA, bankSize_) ||
         rangeWithin(address, count, kBankB, bankSize_);
}

const Memory::RamRegion* Memory::ramRegion(std::uint32_t address, std::uint32_t count) const {
  for (const RamRegion& r : ram_)
    if (rangeWithin(address, count, r.base, static_cast<std::uint32_t>(r.bytes.size())))
      return &r;
  return nullptr;
}

Memory::RamRegion* Memory::ramRegion(std::uint32_t address, std::uint32_t count) {
  return const_cast<RamRegion*>(static_cast<const Memory*>(this)->ramRegion(address, count));
}

bool Memory::inRam(std::uint32_t address, std::uint32_t count) const {
  return ramRegion(address, count) != nullptr;
}

bool Memory::inWritableRam(std::uint32_t address, std::uint32_t count) const {
  if (!inRam(address, count)) return false;
  // The bootloader's own work area cannot be written by W.
  std::uint64_t end = static_cast<std::uint64_t>(address) + count;
  return !(address < kRamLocal2 + kIspWorkRamSize && end > kRamLocal2);
}

bool Memory::sectorOf(std::uint32_t address, int* bank, int* sector) const {
  std::uint32_t offset;
  if (rangeWithin(address, 1, kBankA, bankSize_)) {
    *bank = 0;
    offset = address - kBankA;
  } else if (rangeWithin(address, 1, kBankB, bankSize_)) {
    *bank = 1;
    offset = address - kBankB;
  } else {
    return false;
  }
  *sector = offset < 8 * kSmallSector ? static_cast<int>(offset / kSmallSector)
                                      : 7 + static_cast<int>(offset / kLargeSector);
  return true;
}

std::uint32_t Memory::sectorSize(int sector) const {
  return sector < 8 ? kSmallSector : kLargeSector;
}

std::uint32_t Memory::sectorAddress(int bank, int sector) const {
  std::uint32_t base = bank == 0 ? kBankA : kBankB;
  if (sector < 8) return base + static_cast<std::uint32_t>(sector) * kSmallSector;
  return base + static_cast<std::uint32_t>(sector - 7) * kLargeSector;
}

std::uint8_t* Memory::flashAt(std::uint32_t address) {
  return flash_.data() + (address >= kBankB ? bankSize_ + (address - kBankB) : address - kBankA);
}

const std::uint8_t* Memory::flashAt(std::uint32_t address) const {
  return flash_.data() + (address >= kBankB ? bankSize_ + (address - kBankB) : address - kBankA);
}

void Memory::read(std::uint32_t address, std::uint8_t* out, std::uint32_t count) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (inFlash(address, count)) {
    std::memcpy(out, flashAt(address), count);
  } else if (const RamRegion* r = ramRegion(address, count)) {
    std::memcpy(out, r->bytes.data() + (address - r->base), count);
  } else {
    std::memset(out, 0, count);
  }
}

std::uint8_t Memory::readByte(std::uint32_t address) const {
  std::uint8_t b = 0;
  read(address, &b, 1);
  return b;
}

std::uint32_t Memory::readWord(std::uint32_t address) const {
  std::uint8_t b[4];
  read(address, b, 4);
  return static_cast<std::uint32_t>(b[0]) | (static_cast<std::uint32_t>(b[1]) << 8) |
         (static_cast<std::uint32_t>(b[2]) << 16) | (static_cast<std::uint32_t>(b[3]) << 24);
}

void Memory::writeRam(std::uint32_t address, const std::uint8_t* bytes, std::uint32_t count) {
  std::lock_guard<std::mutex> lock(mutex_);
  RamRegion* region = ramRegion(address, count);
  if (!region) return;
  std::memcpy(region->bytes.data() + (address - region->base), bytes, count);
}

void Memory::eraseSectors(int bank, int first, int last) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (int s = first; s <= last; ++s) {
    std::uint32_t a = sectorAddress(bank, s);
    std::memset(flashAt(a), 0xFF, sectorSize(s));
    persist(a, sectorSize(s));
  }
}

void Memory::program(std::uint32_t address, const std::uint8_t* bytes, std::uint32_t count,
                     long weakBit) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::uint8_t* cell = flashAt(address);
  for (std::uint32_t i = 0; i < count; ++i) {
    std::uint8_t keep = 0;
    if (weakBit >= 0 && static_cast<std::uint32_t>(weakBit / 8) == i)
      keep = static_cast<std::uint8_t>(1u << (weakBit % 8)) & cell[i];
    cell[i] = static_cast<std::uint8_t>((cell[i] & bytes[i]) | keep);
  }
  persist(address, count);
}

void Memory::store(std::uint32_t address, const std::uint8_t* bytes, std::uint32_t count) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::memcpy(flashAt(address), bytes, count);
  persist(address, count);
}

void Memory::eraseAll() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::memset(flash_.data(), 0xFF, flash_.size());
  if (fd_ >= 0) persist(kBankA, bankSize_), persist(kBankB, bankSize_);
}

void Memory::clearRam() {
  std::lock_guard<std::mutex> lock(mutex_);
  for (RamRegion& region : ram_) std::memset(region.bytes.data(), 0, region.bytes.size());
}

std::vector<std::uint8_t> Memory::flashSnapshot() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return flash_;
}

}  // namespace sim
