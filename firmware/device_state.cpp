#include "firmware/device_state.h"

int deviceState = kStateUnknown;
