/* The SDK in place of the platform's win32/user.h. */
#include "sdk.h"
