// latchkey's pure decisions: the command line, each reply of the server, the file loop and the
// TERMINATE check.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "steps.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

pass::RecvArea area(const Bytes& datagram) {
    pass::RecvArea rx{};
    std::copy_n(datagram.begin(), std::min(datagram.size(), rx.size()), rx.begin());
    return rx;
}

Bytes be32(std::uint32_t v) {
    return {static_cast<std::uint8_t>(v >> 24), static_cast<std::uint8_t>(v >> 16),
            static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)};
}

pass::RecvArea header(std::uint16_t type, std::uint32_t length) {
    Bytes d{static_cast<std::uint8_t>(type >> 8), static_cast<std::uint8_t>(type), 0, 0};
    const Bytes l = be32(length);
    d.insert(d.end(), l.begin(), l.end());
    return area(d);
}

pass::RecvArea data(std::uint32_t length, std::uint32_t id, std::uint8_t fill = 0x5a) {
    pass::RecvArea rx = header(5, length);
    const Bytes i = be32(id);
    std::copy(i.begin(), i.end(), rx.begin() + 8);
    std::fill(rx.begin() + 12, rx.end(), fill);
    return rx;
}

TEST(LatchkeyArgs, WordCountDebugAndPasswordLength) {
    const char* six[] = {"latchkey", "h", "1", "a", "b", "c"};
    EXPECT_FALSE(latchkey::parse_args(6, six).settings);
    const char* nine[] = {"latchkey", "h", "1", "a", "b", "c", "o", "-DDEBUG", "x"};
    EXPECT_FALSE(latchkey::parse_args(9, nine).settings);
    const char* eight[] = {"latchkey", "host", "65535", "one", "", "three", "out", "-DDEBUG"};
    const auto p = latchkey::parse_args(8, eight);
    ASSERT_TRUE(p.settings);
    const latchkey::Settings& s = *p.settings;
    EXPECT_STREQ(s.server, "host");
    EXPECT_EQ(s.port, 65535);
    EXPECT_TRUE(s.debug);
    EXPECT_STREQ(s.path, "out");
    EXPECT_EQ(s.passwords[0].length, 3);
    EXPECT_EQ(s.passwords[1].length, 0);
    EXPECT_EQ(std::string(s.passwords[2].text.begin(), s.passwords[2].text.end()), "three");
    const char* seven[] = {"latchkey", "h", "1", "a", "b", "c", "o", "-DEBUG"};
    EXPECT_FALSE(latchkey::parse_args(8, seven).settings->debug);

    // 52 characters fill the field exactly; 53 do not fit and are refused, debug still known.
    const std::string fits(52, 'x'), too_long(53, 'x');
    const char* ok[] = {"l", "h", "1", "a", fits.c_str(), "c", "o"};
    EXPECT_EQ(latchkey::parse_args(7, ok).settings->passwords[1].length, 52);
    const char* bad[] = {"l", "h", "1", "a", "b", too_long.c_str(), "o", "-DDEBUG"};
    const auto refused = latchkey::parse_args(8, bad);
    EXPECT_FALSE(refused.settings);
    EXPECT_EQ(refused.error, latchkey::ArgsError::password_too_long);
    EXPECT_TRUE(refused.debug);
}

TEST(LatchkeyReplies, FirstReplyMustBeABarePassReq) {
    EXPECT_TRUE(latchkey::is_first_pass_req(header(2, 0)));
    EXPECT_FALSE(latchkey::is_first_pass_req(header(2, 1)));
    EXPECT_FALSE(latchkey::is_first_pass_req(header(12, 0)));  // lockbox-badreq's PASS_REQ
    EXPECT_FALSE(latchkey::is_first_pass_req(header(4, 0)));
    EXPECT_FALSE(latchkey::is_first_pass_req(area({})));
}

TEST(LatchkeyReplies, VerdictAfterEachPassword) {
    using V = latchkey::Verdict;
    EXPECT_EQ(latchkey::judge_answer(header(2, 0), 1), V::offer_next);
    EXPECT_EQ(latchkey::judge_answer(header(2, 99), 2),
              V::offer_next);                                        // later PASS_REQ: type only
    EXPECT_EQ(latchkey::judge_answer(header(2, 0), 3), V::refused);  // no password left
    EXPECT_EQ(latchkey::judge_answer(header(4, 0), 3), V::accepted);
    EXPECT_EQ(latchkey::judge_answer(header(4, 1), 1), V::refused);
    EXPECT_EQ(latchkey::judge_answer(header(7, 0), 2), V::rejected);
    EXPECT_EQ(latchkey::judge_answer(header(7, 1), 2), V::refused);
    EXPECT_EQ(latchkey::judge_answer(header(12, 0), 1), V::refused);
    EXPECT_EQ(latchkey::judge_answer(area({}), 1), V::refused);
}

TEST(LatchkeyFile, FirstDatagramTestsOnlyTheType) {
    EXPECT_TRUE(latchkey::is_data(data(5000, 77)));
    EXPECT_FALSE(latchkey::is_data(header(6, 20)));
}

TEST(LatchkeyFile, PiecesInIdOrder) {
    using P = latchkey::Piece;
    const pass::RecvArea piece = data(234, 3);  // the step's bytes point into it
    auto step = latchkey::next_piece(piece, 2);
    EXPECT_EQ(step.piece, P::data);
    EXPECT_EQ(step.packet_id, 3u);
    ASSERT_EQ(step.bytes.size(), 234u);
    EXPECT_EQ(step.bytes.data(), piece.data() + 12);
    step = latchkey::next_piece(data(0, 1), 0);  // an empty piece takes its place in the order
    EXPECT_EQ(step.piece, P::data);
    EXPECT_TRUE(step.bytes.empty());
    EXPECT_EQ(latchkey::next_piece(data(1000, 1), 0).bytes.size(), 1000u);
    EXPECT_EQ(latchkey::next_piece(data(10, 3), 1).piece, P::bad_id);  // lockbox-skipid's second
    EXPECT_EQ(latchkey::next_piece(data(10, 1), 1).piece, P::bad_id);  // repeated
    EXPECT_EQ(latchkey::next_piece(data(10, 0), 0xffffffff).piece, P::data);  // wraps, by intent
    // More than the data area holds is refused, never cut or read past the area.
    EXPECT_EQ(latchkey::next_piece(data(1001, 1), 0).piece, P::bad_id);
    EXPECT_EQ(latchkey::next_piece(data(0xffffffff, 1), 0).piece, P::bad_id);
    EXPECT_EQ(latchkey::next_piece(header(6, 0), 4).piece, P::terminate);
    EXPECT_EQ(latchkey::next_piece(header(4, 0), 4).piece, P::other);
    EXPECT_EQ(latchkey::next_piece(area({}), 4).piece, P::other);
}

TEST(LatchkeyFile, TerminateNeedsDigestAndLengthTwenty) {
    pass::Digest d{};
    for (std::size_t i = 0; i < d.size(); ++i) d[i] = static_cast<std::uint8_t>(i * 7 + 1);
    pass::RecvArea rx = header(6, 20);
    std::copy(d.begin(), d.end(), rx.begin() + 8);
    EXPECT_TRUE(latchkey::terminate_matches(rx, d));
    for (std::uint32_t length : {0u, 19u, 21u, 0x14000000u}) {
        pass::RecvArea wrong = rx;
        const Bytes l = be32(length);
        std::copy(l.begin(), l.end(), wrong.begin() + 4);
        EXPECT_FALSE(latchkey::terminate_matches(wrong, d)) << length;
    }
    for (std::size_t i = 0; i < d.size(); ++i) {
        pass::RecvArea wrong = rx;
        wrong[8 + i] ^= 1;
        EXPECT_FALSE(latchkey::terminate_matches(wrong, d)) << i;
    }
}

}  // namespace
