// Which ports a scan tries, in what order, and which it passes over, from what the system lists:
// COM1 to COM16 first and as ever, then the system's other ports by ascending number, each once;
// the names under which systems list ports; and the device instance paths of Bluetooth links.
#include <gtest/gtest.h>

#include <vector>

#include "transport/port_scan.h"

namespace {

std::vector<unsigned> scanOf(const std::vector<unsigned>& listed) {
  std::vector<t_SystemPort> ports(listed.size());
  for (std::size_t i = 0; i < listed.size(); ++i) {
    ports[i].port = listed[i];
  }
  t_ScanList list{};
  comMakeScanList(ports.data(), static_cast<int>(ports.size()), &list);
  return std::vector<unsigned>(list.ports, list.ports + list.count);
}

std::vector<unsigned> comOneToSixteenThen(const std::vector<unsigned>& more) {
  std::vector<unsigned> ports;
  for (unsigned port = 1; port <= 16; ++port) {
    ports.push_back(port);
  }
  ports.insert(ports.end(), more.begin(), more.end());
  return ports;
}

TEST(ScanOrder, ComOneToSixteenFirstThenTheSystemsOtherPortsAscendingEachOnce) {
  // As SERIALCOMM lists them: in the order the drivers came, COM3 and COM16 among the first
  // sixteen, COM23 entered twice (two drivers' names for one port).
  EXPECT_EQ(scanOf({23, 3, 17, 23, 100, 16}), comOneToSixteenThen({17, 23, 100}));
  EXPECT_EQ(scanOf({}), comOneToSixteenThen({}));
  EXPECT_EQ(scanOf({5, 1, 16}), comOneToSixteenThen({}));
}

TEST(ScanOrder, MorePortsThanTheListHoldsKeepsTheLowestNumbers) {
  std::vector<unsigned> listed;
  for (unsigned port = 200; port > 16; --port) {
    listed.push_back(port);
  }
  const std::vector<unsigned> scan = scanOf(listed);
  ASSERT_EQ(scan.size(), static_cast<std::size_t>(kScanPortsMax));
  EXPECT_EQ(scan[16], 17u);
  EXPECT_EQ(scan.back(), 16u + static_cast<unsigned>(kSystemPortsMax));
}

struct NameCase {
  const char* text;
  const char* prefix;
  bool read;
  unsigned number;
};

TEST(PortNames, APrefixAndADecimalNumberWithNothingElse) {
  const NameCase cases[] = {
      {"COM23", "COM", true, 23},       {"COM1", "COM", true, 1},
      {"COM9999", "COM", true, 9999},   {"ttyUSB0", "ttyUSB", true, 0},
      {"ttyACM10", "ttyACM", true, 10},
      {"COM10000", "COM", false, 0},    // beyond the limit
      {"COM4294967297", "COM", false, 0},  // beyond 32 bits
      {"COM023", "COM", false, 0},      // not a name a driver gives
      {"COM", "COM", false, 0},         {"COM23a", "COM", false, 0},
      {"COM+3", "COM", false, 0},       {" COM3", "COM", false, 0},
      {"LPT1", "COM", false, 0},        {"ttyUSB", "ttyUSB", false, 0},
      {"ttyUSB-1", "ttyUSB", false, 0}, {"ttyS0", "ttyUSB", false, 0},
  };
  for (const NameCase& c : cases) {
    unsigned number = 77;
    EXPECT_EQ(comNumberedName(c.text, c.prefix, 9999, &number), c.read) << c.text;
    EXPECT_EQ(number, c.read ? c.number : 77u) << c.text << ": a name that does not read leaves the number";
  }
  unsigned number = 0;
  EXPECT_FALSE(comNumberedName(nullptr, "COM", 9999, &number));
}

TEST(BluetoothLinks, KnownByTheBluetoothEnumeratorsInstancePath) {
  // The two serial links Windows makes for a paired device with the Serial Port profile, as
  // Device Manager shows their instance paths; and other ports' paths.
  const char* bluetooth[] = {
      "BTHENUM\\{00001101-0000-1000-8000-00805F9B34FB}_LOCALMFG&0000\\7&1C8E5A2&0&000000000000_00000000",
      "BTHENUM\\{00001101-0000-1000-8000-00805F9B34FB}_VID&0001009E_PID&400A\\8&2B5D27E0&0&001BDC0F8E12_C00000000",
      "bthenum\\{00001101-0000-1000-8000-00805f9b34fb}_localmfg&0000\\7&1c8e5a2&0&000000000000_00000000",
  };
  for (const char* path : bluetooth) {
    EXPECT_TRUE(comBluetoothInstance(path)) << path;
  }
  const char* other[] = {
      "FTDIBUS\\VID_0403+PID_6001+A10KZ3Q1A\\0000",  // FTDI adapter
      "USB\\VID_067B&PID_2303\\5&2C4F8A1&0&2",        // Prolific adapter
      "USB\\VID_1A86&PID_7523\\5&1A2B3C4D&0&1",       // CH340 adapter
      "ACPI\\PNP0501\\1",                             // the mainboard's own UART
      "USB\\VID_8087&PID_0AAA\\5&2E1F&0&10",          // the Bluetooth radio itself
      "BTHLEDEVICE\\{00001801-0000-1000-8000-00805F9B34FB}_DEV_VID&02000A\\8&1F&0&0001",
      "BTHENUM",
      "BTHENUMX\\{00001101-0000-1000-8000-00805F9B34FB}",
      "ROOT\\PORTS\\0000",
      "",
      nullptr,
  };
  for (const char* path : other) {
    EXPECT_FALSE(comBluetoothInstance(path)) << (path != nullptr ? path : "(null)");
  }
}

}  // namespace
