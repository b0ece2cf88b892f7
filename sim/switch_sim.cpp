// The simulated switch: one device thread runs an event loop over the pseudo-terminal's
// master, feeding received bytes (at line rate, with the rate model) to whichever program
// the chip runs now, the ISP bootloader or the firmware console, and sending their output
// paced and rate-checked.
#include "sim/switch_sim.h"

#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <thread>

#include "sim/boot_rule.h"
#include "sim/faults.h"
#include "sim/firmware_console.h"
#include "sim/flash_model.h"
#include "sim/image_install.h"
#include "sim/isp_bootloader.h"
#include "sim/line_model.h"
#include "sim/line_noise.h"
#include "sim/pty_link.h"
#include "sim/transcript.h"
#include "sim/usb_adapter.h"

namespace sim {

namespace {

constexpr auto kReplyDelay = std::chrono::milliseconds(600);
constexpr auto kIdleWake = std::chrono::milliseconds(20);
constexpr auto kDetachedPoll = std::chrono::milliseconds(5);

const char* modeName(Mode m) {
  switch (m) {
    case Mode::Off: return "off";
    case Mode::Firmware: return "firmware";
    case Mode::BootloaderWaiting: return "bootloader (waiting for '?')";
    case Mode::BootloaderSynced: return "bootloader (synchronised)";
  }
  return "?";
}

std::string hex(std::uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", v);
  return buf;
}

std::string byteChange(const char* way, std::uint8_t sent, std::uint8_t arrived) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "fault: bit error %s, 0x%02X arrived as 0x%02X", way, sent,
                arrived);
  return buf;
}

// The two directions draw from generators of their own, so a change on one side leaves the
// other's errors where they were.
constexpr std::uint64_t kOutboundSeedMix = 0x9E3779B97F4A7C15ull;

}  // namespace

struct Switch::Impl final : DeviceServices {
  explicit Impl(Options o)
      : options(std::move(o)),
        inbound(options.lineFaults.bitErrorRate, options.seed),
        outbound(options.lineFaults.bitErrorRate, options.seed ^ kOutboundSeedMix),
        memory(options.bank256K ? 256 * 1024 : 512 * 1024),
        faults(options.faults, options.seed),
        line(options.wireSpeed),
        adapter(options.adapterLatencyMs, options.adapterFrames),
        boot(*this, memory, faults, options),
        console(*this, memory, faults, options) {}

  Options options;
  TimePoint startedAt = simNow();
  bool wasAway = false;
  BitErrors inbound;   // host to switch, as the chip's UART receives
  BitErrors outbound;  // switch to host, as the host reads
  Memory memory;
  FaultPlan faults;
  Transcript log;
  PtyLink link;
  LineModel line;
  UsbAdapter adapter;
  IspBootloader boot;
  FirmwareConsole console;

  std::thread thread;
  std::atomic<bool> stopRequested{false};
  std::atomic<Mode> mode{Mode::Off};
  std::atomic<int> baud{0};
  std::atomic<bool> powerLost{false};
  std::atomic<std::uint32_t> copies{0};
  bool running = false;
  TimePoint busyUntil{};
  // While a received byte is handled: when the switch handles it, once it has arrived and the
  // chip is free, however late the simulator's thread woke for it. Its echo and replies are
  // timed from there, as a UART's would be: a late wake must not hold back the wire.
  TimePoint handling{};
  std::uint64_t noiseSequence = 0;
  std::vector<std::uint8_t> outBuffer;  // converted bytes not yet taken by the pty
  std::string slave;
  std::vector<std::uint8_t> txLog;  // sent bytes not yet in the transcript
  int txLogBaud = 0;
  std::string txLogNote;

  // --- DeviceServices -------------------------------------------------------------------

  TimePoint switchNow() const { return handling == TimePoint{} ? simNow() : handling; }

  int deviceBaud() const {
    return mode.load() == Mode::Firmware ? kConsoleBaud : boot.baud();
  }

  void send(const std::string& bytes, TimePoint notBefore) {
    if (mode.load() == Mode::Off) return;
    line.queueTx(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), deviceBaud(),
                 switchNow(), std::max(notBefore, busyUntil));
  }

  void transmit(const std::string& bytes) override { send(bytes, TimePoint{}); }

  void replyLine(const std::string& text, const std::string& end) override {
    switch (faults.nextReplyLine()) {
      case LineFate::Drop:
        event("fault: reply line \"" + text + "\" dropped");
        return;
      case LineFate::Delay:
        event("fault: reply line \"" + text + "\" delayed by 600 ms");
        send(text + end, std::max(switchNow(), busyUntil) + kReplyDelay);
        return;
      case LineFate::Send:
        send(text + end, TimePoint{});
        return;
    }
  }

  void busyFor(Micros duration) override {
    if (options.wireSpeed) busyUntil = std::max(switchNow(), busyUntil) + duration;
  }

  void event(const std::string& text) override {
    flushTxLog();
    log.event(text);
  }

  // Bytes sent are gathered into one transcript entry per line (or per burst), however
  // finely the wire timing cuts them.
  void noteSent(const std::uint8_t* bytes, std::size_t count, int sentBaud, const std::string& note) {
    if (!txLog.empty() && (sentBaud != txLogBaud || note != txLogNote)) flushTxLog();
    txLog.insert(txLog.end(), bytes, bytes + count);
    txLogBaud = sentBaud;
    txLogNote = note;
    if (txLog.back() == '\n' || txLog.size() >= 256) flushTxLog();
  }

  void flushTxLog() {
    if (txLog.empty()) return;
    log.bytes(false, txLog.data(), txLog.size(), txLogBaud, txLogNote);
    txLog.clear();
  }

  void setMode(Mode m) {
    Mode old = mode.exchange(m);
    baud = deviceBaud();
    if (old != m) event(std::string("mode: ") + modeName(m));
  }

  void go(std::uint32_t address) override {
    std::uint32_t resetVector = memory.readWord(kBankA + 4) & ~1u;
    BootDecision start = decideBoot(memory);
    if (start.target == BootTarget::Bootloader) {
      event(start.why + ": the chip stays in its bootloader");
      boot.reset();
      setMode(Mode::BootloaderWaiting);
    } else if (address != resetVector) {
      event("Go to " + hex(address) + ", not the firmware's entry " + hex(resetVector) +
            ": the firmware crashes, the switch is silent until power-cycled");
      setMode(Mode::Off);
    } else if (start.target == BootTarget::CrashingCode) {
      event("Go: " + start.why);
      setMode(Mode::Off);
    } else {
      startFirmware(true);
    }
  }

  void enterBootloader() override {
    boot.reset();
    setMode(Mode::BootloaderWaiting);
  }

  void powerFail(const std::string& why, bool afterOutput) override {
    event(why);
    powerLost = true;
    if (afterOutput) {
      line.clearReceived();
    } else {
      line.clear();
      adapter.clear();
      outBuffer.clear();
    }
    console.stop();
    setMode(Mode::Off);
  }

  void vanish(const std::string& why) override {
    event(why);
    line.clear();
    adapter.clear();
    outBuffer.clear();
    console.stop();
    setMode(Mode::Off);
    link.close();
  }

  // --- the device -----------------------------------------------------------------------

  void startFirmware(bool afterRestart) {
    baud = kConsoleBaud;
    setMode(Mode::Firmware);
    console.start(afterRestart, simNow());
  }

  void powerOn() {
    boot.reset();
    if (options.startInBootloader) {
      event("power on: held in the bootloader");
      setMode(Mode::BootloaderWaiting);
      return;
    }
    BootDecision start = decideBoot(memory);
    switch (start.target) {
      case BootTarget::Bootloader:
        event("power on: " + start.why + ", the bootloader runs");
        setMode(Mode::BootloaderWaiting);
        break;
      case BootTarget::CrashingCode:
        event("power on: " + start.why);
        setMode(Mode::Off);
        break;
      case BootTarget::Firmware:
        event("power on: " + start.why + ", the firmware runs");
        startFirmware(false);
        break;
    }
  }

  // Whether a line that comes and goes is away now; its going and coming are noted.
  bool lineAway() {
    const LineFaults& f = options.lineFaults;
    if (f.dropoutEveryMs <= 0 || f.dropoutMs <= 0) return false;
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(simNow() - startedAt).count();
    const bool away = ms % f.dropoutEveryMs >= f.dropoutEveryMs - f.dropoutMs;
    if (away != wasAway) event(away ? "fault: the line goes away" : "fault: the line is back");
    wasAway = away;
    return away;
  }

  // A bit error on the line changes the byte before the chip's UART takes it in.
  RxByte throughLine(RxByte b) {
    if (!inbound.active() || mode.load() == Mode::Off) return b;
    const std::uint8_t sent = b.value;
    b.value = inbound.pass(sent);
    if (b.value != sent) event(byteChange("on the way in", sent, b.value));
    return b;
  }

  std::uint8_t towardsHost(std::uint8_t value) {
    if (!outbound.active()) return value;
    const std::uint8_t read = outbound.pass(value);
    if (read != value) event(byteChange("on the way out", value, read));
    return read;
  }

  void deliver(const RxByte& received) {
    if (lineAway()) return;
    if (faults.powerFailsWithByte()) {
      powerFail("fault: power lost on received byte " + std::to_string(faults.bytesReceived()),
                false);
      return;
    }
    const RxByte b = throughLine(received);
    switch (mode.load()) {
      case Mode::Off:
        return;
      case Mode::Firmware: {
        bool clean = b.hostBaud == kConsoleBaud;
        console.receive(clean ? b.value : noiseByte(b.value, noiseSequence++), clean);
        break;
      }
      case Mode::BootloaderWaiting:
        boot.receive(b.value, b.hostBaud);
        break;
      case Mode::BootloaderSynced: {
        bool clean = b.hostBaud == boot.baud();
        boot.receive(clean ? b.value : noiseByte(b.value, noiseSequence++), b.hostBaud);
        break;
      }
    }
    Mode m = mode.load();
    if (m == Mode::BootloaderWaiting || m == Mode::BootloaderSynced)
      setMode(boot.waitingForSync() ? Mode::BootloaderWaiting : Mode::BootloaderSynced);
    copies = boot.copies();
  }

  std::string listeningNote(int hostBaud) const {
    switch (mode.load()) {
      case Mode::Off: return "switch is off";
      case Mode::Firmware:
        return hostBaud == kConsoleBaud ? "" : "noise: firmware listens at 19200";
      case Mode::BootloaderWaiting: return "";
      case Mode::BootloaderSynced:
        return hostBaud == boot.baud() ? ""
                                       : "noise: bootloader listens at " +
                                             std::to_string(boot.baud());
    }
    return "";
  }

  void readHost(TimePoint now) {
    std::uint8_t buffer[4096];
    for (;;) {
      long n = link.readSome(buffer, sizeof buffer);
      if (n <= 0) return;
      int hostBaud = link.hostSendBaud();
      flushTxLog();
      log.bytes(true, buffer, static_cast<std::size_t>(n), hostBaud, listeningNote(hostBaud));
      if (mode.load() != Mode::Off)
        line.received(buffer, static_cast<std::size_t>(n), hostBaud, now + adapter.hostDelay());
    }
  }

  void processReceived() {
    for (;;) {
      TimePoint now = simNow();
      if (line.rxEmpty() || mode.load() == Mode::Off || now < busyUntil ||
          line.rxFront().due > now)
        break;
      const RxByte b = line.popRx();
      handling = std::max(b.due, busyUntil);
      deliver(b);
      handling = TimePoint{};
    }
    Mode m = mode.load();
    if (line.rxEmpty() && simNow() >= busyUntil &&
        (m == Mode::BootloaderWaiting || m == Mode::BootloaderSynced)) {
      boot.idle();
      copies = boot.copies();
    }
  }

  void sendDue(bool attached) {
    TimePoint now = simNow();
    std::size_t first = outBuffer.size();
    std::string note;
    int sentBaud = 0;
    int hostBaud = attached ? link.hostReceiveBaud() : 0;
    while (!line.txEmpty() && line.txFront().due <= now) {
      TxByte b = line.popTx();
      sentBaud = b.deviceBaud;
      bool clean = hostBaud == b.deviceBaud;
      if (!clean) note = "noise: host listens at " + std::to_string(hostBaud);
      if (lineAway()) {
        note = "lost: the line is away";
        continue;
      }
      outBuffer.push_back(clean ? towardsHost(b.value) : noiseByte(b.value, noiseSequence++));
    }
    if (outBuffer.size() > first) {
      noteSent(outBuffer.data() + first, outBuffer.size() - first, sentBaud,
               attached ? note : "lost: no host has the port open");
      if (attached && adapter.present())
        for (std::size_t i = first; i < outBuffer.size(); ++i) adapter.take(outBuffer[i], now);
      if (!attached || adapter.present()) outBuffer.resize(first);
    }
    if (adapter.present()) {
      std::size_t before = outBuffer.size();
      std::size_t passed = adapter.release(now, &outBuffer);
      if (passed > 0 && !attached) {
        outBuffer.resize(before);
        event("adapter: " + std::to_string(passed) + " bytes lost: no host has the port open");
      }
    }
    if (line.txEmpty()) flushTxLog();
    if (!outBuffer.empty() && link.isOpen()) {
      long n = link.writeSome(outBuffer.data(), outBuffer.size());
      if (n > 0) outBuffer.erase(outBuffer.begin(), outBuffer.begin() + n);
    }
  }

  void run() {
    // A host that goes away mid-write must not kill the simulator.
    signal(SIGPIPE, SIG_IGN);
    // The wire's bytes fall due 87 us apart at 115200 baud: the default 50 us of timer slack
    // on every wake would hold each echoed byte back by up to that much, where a UART does not.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    while (!stopRequested.load()) {
      // Also when the host has just closed the port: what it wrote before is still delivered.
      if (link.isOpen()) readHost(simNow());
      processReceived();
      if (mode.load() == Mode::Firmware) console.poll(simNow());
      // Looked at only now that the host's bytes are read and answered: a host that opened the
      // port and asked since the last turn has it open, and its answer must not count as lost.
      bool attached = link.isOpen() && link.hostAttached();
      sendDue(attached);

      TimePoint now = simNow();
      TimePoint wake = now + kIdleWake;
      if (!line.rxEmpty() && mode.load() != Mode::Off)
        wake = std::min(wake, std::max(line.rxFront().due, busyUntil));
      if (!line.txEmpty()) wake = std::min(wake, line.txFront().due);
      if (auto release = adapter.nextRelease()) wake = std::min(wake, *release);
      if (mode.load() == Mode::Firmware)
        if (auto next = console.nextEvent()) wake = std::min(wake, *next);
      if (!attached) wake = std::min(wake, now + kDetachedPoll);
      auto wait = std::chrono::duration_cast<std::chrono::nanoseconds>(wake - now);
      if (wait.count() < 0) wait = std::chrono::nanoseconds(0);
      timespec ts{static_cast<time_t>(wait.count() / 1000000000),
                  static_cast<long>(wait.count() % 1000000000)};
      if (attached) {
        pollfd p{link.masterFd(), static_cast<short>(POLLIN | (outBuffer.empty() ? 0 : POLLOUT)),
                 0};
        ppoll(&p, 1, &ts, nullptr);
      } else {
        nanosleep(&ts, nullptr);
      }
    }
  }
};

Switch::Switch(Options options) : impl_(std::make_unique<Impl>(std::move(options))) {}

Switch::~Switch() { stop(); }

bool Switch::start(std::string* error) {
  Impl& d = *impl_;
  if (d.running) return true;
  const Options& o = d.options;
  bool identityOptions = o.version || o.name || o.model || o.pcbRevision || o.oldTableForm ||
                         o.badCheckCrc || o.eraseTable;
  if (identityOptions && o.installImage.empty()) {
    if (error) *error = "the identity and table options change an installed image: give one to install";
    return false;
  }
  if (!o.installImage.empty() && o.blank) {
    if (error) *error = "an image to install and a blank chip exclude each other";
    return false;
  }
  if (!o.logFile.empty() && !d.log.open(o.logFile, error)) return false;
  bool seeding = !o.installImage.empty() || o.blank;
  if (!o.installImage.empty() && !installImage(o, &d.memory, error)) return false;
  if (!o.flashFile.empty() && !d.memory.attachFile(o.flashFile, seeding, error)) return false;
  if (!d.link.open(o.link, error)) return false;
  d.slave = d.link.slavePath();
  d.log.event("switch-sim started: port " + d.slave +
              (o.link.empty() ? std::string() : " (link " + o.link + ")") + ", banks of " +
              std::to_string(d.memory.bankSize() / 1024) + " KB" +
              (o.wireSpeed ? ", wire timing" : "") +
              (o.adapterLatencyMs >= 0
                   ? ", USB adapter with " + std::to_string(o.adapterLatencyMs) + " ms latency" +
                         (o.adapterFrames ? ", its packets taken at 1 ms USB frames" : "")
                   : std::string()));
  d.powerOn();
  d.stopRequested = false;
  d.running = true;
  d.thread = std::thread([&d] { d.run(); });
  return true;
}

void Switch::stop() {
  Impl& d = *impl_;
  if (!d.running) return;
  d.stopRequested = true;
  if (d.thread.joinable()) d.thread.join();
  d.running = false;
  d.memory.save();
  d.link.close();
  d.flushTxLog();
  d.log.event("switch-sim stopped");
  d.log.close();
}

const std::string& Switch::slavePath() const { return impl_->slave; }
Mode Switch::mode() const { return impl_->mode.load(); }
int Switch::uartBaud() const { return impl_->baud.load(); }
bool Switch::poweredOff() const { return impl_->powerLost.load(); }
std::vector<std::uint8_t> Switch::flash() const { return impl_->memory.flashSnapshot(); }
std::uint32_t Switch::bankSize() const { return impl_->memory.bankSize(); }
std::uint32_t Switch::copiesDone() const { return impl_->copies.load(); }

}  // namespace sim
