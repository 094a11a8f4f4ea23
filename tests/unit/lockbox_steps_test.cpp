// lockbox's pure decisions: the command line, the JOIN_REQ and PASS_RESP checks with the password
// rule, the shown password, the single-datagram classification and the attempt count.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "steps.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

pass::RecvArea area(const Bytes& datagram) { return pass::receive_area(datagram); }

// A PASS_RESP with any length field and any password bytes.
pass::RecvArea pass_resp(std::uint32_t length, const std::string& text) {
    Bytes d{0,
            3,
            0,
            0,
            static_cast<std::uint8_t>(length >> 24),
            static_cast<std::uint8_t>(length >> 16),
            static_cast<std::uint8_t>(length >> 8),
            static_cast<std::uint8_t>(length)};
    d.insert(d.end(), text.begin(), text.end());
    return area(d);
}

lockbox::Settings settings(const char* password) {
    const char* argv[] = {"lockbox", "5000", password, "file"};
    return *lockbox::parse_args(4, argv);
}

TEST(LockboxArgs, WordCountAndDebugSwitch) {
    const char* three[] = {"lockbox", "1", "pw"};
    EXPECT_FALSE(lockbox::parse_args(3, three));
    const char* six[] = {"lockbox", "1", "pw", "f", "-DDEBUG", "x"};
    EXPECT_FALSE(lockbox::parse_args(6, six));
    const char* five[] = {"lockbox", "70000", "pw", "f", "-DDEBUG"};
    auto s = lockbox::parse_args(5, five);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->port, 4464);  // to_num wraps modulo 65536
    EXPECT_TRUE(s->debug);
    EXPECT_EQ(s->password_length, 2);
    EXPECT_STREQ(s->path, "f");
    const char* other[] = {"lockbox", "1", "pw", "f", "-DDEBUGX"};
    EXPECT_FALSE(lockbox::parse_args(5, other)->debug);
}

TEST(LockboxChecks, JoinReqIsTypeOneWithLengthZero) {
    EXPECT_TRUE(lockbox::is_join_req(area({0, 1, 0, 0, 0, 0, 0, 0})));
    EXPECT_TRUE(
        lockbox::is_join_req(area({0, 1, 0xff, 0xff, 0, 0, 0, 0, 9, 9})));  // bytes 2, 3 unread
    EXPECT_TRUE(lockbox::is_join_req(area({0, 1})));  // a short datagram reads zeros
    EXPECT_FALSE(lockbox::is_join_req(area({0, 1, 0, 0, 0, 0, 0, 1})));
    EXPECT_FALSE(lockbox::is_join_req(area({1, 1, 0, 0, 0, 0, 0, 0})));
    EXPECT_FALSE(
        lockbox::is_join_req(area({0, 12, 0, 0, 0, 0, 0, 0})));  // the client build's opening
    EXPECT_FALSE(lockbox::is_join_req(area({})));
}

TEST(LockboxChecks, PasswordRule) {
    const auto s = settings("secret");
    EXPECT_EQ(lockbox::check_password(pass_resp(6, "secret"), s), lockbox::Verdict::right);
    // Bytes after the first n are not looked at, but the length field must be n.
    EXPECT_EQ(lockbox::check_password(pass_resp(6, "secretXYZ"), s), lockbox::Verdict::right);
    EXPECT_EQ(lockbox::check_password(pass_resp(7, "secretXYZ"), s), lockbox::Verdict::wrong);
    EXPECT_EQ(lockbox::check_password(pass_resp(5, "secre"), s), lockbox::Verdict::wrong);
    EXPECT_EQ(lockbox::check_password(pass_resp(6, "secreT"), s), lockbox::Verdict::wrong);
    EXPECT_EQ(lockbox::check_password(pass_resp(50, "secret"), s), lockbox::Verdict::wrong);
    // Above 50, or another type, is no PASS_RESP at all, however the bytes compare.
    EXPECT_EQ(lockbox::check_password(pass_resp(51, "secret"), s), lockbox::Verdict::not_pass_resp);
    EXPECT_EQ(lockbox::check_password(pass_resp(0x80000006, "secret"), s),
              lockbox::Verdict::not_pass_resp);
    EXPECT_EQ(
        lockbox::check_password(area({0, 1, 0, 0, 0, 0, 0, 6, 's', 'e', 'c', 'r', 'e', 't'}), s),
        lockbox::Verdict::not_pass_resp);
}

TEST(LockboxChecks, PasswordLengthLimits) {
    const auto empty = settings("");
    EXPECT_EQ(lockbox::check_password(pass_resp(0, "anything"), empty), lockbox::Verdict::right);
    EXPECT_EQ(lockbox::check_password(pass_resp(1, "a"), empty), lockbox::Verdict::wrong);
    const std::string fifty(50, 'p'), fifty_one(51, 'p');
    EXPECT_EQ(lockbox::check_password(pass_resp(50, fifty), settings(fifty.c_str())),
              lockbox::Verdict::right);
    // A configured password of 51 bytes can never match: its length field would be refused.
    const auto s51 = settings(fifty_one.c_str());
    EXPECT_EQ(lockbox::check_password(pass_resp(51, fifty_one), s51),
              lockbox::Verdict::not_pass_resp);
    EXPECT_EQ(lockbox::check_password(pass_resp(50, fifty_one), s51), lockbox::Verdict::wrong);
    // The length is size()'s, modulo 65536: a password of 65537 bytes counts as 1 byte long.
    const std::string huge(65537, 'h');
    EXPECT_EQ(lockbox::check_password(pass_resp(1, "h"), settings(huge.c_str())),
              lockbox::Verdict::right);
}

TEST(LockboxChecks, ShownPasswordStopsAtFirstZeroOrAreaEnd) {
    auto rx = pass_resp(3, "abc");
    auto shown = lockbox::shown_password(rx);
    EXPECT_EQ(std::string(shown.begin(), shown.end()), "abc");
    // No zero in the 52-byte field: the text runs on into the following bytes, as far as the
    // area holds them.
    rx.fill('x');
    shown = lockbox::shown_password(rx);
    EXPECT_EQ(shown.size(), pass::kRecvSize - pass::kPassword.offset);
    EXPECT_EQ(shown.data() + shown.size(), rx.data() + rx.size());
    rx[100] = 0;
    EXPECT_EQ(lockbox::shown_password(rx).size(), 92u);
}

TEST(LockboxChecks, EachDatagramAlone) {
    const auto s = settings("pw");
    using D = lockbox::Datagram;
    EXPECT_EQ(lockbox::classify_any(area({0, 1, 0, 0, 0, 0, 0, 0}), s), D::join_req);
    EXPECT_EQ(lockbox::classify_any(area({0, 1, 0, 0, 0, 0, 0, 1}), s), D::other);
    EXPECT_EQ(lockbox::classify_any(pass_resp(2, "pw"), s), D::right_password);
    EXPECT_EQ(lockbox::classify_any(pass_resp(2, "px"), s), D::wrong_password);
    EXPECT_EQ(lockbox::classify_any(pass_resp(51, "pw"), s), D::pass_resp_too_long);
    EXPECT_EQ(lockbox::classify_any(area({0, 5}), s), D::other);
    EXPECT_EQ(lockbox::classify_any(area({}), s), D::other);
}

TEST(LockboxChecks, ThirdMissEndsTheAttempts) {
    lockbox::Misses m;
    EXPECT_FALSE(m.add());
    EXPECT_FALSE(m.add());
    EXPECT_TRUE(m.add());
    m.reset();
    EXPECT_FALSE(m.add());
}

// Every prefix of a valid PASS_RESP, as a zeroed area receives it: decided without reading
// outside the area (asan), and right only once the whole password has arrived.
TEST(LockboxChecks, EveryPrefixOfAPassResp) {
    const auto s = settings("secret");
    const auto full = pass_resp(6, "secret");
    for (std::size_t n = 0; n <= pass::kPassRespSize; ++n) {
        pass::RecvArea rx{};
        std::copy_n(full.begin(), n, rx.begin());
        const auto v = lockbox::check_password(rx, s);
        EXPECT_EQ(v == lockbox::Verdict::right, n >= 14) << n;
        EXPECT_EQ(v == lockbox::Verdict::not_pass_resp, n < 2) << n;
        EXPECT_LE(lockbox::shown_password(rx).size(), 6u);
    }
}

}  // namespace
