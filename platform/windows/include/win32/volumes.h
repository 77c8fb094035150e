/* The SDK in place of the platform's win32/volumes.h. */
#include "sdk.h"
