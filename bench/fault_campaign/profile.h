#pragma once
// The shape of a clean update of one image, learnt from the simulator's transcript: how many
// erases, copies, Write-to-RAM lines and blocks, reply lines and command lines it has, and the
// numbers of the received bytes at which each step of the sequence begins and ends.
#include <string>
#include <vector>

#include "bench/fault_campaign/sim_log.h"

namespace campaign {

struct BytePoint {
  std::string step;  // "request", "sync", "unlock", "erase 1", "block 7", "head block", ...
  long byte = 0;     // power-loss-after-bytes value
};

struct Profile {
  bool sound = false;
  std::string why;  // when not sound
  int erases = 0;
  int copies = 0;
  int headCopy = 0;     // the copy number of the head block (the last one)
  int tableCopy = 0;    // the copy number of the parameter table's first block
  long writeLines = 0;  // UU data lines the host sent
  long writeBlocks = 0; // checksummed blocks of them
  long commands = 0;    // command lines to the synchronised bootloader
  long replyLines = 0;  // reply lines of the bootloader (estimated without the echo)
  std::vector<BytePoint> points;
  std::vector<std::string> commandTexts;  // the command lines in order (K-1 is the K-th)
  // For each copy (K-1 for the K-th), the offset of the first word it programs (the first
  // whose bytes are not all 0xFF): where a weak cell under it shows in the compare; -1 when
  // it programs none.
  std::vector<long> copyFirstWord;
};

Profile profileOf(const SimLog& log);

}  // namespace campaign
