// Text helpers of the platform: the letter-case rules every library shares,
// and GUIDs as text.
#ifndef LARKIN_PLATFORM_TEXT_H
#define LARKIN_PLATFORM_TEXT_H

#include <string>
#include <string_view>

#include "larkin/ascii_text.h"
#include "win32/base.h"

namespace larkin::platform {

using larkin::ContainsNoCase;
using larkin::EqualsNoCase;
using larkin::Lower;
using larkin::StartsWithNoCase;
using larkin::Upper;

std::string GuidText(const GUID& guid);  // {xxxxxxxx-xxxx-...} in lower case
bool SameGuid(const GUID& a, const GUID& b);

}  // namespace larkin::platform

#endif
