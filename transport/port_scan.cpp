#include "transport/port_scan.h"

#include <cctype>
#include <cstring>

namespace {

t_SystemPort systemPorts[kSystemPortsMax];
int systemPortCount = 0;
bool systemPortsRead = false;

constexpr char kBluetoothEnumerator[] = "BTHENUM\\";

bool listed(const t_ScanList* list, unsigned port) {
  for (int i = 0; i < list->count; ++i) {
    if (list->ports[i] == port) {
      return true;
    }
  }
  return false;
}

// Reads the system's ports once, ordered by number, each once (the first record kept).
void readSystemPorts() {
  if (systemPortsRead) {
    return;
  }
  systemPortsRead = true;
  const int count = comReadSystemPorts(systemPorts, kSystemPortsMax);
  systemPortCount = 0;
  for (int i = 0; i < count && i < kSystemPortsMax; ++i) {
    const t_SystemPort entry = systemPorts[i];
    int at = systemPortCount;
    bool repeated = false;
    for (int j = 0; j < systemPortCount; ++j) {
      repeated = repeated || systemPorts[j].port == entry.port;
    }
    if (repeated) {
      continue;
    }
    while (at > 0 && systemPorts[at - 1].port > entry.port) {
      systemPorts[at] = systemPorts[at - 1];
      --at;
    }
    systemPorts[at] = entry;
    ++systemPortCount;
  }
}

}  // namespace

int comSystemPortCount() {
  readSystemPorts();
  return systemPortCount;
}

const t_SystemPort* comSystemPortAt(int index) {
  readSystemPorts();
  return index >= 0 && index < systemPortCount ? &systemPorts[index] : nullptr;
}

const t_SystemPort* comSystemPort(unsigned port) {
  readSystemPorts();
  for (int i = 0; i < systemPortCount; ++i) {
    if (systemPorts[i].port == port) {
      return &systemPorts[i];
    }
  }
  return nullptr;
}

bool comPortIsBluetooth(unsigned port) {
  const t_SystemPort* entry = comSystemPort(port);
  return entry != nullptr && entry->bluetooth;
}

void comScanList(t_ScanList* list) {
  readSystemPorts();
  comMakeScanList(systemPorts, systemPortCount, list);
}

void comMakeScanList(const t_SystemPort* ports, int count, t_ScanList* list) {
  list->count = 0;
  for (unsigned port = kFirstScanPort; port <= kLastScanPort; ++port) {
    list->ports[list->count++] = port;
  }
  // The smallest port not yet listed, again and again: a list this short needs no more.
  while (list->count < kScanPortsMax) {
    bool found = false;
    unsigned next = 0;
    for (int i = 0; i < count; ++i) {
      const unsigned port = ports[i].port;
      if ((!found || port < next) && !listed(list, port)) {
        next = port;
        found = true;
      }
    }
    if (!found) {
      break;
    }
    list->ports[list->count++] = next;
  }
}

bool comNumberedName(const char* text, const char* prefix, unsigned limit, unsigned* number) {
  if (text == nullptr || prefix == nullptr) {
    return false;
  }
  const std::size_t prefixLength = std::strlen(prefix);
  if (std::strncmp(text, prefix, prefixLength) != 0) {
    return false;
  }
  const char* digits = text + prefixLength;
  if (!std::isdigit(static_cast<unsigned char>(digits[0])) || (digits[0] == '0' && digits[1] != '\0')) {
    return false;
  }
  unsigned value = 0;
  for (const char* at = digits; *at != '\0'; ++at) {
    if (!std::isdigit(static_cast<unsigned char>(*at))) {
      return false;
    }
    const auto digit = static_cast<unsigned>(*at - '0');
    if (digit > limit || value > (limit - digit) / 10) {
      return false;
    }
    value = value * 10 + digit;
  }
  *number = value;
  return true;
}

bool comBluetoothInstance(const char* instancePath) {
  if (instancePath == nullptr) {
    return false;
  }
  // Windows keeps instance paths in capitals, but compares them without regard to case.
  for (std::size_t i = 0; kBluetoothEnumerator[i] != '\0'; ++i) {
    if (std::toupper(static_cast<unsigned char>(instancePath[i])) != kBluetoothEnumerator[i]) {
      return false;
    }
  }
  return true;
}
