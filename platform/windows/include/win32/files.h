/* The SDK in place of the platform's win32/files.h. */
#include "sdk.h"
