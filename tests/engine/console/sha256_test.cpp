// The engine's SHA-256 against OpenSSL over every length around the block
// boundaries and a long input, and its text form.
#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <random>
#include <vector>

#include "console/sha256.h"

namespace tessel::test {
namespace {

TEST(Sha256, AgreesWithOpenSslAtEveryLengthUpTo300AndAtAMillion) {
    std::mt19937 random(7);
    std::vector<std::size_t> lengths(301);
    for (std::size_t i = 0; i < lengths.size(); ++i) lengths[i] = i;
    lengths.push_back(1'000'000);
    for (std::size_t length : lengths) {
        std::vector<std::uint8_t> bytes(length);
        for (auto& byte : bytes) byte = static_cast<std::uint8_t>(random());
        std::vector<std::uint8_t> expected(SHA256_DIGEST_LENGTH);
        SHA256(bytes.data(), bytes.size(), expected.data());
        console::Sha256Digest digest = console::Sha256(bytes);
        ASSERT_EQ(std::vector<std::uint8_t>(digest.begin(), digest.end()), expected)
            << "length " << length;
    }
    const std::uint8_t abc[] = {'a', 'b', 'c'};
    EXPECT_EQ(console::Sha256Hex(abc),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

}  // namespace
}  // namespace tessel::test
