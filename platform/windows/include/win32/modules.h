/* The SDK in place of the platform's win32/modules.h. */
#include "sdk.h"
