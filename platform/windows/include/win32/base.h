/* The SDK in place of the platform's win32/base.h. */
#include "sdk.h"
