#pragma once
// The switch's own firmware as the utility meets it on the serial console at 19200 baud:
// framed messages "^...$". It answers the synchronisation probe "^P$", the identity request
// "^V$" (from the parameter table in its flash) and hands over to the ISP bootloader on
// "^BOOTL$". After a restart from the bootloader it reports its DSP update and its readiness.
#include <cstdint>
#include <deque>
#include <optional>
#include <string>

#include "sim/device_services.h"
#include "sim/faults.h"
#include "sim/flash_model.h"
#include "sim/sim_clock.h"
#include "sim/switch_sim.h"

namespace sim {

constexpr int kConsoleBaud = 19200;

class FirmwareConsole {
 public:
  FirmwareConsole(DeviceServices& device, const Memory& memory, const FaultPlan& faults,
                  const Options& options);

  // The firmware starts: at power-on quietly, after a restart by the bootloader's Go with
  // its DSP progress and ready messages (as the options say).
  void start(bool afterRestart, TimePoint now);
  void stop();
  // One byte as the UART received it; clean is false for noise (a byte sent at another rate).
  void receive(std::uint8_t byte, bool clean);
  // Sends the messages that are due.
  void poll(TimePoint now);
  std::optional<TimePoint> nextEvent() const;

  // The identity line (without the leading "^" and trailing "$") built from the flash.
  std::string identityText() const;

 private:
  void sendFrame(const std::string& body);
  // A whole frame as it leaves, after the noise a fault lets slip out before it.
  void sendRaw(std::string frame);
  // The identity frame that answers "^V$", as the identity faults let it leave.
  std::string identityFrame();
  void dispatch(const std::string& body);

  DeviceServices& dev_;
  const Memory& mem_;
  const FaultPlan& faults_;
  const Options& options_;
  bool inFrame_ = false;
  std::string body_;
  std::deque<std::pair<TimePoint, std::string>> scheduled_;
  int identityAnswers_ = 0;  // identity frames sent since the simulator's start
};

}  // namespace sim
