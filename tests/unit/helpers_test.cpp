#include "helpers.h"

#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/in.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <string>

#include "harness.h"

namespace {

std::array<std::uint8_t, 8> key_of(const char* text) {
    std::array<std::uint8_t, 8> key{};
    common::to_hex(text, key);
    return key;
}

std::string pair_value(const char* pair) {
    std::string text = std::string(pair) + "00000000000000";
    return std::to_string(key_of(text.c_str())[0]);
}

TEST(ToHex, KeyTextBecomesEightBytes) {
    const std::array<std::uint8_t, 8> expected{0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef};
    EXPECT_EQ(key_of("0123456789abcdef"), expected);
    EXPECT_EQ(key_of("0123456789ABCDEF"), expected);
    EXPECT_EQ(key_of("0123456789abcdef99zz"),
              expected);  // characters after the 16th change nothing
}

TEST(ToHex, EachPairIsReadAsABase16Number) {
    EXPECT_EQ(pair_value("-1"), "255");
    EXPECT_EQ(pair_value("1g"), "1");
    EXPECT_EQ(pair_value("g1"), "0");
    EXPECT_EQ(pair_value(" f"), "15");
    EXPECT_EQ(pair_value("+f"), "15");
    EXPECT_EQ(pair_value("00"), "0");
}

TEST(ToHex, ShortTextIsNeverReadPastItsEnd) {
    // Under the asan build a read past the terminating zero would be reported.
    const std::string heap_text = "0123";
    const std::array<std::uint8_t, 8> expected{0x01, 0x23, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(key_of(heap_text.c_str()), expected);
    const std::array<std::uint8_t, 8> odd{0x01, 0x02, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(key_of("012"), odd);  // the last pair is the single character "2"
    EXPECT_EQ(key_of(""), (std::array<std::uint8_t, 8>{}));
}

TEST(ToNum, OddConversionsArePreserved) {
    EXPECT_EQ(common::to_num("5000"), 5000);
    EXPECT_EQ(common::to_num(""), 0);
    EXPECT_EQ(common::to_num("65535"), 65535);
    EXPECT_EQ(common::to_num("65536"), 0);
    EXPECT_EQ(common::to_num("70000"), 4464);
    EXPECT_EQ(common::to_num("0080"), 80);
    EXPECT_EQ(common::to_num("12a"), 169);
    EXPECT_EQ(common::to_num("-1"), 65507);
    EXPECT_EQ(common::to_num(" 80"), 64016);
    EXPECT_EQ(common::to_num("1234567890"), 722);
    EXPECT_EQ(common::to_num("3000000000"), 0);  // its leading term does not fit 32 bits
}

TEST(Size, CountsModulo65536) {
    EXPECT_EQ(common::size(""), 0);
    EXPECT_EQ(common::size("hello"), 5);
    EXPECT_EQ(common::size(std::string(70000, 'x').c_str()), 4464);
}

TEST(MySha1, DigestsOfWholeFiles) {
    harness::TempDir dir;
    std::array<std::uint8_t, 20> digest{};
    EXPECT_TRUE(common::mysha1(dir.write("empty", {}).c_str(), digest));
    EXPECT_EQ(harness::hex(harness::Bytes(digest.begin(), digest.end())),
              "da39a3ee5e6b4b0d3255bfef95601890afd80709");
    const harness::Bytes nine{'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i'};
    EXPECT_TRUE(common::mysha1(dir.write("nine", nine).c_str(), digest));
    EXPECT_EQ(harness::hex(harness::Bytes(digest.begin(), digest.end())),
              "c63b19f1e4c8b5f76b25c49b8b87f57d8e4872a1");
    // Larger than one read block, and not a multiple of it.
    const harness::Bytes big = harness::pattern(3 * 65536 + 17);
    EXPECT_TRUE(common::mysha1(dir.write("big", big).c_str(), digest));
    EXPECT_EQ(harness::Bytes(digest.begin(), digest.end()), harness::sha1(big));
}

TEST(MySha1, MissingFileIsReportedAndLeavesZeros) {
    std::array<std::uint8_t, 20> digest;
    digest.fill(0xaa);
    testing::internal::CaptureStdout();
    EXPECT_FALSE(common::mysha1("/nonexistent/file", digest));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "\nerror opening file1\n");
    EXPECT_EQ(digest, (std::array<std::uint8_t, 20>{}));
}

TEST(MySha1, ReadErrorStopsWithoutLooping) {
    std::array<std::uint8_t, 20> digest;
    digest.fill(0xaa);
    EXPECT_FALSE(common::mysha1("/", digest));  // a directory opens but cannot be read
    EXPECT_EQ(digest, (std::array<std::uint8_t, 20>{}));
}

// Whatever the node name resolves to here (127.0.1.1 on a stock Debian host, a network address
// on others): an independent lookup lists the address, though perhaps in another order.
TEST(MyAddr, AnAddressOfTheNodeName) {
    char name[256] = {};
    ASSERT_EQ(::gethostname(name, sizeof name - 1), 0);
    const auto addr = common::my_addr();
    ASSERT_TRUE(addr) << "the host name " << name << " does not resolve";
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    ASSERT_EQ(::getaddrinfo(name, nullptr, &hints, &found), 0);
    bool listed = false;
    for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(a->ai_addr);
        listed = listed || std::memcmp(&in->sin_addr, addr->data(), addr->size()) == 0;
    }
    ::freeaddrinfo(found);
    EXPECT_TRUE(listed);
}

}  // namespace
