// The serial ports Windows lists: every port of the SERIALCOMM registry key, where every serial
// driver enters the ports it has (Wine's too), with the driver's own name for the device; and
// from SetupAPI what Device Manager shows of each: its friendly name ("USB Serial Port (COM7)"),
// its hardware ID (which carries a USB adapter's vendor and product ID) and its device instance
// path, by which a Bluetooth link is known.
#include <windows.h>

#include <setupapi.h>

#include <cstdio>

#include "transport/port_scan.h"

namespace {

// The Ports device setup class, COM and LPT ports: {4D36E978-E325-11CE-BFC1-08002BE10318}.
constexpr GUID kPortsClass = {0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
constexpr unsigned kHighestComPort = 9999;
constexpr int kFactBytes = 256;  // more than a device instance path's 200 characters

// What the registry and SetupAPI say of one port.
struct t_PortFacts {
  unsigned port;
  char device[kFactBytes];        // SERIALCOMM's name of the driver's device (\Device\VCP0)
  char friendlyName[kFactBytes];  // Device Manager's name for it
  char hardwareId[kFactBytes];    // its most specific hardware ID
  char instance[kFactBytes];      // its device instance path
};

t_PortFacts facts[kSystemPortsMax];
int factCount = 0;

// The facts of port, a new record when it has none yet; null when the table is full.
t_PortFacts* factsFor(unsigned port) {
  for (int i = 0; i < factCount; ++i) {
    if (facts[i].port == port) {
      return &facts[i];
    }
  }
  if (factCount == kSystemPortsMax) {
    return nullptr;
  }
  t_PortFacts* added = &facts[factCount++];
  *added = t_PortFacts{};
  added->port = port;
  return added;
}

// The port number of a port name such as "COM23"; false for other names (LPT1).
bool comPortNumber(const char* name, unsigned* port) {
  return comNumberedName(name, "COM", kHighestComPort, port) && *port > 0;
}

// A string value of at most size - 1 characters, always terminated; false when it is missing,
// of another type or too long.
bool readString(HKEY key, const char* name, DWORD type, char* text, DWORD size) {
  DWORD found = 0;
  DWORD length = size - 1;
  if (RegQueryValueExA(key, name, nullptr, &found, reinterpret_cast<BYTE*>(text), &length) != ERROR_SUCCESS ||
      found != type) {
    text[0] = '\0';
    return false;
  }
  text[length] = '\0';
  return true;
}

void readSerialComm() {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_QUERY_VALUE, &key) !=
      ERROR_SUCCESS) {
    return;
  }
  for (DWORD index = 0;; ++index) {
    char device[kFactBytes];
    char portName[32];
    DWORD deviceLength = sizeof device;
    DWORD portLength = sizeof portName - 1;
    DWORD type = 0;
    const LONG result = RegEnumValueA(key, index, device, &deviceLength, nullptr, &type,
                                      reinterpret_cast<BYTE*>(portName), &portLength);
    if (result == ERROR_NO_MORE_ITEMS) {
      break;
    }
    if (result != ERROR_SUCCESS || type != REG_SZ) {
      continue;  // a name or value too long for a COM port, or not text
    }
    portName[portLength] = '\0';
    unsigned port = 0;
    t_PortFacts* record = comPortNumber(portName, &port) ? factsFor(port) : nullptr;
    if (record != nullptr && record->device[0] == '\0') {
      std::snprintf(record->device, sizeof record->device, "%s", device);
    }
  }
  RegCloseKey(key);
}

// A device property as text (the first string of a list), always terminated; "" when missing.
void readProperty(HDEVINFO devices, SP_DEVINFO_DATA* device, DWORD property, char* text, DWORD size) {
  // Two bytes kept back: a list of strings ends with two terminators, which may not fit.
  if (!SetupDiGetDeviceRegistryPropertyA(devices, device, property, nullptr, reinterpret_cast<BYTE*>(text),
                                         size - 2, nullptr)) {
    text[0] = '\0';
  }
  text[size - 2] = '\0';
}

void readDeviceManager() {
  HDEVINFO devices = SetupDiGetClassDevsA(&kPortsClass, nullptr, nullptr, DIGCF_PRESENT);
  if (devices == INVALID_HANDLE_VALUE) {
    return;
  }
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  for (DWORD index = 0; SetupDiEnumDeviceInfo(devices, index, &device); ++index) {
    HKEY key = SetupDiOpenDevRegKey(devices, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_QUERY_VALUE);
    if (key == INVALID_HANDLE_VALUE) {
      continue;
    }
    char portName[32];
    const bool named = readString(key, "PortName", REG_SZ, portName, sizeof portName);
    RegCloseKey(key);
    unsigned port = 0;
    t_PortFacts* record = named && comPortNumber(portName, &port) ? factsFor(port) : nullptr;
    if (record == nullptr) {
      continue;
    }
    if (!SetupDiGetDeviceInstanceIdA(devices, &device, record->instance, sizeof record->instance, nullptr)) {
      record->instance[0] = '\0';
    }
    readProperty(devices, &device, SPDRP_FRIENDLYNAME, record->friendlyName, sizeof record->friendlyName);
    if (record->friendlyName[0] == '\0') {
      readProperty(devices, &device, SPDRP_DEVICEDESC, record->friendlyName, sizeof record->friendlyName);
    }
    readProperty(devices, &device, SPDRP_HARDWAREID, record->hardwareId, sizeof record->hardwareId);
  }
  SetupDiDestroyDeviceInfoList(devices);
}

// Appends "; label fact" to text (no separator first) when fact is not empty.
void appendFact(char* text, int size, int* length, const char* label, const char* fact) {
  if (fact[0] == '\0' || *length >= size - 1) {
    return;
  }
  const int added = std::snprintf(text + *length, static_cast<std::size_t>(size - *length), "%s%s%s",
                                  *length > 0 ? "; " : "", label, fact);
  *length = added < 0 ? *length : (*length + added < size ? *length + added : size - 1);
}

}  // namespace

int comReadSystemPorts(t_SystemPort* ports, int max) {
  factCount = 0;
  readSerialComm();
  readDeviceManager();
  int count = 0;
  for (int i = 0; i < factCount && count < max; ++i) {
    const t_PortFacts& fact = facts[i];
    t_SystemPort& record = ports[count++];
    record = t_SystemPort{};
    record.port = fact.port;
    record.bluetooth = comBluetoothInstance(fact.instance);
    // The port records name the adapter by what Device Manager shows; a port without an entry
    // there (a built-in one under Wine) by its driver's device.
    int length = 0;
    const int size = static_cast<int>(sizeof record.adapter);
    appendFact(record.adapter, size, &length, "", fact.friendlyName);
    appendFact(record.adapter, size, &length, "hardware ID ", fact.hardwareId);
    const bool deviceNamed = length == 0;
    appendFact(record.adapter, size, &length, "device ", deviceNamed ? fact.device : "");
    length = 0;
    const int detailSize = static_cast<int>(sizeof record.details);
    appendFact(record.details, detailSize, &length, "instance ", fact.instance);
    appendFact(record.details, detailSize, &length, "device ", deviceNamed ? "" : fact.device);
    appendFact(record.details, detailSize, &length, "", record.bluetooth ? "Bluetooth link" : "");
  }
  return count;
}

bool comDescribeAdapter(unsigned port, const char*, char* text, int size) {
  const t_SystemPort* record = comSystemPort(port);
  if (record == nullptr || record->adapter[0] == '\0' || size <= 0) {
    return false;
  }
  std::snprintf(text, static_cast<std::size_t>(size), "%s", record->adapter);
  return true;
}
