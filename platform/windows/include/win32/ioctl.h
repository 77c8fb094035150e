/* The SDK in place of the platform's win32/ioctl.h. */
#include "sdk.h"
