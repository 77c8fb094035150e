/* The SDK in place of the platform's win32/windows.h. */
#include "sdk.h"
