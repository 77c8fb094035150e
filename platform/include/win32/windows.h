/* The whole Windows-shaped platform API. */
#ifndef WIN32_WINDOWS_H
#define WIN32_WINDOWS_H

#include "base.h"
#include "files.h"
#include "volumes.h"
#include "ioctl.h"
#include "devices.h"
#include "processes.h"
#include "modules.h"
#include "user.h"

#endif
