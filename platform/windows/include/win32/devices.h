/* The SDK in place of the platform's win32/devices.h. */
#include "sdk.h"
