#pragma once
// Which ports a scan tries, in what order: COM1 to COM16 as ever, then every other port that the
// system lists as present, by ascending number (Windows: the ports of the SERIALCOMM registry
// key; POSIX systems: the USB serial devices ttyUSB<n>, then ttyACM<n>). And what the system
// knows of each port: for the support log, and so that a scan passes over Bluetooth links,
// whose opening makes Windows try to reach the paired device for up to half a minute.

constexpr unsigned kFirstScanPort = 1;
constexpr unsigned kLastScanPort = 16;

constexpr int kSystemPortsMax = 64;
constexpr int kScanPortsMax = static_cast<int>(kLastScanPort - kFirstScanPort + 1) + kSystemPortsMax;
constexpr int kPortAdapterBytes = 240;
constexpr int kPortDetailBytes = 320;

// One port that the system lists, with what it knows of it, in words.
struct t_SystemPort {
  unsigned port;                     // the number comOpen takes for it
  bool bluetooth;                    // a Bluetooth serial link
  char adapter[kPortAdapterBytes];   // the adapter behind it, as the port records name it; "" when unknown
  char details[kPortDetailBytes];    // anything more, for the log's header; "" when nothing
};

struct t_ScanList {
  unsigned ports[kScanPortsMax];
  int count;
};

// The ports the system lists, read on first need and kept for the run, by ascending number.
int comSystemPortCount();
const t_SystemPort* comSystemPortAt(int index);
// The system's record of port; null when the system does not list it.
const t_SystemPort* comSystemPort(unsigned port);
// True when the system names port a Bluetooth serial link.
bool comPortIsBluetooth(unsigned port);

// The ports a scan tries, in order.
void comScanList(t_ScanList* list);
// The same from the given system ports, in any order, repeats allowed: COM1 to COM16, then
// those that are not among them, ascending, each once.
void comMakeScanList(const t_SystemPort* ports, int count, t_ScanList* list);

// True when text is prefix followed by a decimal number from 0 to limit, without sign, spaces
// or leading zeros ("COM23" with "COM", "ttyUSB0" with "ttyUSB"); the number goes to *number.
bool comNumberedName(const char* text, const char* prefix, unsigned limit, unsigned* number);
// True when a SetupAPI device instance path names a Bluetooth serial link: one that the
// Bluetooth enumerator made ("BTHENUM\{00001101-...}_LOCALMFG&0000\...").
bool comBluetoothInstance(const char* instancePath);

// --- Platform (system_ports_win32.cpp, system_ports_posix.cpp) ---

// Puts the ports the system lists now into ports, in any order, at most max; their count.
int comReadSystemPorts(t_SystemPort* ports, int max);
// What the system knows of the adapter behind port, opened as device (the path the port
// record names; null when none), into text; false when it knows nothing.
bool comDescribeAdapter(unsigned port, const char* device, char* text, int size);
