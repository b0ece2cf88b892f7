#pragma once
// The serial line between host and switch: how long bytes take on the wire (10 bits each at
// the sender's rate, when wire timing is on) and what a receiver set to another rate gets
// instead of the byte that was sent (framing garbage, modelled as deterministic noise bytes
// with the high bit set).
#include <cstddef>
#include <cstdint>
#include <deque>

#include "sim/sim_clock.h"

namespace sim {

struct RxByte {
  std::uint8_t value;
  int hostBaud;   // the rate the host sent it at
  TimePoint due;  // when its last bit has arrived at the switch
};

struct TxByte {
  std::uint8_t value;
  int deviceBaud;  // the rate the switch sends it at
  TimePoint due;   // when its last bit has left the switch
};

// What a UART listening at one rate makes of a byte sent at another rate. Deterministic, so
// that runs repeat exactly; never a clean 7-bit character.
std::uint8_t noiseByte(std::uint8_t sent, std::uint64_t sequence);

// Duration of one byte (start bit, 8 data bits, stop bit) at a rate; zero for rate 0.
Micros byteTime(int baud);

class LineModel {
 public:
  explicit LineModel(bool wireSpeed) : wireSpeed_(wireSpeed) {}

  // Bytes just read from the host's side. With wire timing they become due one after the
  // other at the host's rate, no earlier than the previous byte.
  void received(const std::uint8_t* bytes, std::size_t count, int hostBaud, TimePoint now);
  bool rxEmpty() const { return rx_.empty(); }
  const RxByte& rxFront() const { return rx_.front(); }
  RxByte popRx();

  // Bytes the switch sends, not before notBefore; with wire timing paced at deviceBaud.
  void queueTx(const std::uint8_t* bytes, std::size_t count, int deviceBaud, TimePoint now,
               TimePoint notBefore);
  bool txEmpty() const { return tx_.empty(); }
  const TxByte& txFront() const { return tx_.front(); }
  TxByte popTx();

  // Power failure: nothing in flight reaches its destination.
  void clear();
  // Only what was received and not yet taken in is lost.
  void clearReceived() { rx_.clear(); }

 private:
  bool wireSpeed_;
  TimePoint rxLineFree_{};
  TimePoint txLineFree_{};
  std::deque<RxByte> rx_;
  std::deque<TxByte> tx_;
};

}  // namespace sim
