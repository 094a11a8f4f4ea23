#include <gtest/gtest.h>

#include "seal.h"
#include "steps.h"

namespace {

TEST(ServerArgs, OptionalWordsByCountAndPosition) {
    const char* three[] = {"server", "65537", "fedcba9876543210", "file"};
    auto s = server::parse_args(4, three);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->port, 1);  // cut to 16 bits
    EXPECT_EQ(s->server_key[0], 0xfe);
    EXPECT_STREQ(s->path, "file");
    EXPECT_FALSE(s->debug);

    const char* six[] = {"server", "1", "k", "f", "-DDEBUG", "-T1", "-7"};
    s = server::parse_args(7, six);
    EXPECT_TRUE(s->debug);
    EXPECT_EQ(s->nonce_offset, -7);
    EXPECT_FALSE(s->wrong_digest);

    const char* eight[] = {"server", "1", "k", "f", "x", "-T1", "4", "-T2", "9"};
    s = server::parse_args(9, eight);
    EXPECT_FALSE(s->debug);
    EXPECT_EQ(s->nonce_offset, 0);  // positions 5 and 6 are ignored with 8 words
    EXPECT_TRUE(s->wrong_digest);

    const char* seven[] = {"server", "1", "k", "f", "-DDEBUG", "-T2", "1", "2"};
    s = server::parse_args(8, seven);
    EXPECT_FALSE(s->debug);
    EXPECT_FALSE(s->wrong_digest);

    EXPECT_FALSE(server::parse_args(3, three));
    const char* nine[] = {"s", "1", "k", "f", "a", "b", "c", "d", "e", "f"};
    EXPECT_FALSE(server::parse_args(10, nine));
}

TEST(ServerAnswer, NonceAnswerWrapsAsSigned32Bits) {
    EXPECT_EQ(server::nonce_answer(1000, 0), 1001);
    EXPECT_EQ(server::nonce_answer(1000, -2), 999);
    EXPECT_EQ(server::nonce_answer(2147483647, 0), -2147483647 - 1);
    EXPECT_EQ(server::nonce_answer(-1, 0), 0);
}

TEST(ServerDigest, WrongHashKeepsTheLastEightBytes) {
    ticket::Digest d;
    for (std::size_t i = 0; i < d.size(); ++i) d[i] = static_cast<std::uint8_t>(0xa0 + i);
    server::overwrite_digest(d);
    const ticket::Digest expected{'W', 'r', 'o',  'n',  'g',  ' ',  'H',  'a',  's',  'h',
                                  0,   0,   0xac, 0xad, 0xae, 0xaf, 0xb0, 0xb1, 0xb2, 0xb3};
    EXPECT_EQ(d, expected);
    EXPECT_EQ(server::next_packet_id(65535), 0);
    EXPECT_EQ(server::next_packet_id(0), 1);
}

// An AP_REQ for client "alice" at 127.0.0.1 whose Ticket was issued at timestamp.
struct Fixture {
    seal::Schedule server_key, session;
    ticket::Key session_key{0x13, 0x34, 0x57, 0x79, 0x9b, 0xbc, 0xdf, 0xf1};
    ticket::RecvArea rx{};
    Fixture(std::uint32_t timestamp, const char* auth_client = "alice") {
        const ticket::Key sk{0xfe, 0xdc, 0xba, 0x98, 0x76, 0x54, 0x32, 0x10};
        EXPECT_EQ(seal::make_schedule(sk, server_key), 0);
        EXPECT_EQ(seal::make_schedule(session_key, session), 0);
        // The Ticket is taken from an AS_REP sealed with the same key for both layers.
        const ticket::TicketFacts facts{session_key,
                                        *ticket::make_id("alice"),
                                        {127, 0, 0, 1},
                                        *ticket::make_id("files"),
                                        timestamp};
        std::array<std::uint8_t, ticket::kAsRepSize> rep;
        ticket::build_as_rep(rep, facts, server_key, server_key);
        ticket::RecvArea rep_rx{};
        std::copy(rep.begin(), rep.end(), rep_rx.begin());
        ticket::BodyArea body;
        EXPECT_TRUE(ticket::unseal_as_rep_body(rep_rx, server_key, body));
        ticket::AuthArea auth;
        ticket::build_authenticator(auth, *ticket::make_id(auth_client), {127, 0, 0, 1}, 41);
        std::array<std::uint8_t, ticket::kApReqSize> req;
        ticket::build_ap_req(req, body, auth, session);
        std::copy(req.begin(), req.end(), rx.begin());
    }
};

TEST(ServerApReq, VerdictsInTheOrderTheyAreReported) {
    Fixture f(10000);
    auto c = server::check_ap_req(f.rx, f.server_key, 10000 + 3599);
    EXPECT_EQ(c.verdict, server::ApReqVerdict::accepted);
    EXPECT_EQ(c.nonce, 41);
    EXPECT_EQ(c.validity, 13600u);
    // Timestamp + lifetime equal to now is already expired.
    EXPECT_EQ(server::check_ap_req(f.rx, f.server_key, 13600).verdict,
              server::ApReqVerdict::expired);
    // Lengths beyond their areas are refused before anything is unsealed.
    f.rx[3] = 105;
    c = server::check_ap_req(f.rx, f.server_key, 10000);
    EXPECT_EQ(c.verdict, server::ApReqVerdict::bad_lengths);
    EXPECT_EQ(c.lengths.ticket_length, 105);
    f.rx[3] = 104;
    f.rx[5] = 49;
    EXPECT_EQ(server::check_ap_req(f.rx, f.server_key, 10000).verdict,
              server::ApReqVerdict::bad_lengths);
    // A zero ticket length unseals nothing: the session key reads as zero bytes, wrong parity.
    f.rx[5] = 48;
    f.rx[3] = 0;
    c = server::check_ap_req(f.rx, f.server_key, 10000);
    EXPECT_EQ(c.verdict, server::ApReqVerdict::key_error);
    EXPECT_EQ(c.key_result, -1);
    f.rx[1] = 5;
    EXPECT_EQ(server::check_ap_req(f.rx, f.server_key, 10000).verdict,
              server::ApReqVerdict::not_ap_req);

    Fixture other(10000, "alicf");
    EXPECT_EQ(server::check_ap_req(other.rx, other.server_key, 10000).verdict,
              server::ApReqVerdict::wrong_client);
}

TEST(ServerRequest, OnlyAnApDataReqInsideAValidKrbPrvPasses) {
    Fixture f(10000);
    ticket::Inner inner;
    ticket::build_app_data_req(inner);
    std::array<std::uint8_t, ticket::kPrvSize> prv;
    ticket::build_krb_prv(prv, inner, f.session);
    ticket::RecvArea rx{};
    std::copy(prv.begin(), prv.end(), rx.begin());
    ticket::Inner out;
    EXPECT_EQ(server::check_request(rx, f.session, 13600, 13599, out).verdict,
              server::RequestVerdict::app_data_req);
    EXPECT_EQ(server::check_request(rx, f.session, 13600, 13600, out).verdict,
              server::RequestVerdict::expired);
    rx[2] = 0;
    rx[3] = 0;  // length 0 unseals nothing: inner type 0
    auto c = server::check_request(rx, f.session, 13600, 0, out);
    EXPECT_EQ(c.verdict, server::RequestVerdict::unexpected_inner);
    EXPECT_EQ(c.type, 0);
    rx[2] = 0x03;
    rx[3] = 0xd3;  // 979
    EXPECT_EQ(server::check_request(rx, f.session, 13600, 0, out).verdict,
              server::RequestVerdict::bad_length);
    rx[1] = 6;
    EXPECT_EQ(server::check_request(rx, f.session, 13600, 0, out).verdict,
              server::RequestVerdict::ap_err);
    rx[1] = 2;
    c = server::check_request(rx, f.session, 13600, 0, out);
    EXPECT_EQ(c.verdict, server::RequestVerdict::unexpected_type);
    EXPECT_EQ(c.type, 2);
}

}  // namespace
