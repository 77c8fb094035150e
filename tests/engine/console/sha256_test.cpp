// The engine's SHA-256 against the standard's test vectors and against
// OpenSSL over every length around the block boundaries.
#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <random>
#include <string>
#include <vector>

#include "console/sha256.h"

namespace tessel::test {
namespace {

using console::Sha256Hex;

std::string HexOf(std::string_view text) {
    return Sha256Hex(std::span<const std::uint8_t>(
        reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

TEST(Sha256, StandardVectors) {
    EXPECT_EQ(HexOf(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(HexOf("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(HexOf("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(HexOf(std::string(1'000'000, 'a')),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(Sha256, AgreesWithOpenSslAtEveryLengthUpTo300) {
    std::mt19937 random(7);
    for (std::size_t length = 0; length <= 300; ++length) {
        std::vector<std::uint8_t> bytes(length);
        for (auto& byte : bytes) byte = static_cast<std::uint8_t>(random());
        unsigned char expected[SHA256_DIGEST_LENGTH];
        SHA256(bytes.data(), bytes.size(), expected);
        console::Sha256Digest digest = console::Sha256(bytes);
        ASSERT_EQ(std::vector<std::uint8_t>(digest.begin(), digest.end()),
                  std::vector<std::uint8_t>(expected, expected + SHA256_DIGEST_LENGTH))
            << "length " << length;
    }
}

}  // namespace
}  // namespace tessel::test
