// The reporters of the conformance runner: decoding of exchanges built with our own builders and
// keys chosen here, folding of transfers, and every output format fed hostile text.

#include <gtest/gtest.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <pugixml.hpp>
#include <random>

#include "harness.h"
#include "pass_msg.h"
#include "report.h"
#include "seal.h"
#include "ticket_msg.h"

namespace {

using harness::Bytes;
using peercheck::CaseResult;
using peercheck::Datagram;
using peercheck::Keys;
using peercheck::Protocol;
using peercheck::Role;
using peercheck::RunReport;
using peercheck::Verdict;
namespace report = peercheck::report;

constexpr seal::Key kClientKey{0x13, 0x34, 0x57, 0x79, 0x9b, 0xbc, 0xdf, 0xf1};
constexpr seal::Key kServerKey{0xfe, 0xdc, 0xba, 0x98, 0x76, 0x54, 0x32, 0x10};
constexpr seal::Key kSessionKey{0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef};
constexpr seal::Key kOtherKey{0x40, 0x40, 0x40, 0x40, 0x40, 0x40, 0x40, 0x40};  // odd parity
constexpr std::uint32_t kTimestamp = 1700000000;  // 2023-11-14 22:13:20 UTC
constexpr std::uint32_t kNonce = 1700000123;

seal::Schedule schedule(const seal::Key& key) {
    seal::Schedule s;
    EXPECT_EQ(seal::make_schedule(key, s), 0);
    return s;
}

template <std::size_t N>
Bytes bytes_of(const std::array<std::uint8_t, N>& a) {
    return Bytes(a.begin(), a.end());
}

Datagram from_impl(Bytes b, double at = 0) {
    return {at, "implementation", "server", std::move(b)};
}
Datagram to_impl(Bytes b, double at = 0) { return {at, "server", "implementation", std::move(b)}; }

// A whole ticket run as the wire carries it: AS_REQ, AS_REP, AP_REQ, AP_REP, the request and
// `chunks` APP_DATA envelopes with the given ids, then APP_TERMINATE.
struct TicketRun {
    std::vector<Datagram> exchange;
    ticket::Digest digest{};
};

Bytes krb_prv(const ticket::Inner& inner, const seal::Key& key = kSessionKey) {
    std::array<std::uint8_t, ticket::kPrvSize> out;
    ticket::build_krb_prv(out, inner, schedule(key));
    return bytes_of(out);
}

Bytes app_data(std::uint16_t id, std::size_t length) {
    ticket::Inner inner;
    const Bytes chunk = harness::pattern(length, id);
    ticket::build_app_data(inner, id, chunk);
    return krb_prv(inner);
}

TicketRun ticket_run(const std::vector<std::uint16_t>& ids) {
    TicketRun run;
    auto& x = run.exchange;
    const auto alice = *ticket::make_id("alice"), files = *ticket::make_id("files");
    std::array<std::uint8_t, ticket::kAsReqSize> as_req;
    ticket::build_as_req(as_req, alice, files);
    x.push_back({0.001, "implementation", "gatekeep", bytes_of(as_req)});

    const ticket::TicketFacts facts{kSessionKey, alice, {127, 0, 0, 1}, files, kTimestamp};
    ticket::RecvArea as_rep{};
    ticket::build_as_rep(std::span(as_rep).first<ticket::kAsRepSize>(), facts, schedule(kServerKey),
                         schedule(kClientKey));
    x.push_back({0.002, "gatekeep", "implementation",
                 Bytes(as_rep.begin(), as_rep.begin() + ticket::kAsRepSize)});

    ticket::BodyArea body;
    EXPECT_TRUE(ticket::unseal_as_rep_body(as_rep, schedule(kClientKey), body));
    std::array<std::uint8_t, ticket::kAuthSize> auth;
    ticket::build_authenticator(auth, alice, {127, 0, 0, 1}, kNonce);
    std::array<std::uint8_t, ticket::kApReqSize> ap_req;
    ticket::build_ap_req(ap_req, body, auth, schedule(kSessionKey));
    x.push_back({0.003, "implementation", "server", bytes_of(ap_req)});

    std::array<std::uint8_t, ticket::kApRepSize> ap_rep;
    ticket::build_ap_rep(ap_rep, static_cast<std::int32_t>(kNonce + 1), schedule(kSessionKey));
    x.push_back({0.004, "server", "implementation", bytes_of(ap_rep)});

    ticket::Inner inner;
    ticket::build_app_data_req(inner);
    x.push_back(from_impl(krb_prv(inner), 0.005));
    for (const std::uint16_t id : ids) x.push_back(to_impl(app_data(id, 972), 0.006));
    run.digest.fill(0xab);
    ticket::build_app_terminate(inner, run.digest);
    x.push_back(to_impl(krb_prv(inner), 0.007));
    return run;
}

std::vector<std::uint16_t> ids_up_to(std::uint16_t n) {
    std::vector<std::uint16_t> ids(n);
    std::iota(ids.begin(), ids.end(), std::uint16_t{1});
    return ids;
}

std::string repeat(const std::string& s, std::size_t n) {
    std::string out;
    for (std::size_t i = 0; i < n; ++i) out += s;
    return out;
}

bool has_detail(const report::Line& l, const std::string& text) {
    return std::ranges::any_of(l.details,
                               [&](const std::string& d) { return d.find(text) != d.npos; });
}

std::string all_text(const std::vector<report::Line>& lines) {
    std::string out;
    for (const auto& l : lines) {
        out += l.summary + "\n";
        for (const auto& d : l.details) out += "  " + d + "\n";
    }
    return out;
}

// ---- Ticket protocol. ----

TEST(DecodeTicket, EveryRecordUnsealedWithBothKeys) {
    const TicketRun run = ticket_run(ids_up_to(2));
    const Keys keys{kClientKey, kServerKey};
    const auto lines = report::decode_exchange(Protocol::ticket, keys, run.exchange);
    ASSERT_EQ(lines.size(), 8u);
    EXPECT_EQ(lines[0].summary, "AS_REQ client=\"alice\" server=\"files\"");
    EXPECT_EQ(lines[0].size, 88u);

    EXPECT_EQ(lines[1].summary, "AS_REP len=168");
    for (const char* field :
         {"session key 0123456789abcdef", "server ID \"files\"",
          "timestamp 1700000000 (2023-11-14 22:13:20 UTC)", "lifetime 3600 s", "ticket length 104",
          "ticket: client address 127.0.0.1", "ticket: client ID \"alice\""}) {
        EXPECT_TRUE(has_detail(lines[1], field)) << field << "\n" << all_text(lines);
    }
    EXPECT_EQ(lines[2].summary, "AP_REQ ticket=104 auth=48");
    for (const char* field :
         {"ticket: session key 0123456789abcdef", "ticket: server ID \"files\"",
          "ticket: timestamp 1700000000", "authenticator: client ID \"alice\"",
          "authenticator: client address 127.0.0.1", "authenticator: nonce 1700000123"}) {
        EXPECT_TRUE(has_detail(lines[2], field)) << field << "\n" << all_text(lines);
    }
    EXPECT_EQ(lines[3].summary, "AP_REP len=14 answer=1700000124");
    EXPECT_TRUE(has_detail(lines[3], "the answer matches"));
    EXPECT_EQ(lines[4].summary, "KRB_PRV APP_DATA_REQ");
    EXPECT_EQ(lines[4].details, std::vector<std::string>{});
    EXPECT_EQ(lines[5].summary, "KRB_PRV APP_DATA id=1 len=972");
    EXPECT_EQ(lines[6].summary, "KRB_PRV APP_DATA id=2 len=972");
    EXPECT_EQ(lines[7].summary, "KRB_PRV APP_TERMINATE");
    EXPECT_EQ(lines[7].details, std::vector<std::string>{"digest " + repeat("ab", 20)});
}

TEST(DecodeTicket, WhatEachKeyAloneReveals) {
    const TicketRun run = ticket_run(ids_up_to(1));
    struct Case {
        const char* name;
        Keys keys;
        std::vector<std::string> present;
        std::vector<std::string> absent;
    };
    const Case cases[] = {
        {"client key: the AS_REP's session key opens the rest",
         {kClientKey, std::nullopt},
         {"session key 0123456789abcdef", "authenticator: nonce 1700000123", "answer=1700000124",
          "APP_DATA id=1"},
         {"ticket:"}},
        {"server key: the Ticket's session key opens the rest",
         {std::nullopt, kServerKey},
         {"body sealed with a client key this case does not know",
          "ticket: session key 0123456789abcdef", "answer=1700000124", "APP_DATA id=1"},
         {"\n  server ID"}},
        {"no key: types and lengths only",
         {},
         {"AS_REP len=168", "AP_REQ ticket=104 auth=48", "authenticator not unsealed",
          "answer not unsealed", "KRB_PRV len=978", "not unsealed: no session key known"},
         {"session key 0123"}},
        {"another client key: garbage is named as such",
         {kOtherKey, std::nullopt},
         {"refused by the key check"},
         {"APP_DATA id=1"}},
    };
    for (const Case& c : cases) {
        const std::string text =
            all_text(report::decode_exchange(Protocol::ticket, c.keys, run.exchange));
        for (const auto& p : c.present) EXPECT_NE(text.find(p), text.npos) << c.name << ": " << p;
        for (const auto& a : c.absent) EXPECT_EQ(text.find(a), text.npos) << c.name << ": " << a;
    }
}

TEST(DecodeTicket, WrongNonceAnswerIsPointedOut) {
    TicketRun run = ticket_run({});
    std::array<std::uint8_t, ticket::kApRepSize> ap_rep;
    ticket::build_ap_rep(ap_rep, static_cast<std::int32_t>(kNonce + 6), schedule(kSessionKey));
    run.exchange[3].bytes = bytes_of(ap_rep);
    const auto lines =
        report::decode_exchange(Protocol::ticket, {kClientKey, kServerKey}, run.exchange);
    EXPECT_EQ(lines[3].summary, "AP_REP len=14 answer=1700000129");
    EXPECT_TRUE(has_detail(lines[3], "nonce + 1 = 1700000124: the answer differs"));
}

TEST(DecodeTicket, EnvelopeUnderAnotherKeyIsNamedNotTrusted) {
    TicketRun run = ticket_run({});
    ticket::Inner inner;
    ticket::build_app_data(inner, 1, harness::pattern(10));
    run.exchange.insert(run.exchange.end() - 1, to_impl(krb_prv(inner, kOtherKey)));
    const auto lines =
        report::decode_exchange(Protocol::ticket, {kClientKey, kServerKey}, run.exchange);
    EXPECT_TRUE(lines[5].summary.starts_with("KRB_PRV len=978 inner type")) << lines[5].summary;
    EXPECT_TRUE(has_detail(lines[5], "sealed with another key"));
}

TEST(DecodeTicket, LengthFieldsBeyondTheirAreasAreReportedNotUsed) {
    const TicketRun run = ticket_run({});
    struct Case {
        std::size_t datagram;
        std::size_t offset;  // of the length field, as the builders put it
        std::string note;
    };
    for (const Case& c :
         {Case{1, ticket::kAsRepLength.offset, "beyond the 168-byte body"},
          Case{2, ticket::kApReqTicketLength.offset, "beyond their areas"},
          Case{2, ticket::kApReqAuthLength.offset, "beyond their areas"},
          Case{3, ticket::kApRepLength.offset, "beyond the 32-byte answer area"},
          Case{4, ticket::kPrvLength.offset, "beyond the 978-byte inner message"}}) {
        std::vector<Datagram> x = run.exchange;
        x[c.datagram].bytes[c.offset] = 0xff;
        const auto lines = report::decode_exchange(Protocol::ticket, {kClientKey, kServerKey}, x);
        EXPECT_TRUE(has_detail(lines[c.datagram], c.note)) << all_text(lines);
    }
}

// ---- Password protocol. ----

Bytes bare(std::uint16_t type) {
    std::array<std::uint8_t, pass::kHeaderSize> out;
    pass::build_bare(out, type);
    return bytes_of(out);
}

Bytes pass_resp(const std::string& password, std::uint16_t length) {
    std::array<std::uint8_t, pass::kPassRespSize> out;
    pass::build_pass_resp(
        out, length,
        std::span(reinterpret_cast<const std::uint8_t*>(password.data()), password.size()));
    return bytes_of(out);
}

Bytes data(std::uint32_t id, std::uint32_t length) {
    std::array<std::uint8_t, pass::kDataSize> out{};
    pass::stamp_data(out, length, id);
    return bytes_of(out);
}

TEST(DecodePassword, EveryMessageWithItsFields) {
    pass::Digest digest;
    digest.fill(0x5c);
    std::array<std::uint8_t, pass::kTerminateSize> terminate;
    pass::build_terminate(terminate, digest);
    const std::vector<Datagram> x = {
        from_impl(bare(1)),
        to_impl(bare(pass::kWrongType)),
        from_impl(pass_resp("hunter2", 7)),
        to_impl(bare(4)),
        to_impl(data(1, 1000)),
        to_impl(data(2, 0)),
        to_impl(bytes_of(terminate)),
        to_impl(bare(7)),
    };
    const auto lines = report::decode_exchange(Protocol::password, {}, x);
    std::vector<std::string> summaries;
    for (const auto& l : lines) summaries.push_back(l.summary);
    EXPECT_EQ(summaries,
              (std::vector<std::string>{
                  "JOIN_REQ", "type 12", "PASS_RESP len=7 password=\"hunter2\"", "PASS_ACCEPT",
                  "DATA id=1 len=1000", "DATA id=2 len=0", "TERMINATE", "PASS_REJECT"}));
    EXPECT_EQ(lines[6].details, std::vector<std::string>{"digest " + repeat("5c", 20)});
    EXPECT_TRUE(has_detail(lines[1], "12 is no message type"));
}

TEST(DecodePassword, OutOfRangeFieldsAreNamed) {
    struct Case {
        Bytes datagram;
        std::string summary;
        std::string note;
    };
    const Case cases[] = {
        {pass_resp(std::string(51, 'p'), 51), "PASS_RESP len=51", "length field beyond 50"},
        {pass_resp("pw", 60), "PASS_RESP len=60 password=\"pw\"", "length field beyond 50"},
        {data(1, 5000), "DATA id=1 len=5000", "beyond the 1000-byte data area"},
        {harness::concat({bare(2), harness::be32(1)}), "PASS_REQ",
         "12 bytes where the message has 8"},
        {harness::concat({harness::be16(1), harness::zeros(2), harness::be32(3)}), "JOIN_REQ len=3",
         "length field should be 0"},
    };
    for (const Case& c : cases) {
        const auto lines = report::decode_exchange(Protocol::password, {}, {from_impl(c.datagram)});
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_TRUE(lines[0].summary.starts_with(c.summary)) << lines[0].summary;
        EXPECT_TRUE(has_detail(lines[0], c.note)) << all_text(lines);
    }
}

// ---- Folding. ----

TEST(Fold, LongTransfersBecomeOneLineWithTheirIds) {
    struct Case {
        std::vector<std::uint32_t> ids;
        std::string summary;  // of the folded line, or of the first line when not folded
        std::size_t lines;
    };
    const Case cases[] = {
        {{1, 2, 3}, "DATA id=1 len=1000", 3},
        {{1, 2, 3, 4}, "DATA x 4, ids 1..4", 1},
        {{1, 3, 5, 7, 9}, "DATA x 5, ids 1..9 (not consecutive)", 1},
        {{0, 1, 2, 3}, "DATA x 4, ids 0..3", 1},
    };
    for (const Case& c : cases) {
        std::vector<Datagram> x;
        for (const std::uint32_t id : c.ids) x.push_back(to_impl(data(id, 1000)));
        const auto lines = report::decode_exchange(Protocol::password, {}, x);
        ASSERT_EQ(lines.size(), c.lines);
        EXPECT_EQ(lines[0].summary, c.summary);
        if (c.lines == 1) {
            EXPECT_EQ(lines[0].count, c.ids.size());
            EXPECT_EQ(lines[0].size, c.ids.size() * pass::kDataSize);
        }
    }
    std::vector<Datagram> skip;
    for (const std::uint32_t id : {1, 3, 5, 7}) skip.push_back(to_impl(data(id, 1000)));
    EXPECT_TRUE(has_detail(report::decode_exchange(Protocol::password, {}, skip)[0],
                           "ids break 3 times; first: id 3 follows 1"));
}

TEST(Fold, TicketTransferOfThousandsOfEnvelopes) {
    const TicketRun run = ticket_run(ids_up_to(3237));
    const auto lines =
        report::decode_exchange(Protocol::ticket, {kClientKey, kServerKey}, run.exchange);
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_EQ(lines[5].summary, "APP_DATA x 3237, ids 1..3237");
    EXPECT_TRUE(has_detail(lines[5], std::to_string(3237 * 972) + " data bytes in all"));
    EXPECT_EQ(lines[6].summary.substr(0, 21), "KRB_PRV APP_TERMINATE");
}

TEST(Fold, ARunEndsWhereDirectionOrKindChanges) {
    std::vector<Datagram> x;
    for (std::uint32_t id = 1; id <= 4; ++id) x.push_back(to_impl(data(id, 1000)));
    x.push_back(from_impl(data(5, 1000)));
    for (std::uint32_t id = 6; id <= 9; ++id) x.push_back(to_impl(data(id, 1000)));
    const auto lines = report::decode_exchange(Protocol::password, {}, x);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].summary, "DATA x 4, ids 1..4");
    EXPECT_EQ(lines[1].summary, "DATA id=5 len=1000");
    EXPECT_EQ(lines[2].summary, "DATA x 4, ids 6..9");
}

// ---- Hostile datagrams. ----

TEST(DecodeHostile, BytesThatFitNoMessageAreDescribed) {
    for (const Protocol p : {Protocol::ticket, Protocol::password}) {
        const auto lines = report::decode_exchange(
            p, {kClientKey, kServerKey},
            {from_impl({}), from_impl(harness::bytes({0x12, 0x34, 0xde, 0xad, 0xbe, 0xef}))});
        ASSERT_EQ(lines.size(), 2u);
        EXPECT_EQ(lines[0].summary, "empty datagram");
        EXPECT_EQ(lines[1].summary, "unknown type 4660");
        EXPECT_TRUE(has_detail(lines[1], "6 bytes, first bytes 12 34 de ad be ef"));
    }
}

TEST(DecodeHostile, EveryPrefixAndRandomBytesDecodeWithoutHarm) {
    const TicketRun run = ticket_run(ids_up_to(1));
    std::vector<Datagram> x;
    for (const Datagram& d : run.exchange) {
        for (std::size_t n = 0; n <= d.bytes.size(); n += 7) {
            x.push_back({0, d.from, d.to, Bytes(d.bytes.begin(), d.bytes.begin() + n)});
        }
    }
    std::mt19937 random(9);
    for (int i = 0; i < 2000; ++i) {
        Bytes b(random() % 1200);
        for (auto& byte : b) byte = static_cast<std::uint8_t>(random());
        if (!b.empty()) b[0] = 0;
        if (b.size() > 1) b[1] = static_cast<std::uint8_t>(random() % 18);  // known types too
        x.push_back(from_impl(std::move(b)));
    }
    x.push_back(from_impl(Bytes(65507, 0x07)));
    for (const Protocol p : {Protocol::ticket, Protocol::password}) {
        for (const auto& l : report::decode_exchange(p, {kClientKey, kServerKey}, x)) {
            EXPECT_FALSE(l.summary.empty());
        }
    }
}

}  // namespace
