#include <gtest/gtest.h>

#include "seal.h"
#include "steps.h"

namespace {

const char* const kEight[] = {"client", "gk",    "65537", "0123456789abcdef", "sv", "x12",
                              "out",    "alice", "files"};

TEST(ClientArgs, OptionalWordsByCountAndPosition) {
    auto p = client::parse_args(9, kEight);
    ASSERT_TRUE(p.settings);
    const client::Settings& s = *p.settings;
    EXPECT_EQ(s.gatekeep_port, 1);  // cut to 16 bits
    EXPECT_EQ(s.server_port, 0);    // no leading digit
    EXPECT_EQ(s.client_key[7], 0xef);
    EXPECT_EQ(s.client[4], 'e');
    EXPECT_EQ(s.client[5], 0);
    EXPECT_FALSE(s.debug);

    const char* nine[] = {"c", "g", "1", "k", "s", "2", "o", "a", "b", "-DDEBUG"};
    EXPECT_TRUE(client::parse_args(10, nine).settings->debug);
    // Ten words: positions 9 and 10 are ignored, even "-DDEBUG".
    const char* ten[] = {"c", "g", "1", "k", "s", "2", "o", "a", "b", "-DDEBUG", "-T1"};
    p = client::parse_args(11, ten);
    EXPECT_FALSE(p.settings->debug);
    EXPECT_EQ(p.settings->address_offset, 0);
    // Eleven words: the switch works whatever stands at position 9.
    const char* eleven[] = {"c", "g", "1", "k", "s", "2", "o", "a", "b", "-DEBUG", "-T3", "-2"};
    p = client::parse_args(12, eleven);
    EXPECT_FALSE(p.settings->debug);
    EXPECT_EQ(p.settings->back_dating, -7200);
    const char* t1[] = {"c", "g", "1", "k", "s", "2", "o", "a", "b", "-DDEBUG", "-T1", " 256x"};
    p = client::parse_args(12, t1);
    EXPECT_TRUE(p.settings->debug);
    EXPECT_EQ(p.settings->address_offset, 256);
    const char* t2[] = {"c", "g", "1", "k", "s", "2", "o", "a", "b", "x", "-T2", "zz"};
    EXPECT_STREQ(client::parse_args(12, t2).settings->replacement, "zz");

    EXPECT_EQ(client::parse_args(8, kEight).error, client::ArgsError::usage);
    const std::string too_long(41, 'i');
    const char* long_id[] = {"c", "g", "1", "k", "s", "2", "o", "a", too_long.c_str(), "-DDEBUG"};
    p = client::parse_args(10, long_id);
    EXPECT_FALSE(p.settings);
    EXPECT_EQ(p.error, client::ArgsError::id_too_long);
    EXPECT_TRUE(p.debug);
}

TEST(ClientAuthenticator, OffsetsWorkOnTheAddressReadFirstByteLeast) {
    client::Settings s;
    s.client = *ticket::make_id("alice");
    const ticket::Address addr{10, 0, 0, 5};
    auto f = client::make_auth_fields(s, addr, 5000);
    EXPECT_EQ(f.address, addr);
    EXPECT_EQ(f.address_before, 0x0500000au);
    EXPECT_EQ(f.nonce, 5000u);
    EXPECT_EQ(f.client, s.client);
    s.address_offset = 1;
    EXPECT_EQ(client::make_auth_fields(s, addr, 0).address, (ticket::Address{11, 0, 0, 5}));
    s.address_offset = 256;
    EXPECT_EQ(client::make_auth_fields(s, addr, 0).address, (ticket::Address{10, 1, 0, 5}));
    s.address_offset = -11;  // wraps below zero, borrowing from the second number
    EXPECT_EQ(client::make_auth_fields(s, addr, 0).address, (ticket::Address{255, 255, 255, 4}));
    s.address_offset = 0;
    s.back_dating = 7200;
    EXPECT_EQ(client::make_auth_fields(s, addr, 100).nonce, 100u - 7200u);
    s.replacement = "abcdefg";
    f = client::make_auth_fields(s, addr, 0);
    EXPECT_EQ(f.client, *ticket::make_id("abcd"));
    s.replacement = "";
    EXPECT_EQ(client::make_auth_fields(s, addr, 0).client, ticket::Id{});
}

struct Keys {
    seal::Schedule client, session;
    ticket::Key session_key{0x13, 0x34, 0x57, 0x79, 0x9b, 0xbc, 0xdf, 0xf1};
    Keys() {
        EXPECT_EQ(seal::make_schedule(ticket::Key{0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef},
                                      client),
                  0);
        EXPECT_EQ(seal::make_schedule(session_key, session), 0);
    }
};

TEST(ClientAsReply, ValidityEndsWhenNowReachesTimestampPlusLifetime) {
    const Keys k;
    const ticket::Id files = *ticket::make_id("files");
    const ticket::TicketFacts facts{
        k.session_key, *ticket::make_id("alice"), {127, 0, 0, 1}, files, 10000};
    std::array<std::uint8_t, ticket::kAsRepSize> rep;
    ticket::build_as_rep(rep, facts, k.client, k.client);
    ticket::RecvArea rx{};
    std::copy(rep.begin(), rep.end(), rx.begin());
    ticket::BodyArea body;
    auto r = client::check_as_reply(rx, k.client, files, 13599, body);
    EXPECT_EQ(r.verdict, client::AsVerdict::accepted);
    EXPECT_EQ(r.validity, 13600u);
    EXPECT_EQ(wire::load_be16(wire::at<ticket::kBodyTicketLength>(body)), 104);
    EXPECT_EQ(client::check_as_reply(rx, k.client, files, 13600, body).verdict,
              client::AsVerdict::expired);
    EXPECT_EQ(client::check_as_reply(rx, k.client, *ticket::make_id("file"), 0, body).verdict,
              client::AsVerdict::wrong_server_id);
    rx[1] = 3;
    EXPECT_EQ(client::check_as_reply(rx, k.client, files, 0, body).verdict,
              client::AsVerdict::as_err);
    rx[1] = 4;
    r = client::check_as_reply(rx, k.client, files, 0, body);
    EXPECT_EQ(r.verdict, client::AsVerdict::unexpected_type);
    EXPECT_EQ(r.type, 4);
}

TEST(ClientApReply, AnswerMustBeNoncePlusOneAsUnsigned) {
    const Keys k;
    std::array<std::uint8_t, ticket::kApRepSize> rep;
    ticket::RecvArea rx{};
    // The nonce 0xffffffff is answered by 0: "%d" of the wrapped value.
    ticket::build_ap_rep(rep, 0, k.session);
    std::copy(rep.begin(), rep.end(), rx.begin());
    EXPECT_EQ(client::check_ap_reply(rx, k.session, 0xffffffffu, 100, 0).verdict,
              client::ApVerdict::accepted);
    EXPECT_EQ(client::check_ap_reply(rx, k.session, 0xffffffffu, 100, 100).verdict,
              client::ApVerdict::expired);
    // A negative answer read back as its 32-bit pattern.
    ticket::build_ap_rep(rep, -5, k.session);
    std::copy(rep.begin(), rep.end(), rx.begin());
    EXPECT_EQ(client::check_ap_reply(rx, k.session, 0xfffffffau, 100, 0).verdict,
              client::ApVerdict::accepted);
    const auto r = client::check_ap_reply(rx, k.session, 0xfffffff9u, 100, 0);
    EXPECT_EQ(r.verdict, client::ApVerdict::wrong_answer);
    EXPECT_EQ(r.answer, 0xfffffffbu);
    EXPECT_EQ(r.expected, 0xfffffffau);
}

TEST(ClientEnvelope, SequenceFollowsTheSixteenBitWrap) {
    const Keys k;
    ticket::Inner inner;
    std::array<std::uint8_t, ticket::kPrvSize> prv;
    ticket::RecvArea rx{};
    const std::array<std::uint8_t, 3> data{1, 2, 3};
    auto envelope = [&](std::uint16_t pid) {
        ticket::build_app_data(inner, pid, data);
        ticket::build_krb_prv(prv, inner, k.session);
        std::copy(prv.begin(), prv.end(), rx.begin());
    };
    ticket::Inner out;
    envelope(0);
    EXPECT_EQ(client::check_envelope(rx, k.session, 100, 0, 65535, out).verdict,
              client::EnvelopeVerdict::app_data);
    EXPECT_EQ(client::check_envelope(rx, k.session, 100, 0, 0, out).verdict,
              client::EnvelopeVerdict::out_of_sequence);
    envelope(1);
    const auto e = client::check_envelope(rx, k.session, 100, 0, 0, out);
    EXPECT_EQ(e.verdict, client::EnvelopeVerdict::app_data);
    EXPECT_EQ(e.data_length, 3);
    EXPECT_EQ(out[6], 1);
    EXPECT_EQ(client::check_envelope(rx, k.session, 100, 100, 0, out).verdict,
              client::EnvelopeVerdict::expired);
    // A data length of 972 is the most one chunk can hold; 973 is refused.
    for (const auto& [length, verdict] :
         {std::pair{972, client::EnvelopeVerdict::app_data},
          std::pair{973, client::EnvelopeVerdict::bad_data_length}}) {
        ticket::build_app_data(inner, 1, data);
        wire::store_be16(wire::at<ticket::kInnerDataLength>(inner),
                         static_cast<std::uint16_t>(length));
        ticket::build_krb_prv(prv, inner, k.session);
        std::copy(prv.begin(), prv.end(), rx.begin());
        EXPECT_EQ(client::check_envelope(rx, k.session, 100, 0, 0, out).verdict, verdict) << length;
    }
}

}  // namespace
