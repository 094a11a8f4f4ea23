// The reporters of the conformance runner: decoding of exchanges built with our own builders and
// keys chosen here, folding of transfers, and every output format fed hostile text.

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <nlohmann/json.hpp>
#include <pugixml.hpp>
#include <random>

#include "harness.h"
#include "pass_msg.h"
#include "report.h"
#include "seal.h"
#include "ticket_msg.h"
#include "util.h"

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

TEST(DecodeTicket, ValidityToldFromTheStartOfTheCase) {
    const TicketRun run = ticket_run({});
    struct Case {
        std::uint32_t started;
        std::string timestamp;
        std::string validity;
    };
    const Case cases[] = {
        {0, "timestamp 1700000000 (2023-11-14 22:13:20 UTC)\n",
         "lifetime 3600 s: valid until 1700003600 (2023-11-14 23:13:20 UTC)\n"},
        {kTimestamp + 1, "as the case started", "valid when the case started"},
        {kTimestamp + 100, "100 s before the case started", "valid when the case started"},
        {kTimestamp + 3599, "59 min before the case started", "valid when the case started"},
        {kTimestamp + 3600, "60 min before the case started", "EXPIRED when the case started"},
        {kTimestamp + 7200 + 300, "2 h 5 min before the case started", "EXPIRED"},
        {kTimestamp - 7200, "2 h 0 min after the case started", "valid when the case started"},
    };
    for (const Case& c : cases) {
        const auto lines = report::decode_exchange(Protocol::ticket, {kClientKey, kServerKey},
                                                   run.exchange, c.started);
        const std::string text = all_text({lines[1]});
        EXPECT_NE(text.find(c.timestamp), text.npos) << c.timestamp << "\n" << text;
        EXPECT_NE(text.find(c.validity), text.npos) << c.validity << "\n" << text;
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

TEST(DecodeTicket, TicketAndAuthenticatorThatDisagreeArePointedOut) {
    const auto alice = *ticket::make_id("alice"), mallory = *ticket::make_id("mallory");
    struct Case {
        ticket::Id client;
        ticket::Address addr;
        std::vector<std::string> notes;
    };
    const Case cases[] = {
        {alice, {127, 0, 0, 1}, {}},
        {alice, {127, 0, 1, 1}, {"the client addresses of ticket and authenticator differ"}},
        {mallory, {127, 0, 0, 1}, {"the client IDs of ticket and authenticator differ"}},
    };
    for (const Case& c : cases) {
        TicketRun run = ticket_run({});
        ticket::RecvArea as_rep{};
        std::ranges::copy(run.exchange[1].bytes, as_rep.begin());
        ticket::BodyArea body;
        ASSERT_TRUE(ticket::unseal_as_rep_body(as_rep, schedule(kClientKey), body));
        std::array<std::uint8_t, ticket::kAuthSize> auth;
        ticket::build_authenticator(auth, c.client, c.addr, kNonce);
        std::array<std::uint8_t, ticket::kApReqSize> ap_req;
        ticket::build_ap_req(ap_req, body, auth, schedule(kSessionKey));
        run.exchange[2].bytes = bytes_of(ap_req);
        const auto line =
            report::decode_exchange(Protocol::ticket, {kClientKey, kServerKey}, run.exchange)[2];
        std::vector<std::string> notes;
        for (const auto& d : line.details) {
            if (d.find("differ") != d.npos) notes.push_back(d);
        }
        EXPECT_EQ(notes, c.notes);
    }
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
    digest.fill(0xa5);
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
    EXPECT_EQ(lines[6].details, std::vector<std::string>{"digest " + repeat("a5", 20)});
    EXPECT_TRUE(has_detail(lines[1], "12 is no message type"));
}

TEST(DecodePassword, DigestThatBeginsWithTextShowsIt) {
    pass::Digest digest{};
    std::ranges::copy(std::string_view("Wrong Hash"), digest.begin());
    std::array<std::uint8_t, pass::kTerminateSize> terminate;
    pass::build_terminate(terminate, digest);
    const auto lines =
        report::decode_exchange(Protocol::password, {}, {to_impl(bytes_of(terminate))});
    EXPECT_EQ(lines[0].details,
              std::vector<std::string>{"digest 57726f6e672048617368" + repeat("00", 10) +
                                       " (begins with the text \"Wrong Hash\")"});
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

// Runs of four or more fold into one line; every break in the ids is named, folded or not.
TEST(Fold, TransfersFoldAndTheirIdBreaksAreNamed) {
    struct Case {
        std::vector<std::uint32_t> ids;
        std::vector<std::string> lines;  // each line: its summary, then its notes about ids
    };
    const Case cases[] = {
        {{1, 2, 3}, {"DATA id=1 len=1000", "DATA id=2 len=1000", "DATA id=3 len=1000"}},
        {{1, 3, 5},
         {"DATA id=1 len=1000", "DATA id=3 len=1000|id 3 follows 1",
          "DATA id=5 len=1000|id 5 follows 3"}},
        {{0, 1}, {"DATA id=0 len=1000|the transfer starts at id 0, not 1", "DATA id=1 len=1000"}},
        {{1, 2, 3, 4}, {"DATA x 4, ids 1..4"}},
        {{1, 3, 5, 7},
         {"DATA x 4, ids 1..7 (not consecutive)|ids break 3 times; first: id 3 follows 1"}},
        {{2, 3, 4, 5}, {"DATA x 4, ids 2..5|the transfer starts at id 2, not 1"}},
    };
    for (const Case& c : cases) {
        std::vector<Datagram> x;
        for (const std::uint32_t id : c.ids) x.push_back(to_impl(data(id, 1000)));
        std::vector<std::string> lines;
        for (const auto& l : report::decode_exchange(Protocol::password, {}, x)) {
            std::string line = l.summary;
            for (const auto& d : l.details) {
                if (d.find(" id") != d.npos || d.starts_with("id")) line += "|" + d;
            }
            lines.push_back(line);
            if (l.count > 1) {
                EXPECT_EQ(l.size, l.count * pass::kDataSize);
            }
        }
        EXPECT_EQ(lines, c.lines);
    }
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

// ---- Reports of a run. ----

// Text an implementation under test might print or be named: markup, a template's own
// placeholder, terminal escapes, control bytes, bytes that are no UTF-8, Markdown and CR LF.
const std::string kHostile =
    "<script>alert(\"x\")</script> & ]]> '|*_[a](b) {{rows}} \x1b[31m \x01 \xff\xfe \r\nend";

CaseResult a_case(std::string id, Verdict v, std::vector<Datagram> exchange = {}) {
    CaseResult c;
    c.id = std::move(id);
    c.title = "serves the file";
    c.role = Role::server;
    c.verdict = v;
    c.expected = "prints OK";
    c.observed = v == Verdict::fail ? "printed ABORT" : "";
    c.seconds = 0.25;
    c.commands = {"./server 4000 key file"};
    c.impl_stdout = "OK\n";
    c.keys = {kClientKey, kServerKey};
    c.exchange = std::move(exchange);
    return c;
}

RunReport a_run() {
    RunReport run;
    run.implementation = "mine";
    run.role = Role::server;
    run.command = "./server";
    run.seconds = 1.5;
    run.cases = {a_case("server/run/small", Verdict::pass, ticket_run(ids_up_to(6)).exchange),
                 a_case("server/fault/digest", Verdict::fail, ticket_run(ids_up_to(1)).exchange),
                 a_case("server/info/nonce", Verdict::info),
                 a_case("server/run/many", Verdict::skipped)};
    return run;
}

RunReport hostile_run() {
    RunReport run = a_run();
    run.implementation = kHostile;
    run.command = kHostile;
    for (CaseResult& c : run.cases) {
        c.title = c.expected = c.impl_stdout = c.impl_stderr = kHostile;
        c.observed = c.verdict == Verdict::fail ? kHostile : "";
        c.commands = {kHostile};
    }
    run.cases[1].role = Role::lockbox;
    run.cases[1].exchange = {{0.1, kHostile, "implementation", pass_resp(kHostile, 50)}};
    return run;
}

TEST(TextReport, SummaryLineCountsAndShape) {
    RunReport run;
    EXPECT_EQ(report::summary_line(run), "0 passed, 0 failed, 0 informational, 0 skipped");
    run = a_run();
    run.cases.push_back(a_case("x", Verdict::pass));
    EXPECT_EQ(report::summary_line(run), "2 passed, 1 failed, 1 informational, 1 skipped");
    run.cases.push_back(a_case("y", Verdict::flaky));
    EXPECT_EQ(report::summary_line(run), "2 passed, 1 failed, 1 flaky, 1 informational, 1 skipped");
}

TEST(TextReport, CaseLineHasMarkIdTitleAndTime) {
    const std::pair<Verdict, std::string> marks[] = {{Verdict::pass, "PASS"},
                                                     {Verdict::fail, "FAIL"},
                                                     {Verdict::info, "INFO"},
                                                     {Verdict::skipped, "SKIP"}};
    for (const auto& [verdict, mark] : marks) {
        EXPECT_EQ(report::case_line(a_case("server/run/small", verdict)),
                  mark + "  server/run/small  serves the file  0.25 s");
    }
    EXPECT_EQ(report::case_line(a_case("server/run/small", Verdict::fail), true),
              "\x1b[1;31mFAIL\x1b[0m  server/run/small  serves the file  0.25 s");
    CaseResult hostile = a_case("server/run/small", Verdict::fail);
    hostile.title = "\x1b]0;owned\x07";
    EXPECT_EQ(report::case_line(hostile, true).find("\x1b]"), std::string::npos);
}

TEST(TextReport, DetailsShowWhatFailedAndTheTailOfTheOutput) {
    CaseResult c = a_case("server/fault/digest", Verdict::fail, ticket_run(ids_up_to(5)).exchange);
    for (int i = 1; i <= 1000; ++i) c.impl_stdout += "line " + std::to_string(i) + "\n";
    const std::string text = report::case_details(c);
    for (const char* part :
         {"expected: prints OK", "observed: printed ABORT", "started: ./server 4000 key file",
          "standard output (last lines):", "| line 1000\n", "standard error: (empty)",
          "exchange, 11 datagrams:", "implementation -> gatekeep", "APP_DATA x 5, ids 1..5",
          "authenticator: nonce 1700000123"}) {
        EXPECT_NE(text.find(part), text.npos) << part << "\n" << text;
    }
    EXPECT_EQ(text.find("| line 970\n"), text.npos);
    EXPECT_EQ(report::case_details(a_case("x", Verdict::fail)).find("(last lines)"), text.npos)
        << "a short output is shown whole";
    EXPECT_NE(text.find("| line 971\n"), text.npos);
}

// Every format, fed hostile text everywhere, stays well-formed: nothing becomes markup, no
// control byte or invalid UTF-8 reaches the file, and the text can still be read in it.
TEST(Escaping, HostileTextInEveryFormat) {
    const RunReport run = hostile_run();
    const peercheck::MatrixReport matrix{{run, a_run()}, {}};
    std::string text;
    for (const CaseResult& c : run.cases)
        text += report::case_line(c) + "\n" + report::case_details(c);
    const std::pair<const char*, std::string> outputs[] = {
        {"text", text},
        {"junit", report::junit(run)},
        {"json", report::json(run)},
        {"html", report::html(run)},
        {"matrix html", report::matrix_html(matrix)},
        {"matrix json", report::matrix_json(matrix)},
    };
    for (const auto& [format, out] : outputs) {
        EXPECT_EQ(report::clean(out), out) << format << ": control bytes or invalid UTF-8";
        EXPECT_EQ(out.find('\r'), out.npos) << format;
        if (std::string_view(format) != "text" && !std::string_view(format).ends_with("json")) {
            EXPECT_EQ(out.find("<script"), out.npos) << format;
        }
        EXPECT_NE(out.find("\\x1b[31m"), out.npos) << format << ": the escape is shown as text";
    }
    const std::string html = report::html(run);
    EXPECT_NE(html.find("&lt;script&gt;alert(&quot;x&quot;)"), html.npos);
    EXPECT_NE(html.find("{{rows}}"), html.npos) << "a value is never filled in as a template";
}

// Markdown has no escaping of its own but the backslash: every character that could open markup
// carries one, and the rows keep their number of cells.
TEST(Escaping, MarkdownCellsNeverSplitOrOpenMarkup) {
    const std::string md = report::matrix_markdown({{hostile_run(), a_run()}, {}});
    EXPECT_EQ(report::clean(md), md);
    EXPECT_NE(md.find("\\<script\\>alert(\"x\")\\</script\\> \\& \\]\\]\\> '\\|\\*\\_\\[a\\](b)"),
              md.npos)
        << md;
    EXPECT_NE(md.find("\\\\x1b\\[31m"), md.npos) << md;
    for (std::size_t start = 0; start < md.size();) {
        const std::size_t end = md.find('\n', start);
        const std::string line = md.substr(start, end - start);
        start = end + 1;
        if (!line.starts_with("|")) continue;
        std::size_t cells = 0;
        for (std::size_t i = 0; i < line.size(); ++i) {
            if (line[i] == '\\')
                ++i;
            else if (line[i] == '|')
                ++cells;
        }
        EXPECT_TRUE(cells == 8 || cells == 4) << line;  // the summary table, the server grid
    }
}

TEST(JUnit, ParsesBackWithCountsAndOneTestcaseACase) {
    const std::string xml = report::junit(hostile_run());
    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_string(xml.c_str())) << xml;
    const pugi::xml_node suite = doc.child("testsuites").child("testsuite");
    EXPECT_EQ(suite.attribute("tests").as_int(), 4);
    EXPECT_EQ(suite.attribute("failures").as_int(), 1);
    EXPECT_EQ(suite.attribute("skipped").as_int(), 1);
    std::vector<std::string> names;
    for (const pugi::xml_node t : suite.children("testcase"))
        names.push_back(t.attribute("name").value());
    EXPECT_EQ(names, (std::vector<std::string>{"server/run/small", "server/fault/digest",
                                               "server/info/nonce", "server/run/many"}));
    const pugi::xml_node failed =
        suite.find_child_by_attribute("testcase", "name", "server/fault/digest");
    EXPECT_EQ(std::string(failed.child("failure").attribute("message").value()),
              report::clean(kHostile));
    EXPECT_NE(std::string(failed.child("failure").text().get()).find("PASS_RESP len=50"),
              std::string::npos);
    EXPECT_TRUE(
        suite.find_child_by_attribute("testcase", "name", "server/run/many").child("skipped"));
    const pugi::xml_node info =
        suite.find_child_by_attribute("testcase", "name", "server/info/nonce");
    EXPECT_FALSE(info.child("failure"));
    EXPECT_TRUE(std::string(info.child("system-out").text().get()).starts_with("informational: "));
}

TEST(Json, EveryCaseWithItsDecodedExchange) {
    const auto doc = nlohmann::json::parse(report::json(a_run()));
    EXPECT_EQ(
        doc["summary"],
        (nlohmann::json{
            {"passed", 1}, {"failed", 1}, {"flaky", 0}, {"informational", 1}, {"skipped", 1}}));
    ASSERT_EQ(doc["cases"].size(), 4u);
    const auto& small = doc["cases"][0];
    EXPECT_EQ(small["status"], "pass");
    EXPECT_EQ(small["expected"], "prints OK");
    EXPECT_DOUBLE_EQ(small["seconds"].get<double>(), 0.25);
    EXPECT_EQ(small["datagrams"], 12);
    EXPECT_EQ(small["keys"]["client"], "133457799bbcdff1");
    const auto& fold = small["exchange"][5];
    EXPECT_EQ(fold["summary"], "APP_DATA x 6, ids 1..6");
    EXPECT_EQ(fold["count"], 6);
    EXPECT_EQ(fold["from"], "server");
    EXPECT_EQ(doc["cases"][1]["status"], "fail");
    EXPECT_EQ(doc["cases"][1]["observed"], "printed ABORT");
    const auto hostile = nlohmann::json::parse(report::json(hostile_run()));
    EXPECT_EQ(hostile["cases"][0]["stdout"], report::clean(kHostile));
}

TEST(Html, FailuresOpenWithALadderOfTheirExchange) {
    const std::string html = report::html(a_run());
    EXPECT_TRUE(html.starts_with("<!DOCTYPE html>"));
    EXPECT_EQ(html.find("src="), html.npos) << "no external asset";
    EXPECT_EQ(html.find("href=\"http"), html.npos) << "no external asset";
    const auto count = [&](std::string_view what) {
        std::size_t n = 0;
        for (auto at = html.find(what); at != html.npos; at = html.find(what, at + 1)) ++n;
        return n;
    };
    EXPECT_EQ(count(" open>"), 1u);
    EXPECT_EQ(count("<details class=\"case"), 4u);
    // 7 lines for the six-chunk run (the chunks fold), 7 for the one-chunk run.
    EXPECT_EQ(count("<line class=\"arrow\""), 14u);
    EXPECT_EQ(count("No datagram was seen."), 2u);
    EXPECT_EQ(count("<marker id=\"head-out-0\""), 1u) << "marker ids unique in the page";
    EXPECT_EQ(count("<marker id=\"head-out-1\""), 1u);
    EXPECT_EQ(count("marker-end=\"url(#head-in-1)\""), 4u);
    EXPECT_NE(html.find(">gatekeep</text>"), html.npos);
    EXPECT_NE(html.find("1 passed, 1 failed, 1 informational"), html.npos);
}

TEST(Matrix, ImplementationsAgainstCasesWithTotals) {
    RunReport other = a_run();
    other.implementation = "theirs";
    other.cases[0].verdict = Verdict::fail;
    other.cases.pop_back();
    RunReport password;
    password.implementation = "pw";
    password.role = Role::lockbox;
    password.cases = {a_case("lockbox/run/empty", Verdict::pass)};
    const peercheck::MatrixReport m{{a_run(), other, password}, {}};

    const std::string md = report::matrix_markdown(m);
    for (const char* part :
         {"| mine | server | 1 | 1 | 1 | 0 | 1.50 s |", "| theirs | server | 0 | 2 | 1 | 0 |",
          "## server\n\n| Case | mine | theirs |", "| server/run/small | ✓ | ✗[^1] |",
          "| server/info/nonce | i | i |", "| server/run/many | – | – |",
          "| **Total** | 1 ✓ 1 ✗ 1 i | 0 ✓ 2 ✗ 1 i |", "## lockbox\n\n| Case | pw |",
          "| lockbox/run/empty | ✓ |"}) {
        EXPECT_NE(md.find(part), md.npos) << part << "\n" << md;
    }
    EXPECT_EQ(md.find("| lockbox/run/empty | ✓ | "), md.npos) << "rows only under their role";

    const auto doc = nlohmann::json::parse(report::matrix_json(m));
    ASSERT_EQ(doc["implementations"].size(), 3u);
    std::map<std::string, std::string> statuses;
    for (const auto& [id, result] : doc["implementations"][1]["results"].items()) {
        statuses[id] = result["status"];
    }
    EXPECT_EQ(statuses, (std::map<std::string, std::string>{{"server/run/small", "fail"},
                                                            {"server/fault/digest", "fail"},
                                                            {"server/info/nonce", "info"}}));
    EXPECT_EQ(doc["implementations"][2]["role"], "lockbox");
    EXPECT_EQ(doc["cases"].size(), 5u);

    const std::string html = report::matrix_html(m);
    EXPECT_NE(html.find("<td class=\"cell fail\" title=\"theirs: fail: expected prints OK; "
                        "observed printed ABORT\"><a href=\"#cell-1-1\">✗</a></td>"),
              html.npos)
        << html;
    EXPECT_NE(html.find("<td class=\"cell pass\" title=\"mine: pass\">✓</td>"), html.npos);
    EXPECT_NE(html.find("<h2>lockbox</h2>"), html.npos);
}

// ---- What a case adds to its verdict: a note, a likely cause, repeats, datagrams left out. ----

// A failed, flaky case with everything set, as one run of a repeated case reports it.
CaseResult a_full_case() {
    CaseResult c = a_case("server/fault/digest", Verdict::flaky, ticket_run(ids_up_to(2)).exchange);
    c.title = "ends the transfer with the file's digest";
    c.observed = "another digest";
    c.likely_cause = "the digest of the file name instead of its content";
    c.note = "cut the over-long length to its area and went on";
    c.runs = 5;
    c.failed_runs = 3;
    c.omitted = {{5, "implementation", "server", 7, 7000, 0.0055, 0.0058}};
    return c;
}

TEST(CaseFields, EveryFormatShowsThemAndNamesTheCase) {
    RunReport run = a_run();
    run.cases = {a_full_case()};
    std::string junit_failure;
    {
        pugi::xml_document doc;
        const std::string xml = report::junit(run);
        ASSERT_TRUE(doc.load_string(xml.c_str()));
        const auto t = doc.child("testsuites").child("testsuite").child("testcase");
        junit_failure = std::string(t.child("failure").attribute("message").value()) + "\n" +
                        t.child("failure").text().get();
    }
    const std::pair<const char*, std::string> outputs[] = {
        {"text", report::case_details(run.cases[0])},
        {"junit", junit_failure},
        {"json", nlohmann::json::parse(report::json(run)).dump()},
        {"html", report::html(run)},
    };
    for (const auto& [format, out] : outputs) {
        for (const char* part : {"server/fault/digest", "ends the transfer with the file&#39;s",
                                 "another digest", "the digest of the file name instead",
                                 "cut the over-long length to its area and went on",
                                 "... 7 datagrams (7000 bytes) from implementation to server "
                                 "left out ..."}) {
            std::string want = part;
            if (std::string_view(format) != "html") {
                if (const auto at = want.find("&#39;"); at != want.npos) want.replace(at, 5, "'");
            }
            EXPECT_NE(out.find(want), out.npos) << format << ": " << want;
        }
    }
    EXPECT_NE(report::case_details(run.cases[0]).find("      likely cause: the digest"),
              std::string::npos)
        << "a line of its own after observed";
    EXPECT_NE(junit_failure.find("flaky: 3 of 5 failed"), std::string::npos);
    EXPECT_NE(report::html(run).find("flaky: 3 of 5 failed"), std::string::npos);
    const auto doc = nlohmann::json::parse(report::json(run));
    EXPECT_EQ(doc["cases"][0]["status"], "flaky");
    EXPECT_EQ(doc["cases"][0]["runs"], 5);
    EXPECT_EQ(doc["cases"][0]["failed_runs"], 3);
    EXPECT_EQ(doc["summary"]["flaky"], 1);
}

TEST(CaseFields, TextBlocksStartWithTheirCaseLine) {
    const CaseResult c = a_full_case();
    const std::string details = report::case_details(c);
    EXPECT_TRUE(details.starts_with(report::case_line(c) + "\n")) << details;
    EXPECT_EQ(report::case_line(c),
              "FLAKY  server/fault/digest  ends the transfer with the file's digest  0.25 s  "
              "(flaky: 3 of 5 failed)");
    EXPECT_NE(details.find("      flaky: 3 of 5 failed; below, a failing run\n"), details.npos);
    CaseResult passed = a_case("server/run/small", Verdict::pass);
    EXPECT_EQ(report::case_note(passed), "") << "nothing to say of a plain pass";
    passed.note = "cut the over-long length";
    EXPECT_EQ(report::case_note(passed),
              "PASS  server/run/small  serves the file  0.25 s\n"
              "      note: cut the over-long length\n");
}

TEST(CaseFields, RepeatsSayWhatTheyCameTo) {
    struct Row {
        Verdict verdict;
        std::size_t runs, failed;
        std::string text;
    };
    for (const Row& r :
         {Row{Verdict::pass, 1, 0, ""}, Row{Verdict::flaky, 5, 3, "flaky: 3 of 5 failed"},
          Row{Verdict::fail, 4, 4, "4 runs, all failed"},
          Row{Verdict::pass, 2, 0, "2 runs, all passed"}, Row{Verdict::info, 3, 1, "3 runs"}}) {
        CaseResult c = a_case("x", r.verdict);
        c.runs = r.runs;
        c.failed_runs = r.failed;
        EXPECT_EQ(report::repeat_text(c), r.text);
    }
}

// A flaky case fails the JUnit suite unless flaky cases were allowed, like the exit status.
TEST(JUnit, FlakyIsAFailureUnlessAllowed) {
    for (const bool allowed : {false, true}) {
        RunReport run = a_run();
        run.cases = {a_full_case(), a_case("server/run/small", Verdict::pass)};
        run.flaky_allowed = allowed;
        pugi::xml_document doc;
        const std::string xml = report::junit(run);
        ASSERT_TRUE(doc.load_string(xml.c_str()));
        const auto suite = doc.child("testsuites").child("testsuite");
        EXPECT_EQ(suite.attribute("failures").as_int(), allowed ? 0 : 1);
        const auto t = suite.child("testcase");
        EXPECT_EQ(static_cast<bool>(t.child("failure")), !allowed);
        EXPECT_EQ(std::string(t.child("failure").attribute("type").value()),
                  allowed ? "" : "flaky");
        const std::string out = t.child("system-out").text().get();
        EXPECT_EQ(out.find("flaky: 3 of 5 failed") != out.npos, allowed) << xml;
    }
}

TEST(DecodeOmitted, LeftOutDatagramsStandAtTheirPlaceAndStopAFold) {
    std::vector<Datagram> x;
    for (std::uint32_t id = 1; id <= 8; ++id) x.push_back(to_impl(data(id, 1000), 0.1 * id));
    struct Case {
        std::vector<peercheck::Omitted> omitted;
        std::vector<std::string> summaries;
    };
    const Case cases[] = {
        {{}, {"DATA x 8, ids 1..8"}},
        {{{0, "server", "implementation", 2, 2024, 0.01, 0.02}},
         {"... 2 datagrams (2024 bytes) from server to implementation left out ...",
          "DATA x 8, ids 1..8"}},
        {{{4, "server", "implementation", 1, 1012, 0.45, 0.45}},
         {"DATA x 4, ids 1..4",
          "... 1 datagram (1012 bytes) from server to implementation left out ...",
          "DATA x 4, ids 5..8"}},
        {{{2, "server", "implementation", 3, 3036, 0.25, 0.27},
          {8, "implementation", "server", 9000, 9000 * 8ull, 0.9, 1.9}},
         {"DATA id=1 len=1000", "DATA id=2 len=1000",
          "... 3 datagrams (3036 bytes) from server to implementation left out ...",
          "DATA x 6, ids 3..8",
          "... 9000 datagrams (72000 bytes) from implementation to server left out ..."}},
    };
    for (const Case& c : cases) {
        const auto lines = report::decode_exchange(Protocol::password, {}, x, 0, c.omitted);
        std::vector<std::string> summaries;
        for (const auto& l : lines) {
            summaries.push_back(l.summary);
            EXPECT_EQ(l.left_out, l.summary.starts_with("..."));
        }
        EXPECT_EQ(summaries, c.summaries);
    }
}

// Notes beside the ladder wrap to the width the picture gives them: none is cut.
TEST(Html, LadderNotesWrapInsteadOfBeingCut) {
    RunReport run = a_run();
    CaseResult c = a_case("server/fault/digest", Verdict::fail);
    // The note of a datagram of unknown type names its size and first bytes: 108 characters.
    c.exchange = {to_impl(Bytes(400, 0x5a))};
    run.cases = {c};
    const std::string html = report::html(run);
    std::string joined;
    std::size_t lines = 0;
    for (auto at = html.find("<text class=\"detail\""); at != html.npos;
         at = html.find("<text class=\"detail\"", at + 1)) {
        const auto open = html.find('>', at) + 1;
        const std::string line = html.substr(open, html.find("</text>", open) - open);
        EXPECT_LE(line.size(), 90u) << line;
        joined += (joined.empty() ? "" : " ") + line;
        ++lines;
    }
    EXPECT_EQ(lines, 2u);
    EXPECT_EQ(joined, "fits no message of this protocol; 400 bytes, first bytes " +
                          repeat("5a ", 15) + "5a ...");
}

// ---- The matrix: reasons, set-up errors, and a matrix split in parts and merged. ----

peercheck::MatrixReport a_matrix() {
    RunReport mine = a_run();
    mine.entry = 0;
    RunReport theirs = a_run();
    theirs.implementation = "theirs";
    theirs.entry = 1;
    theirs.cases[0] = a_full_case();
    theirs.cases[0].id = "server/run/small";
    theirs.cases[1].likely_cause = "hashes the file name";
    RunReport missing;
    missing.implementation = "missing";
    missing.role = Role::server;
    missing.command = "/nonexistent/server";
    missing.setup_error = "cannot start \"/nonexistent/server\": no such file";
    missing.entry = 2;
    for (const CaseResult& c : a_run().cases) {
        missing.cases.push_back(a_case(c.id, Verdict::skipped));
        missing.cases.back().observed = "";
    }
    RunReport password;
    password.implementation = "pw";
    password.role = Role::lockbox;
    password.entry = 3;
    password.cases = {a_case("lockbox/run/empty", Verdict::pass)};
    password.cases[0].note = "cut the length";
    return {{mine, theirs, missing, password}, {}};
}

TEST(Matrix, EveryFailedCellCarriesItsReason) {
    const auto m = a_matrix();
    const std::string md = report::matrix_markdown(m);
    for (const char* part :
         {"| server/run/small | ✓ | ±[^2] | ⚠ |", "| server/fault/digest | ✗[^3] | ✗[^4] | ⚠ |",
          "| lockbox/run/empty | ✓[^5] |",
          "[^2]: **theirs**, server/run/small (serves the file): flaky: 3 of 5 failed; expected "
          "prints OK; observed "
          "another digest; likely cause: the digest of the file name instead of its content; "
          "note: cut the over-long length to its area and went on\n",
          "[^4]: **theirs**, server/fault/digest (serves the file): expected prints OK; observed "
          "printed ABORT; "
          "likely cause: hashes the file name\n",
          "[^5]: **pw**, lockbox/run/empty (serves the file): note: cut the length\n"}) {
        EXPECT_NE(md.find(part), md.npos) << part << "\n" << md;
    }
    const std::string html = report::matrix_html(m);
    for (const char* part :
         {"title=\"theirs: fail: expected prints OK; observed printed ABORT; likely cause: hashes "
          "the file name\"><a href=\"#cell-1-1\">✗</a>",
          "<div class=\"reason fail\" id=\"cell-1-1\">",
          "<div class=\"reason flaky\" id=\"cell-1-0\">",
          "<td class=\"cell flaky\" title=\"theirs: flaky: flaky: 3 of 5 failed;"}) {
        EXPECT_NE(html.find(part), html.npos) << part;
    }
    const auto doc = nlohmann::json::parse(report::matrix_json(m));
    const auto& cell = doc["implementations"][1]["results"]["server/fault/digest"];
    EXPECT_EQ(cell["status"], "fail");
    EXPECT_EQ(cell["expected"], "prints OK");
    EXPECT_EQ(cell["observed"], "printed ABORT");
    EXPECT_EQ(cell["likely_cause"], "hashes the file name");
    EXPECT_EQ(doc["implementations"][1]["results"]["server/run/small"]["failed_runs"], 3);
}

// An implementation that cannot start is no implementation that fails everything: its column is
// marked as a set-up error, and the reason is given once.
TEST(Matrix, SetUpErrorIsMarkedWithItsReasonOnce) {
    const auto m = a_matrix();
    const std::string reason = "cannot start \\\"/nonexistent/server\\\"";
    const std::string md = report::matrix_markdown(m);
    EXPECT_NE(md.find("| missing | server | ⚠ set-up error[^"), md.npos) << md;
    EXPECT_NE(md.find("| ⚠ set-up error |\n"), md.npos) << "its total";
    const auto times = [](const std::string& text, const std::string& what) {
        std::size_t n = 0;
        for (auto at = text.find(what); at != text.npos; at = text.find(what, at + 1)) ++n;
        return n;
    };
    EXPECT_EQ(times(md, "could not start: cannot start"), 1u) << md;
    const std::string html = report::matrix_html(m);
    EXPECT_EQ(times(html, "no such file"), 1u);
    EXPECT_EQ(times(html, "<td class=\"cell setup\""), 4u);  // the server grid has four rows
    EXPECT_EQ(times(html, "<td class=\"cell fail\""), 2u) << "mine and theirs only";
    const auto doc = nlohmann::json::parse(report::matrix_json(m));
    EXPECT_EQ(doc["implementations"][2]["setup_error"],
              "cannot start \"/nonexistent/server\": no such file");
    EXPECT_EQ(doc["implementations"][2]["summary"]["failed"], 0);
}

TEST(Shards, AStableSplitByName) {
    EXPECT_EQ(report::shard_of("a", 1000), 997u) << "64-bit FNV-1a of \"a\" is af63dc4c8601ec8c";
    EXPECT_EQ(report::shard_of("anything", 1), 1u);
    std::vector<std::size_t> sizes(4);
    for (int i = 0; i < 400; ++i) {
        const unsigned k = report::shard_of("submission-" + std::to_string(i), 4);
        ASSERT_TRUE(k >= 1 && k <= 4);
        ++sizes[k - 1];
    }
    for (const std::size_t n : sizes) EXPECT_GT(n, 60u) << "every part gets its share";
}

// The parts' JSON, merged, writes the very files of the whole matrix, whatever order the parts
// come in; and the JSON alone is enough to write them again.
TEST(Shards, PartsMergeIntoTheWholeMatrix) {
    const auto whole = a_matrix();
    std::string error;
    const auto again = report::matrix_from_json(report::matrix_json(whole), error);
    ASSERT_TRUE(again) << error;
    EXPECT_EQ(report::matrix_json(*again), report::matrix_json(whole));
    EXPECT_EQ(report::matrix_markdown(*again), report::matrix_markdown(whole));
    EXPECT_EQ(report::matrix_html(*again), report::matrix_html(whole));

    constexpr unsigned kParts = 3;
    std::vector<peercheck::MatrixReport> parts(kParts);
    std::vector<std::string> names;
    for (unsigned k = kParts; k >= 1; --k) {  // the parts in reverse order
        peercheck::MatrixReport part{{}, {k, kParts}};
        for (const RunReport& r : whole.runs) {
            if (report::shard_of(r.implementation, kParts) == k) part.runs.push_back(r);
        }
        const auto read = report::matrix_from_json(report::matrix_json(part), error);
        ASSERT_TRUE(read) << error;
        EXPECT_EQ(read->shard.index, k);
        parts[kParts - k] = *read;
        names.push_back("part" + std::to_string(k) + ".json");
    }
    const auto merged = report::merge_matrices(parts, names, error);
    ASSERT_TRUE(merged) << error;
    EXPECT_EQ(report::matrix_json(*merged), report::matrix_json(whole));
    EXPECT_EQ(report::matrix_markdown(*merged), report::matrix_markdown(whole));
    EXPECT_EQ(report::matrix_html(*merged), report::matrix_html(whole));
}

TEST(Shards, MergeRefusesPartsThatDoNotMakeAWhole) {
    const auto part = [](unsigned k, unsigned n, std::vector<std::string> impls) {
        peercheck::MatrixReport m{{}, {k, n}};
        for (const auto& name : impls) {
            RunReport r;
            r.implementation = name;
            m.runs.push_back(r);
        }
        return m;
    };
    // "ours" and "theirs" belong to part 1 of 2, "missing" to part 2 (see shard_of).
    struct Case {
        const char* name;
        std::vector<peercheck::MatrixReport> parts;
        std::string error;
    };
    const Case cases[] = {
        {"missing part", {part(1, 2, {"ours"})}, "part 2 of 2 is missing"},
        {"part twice", {part(1, 2, {}), part(1, 2, {})}, "p0 and p1 are both part 1 of 2"},
        {"other split",
         {part(1, 2, {}), part(2, 3, {})},
         "p1 is part 2 of 3, but p0 is part 1 of 2"},
        {"wrong part",
         {part(1, 2, {"missing"}), part(2, 2, {})},
         "p0: \"missing\" belongs to part 2 of 2, not to part 1"},
        {"no part", {}, "no part to merge"},
    };
    for (const Case& c : cases) {
        std::string error;
        EXPECT_FALSE(report::merge_matrices(c.parts, {"p0", "p1"}, error)) << c.name;
        EXPECT_EQ(error, c.error) << c.name;
    }
    for (const char* text : {"", "[]", "{\"cases\": []}",
                             "{\"cases\": [], \"implementations\": "
                             "[{\"name\": 1}]}",
                             "{\"cases\": [], \"implementations\": [], \"shard\": {\"index\": 3, "
                             "\"count\": 2}}"}) {
        std::string error;
        EXPECT_FALSE(report::matrix_from_json(text, error)) << text;
        EXPECT_TRUE(error.starts_with("not a matrix written by peercheck matrix --json")) << error;
    }
}

}  // namespace
