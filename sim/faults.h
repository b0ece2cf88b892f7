#pragma once
// The injected faults and their counters. Every fault is deterministic: it strikes at a
// numbered event (the N-th received byte, the k-th copy, the k-th data line or reply line),
// counted from the simulator's start, and only once.
#include <cstdint>

#include "sim/switch_sim.h"

namespace sim {

enum class LineFate { Send, Drop, Delay };
enum class AfterCopy { Nothing, PowerLoss, Vanish };

class FaultPlan {
 public:
  explicit FaultPlan(const Faults& faults) : f_(faults) {}

  const Faults& faults() const { return f_; }

  // One more byte has arrived: true when the power fails with it (before it is acted on).
  bool powerFailsWithByte();
  // The copy with this number (1-based) has been done: what happens next.
  AfterCopy afterCopy(std::uint32_t copyNumber) const;
  // True when the copy with this number leaves a weak cell.
  bool weakCellIn(std::uint32_t copyNumber) const;
  // One more Write-to-RAM data line: true when it is to be damaged.
  bool corruptNextWriteLine();
  // One more reply line of the bootloader: what becomes of it.
  LineFate nextReplyLine();
  // True (once) when an erase of the table's sector is to be the last thing the chip does.
  bool powerFailsAfterTableErase();
  bool consoleNoise() const { return f_.consoleNoise; }

  std::int64_t bytesReceived() const { return bytes_; }

 private:
  Faults f_;
  std::int64_t bytes_ = 0;
  int writeLines_ = 0;
  int replyLines_ = 0;
  bool tableEraseFired_ = false;
};

}  // namespace sim
