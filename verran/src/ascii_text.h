// Verran compares names with the letter-case rules every library shares.
#ifndef VERRAN_ASCII_TEXT_H
#define VERRAN_ASCII_TEXT_H

#include "larkin/ascii_text.h"

namespace verran {

using larkin::AsciiLower;
using larkin::EqualsNoCase;

}  // namespace verran

#endif
