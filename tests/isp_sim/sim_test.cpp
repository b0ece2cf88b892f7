// Synchronisation, commands and transfers against the simulated switch.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "../isp/isp_port.h"
#include "isp/isp_commands.h"
#include "isp/isp_transfer.h"
#include "isp/line_policy.h"
#include "sim/switch_sim.h"

namespace {

constexpr std::uint32_t kRam = 0x10000000u;  // local SRAM, outside the ISP work area
constexpr std::uint32_t kBankA = 0x1A000000u;
constexpr std::uint8_t kSector = 9;          // bank A's second 64 KB sector
constexpr std::uint32_t kSectorAddress = kBankA + 0x20000u;

class Sim : public ::testing::Test {
 protected:
  void start(sim::Options options) {
    isptest::closePort();
    device = std::make_unique<sim::Switch>(std::move(options));
    std::string error;
    ASSERT_TRUE(device->start(&error)) << error;
    isptest::openPort(device->slavePath(), 9);
    devFlushInput();
  }
  void TearDown() override {
    isptest::closePort();
    device.reset();
  }
  std::unique_ptr<sim::Switch> device;
};

using SyncScripted = isptest::PortTest;

TEST_F(SyncScripted, SilentPortTakesFourAttemptsAndEndsAt19200) {
  const auto begin = std::chrono::steady_clock::now();
  EXPECT_EQ(nxpSync(), kSyncNothing);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - begin).count();
  // Three 10 ms gaps and the line wait, twice; then twice as long as a slow link may hold.
  const std::int64_t least = 2 * (lineTimeoutMs() + 30) + 2 * (kSyncSlowLinkMs + 30);
  EXPECT_GE(ms, least);
  EXPECT_LT(ms, least + 1000);
  EXPECT_EQ(currentBaud, 19200);
  EXPECT_EQ(pty.slaveBaud(), 19200);
  EXPECT_EQ(sent(), "\x1b^P$?\r\x1b^P$*\r\x1b^P$?\r\x1b^P$*\r");
}

TEST_F(SyncScripted, ReadyLineMustHaveFiveCharacters) {
  // No rate known: 19200 first. "^=P1" is not the firmware's answer; "^=P12" is.
  currentBaud = 0;
  auto heard = std::async(std::launch::async, [this] {
    std::string text;
    for (const auto& [want, reply] : {std::pair{"*\r", "^=P1$"}, {"?\r", ""}, {"*\r", "^=P12$"}}) {
      pty.waitFor(want, 3000, &text);
      pty.write(reply);
    }
    return text;
  });
  EXPECT_EQ(nxpSync(), kSyncFirmware);
  EXPECT_EQ(currentBaud, 19200);
  EXPECT_EQ(heard.get(), "\x1b^P$*\r\x1b^P$?\r\x1b^P$*\r");
}

// A bootloader with its echo off rejects the probe line with "1"; turning the echo back on is
// success only when "A 1" is answered exactly "0", and the handshake's lines only when each
// echo and answer are as expected.
TEST_F(SyncScripted, EchoOnAndHandshakeAcceptOnlyTheExactAnswers) {
  currentBaud = 19200;
  for (const char* answer : {"5", "00", "\x11" "0", "0\x13"}) {
    SCOPED_TRACE(answer);
    auto heard = std::async(std::launch::async, [this, answer] {
      std::string text;
      pty.waitFor("?\r", 3000, &text);
      pty.write("1\r\n");
      pty.waitFor("A 1\r", 3000, &text);
      pty.write(std::string(answer) + "\r\n");
      return text;
    });
    EXPECT_EQ(nxpSync(), kSyncNothing);
    heard.get();
    EXPECT_EQ(currentBaud, 19200);
    currentBaud = 19200;
  }
  // Case a: "OK" with XON in it, and an echo that is another line.
  for (const char* reply : {"Synchronized\r\n\x11OK\r\n", "Synchronizes\r\nOK\r\n"}) {
    SCOPED_TRACE(reply);
    auto heard = std::async(std::launch::async, [this, reply] {
      std::string text;
      pty.waitFor("?\r", 3000, &text);
      pty.write("Synchronized\r\n");
      pty.waitFor("Synchronized\r\n", 3000, &text);
      pty.write(reply);
      return text;
    });
    EXPECT_EQ(nxpSync(), kSyncNothing);
    EXPECT_EQ(heard.get().find("O\r"), std::string::npos) << "went on after a wrong answer";
    currentBaud = 19200;
  }
}

std::vector<std::uint8_t> pattern(std::size_t n, unsigned seed) {
  std::vector<std::uint8_t> bytes(n);
  for (std::size_t i = 0; i < n; ++i) {
    bytes[i] = static_cast<std::uint8_t>(i * 131 + i / 251 + seed);
  }
  return bytes;
}

TEST_F(Sim, BootloaderSession) {
  // The 30th data line (in the 904 bytes' first block) is damaged on the way: the bootloader
  // answers RESEND and gets the block again; skipping that would make the next W block data.
  sim::Options options;
  options.startInBootloader = true;
  options.faults.corruptWriteLine = 30;
  options.bank256K = true;
  start(options);
  ASSERT_EQ(nxpSync(), kSyncBootloader);
  // 0: nothing; 4: one short line; 48: a full line and a short one; 900: one full block;
  // 904: a full block and a short one; 4096: four full blocks and a short one.
  for (const std::uint32_t count : {0u, 4u, 48u, 900u, 904u, 4096u}) {
    SCOPED_TRACE(count);
    const std::vector<std::uint8_t> bytes = pattern(count, count);
    ASSERT_EQ(nxpWriteRam(kRam, bytes.data(), count), 0);
    std::vector<std::uint8_t> back(count);
    ASSERT_EQ(nxpReadMemory(back.data(), kRam, count), static_cast<int>(count));
    EXPECT_EQ(back, bytes);
  }
  // Refused commands: a W off the word grid sends no data, so the next W is answered in turn;
  // an R that runs off the end of the 32 KB SRAM after one block reports that block's bytes.
  EXPECT_EQ(nxpWriteRam(kRam + 2, pattern(8, 1).data(), 8), 2);
  EXPECT_EQ(nxpWriteRam(kRam, pattern(8, 1).data(), 8), 0);
  lineBudgetEnd();  // the refused W made blocks smaller: whole ones again
  std::vector<std::uint8_t> tail(1800);
  EXPECT_EQ(nxpReadMemory(tail.data(), kRam + 0x8000 - 900, 1800), -900);

  // Counts off the word grid: the bootloader refuses them, so whole words are read and only
  // the bytes asked for are kept, also in the last block of a longer read.
  const std::vector<std::uint8_t> known = pattern(2048, 3);
  ASSERT_EQ(nxpWriteRam(kRam, known.data(), 2048), 0);
  for (const std::uint32_t count : {1u, 2u, 3u, 5u, 510u, 901u, 1803u}) {
    SCOPED_TRACE(count);
    std::vector<std::uint8_t> back(count + 4, 0xEE);
    ASSERT_EQ(nxpReadMemory(back.data(), kRam + 8, count), static_cast<int>(count));
    EXPECT_TRUE(std::equal(back.begin(), back.begin() + count, known.begin() + 8));
    EXPECT_EQ(std::count(back.begin() + count, back.end(), 0xEE), 4) << "wrote past the count";
  }

  // > J  < 0, the part's id, the flash-size word (0x44: 256 KB banks)
  std::uint32_t words[2] = {0, 0};
  EXPECT_EQ(nxpReadPartId(words), 0);
  EXPECT_NE(words[0], 0u);
  EXPECT_EQ(words[1] & 0xFFu, 0x44u);

  // Locked: Prepare is allowed, Erase and Go are not.
  EXPECT_EQ(nxpPrepareSectors(kSector, kSector, 0), 0);
  EXPECT_EQ(nxpEraseSectors(kSector, kSector, 0), 1);
  EXPECT_EQ(nxpGo(kBankA), kGoRefused);
  ASSERT_EQ(nxpUnlock(), 0);
  ASSERT_EQ(nxpPrepareSectors(kSector, kSector, 0), 0);
  ASSERT_EQ(nxpEraseSectors(kSector, kSector, 0), 0);

  std::vector<std::uint8_t> page = pattern(512, 5);
  ASSERT_EQ(nxpWriteRam(kRam, page.data(), 512), 0);
  ASSERT_EQ(nxpPrepareSectors(kSector, kSector, 0), 0);
  ASSERT_EQ(nxpCopyRamToFlash(kSectorAddress, kRam, 512), 0);
  EXPECT_EQ(nxpCompare(kSectorAddress, kRam, 512), 0);
  std::vector<std::uint8_t> back(512);
  ASSERT_EQ(nxpReadMemory(back.data(), kSectorAddress, 512), 512);
  EXPECT_EQ(back, page);

  // > M  < 10, the offset; the next command then reads its own reply.
  page[40] ^= 1;
  ASSERT_EQ(nxpWriteRam(kRam, page.data(), 512), 0);
  EXPECT_EQ(nxpCompare(kSectorAddress, kRam, 512), 2);
  EXPECT_EQ(nxpCompare(kSectorAddress, kRam, 40), 0);

  // > G <address> T  < 0, and the bootloader is gone.
  EXPECT_EQ(nxpGo(kSectorAddress), 0);
  EXPECT_NE(device->mode(), sim::Mode::BootloaderSynced);
  EXPECT_EQ(nxpUnlock(), kExchangeEchoDiffers);  // no echo, no reply
}

}  // namespace
