#pragma once
// Writing the image's parts to flash block by block, and mending a block whose copy may have
// gone wrong: its sectors are erased and everything already written in them is written again,
// so that no flash page is ever programmed twice without an erase between.
#include <cstdint>

// A stretch of the image as it goes to flash: the firmware after its head block, the
// parameter table, the head block. `done` bytes from its start are in flash.
struct t_Part {
  std::uint32_t address;
  const std::uint8_t* source;
  std::uint32_t length;
  std::uint32_t largestBlock;  // 4096 for the firmware, 512 for the table and the head block
  std::uint32_t done;
};

// The parts in the order they are written; the head block is the last.
constexpr int kPartFirmware = 0;  // the firmware after its head block
constexpr int kPartTable = 1;
constexpr int kPartHead = 2;
constexpr int kPartCount = 3;
struct t_Parts {
  t_Part part[kPartCount];
};

// Erases the sectors that [address, address + length) covers (Prepare and Erase, sent again
// while the line spoils them). A status code of programBlock.
unsigned eraseRegion(std::uint32_t address, std::uint32_t length);

// Called after each block of a part written with progress on, with the bytes still to write.
using t_ProgressFunction = void (*)(std::uint32_t remaining);

// Writes parts->part[index] from its `done` bytes on; progress (may be null) after every
// largest-size block, failed or not. A status code of programBlock, never kStatusSuspect.
unsigned writePart(t_Parts* parts, int index, t_ProgressFunction progress);
