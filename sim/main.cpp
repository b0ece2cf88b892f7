// switch-sim: a simulated Valtrane switch (NXP LPC18xx/43xx ISP bootloader and the switch's
// firmware console) on a pseudo-terminal, for trying the update utility without hardware.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "sim/switch_sim.h"

namespace {

const char kHelp[] =
    "Usage: switch-sim [options]\n"
    "\n"
    "Simulates a Valtrane switch on a pseudo-terminal: the NXP LPC18xx/43xx ISP bootloader\n"
    "and the switch's own firmware console. When it is ready it prints\n"
    "  switch-sim: COM link PATH -> /dev/pts/N\n"
    "(or \"switch-sim: COM port /dev/pts/N\" without --link) and runs until SIGINT or\n"
    "SIGTERM, which stop it cleanly (the flash file is saved).\n"
    "\n"
    "Link and line:\n"
    "  --link PATH             make PATH a symbolic link to the terminal. Use it natively with\n"
    "                          VLFWU_COM<n>=PATH, or under Wine as ~/.wine/dosdevices/com<n>.\n"
    "  --wire-speed            bytes take their time on the wire (10 bits each at the line\n"
    "                          rate, both ways), an erase about 100 ms and programming about\n"
    "                          1 ms per 512-byte page. Default: everything as fast as possible.\n"
    "  --log FILE              transcript of every byte both ways (time, direction, rate) and\n"
    "                          of the device's state changes; fault lines begin \"fault:\".\n"
    "  --adapter-latency MS    a USB serial adapter between host and switch: the switch's\n"
    "                          bytes reach the host MS ms late (as an FTDI latency timer holds\n"
    "                          short replies: held until MS ms after the first byte of a burst,\n"
    "                          or until 62 bytes have gathered), the host's bytes reach the\n"
    "                          switch about 1 ms late (USB frames). Bytes are delayed, never\n"
    "                          changed. Default: no adapter.\n"
    "  --adapter-frames        the host takes the adapter's packets only at the end of each\n"
    "                          1 ms USB frame, as a full-speed host polls it: what is ready\n"
    "                          during a frame (timer run out, 62 bytes gathered) reaches the\n"
    "                          host at the frame's end. Without --adapter-latency it means an\n"
    "                          adapter with no latency timer (--adapter-latency 0): the\n"
    "                          frames alone hold the switch's bytes.\n"
    "  The device listens at one rate: the firmware at 19200 baud; the bootloader measures the\n"
    "  rate from a '?' (ignoring other bytes until then) and keeps it until reset. Bytes sent at\n"
    "  another rate arrive as noise (bytes with the high bit set), in both directions.\n"
    "\n"
    "Flash (two banks at 0x1A000000 and 0x1B000000):\n"
    "  --flash FILE            keep the flash in FILE (bank A then bank B, raw), written through\n"
    "                          on every erase and program. An existing file is used as it is\n"
    "                          unless --install or --blank is given; restarting with the same\n"
    "                          file is a power cycle.\n"
    "  --install IMAGE         program a .vlfw container's firmware and parameter table as a\n"
    "                          finished update would (the rest erased).\n"
    "  --blank                 start from an erased chip (the default without a file or image).\n"
    "  --bank 512k|256k        bank size; the part identification's second word is 0 or 68.\n"
    "                          Default: 512k, or with --install the size whose parameter-table\n"
    "                          address the image uses.\n"
    "  --part-id-word1 N       the part identification's second word whatever the bank size\n"
    "                          (another part of the family, e.g. 0x22 for 384 KB banks)\n"
    "  With --install, changes to the installed parameter table (its CRC is recomputed):\n"
    "  --set-version V         firmware version, as 4.02, 4.02.03, 4.02a, 4.02.03a or 0xHEX\n"
    "  --set-name NAME         product name (at most 31 characters)\n"
    "  --set-model N           model number (0..255)\n"
    "  --set-pcb N             PCB revision (0..255)\n"
    "  --old-table             the older table form (magic 0x1E3CA501)\n"
    "  --bad-check-crc         the table's firmware CRC does not match the firmware\n"
    "  --erase-table           leave the table's area erased\n"
    "\n"
    "Bootloader:\n"
    "  --state bootloader      start in the ISP bootloader whatever the flash holds (the ISP\n"
    "                          pin held). Otherwise the chip starts the code at 0x1A000000 when\n"
    "                          its first eight words sum to zero (the valid-code mark; an\n"
    "                          all-zero page has it too), else the bootloader. Code with the\n"
    "                          mark whose vectors point nowhere, or whose firmware region\n"
    "                          fails its own CRC-32 (length from the parameter table; without\n"
    "                          a table only the vectors are checked), is damaged code: it\n"
    "                          crashes at once and the switch is silent until power-cycled.\n"
    "                          The bootloader's Go obeys the same rule.\n"
    "  --boot-code A,B         the two lines of the K command (default 1,13)\n"
    "\n"
    "Firmware console (19200 baud):\n"
    "  --probe-answer ack|ready  answer the probe ESC \"^P$\" x CR with \"^+$\" (default) or\n"
    "                          with \"^=P00$\"\n"
    "  --ack-before-identity   send \"^+$\" before the identity line that answers \"^V$\"\n"
    "  --boot-delay MS         after a restart by the bootloader's Go: quiet time before the\n"
    "                          first message (default 1000)\n"
    "  --dsp-banks N           DSP progress messages \"^!100,<bank>,<step>$\", steps 0..5 for\n"
    "                          banks 1..N (default 2; 0 for none)\n"
    "  --dsp-interval MS       time between two messages (default 250)\n"
    "  --no-ready              no \"^=P$\" after the progress messages\n"
    "  \"^BOOTL$\" enters the ISP bootloader (waiting for '?').\n"
    "\n"
    "Faults (deterministic; counts are 1-based from the start; each strikes once):\n"
    "  --seed S                seed (decimal) of the faults' random choices (default 1)\n"
    "  --fault power-loss-after-bytes=N   the device dies on the N-th received byte\n"
    "  --fault power-loss-after-copy=K    dies right after the K-th Copy RAM to flash has\n"
    "                                     been done and answered\n"
    "  --fault power-loss-before-table-write  dies right after erasing the parameter\n"
    "                                     table's sector (answered), before its write\n"
    "  --fault corrupt-write-line=K       one byte of the K-th Write-to-RAM data line is\n"
    "                                     damaged (the block's checksum gets RESEND)\n"
    "  --fault weak-cell-copy=K           the K-th copy leaves one bit unprogrammed\n"
    "  --fault drop-reply-line=K          the bootloader's K-th reply line is never sent\n"
    "  --fault delay-reply-line=K         the bootloader's K-th reply line comes 600 ms late\n"
    "  --fault console-noise              the firmware sends noise bytes between its frames\n"
    "  --fault vanish-after-copy=K        the port disappears after the K-th copy (the\n"
    "                                     terminal is closed and the link removed)\n"
    "  --fault power-loss-before-erase=K  dies right before the K-th Erase (no answer)\n"
    "  --fault power-loss-after-erase=K   dies right after the K-th Erase, its answer sent\n"
    "  --fault power-loss-before-copy=K   dies right before the K-th Copy RAM to flash\n"
    "  --fault torn-erase=K               dies in the middle of the K-th Erase: each 512-byte\n"
    "                                     page of its sectors is left, as the seed chooses,\n"
    "                                     erased, untouched, all 0x00, or mixed (some bytes\n"
    "                                     erased, the rest 0x00); the transcript lists them\n"
    "  --fault torn-copy=K                dies in the middle of the K-th Copy RAM to flash:\n"
    "                                     only its first k bytes (seeded) are programmed\n"
    "  --fault garbled-first-answer       the bootloader's first answer to '?' reaches the\n"
    "                                     host as noise (an auto-baud rate error); it\n"
    "                                     answers the next '?' properly\n"
    "  --fault refuse-command=L:K:CODE    the K-th command line whose name is the letter L is\n"
    "                                     answered CODE and not acted on\n"
    "  Erases and copies are counted among those that pass their checks. Programming only\n"
    "  clears bits (old AND new); the transcript says when a copy programs over bytes that\n"
    "  were not erased.\n"
    "  After a power loss the device is silent and its flash holds exactly what was written;\n"
    "  the simulator keeps the terminal open until it is stopped.\n"
    "\n"
    "Line faults (off unless asked for; bytes change as the chip's UART receives them, so its\n"
    "echo shows the change, or as the host reads them):\n"
    "  --ber RATE              random bit errors at RATE per data bit (e.g. 1e-5) in both\n"
    "                          directions, drawn from --seed; each is noted in the --log\n"
    "                          transcript as \"fault: bit error ...\"\n"
    "  --seed S                seed of every seeded fault (decimal, default 1); the same seed\n"
    "                          and the same host give the same run\n"
    "  --fault corrupt-command=K:BIT  the K-th command line the synchronised bootloader\n"
    "                          receives arrives with bit BIT flipped (bit BIT%8 of its byte\n"
    "                          BIT/8, counted from the command letter; a line shorter than that\n"
    "                          is left alone)\n"
    "  --fault corrupt-echo=K:BIT  the K-th command line arrives as sent, but its echo leaves\n"
    "                          with bit BIT flipped (counted as for corrupt-command)\n"
    "  --fault corrupt-data-echo=K:BIT  the K-th Write-to-RAM data line (a line sent again\n"
    "                          counts again) arrives as sent, but its echo leaves with bit BIT\n"
    "                          flipped (byte BIT/8 counted from the length character)\n"
    "  --fault sum-pair=K      in the K-th Write-to-RAM block (a block sent again counts again)\n"
    "                          one data byte arrives +1 and another -1: the block's sum is\n"
    "                          unchanged and the bootloader answers OK\n"
    "  --fault dropout=EVERY:FOR  a line that comes and goes: every EVERY ms (from the start)\n"
    "                          it carries nothing either way for its last FOR ms\n"
    "  --fault flip-reply=L:K:BIT  the reply to the K-th command with the letter L (its\n"
    "                          return code and the lines after it, line ends included, not the\n"
    "                          echo) leaves with bit BIT%8 of its byte BIT/8 flipped\n"
    "  --fault lose-reply=L:K:BYTE  that reply (counted as for flip-reply) leaves with its\n"
    "                          byte BYTE lost: the host never receives it\n"
    "  --fault flip-identity=K:BIT  the K-th identity frame the firmware sends in answer to\n"
    "                          \"^V$\" (the whole frame, its \"^\" byte 0) leaves with bit BIT%8\n"
    "                          of its byte BIT/8 flipped\n"
    "  --fault lose-identity=K:BYTE  the K-th identity frame leaves with its byte BYTE lost\n"
    "  --echo-crlflf           the LPC18xx echo: while echo is on, a received line end is\n"
    "                          echoed as CR LF LF\n"
    "\n"
    "  --help                  this text\n";

bool parseInt(const char* text, long lo, long hi, long* out) {
  char* end = nullptr;
  long v = std::strtol(text, &end, 0);
  if (!*text || *end || v < lo || v > hi) return false;
  *out = v;
  return true;
}

// 4.02 / 4.02.03 / 4.02a / 4.02.03a / 0x04020000 into the packed form.
bool parseVersion(const std::string& text, std::uint32_t* out) {
  if (text.rfind("0x", 0) == 0 || text.rfind("0X", 0) == 0) {
    char* end = nullptr;
    unsigned long v = std::strtoul(text.c_str(), &end, 16);
    if (*end || v > 0xFFFFFFFFul) return false;
    *out = static_cast<std::uint32_t>(v);
    return true;
  }
  unsigned major = 0, minor = 0, build = 0;
  char letter = 0;
  const char* p = text.c_str();
  char* end = nullptr;
  major = static_cast<unsigned>(std::strtoul(p, &end, 10));
  if (end == p || *end != '.') return false;
  p = end + 1;
  minor = static_cast<unsigned>(std::strtoul(p, &end, 10));
  if (end == p) return false;
  p = end;
  if (*p == '.') {
    ++p;
    build = static_cast<unsigned>(std::strtoul(p, &end, 10));
    if (end == p) return false;
    p = end;
  }
  if (*p >= 'a' && *p <= 'o') letter = *p++;
  if (*p || major > 255 || minor > 255 || build > 63) return false;
  *out = (major << 24) | (minor << 16) | (letter ? static_cast<unsigned>(letter - 'a' + 1) << 12 : 0) |
         build;
  return true;
}

// "L:K:N": a command letter, a count from 1 and a number in [lo, hi].
bool parseLetterCount(const std::string& value, char* letter, long* k, long* n, long lo, long hi) {
  const std::size_t first = value.find(':');
  const std::size_t second = first == std::string::npos ? first : value.find(':', first + 1);
  if (first != 1 || second == std::string::npos || value[0] < 'A' || value[0] > 'Z') return false;
  *letter = value[0];
  return parseInt(value.substr(2, second - 2).c_str(), 1, 0x7FFFFFFF, k) &&
         parseInt(value.substr(second + 1).c_str(), lo, hi, n);
}

bool applyFault(const std::string& spec, sim::Faults* f) {
  std::string name = spec, value;
  std::size_t eq = spec.find('=');
  if (eq != std::string::npos) {
    name = spec.substr(0, eq);
    value = spec.substr(eq + 1);
  }
  long n = 0;
  auto number = [&](long lo) { return parseInt(value.c_str(), lo, 0x7FFFFFFF, &n); };
  if (name == "power-loss-after-bytes" && number(1)) f->powerLossAfterBytes = n;
  else if (name == "power-loss-after-copy" && number(1)) f->powerLossAfterCopy = static_cast<int>(n);
  else if (name == "power-loss-before-table-write" && value.empty()) f->powerLossBeforeTableWrite = true;
  else if (name == "corrupt-write-line" && number(1)) f->corruptWriteLine = static_cast<int>(n);
  else if (name == "weak-cell-copy" && number(1)) f->weakCellCopy = static_cast<int>(n);
  else if (name == "drop-reply-line" && number(1)) f->dropReplyLine = static_cast<int>(n);
  else if (name == "delay-reply-line" && number(1)) f->delayReplyLine = static_cast<int>(n);
  else if (name == "console-noise" && value.empty()) f->consoleNoise = true;
  else if (name == "vanish-after-copy" && number(1)) f->vanishAfterCopy = static_cast<int>(n);
  else if (name == "power-loss-before-erase" && number(1)) f->powerLossBeforeErase = static_cast<int>(n);
  else if (name == "power-loss-after-erase" && number(1)) f->powerLossAfterErase = static_cast<int>(n);
  else if (name == "power-loss-before-copy" && number(1)) f->powerLossBeforeCopy = static_cast<int>(n);
  else if (name == "torn-erase" && number(1)) f->tornErase = static_cast<int>(n);
  else if (name == "torn-copy" && number(1)) f->tornCopy = static_cast<int>(n);
  else if (name == "garbled-first-answer" && value.empty()) f->garbledFirstAnswer = true;
  else if (name == "refuse-command") {
    long k = 0, code = 0;
    if (!parseLetterCount(value, &f->refuseLetter, &k, &code, 0, 255)) return false;
    f->refuseFrom = static_cast<int>(k);
    f->refuseCode = static_cast<int>(code);
  } else return false;
  return true;
}

bool applyLineFault(const std::string& spec, sim::LineFaults* f) {
  long k = 0, bit = 0;
  const std::size_t eq = spec.find('=');
  if (eq == std::string::npos) return false;
  const std::string name = spec.substr(0, eq), value = spec.substr(eq + 1);
  // The faults that strike one bit or byte of one line or reply: which one (K, of the command
  // letter L where the fault names one) and where in it (BIT or BYTE, up to most).
  const struct {
    const char* name;
    char* letter;  // null: the value is K:N, else L:K:N
    int* line;
    int* at;
    long most;
  } kLineBitFaults[] = {
      {"corrupt-command", nullptr, &f->corruptCommand, &f->corruptCommandBit, 8 * 255},
      {"corrupt-echo", nullptr, &f->corruptEcho, &f->corruptEchoBit, 8 * 255},
      {"corrupt-data-echo", nullptr, &f->corruptDataEcho, &f->corruptDataEchoBit, 8 * 255},
      {"flip-reply", &f->replyFlipLetter, &f->replyFlipCommand, &f->replyFlipBit, 8 * 1024},
      {"lose-reply", &f->replyLoseLetter, &f->replyLoseCommand, &f->replyLoseByte, 1024},
      {"flip-identity", nullptr, &f->identityFlipAnswer, &f->identityFlipBit, 8 * 255},
      {"lose-identity", nullptr, &f->identityLoseAnswer, &f->identityLoseByte, 255}};
  for (const auto& fault : kLineBitFaults) {
    if (name != fault.name) continue;
    long at = 0;
    if (fault.letter) {
      if (!parseLetterCount(value, fault.letter, &k, &at, 0, fault.most)) return false;
    } else {
      const std::size_t colon = value.find(':');
      if (colon == std::string::npos ||
          !parseInt(value.substr(0, colon).c_str(), 1, 0x7FFFFFFF, &k) ||
          !parseInt(value.substr(colon + 1).c_str(), 0, fault.most, &at))
        return false;
    }
    *fault.line = static_cast<int>(k);
    *fault.at = static_cast<int>(at);
    return true;
  }
  if (name == "dropout") {  // EVERY:FOR, in milliseconds
    const std::size_t colon = value.find(':');
    if (colon == std::string::npos || !parseInt(value.substr(0, colon).c_str(), 1, 3600000, &k) ||
        !parseInt(value.substr(colon + 1).c_str(), 1, 3600000, &bit) || bit >= k)
      return false;
    f->dropoutEveryMs = static_cast<int>(k);
    f->dropoutMs = static_cast<int>(bit);
    return true;
  }
  if (name == "sum-pair" && parseInt(value.c_str(), 1, 0x7FFFFFFF, &k)) {
    f->sumPairBlock = static_cast<int>(k);
    return true;
  }
  return false;
}

bool parseRate(const char* text, double* out) {
  char* end = nullptr;
  const double v = std::strtod(text, &end);
  if (!*text || *end || !(v >= 0.0) || v > 1.0) return false;
  *out = v;
  return true;
}

bool parseSeed(const char* text, std::uint64_t* out) {
  if (*text < '0' || *text > '9') return false;
  char* end = nullptr;
  errno = 0;
  const unsigned long long v = std::strtoull(text, &end, 10);
  if (*end || errno == ERANGE) return false;
  *out = v;
  return true;
}

// The bank size an image was built for, from where it puts its parameter table.
bool imageWants256K(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  unsigned char header[0x28];
  bool ok = std::fread(header, 1, sizeof header, f) == sizeof header;
  std::fclose(f);
  if (!ok) return false;
  std::uint32_t paramAddress = header[0x24] | (header[0x25] << 8) | (header[0x26] << 16) |
                               (static_cast<std::uint32_t>(header[0x27]) << 24);
  return paramAddress == 0x1A03FE00;
}

int usageError(const std::string& message) {
  std::fprintf(stderr, "switch-sim: %s\nTry 'switch-sim --help'.\n", message.c_str());
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  sim::Options o;
  bool bankGiven = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto next = [&](const char** out) {
      if (i + 1 >= argc) return false;
      *out = argv[++i];
      return true;
    };
    const char* v = nullptr;
    long n = 0;
    if (a == "--help" || a == "-h") {
      std::fputs(kHelp, stdout);
      return 0;
    } else if (a == "--link" && next(&v)) {
      o.link = v;
    } else if (a == "--flash" && next(&v)) {
      o.flashFile = v;
    } else if (a == "--log" && next(&v)) {
      o.logFile = v;
    } else if (a == "--install" && next(&v)) {
      o.installImage = v;
    } else if (a == "--blank") {
      o.blank = true;
    } else if (a == "--wire-speed") {
      o.wireSpeed = true;
    } else if (a == "--bank" && next(&v)) {
      std::string s = v;
      if (s != "512k" && s != "256k") return usageError("--bank takes 512k or 256k");
      o.bank256K = s == "256k";
      bankGiven = true;
    } else if (a == "--part-id-word1" && next(&v)) {
      if (!parseInt(v, 0, 0xFFFFFFFFL, &n)) return usageError("--part-id-word1 takes a 32-bit number");
      o.partIdWord1 = static_cast<std::uint32_t>(n);
    } else if (a == "--state" && next(&v)) {
      if (std::string(v) == "bootloader") o.startInBootloader = true;
      else if (std::string(v) != "auto") return usageError("--state takes bootloader");
    } else if (a == "--boot-code" && next(&v)) {
      unsigned x = 0, y = 0;
      if (std::sscanf(v, "%u,%u", &x, &y) != 2) return usageError("--boot-code takes A,B");
      o.bootCodeVersion[0] = x;
      o.bootCodeVersion[1] = y;
    } else if (a == "--set-version" && next(&v)) {
      std::uint32_t packed = 0;
      if (!parseVersion(v, &packed)) return usageError(std::string("bad version ") + v);
      o.version = packed;
    } else if (a == "--set-name" && next(&v)) {
      o.name = std::string(v);
    } else if (a == "--set-model" && next(&v)) {
      if (!parseInt(v, 0, 255, &n)) return usageError("--set-model takes 0..255");
      o.model = static_cast<int>(n);
    } else if (a == "--set-pcb" && next(&v)) {
      if (!parseInt(v, 0, 255, &n)) return usageError("--set-pcb takes 0..255");
      o.pcbRevision = static_cast<int>(n);
    } else if (a == "--old-table") {
      o.oldTableForm = true;
    } else if (a == "--bad-check-crc") {
      o.badCheckCrc = true;
    } else if (a == "--erase-table") {
      o.eraseTable = true;
    } else if (a == "--probe-answer" && next(&v)) {
      std::string s = v;
      if (s == "ack") o.probeAnswer = sim::ProbeAnswer::Ack;
      else if (s == "ready") o.probeAnswer = sim::ProbeAnswer::ReadyLine;
      else return usageError("--probe-answer takes ack or ready");
    } else if (a == "--ack-before-identity") {
      o.ackBeforeIdentity = true;
    } else if (a == "--boot-delay" && next(&v)) {
      if (!parseInt(v, 0, 600000, &n)) return usageError("--boot-delay takes milliseconds");
      o.bootDelayMs = static_cast<int>(n);
    } else if (a == "--dsp-banks" && next(&v)) {
      if (!parseInt(v, 0, 99, &n)) return usageError("--dsp-banks takes 0..99");
      o.dspBanks = static_cast<int>(n);
    } else if (a == "--dsp-interval" && next(&v)) {
      if (!parseInt(v, 0, 600000, &n)) return usageError("--dsp-interval takes milliseconds");
      o.dspIntervalMs = static_cast<int>(n);
    } else if (a == "--no-ready") {
      o.readyMessage = false;
    } else if (a == "--seed" && next(&v)) {
      if (!parseSeed(v, &o.seed)) return usageError("--seed takes a decimal number");
    } else if (a == "--adapter-latency" && next(&v)) {
      if (!parseInt(v, 0, 1000, &n)) return usageError("--adapter-latency takes 0..1000 ms");
      o.adapterLatencyMs = static_cast<int>(n);
    } else if (a == "--adapter-frames") {
      o.adapterFrames = true;
    } else if (a == "--fault" && next(&v)) {
      if (!applyFault(v, &o.faults) && !applyLineFault(v, &o.lineFaults))
        return usageError(std::string("unknown fault ") + v);
    } else if (a == "--ber" && next(&v)) {
      if (!parseRate(v, &o.lineFaults.bitErrorRate)) return usageError("--ber takes a rate 0..1");
    } else if (a == "--echo-crlflf") {
      o.lineFaults.echoCrLfLf = true;
    } else {
      return usageError("unknown or incomplete option " + a);
    }
  }
  if (!bankGiven && !o.installImage.empty()) o.bank256K = imageWants256K(o.installImage);
  if (o.adapterFrames && o.adapterLatencyMs < 0) o.adapterLatencyMs = 0;

  // Signals are taken by this thread alone, so the device thread never sees them.
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);

  sim::Switch device(o);
  std::string error;
  if (!device.start(&error)) {
    std::fprintf(stderr, "switch-sim: %s\n", error.c_str());
    return 1;
  }
  if (o.link.empty())
    std::printf("switch-sim: COM port %s\n", device.slavePath().c_str());
  else
    std::printf("switch-sim: COM link %s -> %s\n", o.link.c_str(), device.slavePath().c_str());
  std::fflush(stdout);

  int sig = 0;
  sigwait(&set, &sig);
  device.stop();
  std::printf("switch-sim: stopped (%s)\n", sig == SIGINT ? "SIGINT" : "SIGTERM");
  return 0;
}
