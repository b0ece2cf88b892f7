#include "sim/line_model.h"

#include <algorithm>

namespace sim {

std::uint8_t noiseByte(std::uint8_t sent, std::uint64_t sequence) {
  std::uint32_t mix = static_cast<std::uint32_t>(sent) * 0x9E37u +
                      static_cast<std::uint32_t>(sequence) * 0x85EBu;
  mix ^= mix >> 7;
  return static_cast<std::uint8_t>(0x80u | (mix & 0x7Fu));
}

Micros byteTime(int baud) {
  if (baud <= 0) return Micros(0);
  return Micros((10LL * 1000000LL + baud - 1) / baud);
}

void LineModel::received(const std::uint8_t* bytes, std::size_t count, int hostBaud,
                         TimePoint now) {
  Micros each = wireSpeed_ ? byteTime(hostBaud) : Micros(0);
  for (std::size_t i = 0; i < count; ++i) {
    // A byte that the pty delivered early still has to travel the wire.
    rxLineFree_ = std::max(rxLineFree_, now) + each;
    rx_.push_back(RxByte{bytes[i], hostBaud, wireSpeed_ ? rxLineFree_ : now});
  }
}

RxByte LineModel::popRx() {
  RxByte b = rx_.front();
  rx_.pop_front();
  return b;
}

void LineModel::queueTx(const std::uint8_t* bytes, std::size_t count, int deviceBaud,
                        TimePoint now, TimePoint notBefore) {
  Micros each = wireSpeed_ ? byteTime(deviceBaud) : Micros(0);
  for (std::size_t i = 0; i < count; ++i) {
    txLineFree_ = std::max({txLineFree_, now, notBefore}) + each;
    tx_.push_back(TxByte{bytes[i], deviceBaud, txLineFree_});
  }
}

TxByte LineModel::popTx() {
  TxByte b = tx_.front();
  tx_.pop_front();
  return b;
}

void LineModel::clear() {
  rx_.clear();
  tx_.clear();
}

}  // namespace sim
