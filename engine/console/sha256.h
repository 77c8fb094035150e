// SHA-256 (FIPS 180-4) of a byte string. The engine is built for Windows as
// well, where no Debian library comes along, so it carries its own.
#ifndef TESSEL_CONSOLE_SHA256_H
#define TESSEL_CONSOLE_SHA256_H

#include <array>
#include <cstdint>
#include <span>
#include <string>

namespace tessel::console {

using Sha256Digest = std::array<std::uint8_t, 32>;

Sha256Digest Sha256(std::span<const std::uint8_t> bytes);
// The digest as 64 lower-case hexadecimal digits.
std::string Sha256Hex(std::span<const std::uint8_t> bytes);

}  // namespace tessel::console

#endif
