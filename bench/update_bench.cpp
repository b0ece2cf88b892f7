// Update benchmark: a full update of each compiled-in image by the built vlfwu against
// switch-sim --wire-speed, where every byte takes its time on the wire and the flash takes its
// erase and programming time. The bootloader session's wall time is set beside the time that
// its bytes need at 115200 baud plus the simulated flash time: the rest is the utility's own
// overhead (turnarounds, per-character writes, waiting). Also reports the utility's CPU time
// for the whole run: start-up, scan, question, update, restart watch and the 13 s quiet
// window, until the key that ends it. The same runs are made with vlfwu.exe under Wine when
// a Windows build is given (or was configured) and Wine is present.
//
// Each image is updated twice: without a support log and with one (VLFWU_LOG). The log must
// cost little: the run with it within 0.2 s of CPU natively, its session wall time within 1 %
// of the run without it, and its log at most a few hundred kilobytes.
//
// --adapter-latency MS puts a USB serial adapter between the utility and the simulator (its
// latency timer holds the switch's short answers MS ms), --adapter-frames makes the host take
// the adapter's packets only at the ends of 1 ms USB frames (alone: an adapter without a
// latency timer). --turnarounds counts, from the support log of the run with it, how often the
// utility waited for the switch's answer before it sent again, by the line it waited on.
//
// Usage: bench_update_bench [--vlfwu PATH] [--windows-exe PATH | --no-wine] [--repeat N]
//                           [--adapter-latency MS] [--adapter-frames] [--turnarounds]
//                           [image index ...]
//        (default: the vlfwu beside this program, the configured vlfwu.exe, every image, once,
//        no adapter)
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "bench/common/spawn_args.h"
#include "firmware/image.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kBootloaderBaud = 115200.0;
constexpr double kBitsPerByte = 10.0;  // start bit, 8 data bits, stop bit
// What switch-sim --wire-speed charges for the flash: each Erase command and each 512-byte
// page of a Copy RAM to flash.
constexpr double kEraseSeconds = 0.100;
constexpr double kPageSeconds = 0.001;
constexpr double kPageBytes = 512.0;
constexpr int kStepTimeoutMs = 180000;
constexpr int kWineBootTimeoutMs = 600000;
// The port number the runs use; under Wine its dosdevices link points at the simulator.
constexpr int kBenchPort = 31;

// Targets: the utility's CPU time (user + system) for the whole run, and the session's wall
// time against the time its bytes and the flash need.
constexpr double kNativeCpuTarget = 0.5;
constexpr double kWineCpuTarget = 1.0;
constexpr double kRatioTarget = 1.03;
// With the support log: the native run's CPU, the session's wall time against the run
// without the log, and the log's size.
constexpr double kLoggedNativeCpuTarget = 0.2;
constexpr double kLoggedWallTarget = 1.01;
constexpr double kLogBytesTarget = 300.0 * 1024.0;

std::string binDir() {
  std::error_code error;
  const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::string(".") : self.parent_path().string();
}

// A child process with its standard input and output on pipes.
struct Child {
  pid_t pid = -1;
  int input = -1;
  int output = -1;
  std::string text;    // everything it printed so far
  std::size_t seen = 0;  // end of the last awaited text
};

bool spawn(Child* child, const std::string& program, const std::vector<std::string>& arguments,
           const std::vector<std::string>& extraEnvironment) {
  int in[2];
  int out[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) {
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDERR_FILENO);
  t_SpawnArgs spawnArgs;
  buildSpawnArgs(&spawnArgs, program, arguments, extraEnvironment);
  const int failure = posix_spawn(&child->pid, program.c_str(), &actions, nullptr, spawnArgs.argv.data(), spawnArgs.envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]);
  close(out[1]);
  if (failure != 0) {
    close(in[1]);
    close(out[0]);
    return false;
  }
  child->input = in[1];
  child->output = out[0];
  return true;
}

// Reads the child's output until text appears (after the last awaited text).
bool awaitText(Child* child, const std::string& text, int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const std::size_t at = child->text.find(text, child->seen);
    if (at != std::string::npos) {
      child->seen = at + text.size();
      return true;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0 || child->output < 0) {
      return false;
    }
    pollfd entry{child->output, POLLIN, 0};
    if (poll(&entry, 1, static_cast<int>(left)) <= 0) {
      continue;
    }
    char buffer[4096];
    const ssize_t got = read(child->output, buffer, sizeof buffer);
    if (got <= 0) {
      close(child->output);
      child->output = -1;
    } else {
      child->text.append(buffer, static_cast<std::size_t>(got));
    }
  }
}

// User plus system CPU seconds that a running process has used so far.
double cpuSecondsOf(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string content((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const std::size_t close = content.rfind(')');
  if (close == std::string::npos) {
    return 0;
  }
  std::istringstream fields(content.substr(close + 2));
  std::string field;
  double ticks = 0;
  // Fields from the state (the 3rd) on: utime and stime are the 14th and 15th.
  for (int index = 3; index <= 15 && fields >> field; ++index) {
    if (index >= 14) {
      ticks += std::strtod(field.c_str(), nullptr);
    }
  }
  return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// What the simulator's transcript says about the bootloader session of the update.
struct SessionFigures {
  bool complete = false;
  double start = 0;  // the bootloader measured the rate
  double end = 0;    // the Go command started the new firmware
  long hostBytes = 0;
  long deviceBytes = 0;
  int erases = 0;
  long copiedBytes = 0;
};

// Number of bytes in a quoted transcript text ("..." with \r \n \e \" \\ \xNN escapes).
long quotedLength(const std::string& line, std::size_t open) {
  long count = 0;
  for (std::size_t i = open + 1; i < line.size() && line[i] != '"'; ++i, ++count) {
    if (line[i] == '\\') {
      i += (i + 1 < line.size() && line[i + 1] == 'x') ? 3 : 1;
    }
  }
  return count;
}

SessionFigures readTranscript(const std::string& path) {
  SessionFigures figures;
  std::ifstream in(path);
  std::string line;
  bool inside = false;
  while (std::getline(in, line)) {
    const double stamp = std::strtod(line.c_str() + 1, nullptr);
    const std::string body = line.size() > 15 ? line.substr(15) : std::string();
    if (!inside) {
      if (body.find("bootloader measured 115200 baud") != std::string::npos) {
        inside = true;
        figures.start = stamp;
      }
      continue;
    }
    if (body.rfind("state", 0) == 0) {
      if (body.find("bootloader: erased sectors") != std::string::npos) {
        ++figures.erases;
      } else if (const std::size_t copy = body.find("bootloader: copy "); copy != std::string::npos) {
        const std::size_t comma = body.find(", ", copy);
        figures.copiedBytes += std::strtol(body.c_str() + comma + 2, nullptr, 10);
      } else if (body.find("bootloader: Go to") != std::string::npos) {
        figures.end = stamp;
        figures.complete = true;
        break;
      }
      continue;
    }
    const std::size_t open = body.find('"');
    if (open == std::string::npos || body.find("@115200") == std::string::npos) {
      continue;
    }
    (body.rfind("host>sim", 0) == 0 ? figures.hostBytes : figures.deviceBytes) += quotedLength(body, open);
  }
  return figures;
}

// Lines of the support log: "sssss.mmm tag text", tag sent or recv for bytes on the line, their
// text quoted ("..." with \r \n \" \\ \xNN escapes) or a shortened data block ("[N UU lines...").
std::string unquoted(const std::string& text) {
  std::string bytes;
  for (std::size_t i = 1; i < text.size() && text[i] != '"'; ++i) {
    if (text[i] != '\\' || i + 1 >= text.size()) {
      bytes += text[i];
      continue;
    }
    const char escaped = text[++i];
    if (escaped == 'x' && i + 2 < text.size()) {
      bytes += static_cast<char>(std::strtol(text.substr(i + 1, 2).c_str(), nullptr, 16));
      i += 2;
    } else {
      bytes += escaped == 'r' ? '\r' : escaped == 'n' ? '\n' : escaped;
    }
  }
  return bytes;
}

// The last line of bytes, without its line end.
std::string lastLine(std::string bytes) {
  while (!bytes.empty() && (bytes.back() == '\r' || bytes.back() == '\n')) bytes.pop_back();
  const std::size_t end = bytes.find_last_of("\r\n");
  return end == std::string::npos ? bytes : bytes.substr(end + 1);
}

std::string printable(const std::string& bytes) {
  std::string text;
  char hex[8];
  for (const char c : bytes) {
    if (c >= 0x20 && c < 0x7F) {
      text += c;
    } else {
      std::snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned char>(c));
      text += hex;
    }
  }
  return text;
}

// What the utility waited on: the ISP command whose answer it awaited, a Write-to-RAM data block
// (its checksum line), or the line it sent otherwise (synchronisation, the firmware console).
std::string turnaroundKind(const std::string& sent, bool shortenedBlock, const std::string& answer) {
  const std::string line = lastLine(sent);
  const bool digits = !line.empty() && line.find_first_not_of("0123456789") == std::string::npos;
  if (shortenedBlock || (digits && line.size() + 2 < sent.size())) {
    return "W data block, answered " + printable(lastLine(answer));
  }
  if (!line.empty() && std::strchr("ABCEGIJKMNPRUW", line[0]) != nullptr && (line.size() == 1 || line[1] == ' ')) {
    return line.substr(0, 1) + " command";
  }
  if (line == "OK") return "OK to the R command's data";
  return "line \"" + printable(line) + "\"";
}

struct Turnaround {
  std::string kind;
  int count = 0;
  double seconds = 0;  // from the last write before each to the next write
};

// The turnarounds of a run from its support log: each time the utility read the switch's bytes
// after it had sent and then sent again, it had waited for an answer; the last wait of the run
// (the Go command's answer) counts up to the last text read. In the order they first came.
std::vector<Turnaround> readTurnarounds(const std::string& path) {
  std::vector<Turnaround> kinds;
  std::ifstream in(path);
  std::string line;
  std::string sent;
  std::string answer;
  bool block = false;
  double lastWrite = 0;
  double lastRead = 0;
  auto count = [&](double until) {
    const std::string kind = turnaroundKind(sent, block, answer);
    auto found = std::find_if(kinds.begin(), kinds.end(), [&](const Turnaround& t) { return t.kind == kind; });
    if (found == kinds.end()) found = kinds.insert(kinds.end(), Turnaround{kind, 0, 0});
    ++found->count;
    found->seconds += until - lastWrite;
    sent.clear();
    answer.clear();
    block = false;
  };
  while (std::getline(in, line)) {
    char* end = nullptr;
    const double stamp = std::strtod(line.c_str(), &end);
    if (end == line.c_str()) continue;
    std::istringstream record(end);
    std::string tag;
    record >> tag >> std::ws;
    const std::string text((std::istreambuf_iterator<char>(record)), std::istreambuf_iterator<char>());
    if (tag == "sent") {
      if (!answer.empty()) count(stamp);
      if (text.rfind('[', 0) == 0) block = true; else sent += unquoted(text);
      lastWrite = stamp;
    } else if (tag == "recv" && (block || !sent.empty())) {
      const std::string bytes = text.rfind('[', 0) == 0 ? std::string("[data]") : unquoted(text);
      answer += bytes;
      // A line end read alone may come late, after the utility has stopped waiting.
      if (bytes.find_first_not_of("\r\n") != std::string::npos) lastRead = stamp;
    }
  }
  if (!answer.empty()) count(lastRead);
  return kinds;
}

struct Row {
  std::string name;
  bool ok = false;
  std::string failure;
  SessionFigures session;
  double updateWall = 0;  // from the answer Y to "100% complete."
  double updateCpu = 0;   // CPU of the utility over the same interval
  double runCpu = 0;      // CPU of the whole run (getrusage of the ended child)
  double runWall = 0;
  double serverCpu = 0;   // under Wine: CPU of the wineserver over the run
  long logBytes = -1;     // the support log's size; -1 for a run without one
  std::vector<Turnaround> turnarounds;  // from the support log, when counted
};

// How the simulator is set up beside the switch's defaults, and what is counted.
struct BenchOptions {
  int adapterLatencyMs = -1;  // -1: no USB adapter
  bool adapterFrames = false;
  bool turnarounds = false;
};

// How the utility is started: natively, or the Windows build under Wine in its own prefix.
struct Target {
  std::string label;
  std::string program;     // vlfwu, or vlfwu.exe
  std::string winePrefix;  // empty for a native run
  pid_t wineServer = -1;   // the prefix's wineserver, kept running by the bench
  double cpuTarget = 0;
};

std::vector<std::string> wineEnvironment(const Target& target) {
  return {"WINEPREFIX=" + target.winePrefix, "WINEDEBUG=-all"};
}

// Runs a shell command (its output discarded) to its end; true when it succeeded in time.
bool runToEnd(const std::string& command, const std::vector<std::string>& environment, int timeoutMs) {
  Child child;
  if (!spawn(&child, "/bin/sh", {"-c", command + " > /dev/null 2>&1"}, environment)) {
    return false;
  }
  close(child.input);
  close(child.output);
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  int status = 0;
  while (waitpid(child.pid, &status, WNOHANG) == 0) {
    if (Clock::now() > deadline) {
      kill(child.pid, SIGKILL);
      waitpid(child.pid, &status, 0);
      return false;
    }
    usleep(100000);
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Makes the bench's Wine prefix (once) and starts its wineserver in the foreground, so that
// its CPU time can be read; false when Wine cannot be used.
bool prepareWine(Target* target, std::string* why) {
  if (!runToEnd("command -v wine > /dev/null && command -v wineserver > /dev/null", {}, 10000)) {
    *why = "wine is not installed";
    return false;
  }
  std::filesystem::create_directories(target->winePrefix);
  // The prefix that the Wine tests make and mark as ready serves the bench too.
  const std::string marker = target->winePrefix + "/vlfwu-prefix-ready";
  if (!std::filesystem::exists(marker)) {
    std::printf("(making the Wine prefix %s)\n", target->winePrefix.c_str());
    std::fflush(stdout);
    // wineboot returns before the registry is written; wineserver -w waits for that.
    runToEnd("wineboot -i && wineserver -w && touch '" + marker + "'", wineEnvironment(*target), kWineBootTimeoutMs);
    if (!std::filesystem::exists(marker)) {
      *why = "wineboot failed for " + target->winePrefix;
      return false;
    }
  }
  // A wineserver left running by an earlier run would serve the runs unseen.
  runToEnd("wineserver -k", wineEnvironment(*target), 30000);
  Child server;
  if (!spawn(&server, "/bin/sh", {"-c", "exec wineserver -f -p 2> /dev/null"}, wineEnvironment(*target))) {
    *why = "cannot start the wineserver";
    return false;
  }
  close(server.input);
  close(server.output);
  target->wineServer = server.pid;
  return true;
}

void stopWine(Target* target) {
  if (target->wineServer > 0) {
    runToEnd("wineserver -k", wineEnvironment(*target), 30000);
    kill(target->wineServer, SIGTERM);
    waitpid(target->wineServer, nullptr, 0);
    target->wineServer = -1;
  }
}

// The Windows name of a file of this machine: Wine's drive Z: is the root.
std::string windowsPath(const std::string& path) {
  std::string name = "Z:" + path;
  for (char& c : name) {
    c = c == '/' ? '\\' : c;
  }
  return name;
}

Row benchImage(int index, const std::string& bin, const Target& target, bool withLog, const BenchOptions& options) {
  Row row;
  t_FirmwareImage image{};
  selectEmbeddedImage(&image, index);
  if (validateImage(nullptr, &image) != kImageSound) {
    row.failure = "image does not validate";
    return row;
  }
  row.name = std::string(image.header->productName, strnlen(image.header->productName, sizeof image.header->productName));

  char pattern[] = "/tmp/vlfwu-bench-XXXXXX";
  if (mkdtemp(pattern) == nullptr) {
    row.failure = "no temporary folder";
    return row;
  }
  const std::string dir = pattern;
  const std::string imageFile = dir + "/image.vlfw";
  {
    std::ofstream out(imageFile, std::ios::binary);
    out.write(reinterpret_cast<const char*>(image.image), image.header->imageLength);
  }
  const bool underWine = !target.winePrefix.empty();
  const std::string link = underWine ? target.winePrefix + "/dosdevices/com" + std::to_string(kBenchPort)
                                     : dir + "/com" + std::to_string(kBenchPort);
  unlink(link.c_str());
  const std::string log = dir + "/sim.log";
  const std::string supportLog = dir + "/vlfwu.log";

  // Without the ready message the run ends only after the 13 s quiet window, which the
  // utility spends watching the port.
  std::vector<std::string> simArguments = {"--link", link, "--flash", dir + "/flash.bin", "--install", imageFile,
                                           "--set-version", "4.01", "--wire-speed", "--log", log, "--dsp-banks", "0",
                                           "--boot-delay", "100", "--no-ready"};
  if (options.adapterLatencyMs >= 0) {
    simArguments.insert(simArguments.end(), {"--adapter-latency", std::to_string(options.adapterLatencyMs)});
  }
  if (options.adapterFrames) simArguments.push_back("--adapter-frames");
  Child sim;
  if (!spawn(&sim, bin + "/switch-sim", simArguments, {}) ||
      !awaitText(&sim, "switch-sim: COM link", 10000)) {
    row.failure = "switch-sim did not start: " + sim.text;
  } else {
    Child run;
    const std::string port = std::to_string(kBenchPort);
    const double serverCpuBefore = underWine ? cpuSecondsOf(target.wineServer) : 0;
    std::vector<std::string> environment =
        underWine ? wineEnvironment(target) : std::vector<std::string>{"VLFWU_COM" + port + "=" + link};
    if (withLog) {
      environment.push_back("VLFWU_LOG=" + (underWine ? windowsPath(supportLog) : supportLog));
    }
    const bool started =
        underWine ? spawn(&run, "/bin/sh", {"-c", "exec wine \"$@\" 2> /dev/null", "wine", target.program, port},
                          environment)
                  : spawn(&run, target.program, {port}, environment);
    if (!started) {
      row.failure = "cannot start vlfwu";
    } else {
      const auto runStart = Clock::now();
      if (!awaitText(&run, "(Y,N) ", kStepTimeoutMs)) {
        row.failure = "no question:\n" + run.text;
      } else {
        const double cpuBefore = cpuSecondsOf(run.pid);
        const auto updateStart = Clock::now();
        (void)!write(run.input, "Y", 1);
        // The Windows console ends its lines with CR LF.
        if (!awaitText(&run, "100% complete.", kStepTimeoutMs)) {
          row.failure = "the update did not finish:\n" + run.text;
        } else {
          row.updateWall = std::chrono::duration<double>(Clock::now() - updateStart).count();
          row.updateCpu = cpuSecondsOf(run.pid) - cpuBefore;
          if (awaitText(&run, "Press any key to exit...", kStepTimeoutMs)) {
            (void)!write(run.input, "x", 1);
          }
        }
      }
      close(run.input);
      int status = 0;
      rusage usage{};
      if (!row.failure.empty()) {
        kill(run.pid, SIGKILL);
      }
      wait4(run.pid, &status, 0, &usage);
      row.runWall = std::chrono::duration<double>(Clock::now() - runStart).count();
      row.runCpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                   static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
      if (run.output >= 0) close(run.output);
      if (underWine) row.serverCpu = cpuSecondsOf(target.wineServer) - serverCpuBefore;
    }
  }
  if (sim.pid > 0) {
    kill(sim.pid, SIGTERM);
    waitpid(sim.pid, nullptr, 0);
    close(sim.input);
    if (sim.output >= 0) close(sim.output);
  }
  if (withLog) {
    std::error_code missing;
    const auto size = std::filesystem::file_size(supportLog, missing);
    row.logBytes = missing ? 0 : static_cast<long>(size);
    if (options.turnarounds) row.turnarounds = readTurnarounds(supportLog);
  }
  if (row.failure.empty()) {
    row.session = readTranscript(log);
    row.ok = row.session.complete;
    if (!row.ok) row.failure = "the simulator's transcript shows no complete bootloader session";
  }
  std::error_code ignored;
  if (std::getenv("VLFWU_KEEP_BENCH_DIRS") == nullptr) {
    std::filesystem::remove_all(dir, ignored);
  } else {
    std::printf("(files kept in %s)\n", dir.c_str());
  }
  return row;
}

// The bootloader session's wall time, and its ratio to the time its bytes and the flash need.
double sessionWall(const Row& row) { return row.session.end - row.session.start; }
// The line time of the busier direction: the two run at once, since the bootloader echoes
// every line while the host is still sending it.
double lineSeconds(const SessionFigures& s) {
  const long busier = s.hostBytes > s.deviceBytes ? s.hostBytes : s.deviceBytes;
  return static_cast<double>(busier) * kBitsPerByte / kBootloaderBaud;
}
double sessionRatio(const Row& row) {
  const SessionFigures& s = row.session;
  const double line = lineSeconds(s);
  const double flash = s.erases * kEraseSeconds + static_cast<double>(s.copiedBytes) / kPageBytes * kPageSeconds;
  return sessionWall(row) / (line + flash);
}

void printRow(const Target& target, const Row& row) {
  const SessionFigures& s = row.session;
  const double line = lineSeconds(s);
  const double flash = s.erases * kEraseSeconds + static_cast<double>(s.copiedBytes) / kPageBytes * kPageSeconds;
  const std::string name = row.name + (row.logBytes >= 0 ? " +log" : "");
  std::printf("%-20s %9.2f %9.2f %9.2f %11.2f %7.3f %10ld %10ld | %9.2f %9.2f %9.2f %9.2f", name.c_str(),
              sessionWall(row), line, flash, line + flash, sessionRatio(row), s.hostBytes, s.deviceBytes,
              row.updateWall, row.updateCpu, row.runWall, row.runCpu);
  if (row.logBytes >= 0) {
    std::printf(" %9.1f", static_cast<double>(row.logBytes) / 1024.0);
  } else {
    std::printf(" %9s", "-");
  }
  if (!target.winePrefix.empty()) std::printf(" %12.2f", row.serverCpu);
  std::printf("\n");
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n == 0 ? 0 : n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// One figure of every run, as a list.
template <typename Figure>
std::vector<double> each(const std::vector<Row>& rows, Figure figure) {
  std::vector<double> values;
  for (const Row& row : rows) values.push_back(figure(row));
  return values;
}

// The turnarounds of the first run with the log, and whether the other runs counted as many.
std::string turnaroundTable(const char* name, const std::vector<Row>& logged) {
  char text[320];
  if (logged[0].logBytes <= 0) {
    std::snprintf(text, sizeof text, "  %-16s turnarounds not counted: the run with VLFWU_LOG wrote no support log\n", name);
    return text;
  }
  int total = 0;
  double seconds = 0;
  std::string table;
  for (const Turnaround& t : logged[0].turnarounds) {
    std::snprintf(text, sizeof text, "    %-44s %6d %9.2f\n", (t.kind + ":").c_str(), t.count, t.seconds);
    table += text;
    total += t.count;
    seconds += t.seconds;
  }
  std::snprintf(text, sizeof text,
                "  %-16s turnarounds (the utility waited for the switch's answer before it sent again), from the\n"
                "  %-16s support log of its run with the log; seconds from its last write to its next write\n"
                "    %-44s %6s %9s\n",
                name, "", "waited on", "count", "(s)");
  std::string out = text + table;
  std::snprintf(text, sizeof text, "    %-44s %6d %9.2f\n", "all:", total, seconds);
  out += text;
  for (std::size_t i = 1; i < logged.size(); ++i) {
    int other = 0;
    for (const Turnaround& t : logged[i].turnarounds) other += t.count;
    if (other != total) {
      std::snprintf(text, sizeof text, "    (run %zu with the log counted %d)\n", i + 1, other);
      out += text;
    }
  }
  return out;
}

// Prints one table of runs of every chosen image, each without and with the support log (the
// pair repeated, alternating, so that a busy machine weighs on both alike); returns the number
// of failed runs and says for each figure (the median of the repeats) whether it met its target.
int benchTarget(const Target& target, const std::vector<int>& indices, const std::string& bin, int repeat,
                const BenchOptions& options) {
  std::printf("%s: %s\n", target.label.c_str(), target.program.c_str());
  std::printf("%-20s %9s %9s %9s %11s %7s %10s %10s | %9s %9s %9s %9s %9s%s\n", "image", "session", "line", "flash",
              "line+flash", "ratio", "bytes out", "bytes in", "Y..100%", "CPU upd", "run wall", "CPU run", "log",
              target.winePrefix.empty() ? "" : "  wineserver");
  std::printf("%-20s %9s %9s %9s %11s %7s %10s %10s | %9s %9s %9s %9s %9s%s\n", "", "wall (s)", "(s)", "(s)", "(s)",
              "", "", "", "wall (s)", "(s)", "(s)", "(s)", "(KB)", target.winePrefix.empty() ? "" : "    CPU (s)");
  std::fflush(stdout);
  int failures = 0;
  std::string verdicts;
  char text[320];
  const bool native = target.winePrefix.empty();
  for (const int index : indices) {
    std::vector<Row> plain;
    std::vector<Row> logged;
    bool failed = false;
    for (int round = 0; round < repeat; ++round) {
      for (const bool withLog : {false, true}) {
        const Row row = benchImage(index, bin, target, withLog, options);
        if (!row.ok) {
          std::printf("%-20s FAILED%s: %s\n", row.name.c_str(), withLog ? " (with the log)" : "", row.failure.c_str());
          ++failures;
          failed = true;
          continue;
        }
        printRow(target, row);
        std::fflush(stdout);
        (withLog ? logged : plain).push_back(row);
      }
    }
    if (failed || plain.empty()) {
      continue;
    }
    const char* name = plain[0].name.c_str();
    const double plainCpu = median(each(plain, [](const Row& r) { return r.runCpu; }));
    const double loggedCpu = median(each(logged, [](const Row& r) { return r.runCpu; }));
    const double plainRatio = median(each(plain, sessionRatio));
    const double plainWall = median(each(plain, sessionWall));
    const double loggedWall = median(each(logged, sessionWall));
    const double plainUpdate = median(each(plain, [](const Row& r) { return r.updateWall; }));
    const double loggedUpdate = median(each(logged, [](const Row& r) { return r.updateWall; }));
    const double logBytes = median(each(logged, [](const Row& r) { return static_cast<double>(r.logBytes); }));
    const char* of = repeat > 1 ? " (median)" : "";
    std::snprintf(text, sizeof text, "  %-16s CPU for the whole run%s %.2f s, target at most %.2f s: %s\n", name, of,
                  plainCpu, target.cpuTarget, plainCpu <= target.cpuTarget ? "met" : "MISSED");
    verdicts += text;
    std::snprintf(text, sizeof text, "  %-16s session wall time%s %.3f x (line + flash), target at most %.2f x: %s\n",
                  name, of, plainRatio, kRatioTarget, plainRatio <= kRatioTarget ? "met" : "MISSED");
    verdicts += text;
    const double loggedCpuTarget = native ? kLoggedNativeCpuTarget : target.cpuTarget;
    std::snprintf(text, sizeof text,
                  "  %-16s with the log: CPU for the whole run%s %.2f s (%+.2f s), target at most %.2f s: %s\n", name,
                  of, loggedCpu, loggedCpu - plainCpu, loggedCpuTarget, loggedCpu <= loggedCpuTarget ? "met" : "MISSED");
    verdicts += text;
    const double wallRatio = loggedWall / plainWall;
    std::snprintf(text, sizeof text,
                  "  %-16s with the log: session wall time%s %.2f s, %.3f x the run without it (Y..100%%: %.3f x), "
                  "target at most %.2f x: %s\n",
                  name, of, loggedWall, wallRatio, loggedUpdate / plainUpdate, kLoggedWallTarget,
                  wallRatio <= kLoggedWallTarget ? "met" : "MISSED");
    verdicts += text;
    std::snprintf(text, sizeof text, "  %-16s with the log: log of %.1f KB, target at most %.0f KB: %s\n", name,
                  logBytes / 1024.0, kLogBytesTarget / 1024.0, logBytes <= kLogBytesTarget ? "met" : "MISSED");
    verdicts += text;
    if (options.turnarounds && !logged.empty()) verdicts += turnaroundTable(name, logged);
  }
  std::printf("%s\n", verdicts.c_str());
  return failures;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<int> indices;
  int repeat = 1;
  std::string nativeProgram = binDir() + "/vlfwu";
  std::string windowsExe = VLFWU_BENCH_WINDOWS_EXE;
  BenchOptions options;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--adapter-latency" && i + 1 < argc) {
      char* end = nullptr;
      const long latency = std::strtol(argv[++i], &end, 10);
      if (end == argv[i] || *end != '\0' || latency < -1 || latency > 1000) {
        std::fprintf(stderr, "--adapter-latency wants the adapter's latency in milliseconds, 0 to 1000 (-1: none)\n");
        return 2;
      }
      options.adapterLatencyMs = static_cast<int>(latency);
      continue;
    }
    if (argument == "--adapter-frames") {
      options.adapterFrames = true;
      continue;
    }
    if (argument == "--turnarounds") {
      options.turnarounds = true;
      continue;
    }
    if (argument == "--vlfwu" && i + 1 < argc) {
      nativeProgram = argv[++i];
      continue;
    }
    if (argument == "--windows-exe" && i + 1 < argc) {
      windowsExe = argv[++i];
      continue;
    }
    if (argument == "--repeat" && i + 1 < argc) {
      repeat = std::atoi(argv[++i]);
      if (repeat < 1) {
        std::fprintf(stderr, "--repeat wants a count of at least 1\n");
        return 2;
      }
      continue;
    }
    if (argument == "--no-wine") {
      windowsExe.clear();
      continue;
    }
    char* end = nullptr;
    const long index = std::strtol(argv[i], &end, 10);
    if (end == argv[i] || *end != '\0' || index < 0 || index >= kEmbeddedImageCount) {
      std::fprintf(stderr,
                   "%s: give an image index 0 to %d, --vlfwu PATH, --windows-exe PATH, --no-wine, --repeat N,\n"
                   "--adapter-latency MS, --adapter-frames or --turnarounds\n",
                   argv[i], kEmbeddedImageCount - 1);
      return 2;
    }
    indices.push_back(static_cast<int>(index));
  }
  if (indices.empty()) {
    for (int i = 0; i < kEmbeddedImageCount; ++i) indices.push_back(i);
  }
  const std::string bin = binDir();
  std::printf("Full update of each compiled-in image against switch-sim --wire-speed\n");
  std::printf("(bootloader session: from the rate measurement to the Go command; line time is that\n"
              " of the busier direction at %.0f baud, 10 bits per byte; flash time %.0f ms per erase and\n"
              " %.0f ms per 512-byte page. CPU run: user + system time of the utility for the whole\n"
              " run, from its start to its end after the final key, the 13 s quiet window included)\n\n",
              kBootloaderBaud, kEraseSeconds * 1000, kPageSeconds * 1000);
  if (options.adapterLatencyMs >= 0 || options.adapterFrames) {
    const int latency = options.adapterLatencyMs < 0 ? 0 : options.adapterLatencyMs;
    std::printf("USB adapter between the utility and the switch: latency timer %d ms%s\n\n", latency,
                options.adapterFrames ? ", packets taken at the ends of 1 ms USB frames" : "");
  }
  int failures = benchTarget({"Native", nativeProgram, "", -1, kNativeCpuTarget}, indices, bin, repeat, options);
  if (windowsExe.empty()) {
    std::printf("Windows build: none given (--windows-exe PATH), not measured\n");
  } else if (!std::filesystem::exists(windowsExe)) {
    std::printf("Windows build: %s does not exist, not measured\n", windowsExe.c_str());
  } else {
    Target wine{"Windows build under Wine", windowsExe, std::filesystem::absolute(bin + "/../e2e-wine-prefix").string(),
                -1, kWineCpuTarget};
    std::string why;
    if (!prepareWine(&wine, &why)) {
      std::printf("Windows build under Wine: not measured (%s)\n", why.c_str());
    } else {
      failures += benchTarget(wine, indices, bin, repeat, options);
    }
    stopWine(&wine);
  }
  if (failures != 0) {
    std::printf("%d run(s) FAILED; their figures are missing\n", failures);
  }
  return failures ? 1 : 0;
}
