/* The SDK in place of the platform's win32/processes.h. */
#include "sdk.h"
