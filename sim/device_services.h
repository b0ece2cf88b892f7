#pragma once
// What the two programs of the simulated chip (the ISP bootloader and the switch's firmware)
// may ask of the device around them: sending on the UART, being busy with the flash, the
// transcript, and the transitions between them.
#include <cstdint>
#include <string>

#include "sim/sim_clock.h"

namespace sim {

class DeviceServices {
 public:
  virtual ~DeviceServices() = default;
  // Raw bytes on the UART at the sender's current rate (echo, console frames).
  virtual void transmit(const std::string& bytes) = 0;
  // One reply line of the bootloader and its line end (CR LF, unless a fault changed it).
  // Reply-line faults apply.
  virtual void replyLine(const std::string& text, const std::string& end) = 0;
  // The chip is busy (erasing, programming) for this long: it reads nothing meanwhile and
  // what it sends next leaves after that. Only with wire timing.
  virtual void busyFor(Micros duration) = 0;
  virtual void event(const std::string& text) = 0;
  // The bootloader answered a command line, as it received it, with this return code: what
  // the chip did, for a host's verdict to be held against.
  virtual void commandAnswered(const std::string& /*command*/, int /*code*/) {}
  // The bootloader's Go: the chip leaves the bootloader for the code at address.
  virtual void go(std::uint32_t address) = 0;
  // The firmware hands over to the ISP bootloader.
  virtual void enterBootloader() = 0;
  // The power fails: nothing more is received or sent. With afterOutput the bytes already
  // queued for sending (a reply just given) still leave, as they were in the UART already.
  virtual void powerFail(const std::string& why, bool afterOutput = false) = 0;
  virtual void vanish(const std::string& why) = 0;
};

}  // namespace sim
