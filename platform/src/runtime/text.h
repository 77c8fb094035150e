// Text helpers of the platform: the letter-case rules every library shares,
// GUIDs as text, and a stable hash of text.
#ifndef LARKIN_PLATFORM_TEXT_H
#define LARKIN_PLATFORM_TEXT_H

#include <cstdint>
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

// One or more digits 0 to 9, nothing else.
inline bool AllDigits(std::string_view text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

// FNV-1a: a stable hash of text for names and change marks, not for security.
inline uint64_t Fnv(std::string_view text, uint64_t hash = 0xcbf29ce484222325ull) {
    for (unsigned char c : text) hash = (hash ^ c) * 0x100000001b3ull;
    return hash;
}

}  // namespace larkin::platform

#endif
