#include "catalogue.h"

#include <fmt/format.h>

#include <algorithm>
#include <set>

#include "pass_msg.h"
#include "points.h"
#include "ticket_msg.h"

namespace peercheck {

namespace {

using P = Peers;
using E = Expect;

constexpr auto tt(ticket::Type t) { return static_cast<std::uint16_t>(t); }
constexpr auto pt(pass::Type t) { return static_cast<std::uint16_t>(t); }

// A few MiB and an odd tail: thousands of datagrams, the last one short.
constexpr std::size_t kLarge = 3 * 1024 * 1024 + 123;
const std::string kId40 = "abcdefghijabcdefghijabcdefghijabcdefghij";
const std::string kRight(kPassword);

const char* const kCauseZeroByte =
    "the field compared only up to its first zero byte (a text "
    "comparison), where all its bytes count";
const char* const kCauseExpiry =
    "the expiry compared with \"<=\": a key whose timestamp plus "
    "lifetime equals the current time has expired";

// ---------------------------------------------------------------- families shared by roles

struct Size {
    const char* slug;
    const char* title;
    std::size_t bytes;
};

// A file of each size that moves a chunk boundary, for a protocol with chunks of `chunk`.
std::vector<Size> sizes(std::size_t chunk) {
    return {{"empty", "an empty file", 0},
            {"one-byte", "a 1-byte file", 1},
            {"one-chunk", "a file of exactly one chunk", chunk},
            {"chunk-and-one", "a file one byte longer than a chunk", chunk + 1},
            {"two-chunks", "a file of exactly two chunks", 2 * chunk},
            {"large", "a file of 3 MiB byte for byte", kLarge}};
}

std::string slug_of(const char* name) {
    std::string s;
    for (const char* p = name; *p != 0; ++p) {
        s += (*p == ' ' || *p == '_') ? '-' : static_cast<char>(std::tolower(*p));
    }
    return s;
}

// Where a datagram may be cut to tell something: at 0 and 1 byte, at each field's start and end,
// at the field ends of a sealed record (its blocks before them decrypt right), and one byte short.
std::set<std::size_t> cut_points(const Point& p) {
    std::set<std::size_t> at{0, 1, p.size - 1};
    for (const wire::Named& f : p.fields) {
        at.insert(f.field.offset);
        at.insert(f.field.end());
    }
    for (const wire::Named& f : p.sealed_fields) at.insert(p.sealed_at + f.field.end());
    for (const std::size_t end : p.content_ends) at.insert(end);
    std::erase_if(at, [&](std::size_t n) { return n >= p.size; });
    return at;
}

// A script that must be able to go on after a changed PASS_RESP: a second right word follows.
std::vector<std::string> offered_for(At at) {
    if (at == At::pass_resp) return {kRight, kRight};
    return {};
}

void generate_cuts(std::vector<Case>& out, Role role) {
    for (const Point& p : points_of(role)) {
        for (const std::uint32_t nth : {1u, 2u}) {
            if (nth == 2 && !p.repeats) continue;
            for (const std::size_t n : cut_points(p)) {
                Case c;
                c.id = fmt::format("{}/cut/{}{}-{}", role_name(role), p.slug,
                                   nth == 2 ? "-second" : "", n);
                c.title = fmt::format("{}{} cut to {} bytes: read from the zero-filled area{}",
                                      nth == 2 ? "the second " : "", p.message, n,
                                      nth == 2 ? " or over the one before" : "");
                c.expect = E::reading;
                c.tamper =
                    Tamper{p.at, nth, Part::datagram, Op::cut, {}, static_cast<std::int64_t>(n)};
                c.offered = offered_for(p.at);
                if (nth == 2 && p.at == At::pass_resp) c.offered = {"wrong", kRight, kRight};
                out.push_back(std::move(c));
            }
        }
    }
}

void generate_lengths(std::vector<Case>& out, Role role) {
    for (const Point& p : points_of(role)) {
        for (const LengthRule& rule : p.lengths) {
            std::set<std::uint32_t> values{0, rule.limit, rule.limit + 1, 65535};
            if (rule.extra != 0) values.insert(rule.extra);
            for (const std::uint32_t v : values) {
                Case c;
                c.id = fmt::format("{}/length/{}-{}-{}", role_name(role), p.slug,
                                   slug_of(rule.name), v);
                const char* beyond = rule.beyond == Beyond::choice   ? "may be refused or cut"
                                     : rule.beyond == Beyond::refuse ? "is refused"
                                                                     : "is never read";
                c.title =
                    fmt::format("{} whose {} is {} ({}; beyond {} it {})", p.message, rule.name, v,
                                v == rule.limit ? "the limit"
                                : v == 0        ? "none"
                                                : "",
                                rule.limit, beyond);
                // Titles read better without an empty aside.
                if (const auto at = c.title.find(" (; "); at != std::string::npos) {
                    c.title.replace(at, 4, " (");
                }
                c.expect = E::reading;
                c.tamper = Tamper{p.at, 1, rule.part, Op::set, rule.field, v};
                c.offered = offered_for(p.at);
                out.push_back(std::move(c));
            }
        }
    }
}

// Every other type at every receive point, no type at all, and the right type with a byte set
// above it (a receiver that reads one byte of a 16-bit field takes it).
void generate_types(std::vector<Case>& out, Role role) {
    const bool ticket_protocol = protocol_of(role) == Protocol::ticket;
    for (const Point& p : points_of(role)) {
        std::vector<std::uint16_t> types{0};
        for (std::uint16_t t = 1; t <= 7; ++t) {
            if (t != p.type) types.push_back(t);
        }
        if (!ticket_protocol) types.push_back(pass::kWrongType);
        types.push_back(static_cast<std::uint16_t>(p.type | 0x0100));
        for (const std::uint16_t t : types) {
            const auto name = ticket_protocol ? ticket::type_name(t) : pass::type_name(t);
            Case c;
            c.id = fmt::format("{}/type/{}-{}", role_name(role), p.slug,
                               t > 0xFF ? fmt::format("0x{:04x}", t) : std::to_string(t));
            c.title = fmt::format("type {}{} where {} belongs",
                                  t > 0xFF ? fmt::format("0x{:04x}", t) : std::to_string(t),
                                  name.empty() ? "" : fmt::format(" ({})", name), p.message);
            c.expect = E::reading;
            c.tamper = Tamper{p.at, 1, Part::datagram, Op::set, wire::Field{0, 2}, t};
            c.offered = offered_for(p.at);
            out.push_back(std::move(c));
        }
    }
}

// Noise of the right size, and the right datagram followed by noise to the largest UDP payload
// (a receiver reads only its first 1010 or 1012 bytes).
void generate_hostile(std::vector<Case>& out, Role role) {
    for (const Point& p : points_of(role)) {
        Case noise;
        noise.id = fmt::format("{}/hostile/{}-noise", role_name(role), p.slug);
        noise.title = fmt::format("{} bytes of noise where {} belongs", p.size, p.message);
        noise.expect = E::reading;
        noise.tamper =
            Tamper{p.at, 1, Part::datagram, Op::noise, {}, static_cast<std::int64_t>(p.size)};
        noise.offered = offered_for(p.at);
        out.push_back(noise);
        Case big = noise;
        big.id = fmt::format("{}/hostile/{}-oversized", role_name(role), p.slug);
        big.title =
            fmt::format("{} followed by noise to 65507 bytes: read as its first bytes", p.message);
        big.tamper = Tamper{p.at, 1, Part::datagram, Op::extend, {}, 65507};
        out.push_back(big);
    }
}

// The password header's bytes 2 and 3 are never read: anything there changes nothing.
void generate_unused(std::vector<Case>& out, Role role) {
    if (protocol_of(role) != Protocol::password) return;
    for (const Point& p : points_of(role)) {
        Case c;
        c.id = fmt::format("{}/unused/{}", role_name(role), p.slug);
        c.title = fmt::format("{} with its unused header bytes set: read as it is", p.message);
        c.expect = E::reading;
        c.tamper = Tamper{p.at, 1, Part::datagram, Op::set, wire::Field{2, 2}, 0xFFFF};
        c.offered = offered_for(p.at);
        out.push_back(std::move(c));
    }
}

void generate(std::vector<Case>& out, Role role) {
    generate_unused(out, role);
    generate_cuts(out, role);
    generate_lengths(out, role);
    generate_types(out, role);
    generate_hostile(out, role);
}

Tamper put(At at, Part part, wire::Field f, std::string bytes, std::uint32_t nth = 1) {
    return Tamper{at, nth, part, Op::put, f, 0, std::move(bytes)};
}
Tamper set(At at, Part part, wire::Field f, std::int64_t v, std::uint32_t nth = 1) {
    return Tamper{at, nth, part, Op::set, f, v};
}
Tamper mark(At at) { return Tamper{at, 1, Part::datagram, Op::mark}; }
Tamper stamp(At at, std::int64_t seconds) {
    return Tamper{at, 1, Part::datagram, Op::stamp, {}, seconds};
}

// ---------------------------------------------------------------- client

std::vector<Case> client_cases() {
    std::vector<Case> v;
    for (const Size& s : sizes(ticket::kChunkSize)) {
        v.push_back({.id = fmt::format("client/run/{}", s.slug),
                     .title = fmt::format("receives {}, prints OK", s.title),
                     .peers = P::ours,
                     .file_size = s.bytes});
    }
    v.push_back(
        {.id = "client/run/script", .title = "completes a run with peers played by peercheck"});
    v.push_back({.id = "client/run/replies-from-other-ports",
                 .title = "takes AS_REP and AP_REP and the file from other ports than it sent to",
                 .story = Story::other_port});
    v.push_back({.id = "client/run/existing-output",
                 .title = "cuts an existing, longer output file to what arrives",
                 .story = Story::existing_output});
    v.push_back({.id = "client/run/zero-length-chunk",
                 .title = "takes an APP_DATA of data length 0 among the others in its place",
                 .story = Story::empty_chunk_inside});
    v.push_back({.id = "client/run/terminate-first",
                 .title = "takes APP_TERMINATE as the first envelope: an empty file",
                 .story = Story::terminate_first,
                 .file_size = 0});
    v.push_back({.id = "client/run/terminate-fields-unread",
                 .title = "reads neither the packet id nor the data length of APP_TERMINATE",
                 .expect = E::complete,
                 .tamper = set(At::app_terminate, Part::inner, ticket::kInnerPid, 65535),
                 .also = set(At::app_terminate, Part::inner, ticket::kInnerDataLength, 0)});

    v.push_back({.id = "client/run/host-names",
                 .title = "finds its servers by the host name localhost",
                 .impl_host = "localhost"});
    v.push_back({.id = "client/run/slow-peer",
                 .title = "waits 3 s for AS_REP without sending AS_REQ again",
                 .story = Story::slow_peer});
    v.push_back({.id = "client/run/upper-case-key",
                 .title = "reads its key in upper-case hexadecimal",
                 .upper_keys = true});
    v.push_back({.id = "client/start/key-parity",
                 .title = "refuses a key with a wrong parity bit at start-up, sending nothing",
                 .expect = E::refuse_start,
                 .checks = kOutput,
                 .output = "ABORT\n",
                 .impl_key = "0123456789abcdee"});
    v.push_back({.id = "client/start/weak-key",
                 .title = "refuses a weak key at start-up, sending nothing",
                 .expect = E::refuse_start,
                 .impl_key = "0101010101010101"});
    v.push_back({.id = "client/output/ok",
                 .title = "prints exactly \"OK\" after a run, nothing on standard error",
                 .peers = P::ours,
                 .checks = kOutput,
                 .output = "OK\n"});
    v.push_back({.id = "client/output/abort",
                 .title = "prints exactly \"ABORT\" on an AS_ERR",
                 .peers = P::ours,
                 .expect = E::refuse,
                 .checks = kOutput,
                 .reached = At::as_rep,
                 .output = "ABORT\n",
                 .impl_client_id = "mallory"});
    v.push_back({.id = "client/output/digest-mismatch",
                 .title = "prints exactly an empty line and \"ABORT\" after a digest mismatch",
                 .peers = P::ours,
                 .expect = E::refuse,
                 .checks = kOutput,
                 .server_words = "x -T2 x",
                 .reached = At::app_terminate,
                 .output = "\nABORT\n"});

    v.push_back({.id = "client/fault/expired-session-key",
                 .title = "refuses a session key issued two hours ago (gatekeep -T1 2)",
                 .peers = P::ours,
                 .expect = E::refuse,
                 .gatekeep_words = "x -T1 2",
                 .reached = At::as_rep});
    v.push_back({.id = "client/fault/unknown-client-id",
                 .title = "ends with ABORT on the AS_ERR for an unknown client ID",
                 .peers = P::ours,
                 .expect = E::refuse,
                 .reached = At::as_rep,
                 .impl_client_id = "mallory"});
    v.push_back({.id = "client/fault/unknown-server-id",
                 .title = "ends with ABORT on the AS_ERR for an unknown server ID",
                 .peers = P::ours,
                 .expect = E::refuse,
                 .reached = At::as_rep,
                 .impl_server_id = "printer"});
    v.push_back({.id = "client/fault/wrong-client-key",
                 .title = "refuses an AS_REP that its own key does not unseal",
                 .peers = P::ours,
                 .expect = E::refuse,
                 .reached = At::as_rep,
                 .impl_key = std::string(kOtherKey)});
    v.push_back({.id = "client/fault/nonce-answer",
                 .title = "refuses a nonce answer off by 5 (server -T1 5) with AP_ERR",
                 .peers = P::ours,
                 .expect = E::refuse,
                 .server_words = "-DDEBUG -T1 5",
                 .reached = At::ap_rep,
                 .reply = tt(ticket::Type::AP_ERR)});
    v.push_back({.id = "client/fault/digest",
                 .title = "refuses a file whose digest is wrong (server -T2)",
                 .peers = P::ours,
                 .expect = E::refuse,
                 .server_words = "x -T2 x",
                 .reached = At::app_terminate});

    const auto server_id = ticket::kBodyServerId;
    v.push_back({.id = "client/check/server-id",
                 .title = "refuses an AS_REP body naming another server",
                 .expect = E::refuse,
                 .tamper = put(At::as_rep, Part::body, server_id, "printer")});
    v.push_back({.id = "client/check/server-id-after-zero",
                 .title = "refuses a server ID equal up to its zero byte, other after it",
                 .expect = E::refuse,
                 .tamper = put(At::as_rep, Part::body,
                               wire::Field{server_id.offset + kServerId.size() + 1, 1}, "X"),
                 .cause_if_taken = kCauseZeroByte,
                 .control = "client/check/server-id"});
    v.push_back({.id = "client/check/expires-now",
                 .title = "refuses a session key whose timestamp plus lifetime is now",
                 .expect = E::refuse,
                 .tamper = stamp(At::as_rep, -ticket::kLifetime),
                 .cause_if_taken = kCauseExpiry,
                 .control = "client/fault/expired-session-key"});
    v.push_back({.id = "client/check/lifetime-from-body",
                 .title = "takes the lifetime from the body: 600 s, stamped 700 s ago, has expired",
                 .expect = E::refuse,
                 .tamper = stamp(At::as_rep, -700),
                 .also = set(At::as_rep, Part::body, ticket::kBodyLifetime, 600)});
    v.push_back(
        {.id = "client/check/weak-session-key",
         .title = "refuses an AS_REP whose session key is weak",
         .expect = E::refuse,
         .tamper = put(At::as_rep, Part::body, ticket::kBodySessionKey, std::string(8, '\x01'))});
    v.push_back({.id = "client/check/key-expires-before-ap-rep",
                 .title = "refuses an AP_REP that arrives after the session key expired",
                 .expect = E::refuse,
                 .tamper = mark(At::ap_rep),
                 .story = Story::expire_at_ap_rep});
    v.push_back({.id = "client/check/key-expires-midway",
                 .title = "refuses the envelope after the key expired, keeping the one before",
                 .expect = E::refuse,
                 .tamper = Tamper{At::app_data, 2, Part::datagram, Op::mark},
                 .checks = kFileKept,
                 .story = Story::expire_midway});
    v.push_back({.id = "client/check/file-left-alone-at-ap-rep",
                 .title = "leaves an existing output file alone when it refuses the nonce answer",
                 .expect = E::refuse,
                 .tamper = Tamper{At::ap_rep, 1, Part::datagram, Op::add_answer, {}, 3},
                 .checks = kFileAlone});
    v.push_back({.id = "client/check/stamped-ahead",
                 .title = "takes a session key stamped 50 minutes ahead: still valid",
                 .tamper = stamp(At::as_rep, 3000)});
    v.push_back({.id = "client/check/stamp-either-order",
                 .title = "takes a session key stamped at most 4 minutes ahead, valid in either "
                          "byte order",
                 .tamper = Tamper{At::as_rep, 1, Part::datagram, Op::stamp_aligned, {}, 0xF0}});
    v.push_back({.id = "client/check/stamp-byte-order",
                 .title = "reads the timestamp least significant byte first (one aligned to "
                          "256 s)",
                 .tamper = Tamper{At::as_rep, 1, Part::datagram, Op::stamp_aligned},
                 .cause_if_refused = "the timestamp read in network byte order; it travels "
                                     "least significant byte first",
                 .control = "client/check/stamp-either-order"});
    v.push_back({.id = "client/check/nonce-answer",
                 .title = "refuses an answer of the nonce plus two, sending AP_ERR",
                 .expect = E::refuse,
                 .tamper = Tamper{At::ap_rep, 1, Part::datagram, Op::add_answer, {}, 1}});
    v.push_back({.id = "client/check/answer-is-nonce",
                 .title = "refuses an answer of the nonce itself, sending AP_ERR",
                 .expect = E::refuse,
                 .tamper = Tamper{At::ap_rep, 1, Part::datagram, Op::add_answer, {}, -1},
                 .cause_if_taken = "the answer compared with the nonce, not the nonce plus one",
                 .control = "client/check/nonce-answer"});
    for (const auto& [slug, format, title] :
         {std::tuple{"leading-space", " %d", "an answer after a blank"},
          std::tuple{"plus-sign", "+%d", "an answer with a plus sign"},
          std::tuple{"trailing-text", "%dx", "the right number followed by a letter"}}) {
        v.push_back({.id = fmt::format("client/check/answer-{}", slug),
                     .title = fmt::format("takes {}: read as a decimal number", title),
                     .tamper = Tamper{At::ap_rep, 1, Part::datagram, Op::format, {}, 0, format},
                     .cause_if_refused =
                         "the answer not read the way a decimal conversion reads "
                         "it (blanks and a sign first, up to the first non-digit)"});
    }
    v.push_back(
        {.id = "client/check/answer-ends-at-length",
         .title = "reads the answer no further than its length field, digits after it "
                  "notwithstanding",
         .tamper = put(At::ap_rep, Part::answer_text, wire::Field{10, 2}, "99"),
         .also = set(At::ap_rep, Part::datagram, ticket::kApRepLength, 10),
         .cause_if_refused = "the answer read past the unsealed length, up to a zero byte"});
    v.push_back({.id = "client/check/ap-err-for-ap-rep",
                 .title = "refuses an AP_ERR in place of AP_REP",
                 .expect = E::refuse,
                 .tamper = mark(At::ap_rep),
                 .story = Story::ap_err_for_ap_rep});
    v.push_back({.id = "client/check/ap-err-for-envelope",
                 .title = "refuses an AP_ERR in place of the first envelope",
                 .expect = E::refuse,
                 .tamper = mark(At::app_data),
                 .story = Story::ap_err_for_data});
    v.push_back({.id = "client/check/file-left-alone",
                 .title = "leaves an existing output file alone when refused before the transfer",
                 .expect = E::refuse,
                 .tamper = mark(At::as_rep),
                 .checks = kFileAlone,
                 .story = Story::as_err_for_as_rep});
    // Where the file cannot be created is left open, but a run that went wrong still ends as
    // every failure does, and never with OK: an unchecked open crashes at the first chunk.
    v.push_back({.id = "client/check/output-unopenable",
                 .title = "ends with ABORT when its output file cannot be created",
                 .expect = E::refuse,
                 .tamper = mark(At::app_data),
                 .story = Story::output_unopenable});
    v.push_back({.id = "client/check/id-gap",
                 .title = "refuses packet ids 1, 3 (a gap)",
                 .expect = E::refuse,
                 .tamper = set(At::app_data, Part::inner, ticket::kInnerPid, 3, 2)});
    v.push_back({.id = "client/check/id-repeat",
                 .title = "refuses packet ids 1, 1 (a repeat)",
                 .expect = E::refuse,
                 .tamper = set(At::app_data, Part::inner, ticket::kInnerPid, 1, 2)});
    v.push_back({.id = "client/check/id-zero",
                 .title = "refuses a first packet id of 0",
                 .expect = E::refuse,
                 .tamper = set(At::app_data, Part::inner, ticket::kInnerPid, 0)});
    v.push_back({.id = "client/check/id-high-byte",
                 .title = "refuses packet id 0x0102 where 2 belongs",
                 .expect = E::refuse,
                 .tamper = set(At::app_data, Part::inner, ticket::kInnerPid, 0x0102, 2)});
    v.push_back({.id = "client/check/file-kept",
                 .title = "keeps the chunks accepted before a refused one in the output file",
                 .expect = E::refuse,
                 .tamper = set(At::app_data, Part::inner, ticket::kInnerPid, 5, 3),
                 .checks = kFileKept,
                 .file_size = 3000});
    v.push_back({.id = "client/check/expired-envelope",
                 .title = "refuses an envelope that arrives after the session key expired",
                 .expect = E::refuse,
                 .tamper = mark(At::app_data),
                 .story = Story::expire_during});
    v.push_back({.id = "client/check/inner-type",
                 .title = "refuses an envelope holding APP_DATA_REQ",
                 .expect = E::refuse,
                 .tamper = set(At::app_data, Part::inner, ticket::kInnerType, 14)});
    v.push_back({.id = "client/check/digest-after-zero",
                 .title = "refuses a digest equal to the file's up to a zero byte, other after it",
                 .expect = E::refuse,
                 .tamper = Tamper{At::app_terminate, 1, Part::inner, Op::flip,
                                  wire::Field{ticket::kInnerDigest.offset + 10, 1}, 0x5A},
                 .story = Story::digest_with_zero,
                 .cause_if_taken = kCauseZeroByte,
                 .control = "client/check/digest-last-byte"});
    v.push_back({.id = "client/check/digest-last-byte",
                 .title = "refuses a digest that differs in its last byte, keeping the file",
                 .expect = E::refuse,
                 .tamper = Tamper{At::app_terminate, 1, Part::inner, Op::flip,
                                  wire::Field{ticket::kInnerDigest.end() - 1, 1}, 0x01},
                 .checks = kFileKept});

    for (const auto t : {ticket::Type::AS_REQ, ticket::Type::AP_REQ, ticket::Type::KRB_PRV}) {
        v.push_back({.id = fmt::format("client/exact/{}", slug_of(ticket::type_name(tt(t)).data())),
                     .title = fmt::format("sends {} exactly as the protocol fixes it",
                                          ticket::type_name(tt(t))),
                     .checks = kExact,
                     .exact = tt(t)});
    }
    v.push_back({.id = "client/exact/ap-req-ticket-length-100",
                 .title = "copies a ticket length of 100 and as many Ticket bytes into AP_REQ",
                 .tamper = set(At::as_rep, Part::body, ticket::kBodyTicketLength, 100),
                 .checks = kExact,
                 .exact = tt(ticket::Type::AP_REQ)});
    v.push_back({.id = "client/exact/ap-err",
                 .title = "refuses a wrong nonce answer with an AP_ERR carrying its client ID",
                 .expect = E::refuse,
                 .tamper = Tamper{At::ap_rep, 1, Part::datagram, Op::add_answer, {}, 7},
                 .checks = kExact,
                 .exact = tt(ticket::Type::AP_ERR)});
    v.push_back({.id = "client/info/id-40",
                 .title = "a client ID of 40 characters (no room for a terminating zero)",
                 .expect = E::observe,
                 .impl_client_id = kId40});
    generate(v, Role::client);
    return v;
}

// ---------------------------------------------------------------- server

std::vector<Case> server_cases() {
    std::vector<Case> v;
    for (const Size& s : sizes(ticket::kChunkSize)) {
        v.push_back({.id = fmt::format("server/run/{}", s.slug),
                     .title = fmt::format("serves {}, prints OK, keeps serving", s.title),
                     .expect = E::serve,
                     .file_size = s.bytes});
    }
    v.push_back({.id = "server/run/several-clients",
                 .title = "serves three clients one after another",
                 .expect = E::serve,
                 .file_size = 5000,
                 .clients = 3});
    // Past the sandbox's limit of open files: a descriptor kept per client runs out.
    v.push_back({.id = "server/run/300-clients",
                 .title = "serves 300 clients of a 1-byte file, closing each one's file",
                 .expect = E::serve,
                 .file_size = 1,
                 .clients = 300});
    v.push_back({.id = "server/run/our-client",
                 .title = "serves our client with a Ticket from our gatekeep",
                 .peers = P::ours,
                 .expect = E::serve});
    v.push_back({.id = "server/run/request-from-other-port",
                 .title = "sends the file to the KRB_PRV's source, not the AP_REQ's",
                 .expect = E::serve,
                 .checks = kReplyTo,
                 .story = Story::other_port});
    v.push_back({.id = "server/run/third-address",
                 .title = "serves an AP_REQ from another address when Ticket and Authenticator "
                          "agree",
                 .expect = E::serve,
                 .story = Story::third_address,
                 .cause_if_refused = "the Authenticator's address compared with the datagram's "
                                     "source, not with the Ticket's"});
    v.push_back({.id = "server/run/slow-peer",
                 .title = "waits 3 s for the request after its AP_REP, sending nothing meanwhile",
                 .expect = E::serve,
                 .story = Story::slow_peer});
    v.push_back({.id = "server/run/same-ticket-again",
                 .title = "serves a second client presenting the first one's still valid Ticket",
                 .expect = E::serve,
                 .story = Story::same_ticket,
                 .clients = 2});
    v.push_back({.id = "server/run/upper-case-key",
                 .title = "reads its key in upper-case hexadecimal",
                 .expect = E::serve,
                 .upper_keys = true});
    v.push_back({.id = "server/start/key-parity",
                 .title = "refuses a key with a wrong parity bit at start-up",
                 .expect = E::refuse_start,
                 .checks = kOutput,
                 .output = "ABORT\n",
                 .impl_server_key = "fedcba9876543211"});
    v.push_back({.id = "server/start/port-taken",
                 .title = "ends with ABORT when its port is taken",
                 .expect = E::refuse_start,
                 .checks = kOutput,
                 .story = Story::port_taken,
                 .output = "ABORT\n"});
    v.push_back({.id = "server/run/file-read-afresh",
                 .title = "reads the file and its digest afresh for each client (it changes "
                          "between them)",
                 .expect = E::serve,
                 .checks = kDigest,
                 .story = Story::file_changes,
                 .clients = 2});
    v.push_back({.id = "server/check/nonce-answer",
                 .title = "answers the nonce with the nonce plus one",
                 .expect = E::serve,
                 .checks = kNonce});
    v.push_back({.id = "server/check/digest",
                 .title = "ends the transfer with the file's SHA-1 digest",
                 .expect = E::serve,
                 .checks = kDigest,
                 .file_size = 5000});
    v.push_back({.id = "server/check/digest-empty",
                 .title = "sends the SHA-1 digest of an empty file",
                 .expect = E::serve,
                 .checks = kDigest,
                 .file_size = 0});
    v.push_back({.id = "server/check/packet-ids",
                 .title = "numbers chunks 1, 2, 3 ..., each full but the last",
                 .expect = E::serve,
                 .checks = kIds,
                 .file_size = 5000});
    v.push_back({.id = "server/check/packet-ids-past-255",
                 .title = "numbers 301 chunks 1 to 301: ids wider than a byte",
                 .expect = E::serve,
                 .checks = kIds,
                 .file_size = 300 * ticket::kChunkSize});
    v.push_back({.id = "server/check/packet-ids-per-client",
                 .title = "numbers each client's chunks from 1",
                 .expect = E::serve,
                 .checks = kIds,
                 .file_size = 3000,
                 .clients = 2});
    for (const std::size_t size :
         {std::size_t{0}, ticket::kChunkSize, ticket::kChunkSize + 1, 2 * ticket::kChunkSize}) {
        v.push_back({.id = fmt::format("server/check/chunks-{}", size),
                     .title = fmt::format("sends {} APP_DATA for a file of {} bytes",
                                          size / ticket::kChunkSize + 1, size),
                     .expect = E::serve,
                     .checks = kChunks,
                     .file_size = size});
    }
    // Nonces whose answers are each length of text, and either side of the sign.
    for (const std::uint32_t nonce : {999u, 9999999u, 99999999u, 1999999999u, 2147483646u,
                                      2147483647u, 4294967294u, 4294967295u}) {
        const auto answer = static_cast<std::int32_t>(nonce + 1);
        const std::string text = std::to_string(answer);
        v.push_back({.id = fmt::format("server/answer/{}", text),
                     .title = fmt::format("answers nonce {} with \"{}\" under length field {}",
                                          nonce, text, seal::length_field(text.size())),
                     .expect = E::serve,
                     .checks = kExact,
                     .exact = tt(ticket::Type::AP_REP),
                     .nonce = nonce});
    }
    v.push_back({.id = "server/exact/ap-rep",
                 .title = "sends AP_REP exactly as the protocol fixes it",
                 .expect = E::serve,
                 .checks = kExact,
                 .exact = tt(ticket::Type::AP_REP)});
    v.push_back({.id = "server/exact/envelopes",
                 .title = "sends every APP_DATA and APP_TERMINATE exactly, each sealed alone",
                 .expect = E::serve,
                 .checks = kExact,
                 .exact = tt(ticket::Type::KRB_PRV),
                 .file_size = 2500});
    v.push_back({.id = "server/exact/ap-err",
                 .title = "refuses an Authenticator naming another client with an all-zero AP_ERR",
                 .expect = E::refuse_end,
                 .tamper = put(At::ap_req, Part::authenticator, ticket::kAuthClientId, "mallory"),
                 .checks = kExact,
                 .exact = tt(ticket::Type::AP_ERR)});
    v.push_back({.id = "server/output/ok",
                 .title = "prints exactly \"OK\" after a client, nothing on standard error",
                 .expect = E::serve,
                 .checks = kOutput,
                 .output = "OK\n"});
    v.push_back({.id = "server/output/key-error",
                 .title = "prints exactly \"key error -1\" for a Ticket it cannot unseal",
                 .expect = E::refuse_end,
                 .checks = kOutput,
                 .story = Story::ticket_other_key,
                 .output = "key error -1\n"});
    v.push_back({.id = "server/output/expired",
                 .title = "prints nothing for an expired Ticket",
                 .expect = E::refuse_end,
                 .tamper = stamp(At::ap_req, -7200),
                 .checks = kOutput,
                 .output = ""});
    v.push_back({.id = "server/output/abort",
                 .title = "prints exactly \"ABORT\" for a datagram that is no AP_REQ",
                 .expect = E::refuse_end,
                 .tamper = set(At::ap_req, Part::datagram, ticket::kType, 6),
                 .checks = kOutput,
                 .output = "ABORT\n"});
    v.push_back({.id = "server/fault/wrong-address",
                 .title = "refuses an Authenticator whose address differs from the Ticket's "
                          "(client -T1 1)",
                 .peers = P::ours,
                 .expect = E::refuse_end,
                 .client_words = "x -T1 1",
                 .reply = tt(ticket::Type::AP_ERR)});
    v.push_back({.id = "server/fault/wrong-client-id",
                 .title = "refuses an Authenticator naming another client (client -T2 x)",
                 .peers = P::ours,
                 .expect = E::refuse_end,
                 .client_words = "x -T2 x",
                 .reply = tt(ticket::Type::AP_ERR)});
    v.push_back({.id = "server/check/expired-ticket",
                 .title = "refuses a Ticket issued two hours ago, silently",
                 .expect = E::refuse_end,
                 .tamper = stamp(At::ap_req, -7200)});
    v.push_back({.id = "server/check/expires-now",
                 .title = "refuses a Ticket whose timestamp plus lifetime is now",
                 .expect = E::refuse_end,
                 .tamper = stamp(At::ap_req, -ticket::kLifetime),
                 .cause_if_taken = kCauseExpiry,
                 .control = "server/check/expired-ticket"});
    v.push_back({.id = "server/check/stamp-either-order",
                 .title = "takes a Ticket stamped at most 4 minutes ahead, valid in either byte "
                          "order",
                 .expect = E::serve,
                 .tamper = Tamper{At::ap_req, 1, Part::datagram, Op::stamp_aligned, {}, 0xF0}});
    v.push_back({.id = "server/check/stamp-byte-order",
                 .title = "reads the Ticket's timestamp least significant byte first",
                 .expect = E::serve,
                 .tamper = Tamper{At::ap_req, 1, Part::datagram, Op::stamp_aligned},
                 .cause_if_refused = "the timestamp read in network byte order; it travels "
                                     "least significant byte first",
                 .control = "server/check/stamp-either-order"});
    v.push_back({.id = "server/check/lifetime-from-ticket",
                 .title = "takes the lifetime from the Ticket: 600 s, stamped 700 s ago, has "
                          "expired",
                 .expect = E::refuse_end,
                 .tamper = stamp(At::ap_req, -700),
                 .also = set(At::ap_req, Part::ticket, ticket::kTkLifetime, 600)});
    v.push_back(
        {.id = "server/output/weak-key",
         .title = "prints exactly \"key error -2\" for a Ticket holding a weak key",
         .expect = E::refuse_end,
         .tamper = put(At::ap_req, Part::ticket, ticket::kTkSessionKey, std::string(8, '\x01')),
         .checks = kOutput,
         .output = "key error -2\n"});
    v.push_back({.id = "server/check/ticket-other-key",
                 .title = "refuses a Ticket sealed with another key, silently",
                 .expect = E::refuse_end,
                 .story = Story::ticket_other_key});
    v.push_back(
        {.id = "server/check/client-id-after-zero",
         .title = "refuses an Authenticator whose client ID differs after its zero byte",
         .expect = E::refuse_end,
         .tamper = put(At::ap_req, Part::authenticator, wire::Field{kClientId.size() + 1, 1}, "X"),
         .cause_if_taken = kCauseZeroByte,
         .control = "server/exact/ap-err"});
    v.push_back({.id = "server/check/address-differs",
                 .title = "refuses an Authenticator address other than the Ticket's, whatever "
                          "the source",
                 .expect = E::refuse_end,
                 .tamper = put(At::ap_req, Part::authenticator, ticket::kAuthClientAddr,
                               std::string("\x7f\x00\x00\x02", 4)),
                 .cause_if_taken = "the Authenticator's address not compared with the Ticket's"});
    v.push_back({.id = "server/check/expired-at-request",
                 .title = "refuses a request that arrives after the session key expired",
                 .expect = E::refuse_end,
                 .tamper = mark(At::krb_prv),
                 .story = Story::expire_during});
    for (const int inner : {0, 15, 16, 17}) {
        v.push_back({.id = fmt::format("server/check/inner-type-{}", inner),
                     .title = fmt::format("refuses an envelope of inner type {} where APP_DATA_REQ "
                                          "belongs",
                                          inner),
                     .expect = E::refuse_end,
                     .tamper = set(At::krb_prv, Part::inner, ticket::kInnerType, inner)});
    }
    v.push_back({.id = "server/check/request-rest-unread",
                 .title = "reads nothing of APP_DATA_REQ but its inner type",
                 .expect = E::serve,
                 .tamper = put(At::krb_prv, Part::inner, wire::Field{2, 6},
                               std::string("\xff\xff\x12\x34\x56\x78", 6))});
    v.push_back({.id = "server/info/back-dated-nonce",
                 .title = "a nonce back-dated by two hours (client -T3 2)",
                 .peers = P::ours,
                 .expect = E::observe,
                 .client_words = "x -T3 2"});
    generate(v, Role::server);
    return v;
}

// ---------------------------------------------------------------- gatekeep

std::vector<Case> gatekeep_cases() {
    std::vector<Case> v;
    v.push_back({.id = "gatekeep/exact/as-rep",
                 .title = "answers AS_REQ with an AS_REP exactly as fixed: key, IDs, address, "
                          "time, lifetime, lengths",
                 .expect = E::serve,
                 .checks = kExact,
                 .exact = tt(ticket::Type::AS_REP)});
    v.push_back({.id = "gatekeep/exact/as-rep-other-source",
                 .title = "puts the AS_REQ's source address (127.0.0.2) into the Ticket",
                 .expect = E::serve,
                 .checks = kExact,
                 .exact = tt(ticket::Type::AS_REP),
                 .story = Story::third_address});
    v.push_back({.id = "gatekeep/exact/as-err",
                 .title = "answers an unknown client with an AS_ERR carrying its ID field as "
                          "received, then ends",
                 .expect = E::refuse_end,
                 .tamper = put(At::as_req, Part::datagram, ticket::kAsReqClientId,
                               std::string("mallory\0junk", 12)),
                 .checks = kExact,
                 .exact = tt(ticket::Type::AS_ERR)});
    v.push_back({.id = "gatekeep/run/one-request",
                 .title = "answers an AS_REQ with an AS_REP, prints OK, keeps running",
                 .expect = E::serve});
    v.push_back({.id = "gatekeep/run/fresh-keys",
                 .title = "answers three AS_REQs, each with a fresh session key, keeps running",
                 .expect = E::serve,
                 .checks = kFreshKeys,
                 .clients = 3});
    v.push_back({.id = "gatekeep/run/our-peers",
                 .title = "issues a Ticket with which our client and server complete a run",
                 .peers = P::ours,
                 .expect = E::serve});
    v.push_back({.id = "gatekeep/run/answers-each-source",
                 .title = "answers each AS_REQ at its own source port",
                 .expect = E::serve,
                 .checks = kReplyTo,
                 .story = Story::other_port,
                 .clients = 2});
    v.push_back({.id = "gatekeep/run/upper-case-keys",
                 .title = "reads its keys in upper-case hexadecimal",
                 .expect = E::serve,
                 .checks = kExact,
                 .exact = tt(ticket::Type::AS_REP),
                 .upper_keys = true});
    v.push_back({.id = "gatekeep/start/server-key-parity",
                 .title = "refuses a server key with a wrong parity bit at start-up",
                 .expect = E::refuse_start,
                 .checks = kOutput,
                 .output = "ABORT\n",
                 .impl_server_key = "fedcba9876543211"});
    v.push_back({.id = "gatekeep/start/client-key-parity",
                 .title = "refuses a client key with a wrong parity bit at start-up",
                 .expect = E::refuse_start,
                 .checks = kOutput,
                 .output = "ABORT\n",
                 .impl_key = "0123456789abcdee"});
    v.push_back({.id = "gatekeep/start/port-taken",
                 .title = "ends with ABORT when its port is taken",
                 .expect = E::refuse_start,
                 .checks = kOutput,
                 .story = Story::port_taken,
                 .output = "ABORT\n"});
    v.push_back({.id = "gatekeep/output/ok",
                 .title = "prints exactly \"OK\" after each AS_REP, nothing on standard error",
                 .expect = E::serve,
                 .checks = kOutput,
                 .clients = 2,
                 .output = "OK\nOK\n"});
    v.push_back({.id = "gatekeep/output/abort",
                 .title = "prints exactly \"ABORT\" after an AS_ERR",
                 .expect = E::refuse_end,
                 .tamper = put(At::as_req, Part::datagram, ticket::kAsReqServerId, "printer"),
                 .checks = kOutput,
                 .output = "ABORT\n"});
    v.push_back({.id = "gatekeep/check/unknown-client",
                 .title = "answers an unknown client ID with AS_ERR, then ends",
                 .expect = E::refuse_end,
                 .tamper = put(At::as_req, Part::datagram, ticket::kAsReqClientId, "mallory")});
    v.push_back({.id = "gatekeep/check/unknown-server",
                 .title = "answers an unknown server ID with AS_ERR, then ends",
                 .expect = E::refuse_end,
                 .tamper = put(At::as_req, Part::datagram, ticket::kAsReqServerId, "printer")});
    v.push_back(
        {.id = "gatekeep/check/client-id-after-zero",
         .title = "refuses a client ID that differs from its own after the zero byte",
         .expect = E::refuse_end,
         .tamper = put(At::as_req, Part::datagram,
                       wire::Field{ticket::kAsReqClientId.offset + kClientId.size() + 1, 1}, "X"),
         .cause_if_taken = kCauseZeroByte,
         .control = "gatekeep/check/unknown-client"});
    v.push_back(
        {.id = "gatekeep/check/server-id-after-zero",
         .title = "refuses a server ID that differs from its own after the zero byte",
         .expect = E::refuse_end,
         .tamper = put(At::as_req, Part::datagram,
                       wire::Field{ticket::kAsReqServerId.offset + kServerId.size() + 1, 1}, "X"),
         .cause_if_taken = kCauseZeroByte,
         .control = "gatekeep/check/unknown-server"});
    v.push_back({.id = "gatekeep/info/id-40",
                 .title = "a client ID of 40 characters (no room for a terminating zero)",
                 .expect = E::observe,
                 .impl_client_id = kId40});
    generate(v, Role::gatekeep);
    return v;
}

// ---------------------------------------------------------------- lockbox

std::vector<Case> lockbox_cases() {
    std::vector<Case> v;
    for (const Size& s : sizes(pass::kChunkSize)) {
        v.push_back({.id = fmt::format("lockbox/run/{}", s.slug),
                     .title = fmt::format("serves {}, prints OK, keeps serving", s.title),
                     .expect = E::serve,
                     .file_size = s.bytes});
    }
    v.push_back({.id = "lockbox/run/several-clients",
                 .title = "serves three clients one after another",
                 .expect = E::serve,
                 .file_size = 5000,
                 .clients = 3});
    v.push_back({.id = "lockbox/run/slow-peer",
                 .title = "waits 3 s for the password, sending nothing meanwhile",
                 .expect = E::serve,
                 .story = Story::slow_peer});
    v.push_back({.id = "lockbox/start/missing-input",
                 .title = "prints exactly \"Input file doesn't exist\" for a missing file, no "
                          "ABORT",
                 .expect = E::refuse_start,
                 .checks = kOutput,
                 .story = Story::no_input_file,
                 .output = "Input file doesn't exist\n"});
    v.push_back({.id = "lockbox/start/port-taken",
                 .title = "ends with ABORT when its port is taken",
                 .expect = E::refuse_start,
                 .checks = kOutput,
                 .story = Story::port_taken,
                 .output = "ABORT\n"});
    v.push_back({.id = "lockbox/run/300-clients",
                 .title = "serves 300 clients of a 1-byte file, closing each one's file",
                 .expect = E::serve,
                 .file_size = 1,
                 .clients = 300});
    v.push_back({.id = "lockbox/run/file-read-afresh",
                 .title = "reads the file and its digest afresh for each session (it changes "
                          "between them)",
                 .expect = E::serve,
                 .checks = kDigest,
                 .story = Story::file_changes,
                 .clients = 2});
    v.push_back({.id = "lockbox/run/answer-to-last-source",
                 .title = "answers a PASS_RESP from another port there, file and all",
                 .expect = E::serve,
                 .checks = kReplyTo,
                 .story = Story::other_port});
    v.push_back({.id = "lockbox/check/packet-ids",
                 .title = "numbers DATA 1, 2, 3 ..., each full but the last",
                 .expect = E::serve,
                 .checks = kIds,
                 .file_size = 5000});
    v.push_back({.id = "lockbox/check/packet-ids-past-255",
                 .title = "numbers 301 DATA 1 to 301: ids wider than a byte",
                 .expect = E::serve,
                 .checks = kIds,
                 .file_size = 300 * pass::kChunkSize});
    v.push_back({.id = "lockbox/check/packet-ids-per-session",
                 .title = "numbers each session's DATA from 1",
                 .expect = E::serve,
                 .checks = kIds,
                 .file_size = 3000,
                 .clients = 2});
    v.push_back({.id = "lockbox/check/digest",
                 .title = "ends the transfer with the file's SHA-1 digest",
                 .expect = E::serve,
                 .checks = kDigest,
                 .file_size = 5000});
    v.push_back({.id = "lockbox/check/digest-empty",
                 .title = "sends the SHA-1 digest of an empty file",
                 .expect = E::serve,
                 .checks = kDigest,
                 .file_size = 0});
    for (const std::size_t size :
         {std::size_t{0}, pass::kChunkSize, pass::kChunkSize + 1, 2 * pass::kChunkSize}) {
        v.push_back({.id = fmt::format("lockbox/check/chunks-{}", size),
                     .title = fmt::format("sends {} DATA for a file of {} bytes",
                                          size / pass::kChunkSize + 1, size),
                     .expect = E::serve,
                     .checks = kChunks,
                     .file_size = size});
    }
    for (const auto t :
         {pass::Type::PASS_REQ, pass::Type::PASS_ACCEPT, pass::Type::DATA, pass::Type::TERMINATE}) {
        // A wrong password first, so that a repeated PASS_REQ is compared too.
        v.push_back({.id = fmt::format("lockbox/exact/{}", slug_of(pass::type_name(pt(t)).data())),
                     .title = fmt::format("sends {} exactly as the protocol fixes it",
                                          pass::type_name(pt(t))),
                     .expect = E::serve,
                     .checks = kExact,
                     .exact = pt(t),
                     .file_size = 2500,
                     .offered = {"wrong", kRight}});
    }
    v.push_back({.id = "lockbox/exact/pass-reject",
                 .title = "answers a third wrong password with an exact PASS_REJECT, then ends",
                 .expect = E::refuse_end,
                 .tamper = Tamper{At::pass_resp, 3, Part::datagram, Op::mark},
                 .checks = kExact,
                 .exact = pt(pass::Type::PASS_REJECT),
                 .offered = {"wrong", "worse", "worst"}});
    v.push_back({.id = "lockbox/output/ok",
                 .title = "prints exactly \"OK\" after a session, nothing on standard error",
                 .expect = E::serve,
                 .checks = kOutput,
                 .output = "OK\n"});
    v.push_back({.id = "lockbox/output/reject",
                 .title = "prints exactly \"ABORT\" after PASS_REJECT",
                 .expect = E::refuse_end,
                 .tamper = Tamper{At::pass_resp, 3, Part::datagram, Op::mark},
                 .checks = kOutput,
                 .output = "ABORT\n",
                 .offered = {"wrong", "worse", "worst"}});
    v.push_back({.id = "lockbox/password/second-attempt",
                 .title = "asks again after a wrong password, accepts the right one",
                 .expect = E::serve,
                 .offered = {"wrong", kRight}});
    v.push_back({.id = "lockbox/password/third-attempt",
                 .title = "accepts the right password at the third attempt",
                 .expect = E::serve,
                 .offered = {"wrong", "worse", kRight}});
    v.push_back({.id = "lockbox/password/three-wrong",
                 .title = "answers a third wrong password with PASS_REJECT, then ends",
                 .expect = E::refuse_end,
                 .tamper = Tamper{At::pass_resp, 3, Part::datagram, Op::mark},
                 .offered = {"wrong", "worse", "worst"}});
    v.push_back({.id = "lockbox/password/attempts-per-session",
                 .title = "counts wrong passwords per session: two clients, two wrong each, then "
                          "right",
                 .expect = E::serve,
                 .story = Story::attempts_spread,
                 .clients = 2});
    for (const auto& [slug, word, title] :
         {std::tuple{"empty", std::string(), "the empty prefix of the password"},
          std::tuple{"prefix", kRight.substr(0, 1), "the password's first character"},
          std::tuple{"all-but-last", kRight.substr(0, kRight.size() - 1),
                     "the password without its last character"},
          std::tuple{"longer", kRight + "x", "the password and one character more"},
          std::tuple{"other-case", std::string("OpenSesame"), "the password in other case"}}) {
        v.push_back({.id = fmt::format("lockbox/password/{}", slug),
                     .title = fmt::format("takes {} as wrong, asks again", title),
                     .expect = E::serve,
                     .offered = {word, kRight}});
    }
    v.push_back({.id = "lockbox/password/length-one-short",
                 .title = "takes the right characters under a length field one short as wrong",
                 .expect = E::reading,
                 .tamper = set(At::pass_resp, Part::datagram, pass::kLength, 9),
                 .offered = {kRight, kRight}});
    v.push_back({.id = "lockbox/password/length-one-long",
                 .title = "takes the right characters under a length field one long as wrong",
                 .expect = E::reading,
                 .tamper = set(At::pass_resp, Part::datagram, pass::kLength, 11),
                 .offered = {kRight, kRight}});
    v.push_back({.id = "lockbox/password/bytes-after-unread",
                 .title = "accepts the right password followed by other bytes in its field",
                 .expect = E::reading,
                 .tamper = put(At::pass_resp, Part::datagram,
                               wire::Field{pass::kPassword.offset + kRight.size(), 4}, "junk"),
                 .offered = {kRight}});
    v.push_back({.id = "lockbox/password/empty-configured",
                 .title = "accepts an empty PASS_RESP when its own password is empty",
                 .expect = E::serve,
                 .impl_passwords = {""},
                 .offered = {""}});
    v.push_back({.id = "lockbox/fault/type-12-opening",
                 .title = "refuses the type-12 opening of latchkey-badjoin, then ends",
                 .peers = P::ours,
                 .expect = E::refuse_end,
                 .password_peer = "latchkey-badjoin"});
    generate(v, Role::lockbox);
    return v;
}

// ---------------------------------------------------------------- latchkey

std::vector<Case> latchkey_cases() {
    const std::string pass_peer = "peercheck-pass-server";
    std::vector<Case> v;
    for (const Size& s : sizes(pass::kChunkSize)) {
        v.push_back({.id = fmt::format("latchkey/run/{}", s.slug),
                     .title = fmt::format("receives {}, prints OK", s.title),
                     .peers = P::ours,
                     .file_size = s.bytes,
                     .password_peer = pass_peer});
    }
    v.push_back({.id = "latchkey/run/script",
                 .title = "completes a run with a server played by peercheck"});
    v.push_back({.id = "latchkey/run/host-name",
                 .title = "finds its server by the host name localhost",
                 .impl_host = "localhost"});
    v.push_back({.id = "latchkey/run/replies-from-other-port",
                 .title = "takes the server's datagrams from another port than it sends to",
                 .story = Story::other_port});
    v.push_back({.id = "latchkey/run/slow-peer",
                 .title = "waits 3 s for PASS_REQ without sending its opening again",
                 .story = Story::slow_peer});
    v.push_back({.id = "latchkey/run/existing-output",
                 .title = "cuts an existing, longer output file to what arrives",
                 .story = Story::existing_output});
    v.push_back({.id = "latchkey/password/second-attempt",
                 .title = "offers the second password after a PASS_REQ, completes",
                 .peers = P::ours,
                 .password_peer = pass_peer,
                 .impl_passwords = {"wrong", kRight, "spare"}});
    v.push_back({.id = "latchkey/password/third-attempt",
                 .title = "offers the third password, completes",
                 .peers = P::ours,
                 .password_peer = pass_peer,
                 .impl_passwords = {"wrong", "worse", kRight}});
    v.push_back({.id = "latchkey/password/three-wrong",
                 .title = "ends with ABORT on PASS_REJECT after three wrong passwords",
                 .peers = P::ours,
                 .expect = E::refuse,
                 .password_peer = pass_peer,
                 .reached = At::answer,
                 .impl_passwords = {"wrong", "worse", "worst"}});
    v.push_back({.id = "latchkey/password/no-fourth",
                 .title = "offers no word beyond its three when asked a fourth time",
                 .expect = E::reading,
                 .tamper = Tamper{At::answer, 3, Part::datagram, Op::mark},
                 .checks = kNoFourth,
                 .story = Story::fourth_pass_req,
                 .impl_passwords = {"wrong", "worse", "worst"}});
    v.push_back({.id = "latchkey/output/ok",
                 .title = "prints exactly \"OK\" after a run, nothing on standard error",
                 .checks = kOutput,
                 .output = "OK\n"});
    v.push_back({.id = "latchkey/output/abort",
                 .title = "prints exactly \"ABORT\" after PASS_REJECT",
                 .peers = P::ours,
                 .expect = E::refuse,
                 .checks = kOutput,
                 .password_peer = pass_peer,
                 .reached = At::answer,
                 .output = "ABORT\n",
                 .impl_passwords = {"wrong", "worse", "worst"}});
    v.push_back({.id = "latchkey/exact/join-req",
                 .title = "opens with a JOIN_REQ of type 1 and length 0",
                 .checks = kExact,
                 .exact = pt(pass::Type::JOIN_REQ)});
    v.push_back({.id = "latchkey/exact/pass-resp",
                 .title = "sends each PASS_RESP exactly: its password's length, characters, zeros",
                 .checks = kExact,
                 .exact = pt(pass::Type::PASS_RESP),
                 .impl_passwords = {"a-longer-wrong-password", "short", kRight}});
    v.push_back({.id = "latchkey/fault/bad-hash",
                 .title = "refuses a digest beginning with \"Wrong Hash\" (as lockbox-badhash "
                          "sends)",
                 .expect = E::refuse,
                 .tamper = put(At::terminate, Part::datagram, wire::Field{pass::kDigest.offset, 12},
                               std::string("Wrong Hash\0\0", 12))});
    v.push_back({.id = "latchkey/fault/skipped-ids",
                 .title = "refuses DATA ids 1, 3 (as lockbox-skipid sends)",
                 .expect = E::refuse,
                 .tamper = set(At::data, Part::datagram, pass::kPacketId, 3, 2)});
    v.push_back({.id = "latchkey/fault/type-12-pass-req",
                 .title = "refuses a PASS_REQ of type 12 (as lockbox-badreq sends), offers no "
                          "password",
                 .expect = E::refuse,
                 .tamper = set(At::pass_req, Part::datagram, pass::kType, pass::kWrongType)});
    v.push_back({.id = "latchkey/check/id-repeat",
                 .title = "refuses DATA ids 1, 1 (a repeat)",
                 .expect = E::refuse,
                 .tamper = set(At::data, Part::datagram, pass::kPacketId, 1, 2)});
    v.push_back({.id = "latchkey/check/id-zero",
                 .title = "refuses a first DATA id of 0",
                 .expect = E::refuse,
                 .tamper = set(At::data, Part::datagram, pass::kPacketId, 0)});
    v.push_back({.id = "latchkey/check/id-high-bytes",
                 .title = "refuses DATA id 0x00010002 where 2 belongs",
                 .expect = E::refuse,
                 .tamper = set(At::data, Part::datagram, pass::kPacketId, 0x00010002, 2)});
    v.push_back({.id = "latchkey/check/file-kept",
                 .title = "keeps the DATA accepted before a refused one in the output file",
                 .expect = E::refuse,
                 .tamper = set(At::data, Part::datagram, pass::kPacketId, 5, 3),
                 .checks = kFileKept,
                 .file_size = 3500});
    v.push_back({.id = "latchkey/check/file-left-alone",
                 .title = "leaves an existing output file alone when refused before PASS_ACCEPT",
                 .expect = E::refuse,
                 .tamper = set(At::pass_req, Part::datagram, pass::kType, pass::kWrongType),
                 .checks = kFileAlone});
    v.push_back({.id = "latchkey/check/output-unopenable",
                 .title = "ends with ABORT when its output file cannot be created",
                 .expect = E::refuse,
                 .tamper = mark(At::data),
                 .story = Story::output_unopenable});
    v.push_back({.id = "latchkey/check/digest-last-byte",
                 .title = "refuses a digest that differs in its last byte, keeping the file",
                 .expect = E::refuse,
                 .tamper = Tamper{At::terminate, 1, Part::datagram, Op::flip,
                                  wire::Field{pass::kDigest.end() - 1, 1}, 0x01},
                 .checks = kFileKept});
    v.push_back({.id = "latchkey/check/file-left-alone-at-reject",
                 .title = "leaves an existing output file alone when its passwords are rejected",
                 .expect = E::refuse,
                 .tamper = Tamper{At::answer, 3, Part::datagram, Op::mark},
                 .checks = kFileAlone,
                 .impl_passwords = {"wrong", "worse", "worst"}});
    v.push_back({.id = "latchkey/check/digest-after-zero",
                 .title = "refuses a digest equal to the file's up to a zero byte, other after it",
                 .expect = E::refuse,
                 .tamper = Tamper{At::terminate, 1, Part::datagram, Op::flip,
                                  wire::Field{pass::kDigest.offset + 10, 1}, 0x5A},
                 .story = Story::digest_with_zero,
                 .cause_if_taken = kCauseZeroByte,
                 .control = "latchkey/check/digest-last-byte"});
    v.push_back({.id = "latchkey/check/later-pass-req-length-unread",
                 .title = "takes a second PASS_REQ with a non-zero length field as a request",
                 .expect = E::reading,
                 .tamper = set(At::answer, Part::datagram, pass::kLength, 7),
                 .impl_passwords = {"wrong", kRight, "spare"}});
    generate(v, Role::latchkey);
    return v;
}

}  // namespace

const std::vector<Case>& catalogue(Role role) {
    static const std::vector<Case> all[] = {client_cases(), server_cases(), gatekeep_cases(),
                                            lockbox_cases(), latchkey_cases()};
    return all[static_cast<std::size_t>(role)];
}

}  // namespace peercheck
