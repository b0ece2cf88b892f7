#include "firmware/device_info.h"

// Zero-initialised: no switch identified yet.
t_DeviceInfo deviceInfo;
t_DeviceInfo tableInfo;
