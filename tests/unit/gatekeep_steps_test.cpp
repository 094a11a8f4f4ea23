#include <gtest/gtest.h>

#include "steps.h"

namespace {

TEST(GatekeepArgs, OptionalWordsByCountAndPosition) {
    const char* five[] = {"gatekeep",         "9000",  "alice",
                          "0123456789abcdef", "files", "fedcba9876543210"};
    auto p = gatekeep::parse_args(6, five);
    ASSERT_TRUE(p.settings);
    EXPECT_EQ(p.settings->port, 9000);
    EXPECT_FALSE(p.settings->debug);
    EXPECT_EQ(p.settings->back_dating, 0);
    EXPECT_EQ(p.settings->client_key[7], 0xef);
    EXPECT_EQ(p.settings->server_key[0], 0xfe);

    const char* eight[] = {"g", "65537", "a", "k", "s", "k", "-DDEBUG", "-T1", "-2"};
    p = gatekeep::parse_args(9, eight);
    ASSERT_TRUE(p.settings);
    EXPECT_EQ(p.settings->port, 1);  // cut to 16 bits
    EXPECT_TRUE(p.settings->debug);
    EXPECT_EQ(p.settings->back_dating, -7200);

    const char* seven[] = {"g", "1", "a", "k", "s", "k", "-T1", "3"};
    p = gatekeep::parse_args(8, seven);
    EXPECT_FALSE(p.settings->debug);
    EXPECT_EQ(p.settings->back_dating, 3 * 3600);

    const char* six_not_debug[] = {"g", "1", "a", "k", "s", "k", "-DDEBUGX"};
    EXPECT_FALSE(gatekeep::parse_args(7, six_not_debug).settings->debug);

    const char* four[] = {"g", "1", "a", "k", "s"};
    EXPECT_FALSE(gatekeep::parse_args(5, four).settings);
    EXPECT_EQ(gatekeep::parse_args(5, four).error, gatekeep::ArgsError::usage);
}

TEST(GatekeepArgs, IdsOfMoreThanFortyCharactersAreRefused) {
    const std::string longest(40, 'x'), too_long(41, 'x');
    const char* ok[] = {"g", "1", longest.c_str(), "k", "s", "k"};
    EXPECT_TRUE(gatekeep::parse_args(6, ok).settings);
    const char* bad[] = {"g", "1", "a", "k", too_long.c_str(), "k", "-DDEBUG"};
    const auto p = gatekeep::parse_args(7, bad);
    EXPECT_FALSE(p.settings);
    EXPECT_EQ(p.error, gatekeep::ArgsError::id_too_long);
    EXPECT_TRUE(p.debug);
}

TEST(GatekeepClassify, TypeThenAllFortyBytesOfBothIds) {
    const ticket::Id client = *ticket::make_id("alice");
    const ticket::Id server = *ticket::make_id("files");
    ticket::RecvArea rx{};
    EXPECT_EQ(gatekeep::classify(rx, client, server), gatekeep::Request::not_as_req);
    std::array<std::uint8_t, ticket::kAsReqSize> req;
    ticket::build_as_req(req, client, server);
    std::copy(req.begin(), req.end(), rx.begin());
    EXPECT_EQ(gatekeep::classify(rx, client, server), gatekeep::Request::as_req);
    rx[42 + 39] = 1;
    EXPECT_EQ(gatekeep::classify(rx, client, server), gatekeep::Request::wrong_ids);
}

TEST(GatekeepTimestamp, BackDatingWrapsAsUnsigned) {
    EXPECT_EQ(gatekeep::issue_timestamp(10000, 7200), 2800u);
    EXPECT_EQ(gatekeep::issue_timestamp(10000, -3600), 13600u);
    EXPECT_EQ(gatekeep::issue_timestamp(100, 3600), 100u - 3600u);
}

}  // namespace
