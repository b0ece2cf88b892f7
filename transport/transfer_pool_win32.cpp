#include "transport/win32/transfer_pool.h"

namespace {

constexpr int kFree = 0;
constexpr int kInUse = 1;
constexpr int kLeft = 2;  // the driver may still write into it

t_Transfer records[kTransferRecords];

}  // namespace

bool transferEnded(const t_Transfer* transfer, DWORD waitMs) {
  return WaitForSingleObject(transfer->overlap.hEvent, waitMs) == WAIT_OBJECT_0;
}

t_Transfer* transferTake() {
  for (t_Transfer& record : records) {
    // A transfer that was left to its driver has ended once its event is set.
    if (record.state == kLeft && transferEnded(&record, 0)) {
      record.state = kFree;
    }
    if (record.state != kFree) {
      continue;
    }
    HANDLE event = record.overlap.hEvent;
    if (event == nullptr) {
      event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
      if (event == nullptr) {
        return nullptr;
      }
    }
    ZeroMemory(&record, sizeof record);
    record.overlap.hEvent = event;
    ResetEvent(event);
    record.state = kInUse;
    return &record;
  }
  return nullptr;
}

void transferGiveBack(t_Transfer* transfer) {
  if (transfer != nullptr) {
    transfer->state = kFree;
  }
}

void transferLeave(t_Transfer* transfer) {
  if (transfer != nullptr) {
    transfer->state = kLeft;
  }
}
