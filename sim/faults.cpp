#include "sim/faults.h"

namespace sim {

bool FaultPlan::powerFailsWithByte() {
  ++bytes_;
  return f_.powerLossAfterBytes >= 0 && bytes_ == f_.powerLossAfterBytes;
}

AfterCopy FaultPlan::afterCopy(std::uint32_t copyNumber) const {
  if (f_.powerLossAfterCopy > 0 && copyNumber == static_cast<std::uint32_t>(f_.powerLossAfterCopy))
    return AfterCopy::PowerLoss;
  if (f_.vanishAfterCopy > 0 && copyNumber == static_cast<std::uint32_t>(f_.vanishAfterCopy))
    return AfterCopy::Vanish;
  return AfterCopy::Nothing;
}

bool FaultPlan::weakCellIn(std::uint32_t copyNumber) const {
  return f_.weakCellCopy > 0 && copyNumber == static_cast<std::uint32_t>(f_.weakCellCopy);
}

bool FaultPlan::corruptNextWriteLine() {
  ++writeLines_;
  return f_.corruptWriteLine > 0 && writeLines_ == f_.corruptWriteLine;
}

LineFate FaultPlan::nextReplyLine() {
  ++replyLines_;
  if (f_.dropReplyLine > 0 && replyLines_ == f_.dropReplyLine) return LineFate::Drop;
  if (f_.delayReplyLine > 0 && replyLines_ == f_.delayReplyLine) return LineFate::Delay;
  return LineFate::Send;
}

bool FaultPlan::powerFailsAfterTableErase() {
  if (!f_.powerLossBeforeTableWrite || tableEraseFired_) return false;
  tableEraseFired_ = true;
  return true;
}

}  // namespace sim
