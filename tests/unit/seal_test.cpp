#include "seal.h"

#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "harness.h"

// Expected bytes come from the command-line enc tool of the crypto library (des-cbc, -nopad,
// IV 5AC3E10F7B2496D8, input zero-padded to whole blocks), not from this code.

namespace {

using harness::Bytes;

seal::Schedule schedule(std::array<std::uint8_t, 8> key) {
    seal::Schedule s;
    EXPECT_EQ(seal::make_schedule(key, s), 0);
    return s;
}
const std::array<std::uint8_t, 8> kKey1{0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef};
const std::array<std::uint8_t, 8> kKey2{0xfe, 0xdc, 0xba, 0x98, 0x76, 0x54, 0x32, 0x10};

Bytes seal_bytes(const Bytes& plain, std::size_t length, const seal::Schedule& s) {
    Bytes out(seal::rounded(length), 0xee);
    EXPECT_TRUE(seal::seal(plain, length, s, out));
    return out;
}

TEST(Seal, KnownAnswers) {
    const auto s1 = schedule(kKey1);
    EXPECT_EQ(harness::hex(seal_bytes({0, 1, 2, 3, 4, 5, 6, 7}, 8, s1)), "1050e7e9bd4b3ccb");
    // A 100-byte Ticket seals to 104 bytes, its last block zero-filled.
    Bytes ticket(100);
    for (std::size_t i = 0; i < ticket.size(); ++i) ticket[i] = static_cast<std::uint8_t>(i);
    EXPECT_EQ(
        harness::hex(seal_bytes(ticket, 100, schedule(kKey2))),
        "26c101d4cb563e152f9f751911e3f2562b0fe2ddd3d43ff4a43234f30ce0a6fc0c939fcce9af197d5dee1502"
        "f9042807a2c5dcaebacb28a0fc4f228bcd39375396c40e960cf6b0e032e4905b0bed9f23e8b46fce09036f91"
        "1e2fee9dc73f8dd784b5578d4d0b25e2");
    // A 978-byte inner message seals to 984 bytes (checked through their SHA-1).
    Bytes inner(978);
    for (std::size_t i = 0; i < inner.size(); ++i) inner[i] = static_cast<std::uint8_t>(i * 7);
    EXPECT_EQ(harness::hex(harness::sha1(seal_bytes(inner, 978, s1))),
              "50f6a4ed2a1b5698cc5d8be7634d79adf805f067");
}

TEST(Seal, IvIsResetBeforeEveryCall) {
    const auto s = schedule(kKey1);
    const Bytes plain{9, 8, 7, 6, 5, 4, 3, 2, 1, 0};
    EXPECT_EQ(seal_bytes(plain, 10, s), seal_bytes(plain, 10, s));
}

TEST(Unseal, RoundTripsAndWritesOnlyTheLengthAsked) {
    const auto s = schedule(kKey2);
    Bytes ticket(100);
    for (std::size_t i = 0; i < ticket.size(); ++i) ticket[i] = static_cast<std::uint8_t>(i);
    const Bytes sealed = seal_bytes(ticket, 100, s);
    // Unsealed with the length field 104: the 100 bytes and four zero bytes.
    Bytes out(110, 0xee);
    ASSERT_TRUE(seal::unseal(sealed, 104, s, out));
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 100), ticket);
    EXPECT_EQ(Bytes(out.begin() + 100, out.begin() + 104), Bytes(4, 0));
    EXPECT_EQ(out[104], 0xee);
    // 978 of 984 bytes: nothing beyond the 978th output byte is touched.
    Bytes inner(978, 0x5a), back(984, 0xee);
    ASSERT_TRUE(seal::unseal(seal_bytes(inner, 978, s), 978, s, back));
    EXPECT_EQ(Bytes(back.begin(), back.begin() + 978), inner);
    EXPECT_EQ(Bytes(back.begin() + 978, back.end()), Bytes(6, 0xee));
}

TEST(SealBounds, LengthsThatDoNotFitAreRefusedWithoutWriting) {
    const auto s = schedule(kKey1);
    Bytes in(16, 1), out(16, 0xee);
    EXPECT_FALSE(seal::seal(in, 17, s, out));
    EXPECT_FALSE(seal::seal(Bytes(17, 1), 17, s, out));  // 17 seals to 24
    Bytes wide(24);
    EXPECT_FALSE(seal::unseal(in, 17, s, wide));  // 17 needs 24 sealed bytes
    Bytes small(13, 0xee);
    EXPECT_FALSE(seal::unseal(in, 14, s, small));
    EXPECT_EQ(small, Bytes(13, 0xee));
    EXPECT_TRUE(seal::unseal(in, 0, s, small));
    EXPECT_EQ(small, Bytes(13, 0xee));
}

TEST(KeySchedule, ParityAndWeakKeysAreRejected) {
    seal::Schedule s;
    EXPECT_EQ(seal::make_schedule(kKey1, s), 0);
    EXPECT_EQ(seal::make_schedule(std::array<std::uint8_t, 8>{}, s), -1);
    EXPECT_EQ(seal::make_schedule(std::array<std::uint8_t, 8>{1, 1, 1, 1, 1, 1, 1, 1}, s), -2);
    const auto a = seal::random_key(), b = seal::random_key();
    EXPECT_NE(a, b);
    EXPECT_EQ(seal::make_schedule(a, s), 0);
}

TEST(LengthField, PlainLengthOrPlusFour) {
    EXPECT_EQ(seal::length_field(100), 104);
    EXPECT_EQ(seal::length_field(164), 168);
    EXPECT_EQ(seal::length_field(48), 48);
    EXPECT_EQ(seal::length_field(10), 14);
    EXPECT_EQ(seal::length_field(8), 8);
    EXPECT_EQ(seal::length_field(4), 8);
    EXPECT_EQ(seal::rounded(978), 984u);
    EXPECT_EQ(seal::rounded(14), 16u);
}

TEST(Validity, ExpiredFromTheMomentNowReachesTheEnd) {
    EXPECT_TRUE(seal::still_valid(1000 + 3599, seal::validity_time(1000, 3600)));
    EXPECT_FALSE(seal::still_valid(1000 + 3600, seal::validity_time(1000, 3600)));
    EXPECT_EQ(seal::validity_time(0xffffff00u, 3600), 0xffffff00u + 3600u);  // wraps
}

}  // namespace
