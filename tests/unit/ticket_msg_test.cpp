#include "ticket_msg.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "harness.h"

namespace {

using harness::Bytes;

seal::Schedule schedule(std::array<std::uint8_t, 8> key) {
    seal::Schedule s;
    EXPECT_EQ(seal::make_schedule(key, s), 0);
    return s;
}
const auto kSession = schedule({0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef});
const auto kServerKey = schedule({0xfe, 0xdc, 0xba, 0x98, 0x76, 0x54, 0x32, 0x10});
const auto kClientKey = schedule({0x13, 0x34, 0x57, 0x79, 0x9b, 0xbc, 0xdf, 0xf1});

template <std::size_t N>
Bytes as_bytes(const std::array<std::uint8_t, N>& a) {
    return Bytes(a.begin(), a.end());
}

ticket::RecvArea area_of(const Bytes& datagram) { return ticket::receive_area(datagram); }

TEST(TicketIds, FortyByteFieldsFilledUpToTheLastByte) {
    EXPECT_EQ(as_bytes(*ticket::make_id("alice")), harness::text_field("alice", 40));
    const std::string forty(40, 'x');
    EXPECT_EQ(as_bytes(*ticket::make_id(forty.c_str())), Bytes(forty.begin(), forty.end()));
    EXPECT_FALSE(ticket::make_id(std::string(41, 'x').c_str()));
}

TEST(TicketBuilders, PlainMessagesByteForByte) {
    const auto alice = *ticket::make_id("alice"), files = *ticket::make_id("files");
    std::array<std::uint8_t, ticket::kAsReqSize> req;
    req.fill(0xee);
    ticket::build_as_req(req, alice, files);
    EXPECT_EQ(as_bytes(req),
              harness::concat({harness::be16(1), harness::text_field("alice", 40),
                               harness::text_field("files", 40), harness::zeros(6)}));
    std::array<std::uint8_t, ticket::kAsErrSize> err;
    ticket::build_as_err(err, alice);
    EXPECT_EQ(as_bytes(err), harness::concat({harness::be16(3), harness::text_field("alice", 40)}));
    std::array<std::uint8_t, ticket::kApErrSize> ap_err;
    ticket::build_ap_err(ap_err, nullptr);
    EXPECT_EQ(as_bytes(ap_err), harness::concat({harness::be16(6), harness::zeros(40)}));
    ticket::build_ap_err(ap_err, &alice);
    EXPECT_EQ(as_bytes(ap_err),
              harness::concat({harness::be16(6), harness::text_field("alice", 40)}));
    std::array<std::uint8_t, ticket::kAuthSize> auth;
    ticket::build_authenticator(auth, alice, {10, 0, 0, 5}, 0x11223344);
    EXPECT_EQ(as_bytes(auth),
              harness::concat({harness::text_field("alice", 40), harness::bytes({10, 0, 0, 5}),
                               harness::bytes({0x44, 0x33, 0x22, 0x11})}));
}

TEST(TicketApRep, AnswerTextAndItsLengthField) {
    struct Case {
        std::int32_t answer;
        int length_field;
        const char* sealed_hex;  // from the enc tool over the zero-padded text
    };
    for (const Case c : {Case{1001, 8, "017cec8bf23db851"},
                         Case{1234567890, 14, "d130f793e88368e7f7d4e95f8226605f"}}) {
        std::array<std::uint8_t, ticket::kApRepSize> rep;
        ticket::build_ap_rep(rep, c.answer, kSession);
        const Bytes b = as_bytes(rep);
        EXPECT_EQ(Bytes(b.begin(), b.begin() + 4),
                  harness::concat({harness::be16(5),
                                   harness::be16(static_cast<std::uint16_t>(c.length_field))}));
        const std::size_t sealed = seal::rounded(static_cast<std::size_t>(c.length_field));
        EXPECT_EQ(harness::hex(Bytes(b.begin() + 4, b.begin() + 4 + static_cast<long>(sealed))),
                  c.sealed_hex);
        EXPECT_EQ(Bytes(b.begin() + 4 + static_cast<long>(sealed), b.end()),
                  harness::zeros(20 - sealed));
        EXPECT_EQ(ticket::read_ap_rep_answer(area_of(b), kSession), c.answer);
    }
    // Exactly eight characters: length 8, the digits alone; still read back whole.
    for (const std::int32_t answer : {12345678, -1234567, -7200, 0, INT32_MIN}) {
        std::array<std::uint8_t, ticket::kApRepSize> rep;
        ticket::build_ap_rep(rep, answer, kSession);
        EXPECT_EQ(ticket::read_ap_rep_answer(area_of(as_bytes(rep)), kSession), answer);
    }
    std::array<std::uint8_t, ticket::kApRepSize> rep;
    ticket::build_ap_rep(rep, 12345678, kSession);
    EXPECT_EQ(rep[3], 8);
}

TEST(TicketApRep, AnswerReadingRules) {
    // Digits followed by other characters count as the number; an answer area of 32 is the limit.
    auto answer_of = [](const std::string& text, std::uint16_t length) {
        Bytes plain(32, 0);
        std::copy(text.begin(), text.end(), plain.begin());
        Bytes sealed(32, 0);
        seal::seal(plain, 32, kSession, sealed);
        return ticket::read_ap_rep_answer(
            area_of(harness::concat({harness::be16(5), harness::be16(length), sealed})), kSession);
    };
    EXPECT_EQ(answer_of("1001abc", 8), 1001);
    EXPECT_EQ(answer_of("  -42", 8), -42);
    EXPECT_EQ(answer_of("123456789", 4), 1234);  // ends with the unsealed length
    EXPECT_EQ(answer_of("", 0), 0);
    EXPECT_EQ(answer_of(std::string(32, '7'), 32),
              static_cast<std::int32_t>(static_cast<std::uint32_t>(LONG_MAX)));
    EXPECT_FALSE(answer_of("1", 33));
    EXPECT_FALSE(answer_of("1", 65535));
}

TEST(TicketAsRep, BuildsTicketInsideBodyAndUnsealsBack) {
    ticket::TicketFacts facts{{0x01, 0x02, 0x04, 0x07, 0x08, 0x0b, 0x0d, 0x0e},
                              *ticket::make_id("alice"),
                              {127, 0, 0, 1},
                              *ticket::make_id("files"),
                              0x01020304};
    std::array<std::uint8_t, ticket::kAsRepSize> rep;
    ticket::build_as_rep(rep, facts, kServerKey, kClientKey);
    EXPECT_EQ(Bytes(rep.begin(), rep.begin() + 4), harness::bytes({0, 2, 0, 168}));
    ticket::BodyArea body;
    ASSERT_TRUE(ticket::unseal_as_rep_body(area_of(as_bytes(rep)), kClientKey, body));
    const Bytes b = as_bytes(body);
    EXPECT_EQ(Bytes(b.begin(), b.begin() + 60),
              harness::concat({as_bytes(facts.session_key), harness::text_field("files", 40),
                               harness::le32(0x01020304),
                               harness::bytes({0x0e, 0x10, 0, 0, 0, 104, 0, 0})}));
    EXPECT_EQ(Bytes(b.begin() + 164, b.end()), harness::zeros(4));
    ticket::TicketArea tk;
    ASSERT_TRUE(seal::unseal(wire::at<ticket::kBodyTicket>(body), 104, kServerKey, tk));
    EXPECT_EQ(as_bytes(tk),
              harness::concat({as_bytes(facts.session_key), harness::text_field("alice", 40),
                               harness::bytes({127, 0, 0, 1}), harness::text_field("files", 40),
                               harness::le32(0x01020304), harness::bytes({0x0e, 0x10}),
                               harness::zeros(6)}));
    // A length field beyond the body area is refused; 0 unseals nothing.
    Bytes bad = as_bytes(rep);
    bad[2] = 0;
    bad[3] = 169;
    EXPECT_FALSE(ticket::unseal_as_rep_body(area_of(bad), kClientKey, body));
    bad[3] = 0;
    EXPECT_TRUE(ticket::unseal_as_rep_body(area_of(bad), kClientKey, body));
    EXPECT_EQ(as_bytes(body), harness::zeros(168));
}

TEST(TicketApReq, CarriesTheTicketAsReceivedAndBoundsItsLengths) {
    ticket::BodyArea body{};
    for (std::size_t i = 0; i < body.size(); ++i) body[i] = static_cast<std::uint8_t>(i);
    body[56] = 0;
    body[57] = 104;
    std::array<std::uint8_t, ticket::kAuthSize> auth;
    ticket::build_authenticator(auth, *ticket::make_id("alice"), {127, 0, 0, 1}, 1000);
    std::array<std::uint8_t, ticket::kApReqSize> req;
    ticket::build_ap_req(req, body, auth, kSession);
    const Bytes r = as_bytes(req);
    EXPECT_EQ(Bytes(r.begin(), r.begin() + 6), harness::bytes({0, 4, 0, 104, 0, 48}));
    EXPECT_EQ(Bytes(r.begin() + 6, r.begin() + 110), Bytes(body.begin() + 60, body.begin() + 164));
    const auto fields = ticket::read_ap_req(area_of(r));
    ASSERT_TRUE(fields);
    ticket::AuthArea back;
    ticket::unseal_authenticator(area_of(r), *fields, kSession, back);
    EXPECT_EQ(back, auth);
    // A shorter ticket length copies only that many bytes; the field travels unchanged.
    body[57] = 8;
    ticket::build_ap_req(req, body, auth, kSession);
    EXPECT_EQ(Bytes(req.begin() + 14, req.begin() + 110), harness::zeros(96));
    Bytes bad = r;
    bad[3] = 105;
    EXPECT_FALSE(ticket::read_ap_req(area_of(bad)));
    bad[3] = 104;
    bad[5] = 49;
    EXPECT_FALSE(ticket::read_ap_req(area_of(bad)));
}

TEST(TicketKrbPrv, InnerMessagesRoundTrip) {
    ticket::Inner inner;
    std::array<std::uint8_t, ticket::kPrvSize> prv;
    const Bytes chunk = harness::pattern(1000);
    ticket::build_app_data(inner, 65535, chunk);  // at most 972 bytes are taken
    EXPECT_EQ(ticket::read_inner(inner).data_length, 972);
    ticket::build_app_data(inner, 7, Bytes(chunk.begin(), chunk.begin() + 5));
    EXPECT_EQ(Bytes(inner.begin(), inner.begin() + 11),
              harness::concat({harness::be16(15), harness::be16(5), harness::be16(7),
                               Bytes(chunk.begin(), chunk.begin() + 5)}));
    EXPECT_EQ(Bytes(inner.begin() + 11, inner.end()), harness::zeros(978 - 11));
    ticket::build_krb_prv(prv, inner, kSession);
    EXPECT_EQ(Bytes(prv.begin(), prv.begin() + 4), harness::bytes({0, 7, 0x03, 0xd2}));
    ticket::Inner back;
    ASSERT_TRUE(ticket::unseal_krb_prv(area_of(as_bytes(prv)), kSession, back));
    EXPECT_EQ(back, inner);

    ticket::Digest digest;
    for (std::size_t i = 0; i < digest.size(); ++i) digest[i] = static_cast<std::uint8_t>(0xa0 + i);
    ticket::build_app_terminate(inner, digest);
    EXPECT_EQ(Bytes(inner.begin(), inner.begin() + 6), harness::bytes({0, 16, 0, 20, 0, 0}));
    EXPECT_EQ(Bytes(inner.begin() + 6, inner.begin() + 26), as_bytes(digest));
    ticket::build_app_data_req(inner);
    EXPECT_EQ(as_bytes(inner), harness::concat({harness::be16(14), harness::zeros(976)}));

    // Length 0 unseals nothing: a zero inner type. Above 978 is refused.
    Bytes b = as_bytes(prv);
    b[2] = 0;
    b[3] = 0;
    ASSERT_TRUE(ticket::unseal_krb_prv(area_of(b), kSession, back));
    EXPECT_EQ(ticket::read_inner(back).type, 0);
    b[2] = 0x03;
    b[3] = 0xd3;
    EXPECT_FALSE(ticket::unseal_krb_prv(area_of(b), kSession, back));
}

TEST(TicketDecoders, EveryPrefixOfValidDatagramsDecodesSafely) {
    // Each prefix lands in a zeroed area exactly as a short receive leaves it.
    std::array<std::uint8_t, ticket::kPrvSize> prv;
    ticket::Inner inner;
    ticket::build_app_data(inner, 1, harness::pattern(972));
    ticket::build_krb_prv(prv, inner, kSession);
    std::array<std::uint8_t, ticket::kApRepSize> rep;
    ticket::build_ap_rep(rep, 1234567890, kSession);
    const Bytes full = as_bytes(prv);
    for (std::size_t n = 0; n <= full.size(); ++n) {
        const auto rx = area_of(Bytes(full.begin(), full.begin() + static_cast<long>(n)));
        ticket::Inner out;
        ticket::BodyArea body;
        ticket::TicketArea tk;
        ticket::AuthArea auth;
        ticket::unseal_krb_prv(rx, kSession, out);
        ticket::unseal_as_rep_body(rx, kClientKey, body);
        if (const auto req = ticket::read_ap_req(rx)) {
            ticket::unseal_ticket(rx, *req, kServerKey, tk);
            ticket::unseal_authenticator(rx, *req, kSession, auth);
        }
        (void)ticket::read_ap_rep_answer(rx, kSession);
        if (n <= rep.size()) {
            (void)ticket::read_ap_rep_answer(
                area_of(Bytes(rep.begin(), rep.begin() + static_cast<long>(n))), kSession);
        }
    }
    SUCCEED();
}

}  // namespace
