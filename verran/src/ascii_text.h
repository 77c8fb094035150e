// Letter-case-blind comparison of 8-bit text: only A-Z and a-z fold, so the
// result does not depend on the process locale.
#ifndef VERRAN_ASCII_TEXT_H
#define VERRAN_ASCII_TEXT_H

#include <algorithm>
#include <string_view>

namespace verran {

inline char AsciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

inline bool EqualsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return AsciiLower(x) == AsciiLower(y);
           });
}

}  // namespace verran

#endif
