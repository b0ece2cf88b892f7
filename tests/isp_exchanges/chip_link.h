#pragma once
// The serial line between the utility's ISP code and the simulated chip, in one process and
// without a terminal: every byte the host writes reaches the chip's UART at once, the chip's
// echo and replies wait in a queue for the host's reads, and time is a virtual clock that a
// wait for input moves on when nothing is queued, so that a line that never comes costs no
// real time. One fault can be set on the wire, at one position of either direction counted
// from the start of the exchange: a flipped bit, a byte replaced, a byte inserted, or a run of
// bytes lost.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/device_services.h"
#include "sim/faults.h"
#include "sim/firmware_console.h"
#include "sim/flash_model.h"
#include "sim/isp_bootloader.h"
#include "sim/switch_sim.h"

namespace exchanges {

enum class Way { ToChip, ToHost };

struct WireFault {
  enum class Kind { None, Flip, Insert, Lose, Replace };
  Kind kind = Kind::None;
  Way way = Way::ToChip;
  std::size_t at = 0;     // position among that direction's bytes since the exchange began
  int bit = 0;            // Flip: the bit of that byte
  // Insert: the byte that arrives before the one at `at` (after it, with `after`: a byte
  // behind the last of a stream); Replace: the byte that arrives instead.
  std::uint8_t byte = 0;
  std::size_t count = 1;  // Lose: how many bytes from `at` on
  bool after = false;
};

// A command line as the chip received it, and the return code it answered.
struct Answer {
  std::string command;
  int code;
};

class ChipLink final : public sim::DeviceServices {
 public:
  // The chip works on memory as it is (the caller's: a fresh one for every case would cost
  // more than the case).
  ChipLink(const sim::Options& options, sim::Memory& memory);

  sim::Memory& memory() { return memory_; }
  // The switch runs its firmware: the host's bytes go to its console at 19200 baud until
  // "^BOOTL$" hands over to the bootloader, which then waits for '?'.
  void runFirmware();
  bool inFirmware() const { return firmware_; }

  // Bytes straight from the test at the chip's rate, to make the chip ready for the exchange:
  // no fault, nothing recorded, and what the chip sends back is discarded.
  void prepare(const std::string& bytes);
  // The exchange begins: bytes are counted and recorded from here on, and the fault strikes
  // at its position.
  void begin(const WireFault& fault);

  // The host's side, for the port and clock of this program.
  void hostSetBaud(int baud) { hostBaud_ = baud; }
  void hostWrite(const char* bytes, int count);
  int hostWaiting();
  int hostRead(char* buffer, int count);
  // True when bytes are waiting; otherwise the clock moves on by ms and false.
  bool hostWait(std::uint32_t ms);
  std::uint32_t nowMs() const { return nowMs_; }
  void sleep(std::uint32_t ms);
  // A sleep of microseconds: the clock moves on by whole milliseconds as they add up.
  void sleepUs(std::uint32_t us);
  // Sleeps of microseconds taken since the link was made.
  long microsecondSleeps() const { return microsecondSleeps_; }

  // What happened during the exchange.
  const std::vector<Answer>& answers() const { return answers_; }
  bool jumped() const { return jumped_; }
  // Whether the chip erased or copied to its flash since the link was made.
  bool flashWritten() const { return chip_.copies() + chip_.erases() > 0; }
  std::uint32_t jumpAddress() const { return jumpAddress_; }
  // The bytes as they were sent, before the fault: by the host, and by the chip; for each of
  // the chip's bytes, how many bytes the host had sent when the chip sent it.
  const std::vector<std::uint8_t>& sentToChip() const { return sentToChip_; }
  const std::vector<std::uint8_t>& sentToHost() const { return sentToHost_; }
  const std::vector<std::size_t>& causeOfByteToHost() const { return causes_; }
  // Sends ESC and K (read boot code version) at the host's rate, without a fault: true when
  // the chip echoes them and answers, so it is synchronised at that rate with its echo on.
  bool answersWithEcho();

  // sim::DeviceServices
  void transmit(const std::string& bytes) override;
  void replyLine(const std::string& text, const std::string& end) override;
  void busyFor(sim::Micros) override {}
  void event(const std::string&) override {}
  void commandAnswered(const std::string& command, int code) override;
  void go(std::uint32_t address) override;
  void enterBootloader() override;
  void powerFail(const std::string&, bool) override {}
  void vanish(const std::string&) override {}

 private:
  void deliver(std::uint8_t byte);
  void queueToHost(std::uint8_t byte);
  void dropToHost() { toHost_.clear(), toHostRead_ = 0; }
  // What arrives of byte `at` of a direction: into out, the number of bytes (0 to 2).
  int onWire(Way way, std::size_t at, std::uint8_t byte, std::uint8_t out[2]) const;

  sim::Options options_;
  sim::Memory& memory_;
  sim::FaultPlan plan_;
  sim::IspBootloader chip_;
  sim::FirmwareConsole console_;
  bool firmware_ = false;

  int hostBaud_ = 115200;
  std::uint32_t nowMs_ = 1000;
  std::uint32_t nowUs_ = 0;  // microseconds past nowMs_
  long microsecondSleeps_ = 0;
  std::uint64_t noiseSequence_ = 0;
  std::vector<std::uint8_t> toHost_;  // the bytes for the host, of which it has read
  std::size_t toHostRead_ = 0;          // this many

  bool recording_ = false;
  WireFault fault_;
  std::vector<std::uint8_t> sentToChip_;
  std::vector<std::uint8_t> sentToHost_;
  std::vector<std::size_t> causes_;
  std::vector<Answer> answers_;
  bool jumped_ = false;
  std::uint32_t jumpAddress_ = 0;
};

// The link that this program's serial port and clock lead to; null between cases.
void setActiveLink(ChipLink* link);

}  // namespace exchanges
