// Small text helpers for Windows names: case-insensitive comparison of
// ANSI text, and copying into caller buffers.
#ifndef LARKIN_PLATFORM_TEXT_H
#define LARKIN_PLATFORM_TEXT_H

#include <string>
#include <string_view>

#include "win32/base.h"

namespace larkin::platform {

std::string Upper(std::string_view text);
std::string Lower(std::string_view text);
bool EqualsNoCase(std::string_view a, std::string_view b);
bool StartsWithNoCase(std::string_view text, std::string_view prefix);
bool ContainsNoCase(std::string_view text, std::string_view part);
std::string GuidText(const GUID& guid);  // {xxxxxxxx-xxxx-...} in lower case
bool SameGuid(const GUID& a, const GUID& b);

}  // namespace larkin::platform

#endif
