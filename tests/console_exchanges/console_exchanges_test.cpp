// The utility's exchanges with the switch's running firmware on its console at 19200 baud,
// proven with the ISP exchanges' link and proof: each way the switch answers, each single
// fault on the line both ways. A routine's success must mean what it says: the firmware is
// there, the identity read is the one the switch sent, the bootloader has taken over.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "exchange_proof.h"
#include "firmware/device_state.h"
#include "firmware/image.h"
#include "isp/device_line.h"
#include "isp/isp_commands.h"
#include "sim/image_install.h"
#include "update/flash_update.h"
#include "update/identify.h"
#include "update/param_table.h"

namespace exchanges {
namespace {

constexpr int kBootloaderBaud = 115200;

// A switch as the cases meet it: the identity its parameter table holds, how its console
// answers, and the compiled-in image that fits it (-1: none).
struct Switch {
  const char* name;
  int model, pcbRevision;
  sim::ProbeAnswer probe;
  bool ackBeforeIdentity;
  int image;
};
constexpr Switch kSonarch60{"Sonarch60", 86, 5, sim::ProbeAnswer::Ack, false, 0};
constexpr Switch kSonarch60Ready{"Sonarch60", 86, 5, sim::ProbeAnswer::ReadyLine, false, 0};
constexpr Switch kSonarch36{"Sonarch36", 86, 4, sim::ProbeAnswer::Ack, false, -1};
constexpr Switch kSonarch60Acks{"Sonarch60", 86, 5, sim::ProbeAnswer::Ack, true, 0};

// The image the scan loop's rule selects for a record: the first compiled-in one whose model
// and PCB revision equal the record's; -1 for none.
int imageFor(std::uint32_t model, std::uint32_t pcbRevision) {
  for (int i = 0; i < kEmbeddedImageCount; ++i) {
    t_FirmwareImage image{};
    selectEmbeddedImage(&image, i);
    if (image.header->imageLength != 0 && image.header->modelNumber == model &&
        image.header->pcbRevision == pcbRevision) {
      return i;
    }
  }
  return -1;
}

// A switch in its firmware: its table area as a finished update leaves it (made once; only the
// table is written in each case, as the console reads nothing else).
Reply inFirmware(const Switch& s, const std::string& label) {
  sim::Options options;
  options.name = s.name, options.model = s.model, options.pcbRevision = s.pcbRevision;
  options.probeAnswer = s.probe, options.ackBeforeIdentity = s.ackBeforeIdentity;
  sim::Memory scratch(512 * 1024);
  const std::vector<std::uint8_t> image(embeddedImages[0].data,
                                        embeddedImages[0].data + embeddedImages[0].size);
  std::string error;
  EXPECT_TRUE(sim::installImageBytes(image, options, &scratch, &error)) << error;
  std::vector<std::uint8_t> area(kTableArea);
  scratch.read(sim::tableAddressFor(scratch.bankSize()), area.data(), kTableArea);
  return Reply{label, options, true, [area](ChipLink& link) {
                 link.memory().store(sim::tableAddressFor(link.memory().bankSize()), area.data(),
                                     kTableArea);
                 link.runFirmware();
               }};
}

// A bootloader that waits for '?', or one synchronised at 115200 with its echo on or off.
Reply inBootloader(const char* label, const char* lines) {
  return Reply{label, sim::Options{}, true,
               [lines](ChipLink& link) { link.hostSetBaud(kBootloaderBaud), link.prepare(lines); }};
}

// Every byte belongs to the host line it is part of or answers.
std::string consolePart(const std::string& hostLine, int) {
  return hostLine.find("^P$") != std::string::npos ? "probe"
         : hostLine == "^V$"                       ? "identity"
         : hostLine == "^BOOTL$"                   ? "hand-over"
                                                   : "bootloader handshake";
}

// What a routine said of the switch's state is held against the switch: its firmware answers
// the host at 19200 baud, or its bootloader is synchronised at the host's rate, echo on.
std::string stateUntrue(ChipLink& link, bool firmwareSaid) {
  if (link.inFirmware() != firmwareSaid) {
    return link.inFirmware() ? "the switch runs its firmware" : "the switch is in its bootloader";
  }
  if (firmwareSaid) {
    return currentBaud == sim::kConsoleBaud ? ""
                                            : "the host listens at " + std::to_string(currentBaud);
  }
  return link.answersWithEcho() ? ""
                                : "the bootloader is not synchronised at " +
                                      std::to_string(currentBaud) + " baud with its echo on";
}

// One exchange from the host's port at the console's rate, as the scan opens it, for every
// reply and fault.
void prove(const char* title, const std::function<Verdict(ChipLink&)>& run,
           const std::function<std::string(ChipLink&, const Verdict&)>& untrue,
           const std::vector<Reply>& replies) {
  std::vector<PartTotals> totals;
  proveExchange(Exchange{[](ChipLink&) {}, sim::kConsoleBaud, run, untrue, consolePart}, replies,
                &totals);
  reportTotals(title, totals);
}

int lastSync = kSyncNothing;  // what the case's nxpSync returned

TEST(ConsoleExchange, SynchronisationProbe) {
  auto run = [](ChipLink&) {
    lastSync = nxpSync();  // 1: the bootloader, 2: the firmware
    return Verdict{lastSync != kSyncNothing, "nxpSync = " + std::to_string(lastSync), {}};
  };
  auto untrue = [](ChipLink& link, const Verdict&) {
    return stateUntrue(link, lastSync == kSyncFirmware);
  };
  prove("synchronisation probe", run, untrue,
        {inFirmware(kSonarch60, "firmware, ^+$"), inFirmware(kSonarch60Ready, "firmware, ^=P00$"),
         inBootloader("bootloader waiting for ?", ""),
         inBootloader("bootloader, echo on", "?Synchronized\r\n12000\r\n"),
         inBootloader("bootloader, echo off", "?Synchronized\r\n12000\r\nA 0\r\n")});
}

TEST(ConsoleExchange, Identity) {
  for (const Switch* s : {&kSonarch60, &kSonarch36})
    EXPECT_EQ(imageFor(s->model, s->pcbRevision), s->image) << s->name;
  auto run = [](ChipLink&) {
    const int result = identifyDevice();
    char text[160];
    std::snprintf(text, sizeof text,
                  "identifyDevice = %d, state %d, model %u, PCB %u, version 0x%08X, \"%s\"", result,
                  deviceState, unsigned{deviceInfo.modelNumber}, unsigned{deviceInfo.pcbRevision},
                  static_cast<unsigned>(deviceInfo.firmwareVersion), deviceInfo.nameBuf);
    return Verdict{result == kIdentified, text, {}};
  };
  auto untrue = [](ChipLink& link, const Verdict&) {
    if (deviceState != kStateFirmware) {
      return "the switch's firmware taken for state " + std::to_string(deviceState);
    }
    // The parameter table of the switch, which its identity line is made from.
    t_ParamTable table;
    link.memory().read(sim::tableAddressFor(link.memory().bankSize()),
                       reinterpret_cast<std::uint8_t*>(&table), sizeof table);
    const std::uint32_t model = table.identityWord >> 24;
    const std::uint32_t pcb = (table.identityWord >> 16) & 0xFF;
    if (deviceInfo.modelNumber == model && deviceInfo.pcbRevision == pcb &&
        compareVersions(deviceInfo.firmwareVersion, table.firmwareVersion) == 0 &&
        std::strncmp(deviceInfo.nameBuf, table.productName, sizeof table.productName) == 0) {
      return std::string();
    }
    char text[160];
    std::snprintf(text, sizeof text,
                  "the switch said model %u, PCB %u, version 0x%08X, \"%.32s\"; image %d chosen, "
                  "not %d",
                  static_cast<unsigned>(model), static_cast<unsigned>(pcb),
                  static_cast<unsigned>(table.firmwareVersion), table.productName,
                  imageFor(deviceInfo.modelNumber, deviceInfo.pcbRevision), imageFor(model, pcb));
    return std::string(text);
  };
  prove("identity", run, untrue,
        {inFirmware(kSonarch60, "Sonarch60 (86, 5)"), inFirmware(kSonarch36, "Sonarch36 (86, 4)"),
         inFirmware(kSonarch60Acks, "Sonarch60, ^+$ before its identity")});
}

TEST(ConsoleExchange, HandOverToBootloader) {
  auto run = [](ChipLink&) {
    const int result = enterBootloader();
    return Verdict{result == kBootloaderReady, "enterBootloader = " + std::to_string(result), {}};
  };
  auto untrue = [](ChipLink& link, const Verdict&) {
    return currentBaud != kBootloaderBaud
               ? "the host's port is at " + std::to_string(currentBaud) + " baud"
               : stateUntrue(link, false);
  };
  prove("hand-over to the bootloader", run, untrue,
        {inFirmware(kSonarch60, "firmware, ^+$"), inFirmware(kSonarch60Ready, "firmware, ^=P00$")});
}

}  // namespace
}  // namespace exchanges
