#include "scripts.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <ctime>
#include <utility>
#include <vector>

#include "helpers.h"
#include "pass_msg.h"
#include "seal.h"
#include "ticket_msg.h"

namespace peercheck {

namespace {

const std::string kImpl = "implementation";
const std::string kUs = "peercheck";

const in_addr kLoopback{htonl(INADDR_LOOPBACK)};
constexpr ticket::Address kLoopbackBytes{127, 0, 0, 1};

// Garbage is built from a fixed seed, so a case sends the same bytes on every run; its type field
// (where both protocols keep it) holds a type no message has.
constexpr std::uint16_t kNoType = 0xEEEE;
static_assert(ticket::kType.offset == pass::kType.offset && ticket::kType.size == pass::kType.size);
constexpr std::size_t kOversized = 65507;

std::uint32_t now32() { return static_cast<std::uint32_t>(std::time(nullptr)); }

std::string seconds(Millis m) { return std::to_string(static_cast<double>(m.count()) / 1000); }

template <class Area, class R>
Area area_of(const R& bytes) {
    Area a{};
    std::copy_n(bytes.begin(), std::min<std::size_t>(bytes.size(), a.size()), a.begin());
    return a;
}
template <class R>
ticket::RecvArea ticket_area(const R& bytes) {
    return area_of<ticket::RecvArea>(bytes);
}
template <class R>
pass::RecvArea pass_area(const R& bytes) {
    return area_of<pass::RecvArea>(bytes);
}

bool is_garbage(Twist t) {
    return t == Twist::truncated || t == Twist::random || t == Twist::oversized;
}
bool garbage_at(const Case& c, Point p) { return is_garbage(c.twist) && c.at == p; }

Bytes garbage(Twist t, std::span<const std::uint8_t> proper) {
    if (t == Twist::truncated) return Bytes(proper.begin(), proper.begin() + 1);
    Bytes b = pattern(t == Twist::oversized ? kOversized : proper.size(), 7);
    wire::store_be16(std::span<std::uint8_t, ticket::kType.size>(b.data() + ticket::kType.offset,
                                                                 ticket::kType.size),
                     kNoType);
    return b;
}

void send(const Socket& s, const ScriptEnv& env, std::span<const std::uint8_t> bytes,
          const sockaddr_in& to) {
    s.send_to(bytes.data(), bytes.size(), to);
    env.log.add(kUs, kImpl, bytes, s.local(), to);
}

// Waits in short slices, so that a wait ends soon after the implementation has: what it sent
// before ending is still queued and is read first.
std::optional<Bytes> receive(const Socket& s, const ScriptEnv& env, Millis limit,
                             sockaddr_in* from = nullptr) {
    const auto until = Clock::now() + limit;
    for (;;) {
        // Nothing more is taken from a flood: what was kept bounds this process's memory.
        if (env.log.flooded()) return std::nullopt;
        const bool ended = env.impl != nullptr && !env.impl->running();
        const auto left = std::chrono::duration_cast<Millis>(until - Clock::now());
        sockaddr_in src{};
        auto b = s.receive(ended ? Millis{1} : std::min(left, Millis{20}), &src);
        if (b) {
            env.log.add(kImpl, kUs, *b, src, s.local());
            if (from != nullptr) *from = src;
            return b;
        }
        if (ended || Clock::now() >= until || g_interrupted) return std::nullopt;
    }
}

// Every datagram that arrives within the silence period.
std::vector<Bytes> watch(const Socket& s, const ScriptEnv& env) {
    std::vector<Bytes> got;
    const auto until = Clock::now() + kSilence;
    for (;;) {
        const auto left = std::chrono::duration_cast<Millis>(until - Clock::now());
        if (left.count() <= 0) return got;
        auto b = receive(s, env, left);
        if (!b) return got;
        got.push_back(std::move(*b));
    }
}

std::string ticket_type_name(std::uint16_t t) {
    static const char* const kNames[] = {"AS_REQ", "AS_REP", "AS_ERR", "AP_REQ",
                                         "AP_REP", "AP_ERR", "KRB_PRV"};
    if (t >= 1 && t <= 7) return kNames[t - 1];
    return "a datagram of type " + std::to_string(t);
}
std::string pass_type_name(std::uint16_t t) {
    static const char* const kNames[] = {"JOIN_REQ", "PASS_REQ",  "PASS_RESP",  "PASS_ACCEPT",
                                         "DATA",     "TERMINATE", "PASS_REJECT"};
    if (t >= 1 && t <= 7) return kNames[t - 1];
    return "a datagram of type " + std::to_string(t);
}
std::uint16_t ticket_type(const Bytes& b) { return ticket::read_type(ticket_area(b)); }
std::uint16_t pass_type(const Bytes& b) { return pass::read_header(pass_area(b)).type; }

// Fails o when a datagram of a refused kind arrives during the silence period.
void expect_silence(Outcome& o, const Socket& s, const ScriptEnv& env, bool ticket_protocol,
                    std::initializer_list<std::uint16_t> refused, const std::string& what) {
    for (const Bytes& b : watch(s, env)) {
        const std::uint16_t t = ticket_protocol ? ticket_type(b) : pass_type(b);
        if (std::find(refused.begin(), refused.end(), t) != refused.end()) {
            o.fail(what, (ticket_protocol ? ticket_type_name(t) : pass_type_name(t)) + " arrived");
            return;
        }
    }
}

seal::Schedule schedule_of(std::string_view hex) {
    const std::string text(hex);
    seal::Key k{};
    common::to_hex(text.c_str(), k);
    seal::Schedule s;
    seal::make_schedule(k, s);
    return s;
}

// An identifier field: the text, then zero bytes; 40 characters fill the whole field.
ticket::Id id_of(std::string_view text) {
    ticket::Id id{};
    std::copy_n(text.begin(), std::min(text.size(), id.size()), id.begin());
    return id;
}

std::string text_of(std::span<const std::uint8_t, ticket::kIdSize> field) {
    return std::string(field.begin(), field.begin() + wire::text_length(field));
}

std::string hex(std::span<const std::uint8_t> bytes) {
    static const char* const kDigits = "0123456789abcdef";
    std::string s;
    for (const std::uint8_t b : bytes) {
        s += kDigits[b >> 4];
        s += kDigits[b & 15];
    }
    return s;
}

std::string first_difference(const Bytes& want, const Bytes& got) {
    const auto m = std::mismatch(want.begin(), want.end(), got.begin(), got.end());
    return std::to_string(got.size()) + " bytes, first difference at byte " +
           std::to_string(m.first - want.begin());
}

struct FileChecks {
    std::size_t chunk_size;
    bool ids;
};

// Folds one chunk into the received file, checking its id and that the one before was full.
void take_chunk(Outcome& o, const FileChecks& fc, Bytes& got, std::size_t& n,
                std::size_t& last_length, std::uint32_t id, std::span<const std::uint8_t> data) {
    if (fc.ids && o.ok) {
        if (id != static_cast<std::uint32_t>(n + 1)) {
            o.fail("packet id " + std::to_string(n + 1), "packet id " + std::to_string(id));
        } else if (n > 0 && last_length != fc.chunk_size) {
            o.fail("every chunk but the last of " + std::to_string(fc.chunk_size) + " bytes",
                   "chunk " + std::to_string(n) + " of " + std::to_string(last_length) + " bytes");
        }
    }
    got.insert(got.end(), data.begin(), data.end());
    ++n;
    last_length = data.size();
}

void compare_file(Outcome& o, const ScriptEnv& env, const Bytes& got) {
    if (got != env.file) {
        o.fail("the file of " + std::to_string(env.file.size()) + " bytes",
               first_difference(env.file, got));
    }
}

// The most chunks a conforming sender sends for the file, with room to spare; a sender that
// goes on beyond it is flooding.
std::size_t chunk_limit(const ScriptEnv& env, std::size_t chunk) {
    return env.file.size() / chunk + 16;
}

}  // namespace

void Outcome::fail(std::string exp, std::string obs) {
    if (!ok) return;
    ok = false;
    expected = std::move(exp);
    observed = std::move(obs);
}

// ---------------------------------------------------------------- client under test

TicketServersScript::TicketServersScript() : gk_(kLoopback, 0), srv_(kLoopback, 0) {}

namespace {

void check_ap_req(Outcome& o, const ScriptEnv& env, const ticket::RecvArea& ap,
                  const ticket::BodyArea& body, const ticket::Id& client_id,
                  const seal::Schedule& session) {
    if (!ticket::is(ticket::read_type(ap), ticket::Type::AP_REQ)) {
        return o.fail("an AP_REQ", ticket_type_name(ticket::read_type(ap)));
    }
    const auto req = ticket::read_ap_req(ap);
    if (!req) return o.fail("AP_REQ lengths within their areas", "lengths beyond them");
    const std::uint16_t length = wire::load_be16(wire::at<ticket::kBodyTicketLength>(body));
    const auto sent = wire::at<ticket::kApReqTicket>(ap);
    const auto given = wire::at<ticket::kBodyTicket>(body);
    if (req->ticket_length != length ||
        !std::equal(given.begin(), given.begin() + std::min<std::size_t>(length, given.size()),
                    sent.begin())) {
        return o.fail("the Ticket exactly as the AS_REP carried it", "another Ticket");
    }
    ticket::AuthArea auth{};
    ticket::unseal_authenticator(ap, *req, session, auth);
    const auto id = wire::at<ticket::kAuthClientId>(std::as_const(auth));
    if (!std::equal(id.begin(), id.end(), client_id.begin())) {
        return o.fail("the Authenticator naming client " + text_of(client_id),
                      "client " + text_of(id));
    }
    const auto addr = wire::at<ticket::kAuthClientAddr>(std::as_const(auth));
    if (env.host && std::memcmp(addr.data(), &env.host->s_addr, 4) != 0) {
        in_addr seen{};
        std::memcpy(&seen.s_addr, addr.data(), 4);
        return o.fail("the Authenticator carrying " + dotted(*env.host), dotted(seen));
    }
    const std::uint32_t nonce = wire::load_le32(wire::at<ticket::kAuthNonce>(std::as_const(auth)));
    const std::uint32_t t = now32();
    if (nonce + 300 < t || nonce > t + 300) {
        o.fail("a nonce near the current time " + std::to_string(t),
               "nonce " + std::to_string(nonce));
    }
}

}  // namespace

Outcome TicketServersScript::play(const ScriptEnv& env) {
    Outcome o;
    const Case& c = env.c;
    sockaddr_in as_from{};
    const auto req = receive(gk_, env, env.wait, &as_from);
    if (!req) {
        o.waiting_at = "waiting for AS_REQ";
        o.fail("an AS_REQ", "nothing within " + seconds(env.wait) + " s");
        return o;
    }
    const auto rq = ticket_area(*req);
    ticket::Id client_id{};
    std::ranges::copy(wire::at<ticket::kAsReqClientId>(rq), client_id.begin());
    if (c.expect == Expect::observe) {
        o.notes = "AS_REQ client ID field: \"" + text_of(client_id) + "\" (" +
                  std::to_string(wire::text_length(std::span<const std::uint8_t, 40>(client_id))) +
                  " characters)";
    }

    const auto cks = schedule_of(kClientKey), sks = schedule_of(kServerKey);
    const seal::Key key = seal::random_key();
    seal::Schedule session;
    seal::make_schedule(key, session);
    const std::uint32_t t = now32();
    // Valid for two more seconds: enough for AS_REP and AP_REP, expired before the file.
    const std::uint32_t stamp =
        c.twist == Twist::envelope_after_expiry ? t - ticket::kLifetime + 2 : t;
    const ticket::Id server_id =
        id_of(c.twist == Twist::as_rep_other_server ? "printer" : kServerId);
    const ticket::TicketFacts facts{key, client_id, kLoopbackBytes, server_id, stamp};
    std::array<std::uint8_t, ticket::kAsRepSize> as_rep;
    ticket::build_as_rep(as_rep, facts, sks, cks);
    ticket::BodyArea body{};
    ticket::unseal_as_rep_body(ticket_area(as_rep), cks, body);
    if (c.twist == Twist::ticket_length_beyond) {
        wire::store_be16(wire::at<ticket::kBodyTicketLength>(body), ticket::kTicketSealedSize + 8);
        seal::seal(body, ticket::kBodyPlainSize, cks, wire::at<ticket::kAsRepBody>(as_rep));
    }
    if (c.twist == Twist::as_rep_length_beyond) {
        wire::store_be16(wire::at<ticket::kAsRepLength>(as_rep), ticket::kBodySealedSize + 8);
    }
    if (garbage_at(c, Point::first)) {
        send(gk_, env, garbage(c.twist, as_rep), as_from);
        return o;
    }
    send(gk_, env, as_rep, as_from);

    sockaddr_in from{};
    const auto ap = receive(srv_, env, env.wait, &from);
    if (!ap) {
        o.waiting_at = "waiting for AP_REQ";
        return o;
    }
    const auto apa = ticket_area(*ap);
    if ((c.checks & kApReq) != 0) check_ap_req(o, env, apa, body, client_id, session);
    std::uint32_t nonce = 0;
    if (const auto r = ticket::read_ap_req(apa)) {
        ticket::AuthArea auth{};
        ticket::unseal_authenticator(apa, *r, session, auth);
        nonce = wire::load_le32(wire::at<ticket::kAuthNonce>(std::as_const(auth)));
    }
    std::array<std::uint8_t, ticket::kApRepSize> ap_rep;
    ticket::build_ap_rep(ap_rep, static_cast<std::int32_t>(nonce + 1), session);
    if (c.twist == Twist::ap_rep_length_beyond) {
        wire::store_be16(wire::at<ticket::kApRepLength>(ap_rep), ticket::kAnswerAreaSize + 8);
    }
    if (garbage_at(c, Point::second)) {
        send(srv_, env, garbage(c.twist, ap_rep), from);
        return o;
    }
    send(srv_, env, ap_rep, from);

    if (!receive(srv_, env, env.wait, &from)) {
        o.waiting_at = "waiting for the KRB_PRV asking for the file";
        return o;
    }
    if (c.twist == Twist::envelope_after_expiry) {
        while (now32() < seal::validity_time(stamp, ticket::kLifetime)) {
            if (!nap(Millis{20})) return o;
        }
    }
    const std::size_t chunks = env.file.size() / ticket::kChunkSize + 1;
    ticket::Inner inner;
    std::array<std::uint8_t, ticket::kPrvSize> prv;
    for (std::size_t i = 0; i < chunks; ++i) {
        const std::size_t offset = i * ticket::kChunkSize;
        const std::size_t n = std::min(ticket::kChunkSize, env.file.size() - offset);
        std::size_t id = i + 1;
        if (c.twist == Twist::id_gap && i > 0) id = i + 2;
        if (c.twist == Twist::id_repeat && i > 0) id = i;
        if (c.twist == Twist::id_first_zero) id = i;
        ticket::build_app_data(inner, static_cast<std::uint16_t>(id),
                               std::span(env.file).subspan(offset, n));
        if (i == 0 && c.twist == Twist::data_length_beyond) {
            wire::store_be16(wire::at<ticket::kInnerDataLength>(inner), ticket::kChunkSize + 1);
        }
        ticket::build_krb_prv(prv, inner, session);
        if (i == 0 && c.twist == Twist::prv_length_beyond) {
            wire::store_be16(wire::at<ticket::kPrvLength>(prv), ticket::kInnerSize + 8);
        }
        if (i == 0 && garbage_at(c, Point::third)) {
            send(srv_, env, garbage(c.twist, prv), from);
            return o;
        }
        send(srv_, env, prv, from);
    }
    ticket::Digest digest{};
    common::mysha1(env.file_path.c_str(), digest);
    ticket::build_app_terminate(inner, digest);
    ticket::build_krb_prv(prv, inner, session);
    send(srv_, env, prv, from);
    return o;
}

// ---------------------------------------------------------------- server under test

namespace {

void receive_ticket_file(Outcome& o, const Socket& sock, const ScriptEnv& env,
                         const seal::Schedule& session) {
    Bytes got;
    std::size_t n = 0, last = 0;
    const FileChecks fc{ticket::kChunkSize, (env.c.checks & kIds) != 0};
    for (;;) {
        const auto d = receive(sock, env, env.wait);
        if (!d) {
            o.waiting_at = "waiting for envelope " + std::to_string(n + 1);
            return o.fail("APP_DATA envelopes, then APP_TERMINATE",
                          "nothing more after " + std::to_string(n) + " APP_DATA within " +
                              seconds(env.wait) + " s");
        }
        const auto a = ticket_area(*d);
        if (!ticket::is(ticket::read_type(a), ticket::Type::KRB_PRV)) {
            return o.fail("KRB_PRV", ticket_type_name(ticket::read_type(a)));
        }
        ticket::Inner inner{};
        if (!ticket::unseal_krb_prv(a, session, inner)) {
            return o.fail("a KRB_PRV length within the inner message", "a longer one");
        }
        const ticket::InnerView iv = ticket::read_inner(inner);
        if (ticket::is(iv.type, ticket::InnerType::APP_TERMINATE)) {
            if ((env.c.checks & kDigest) != 0) {
                ticket::Digest want{};
                common::mysha1(env.file_path.c_str(), want);
                const auto sent = wire::at<ticket::kInnerDigest>(std::as_const(inner));
                if (!std::equal(want.begin(), want.end(), sent.begin())) {
                    o.fail("the file's SHA-1 digest " + hex(want) + " in APP_TERMINATE",
                           "digest " + hex(sent));
                }
            }
            break;
        }
        if (!ticket::is(iv.type, ticket::InnerType::APP_DATA)) {
            return o.fail("APP_DATA or APP_TERMINATE", "inner type " + std::to_string(iv.type));
        }
        if (iv.data_length > ticket::kChunkSize) {
            return o.fail("APP_DATA of at most 972 bytes",
                          "data length " + std::to_string(iv.data_length));
        }
        if (n > chunk_limit(env, ticket::kChunkSize)) {
            return o.fail("the file's chunks", "more than " + std::to_string(n) + " chunks");
        }
        take_chunk(o, fc, got, n, last, iv.packet_id,
                   wire::at<ticket::kInnerData>(std::as_const(inner)).first(iv.data_length));
    }
    compare_file(o, env, got);
}

bool refused_at_ap_req(Twist t) {
    return t == Twist::ticket_expired || t == Twist::ticket_other_key ||
           t == Twist::ap_req_ticket_length_beyond || t == Twist::ap_req_auth_length_beyond;
}

}  // namespace

Outcome play_ticket_client(const ScriptEnv& env, std::uint16_t server_port) {
    Outcome o;
    const Case& c = env.c;
    const Socket sock(kLoopback, 0);
    const auto to = loopback(server_port);
    const auto cks = schedule_of(kClientKey);
    const auto sks = schedule_of(c.twist == Twist::ticket_other_key ? kOtherKey : kServerKey);
    const ticket::Id client_id = id_of(kClientId);
    const std::initializer_list<std::uint16_t> answers = {
        static_cast<std::uint16_t>(ticket::Type::AP_REP),
        static_cast<std::uint16_t>(ticket::Type::KRB_PRV)};
    for (int k = 0; k < c.clients && o.ok; ++k) {
        const seal::Key key = seal::random_key();
        seal::Schedule session;
        seal::make_schedule(key, session);
        const std::uint32_t t = now32();
        const std::uint32_t stamp = c.twist == Twist::ticket_expired ? t - 2 * 3600 : t;
        const ticket::TicketFacts facts{key, client_id, kLoopbackBytes, id_of(kServerId), stamp};
        std::array<std::uint8_t, ticket::kAsRepSize> as_rep;
        ticket::build_as_rep(as_rep, facts, sks, cks);
        ticket::BodyArea body{};
        ticket::unseal_as_rep_body(ticket_area(as_rep), cks, body);
        ticket::AuthArea auth;
        ticket::build_authenticator(auth, client_id, kLoopbackBytes, t);
        std::array<std::uint8_t, ticket::kApReqSize> ap_req;
        ticket::build_ap_req(ap_req, body, auth, session);
        if (c.twist == Twist::ap_req_ticket_length_beyond) {
            wire::store_be16(wire::at<ticket::kApReqTicketLength>(ap_req),
                             ticket::kTicketSealedSize + 8);
        }
        if (c.twist == Twist::ap_req_auth_length_beyond) {
            wire::store_be16(wire::at<ticket::kApReqAuthLength>(ap_req), ticket::kAuthSize + 8);
        }
        if (garbage_at(c, Point::first)) {
            send(sock, env, garbage(c.twist, ap_req), to);
            expect_silence(o, sock, env, true, answers, "no answer");
            return o;
        }
        send(sock, env, ap_req, to);
        if (refused_at_ap_req(c.twist)) {
            expect_silence(o, sock, env, true, answers, "no AP_REP");
            return o;
        }
        const auto rep = receive(sock, env, env.wait);
        if (!rep) {
            o.waiting_at = "waiting for AP_REP";
            o.fail("an AP_REP", "nothing within " + seconds(env.wait) + " s");
            return o;
        }
        const auto ra = ticket_area(*rep);
        if (!ticket::is(ticket::read_type(ra), ticket::Type::AP_REP)) {
            if (c.expect == Expect::observe) {
                o.notes = "answered " + ticket_type_name(ticket::read_type(ra));
            } else {
                o.fail("an AP_REP", ticket_type_name(ticket::read_type(ra)));
            }
            return o;
        }
        if ((c.checks & kNonce) != 0) {
            const auto answer = ticket::read_ap_rep_answer(ra, session);
            const auto want = static_cast<std::int32_t>(t + 1);
            if (!answer || *answer != want) {
                o.fail("nonce answer " + std::to_string(want),
                       answer ? "nonce answer " + std::to_string(*answer) : "an unreadable one");
            }
        }
        ticket::Inner inner;
        if (c.twist == Twist::inner_wrong_type) {
            ticket::build_app_data(inner, 1, {});
        } else {
            ticket::build_app_data_req(inner);
        }
        std::array<std::uint8_t, ticket::kPrvSize> prv;
        ticket::build_krb_prv(prv, inner, session);
        if (c.twist == Twist::prv_length_beyond) {
            wire::store_be16(wire::at<ticket::kPrvLength>(prv), ticket::kInnerSize + 8);
        }
        if (garbage_at(c, Point::second)) {
            send(sock, env, garbage(c.twist, prv), to);
            expect_silence(o, sock, env, true, answers, "no envelope");
            return o;
        }
        send(sock, env, prv, to);
        if (c.twist == Twist::prv_length_beyond || c.twist == Twist::inner_wrong_type) {
            expect_silence(o, sock, env, true, answers, "no envelope");
            return o;
        }
        receive_ticket_file(o, sock, env, session);
    }
    return o;
}

// ---------------------------------------------------------------- gatekeep under test

namespace {

bool stamp_current(std::uint32_t stamp, std::uint32_t now) {
    return stamp + 120 >= now && stamp <= now + 120;
}

void check_as_rep(Outcome& o, const ScriptEnv& env, const ticket::RecvArea& a,
                  const ticket::Id& client_id, const ticket::Id& server_id,
                  std::vector<seal::Key>& keys) {
    const unsigned checks = env.c.checks;
    const auto cks = schedule_of(kClientKey), sks = schedule_of(kServerKey);
    ticket::BodyArea body{};
    if (!ticket::unseal_as_rep_body(a, cks, body)) {
        return o.fail("an AS_REP length within the body area", "a longer one");
    }
    const auto& cbody = body;
    seal::Key key{};
    std::ranges::copy(wire::at<ticket::kBodySessionKey>(cbody), key.begin());
    seal::Schedule session;
    const bool key_ok = seal::make_schedule(key, session) == 0;
    const std::uint16_t tl = wire::load_be16(wire::at<ticket::kBodyTicketLength>(cbody));
    const std::uint32_t t = now32();
    if ((checks & kBody) != 0) {
        if (!key_ok) return o.fail("a session key with odd parity, not weak", "a refused key");
        const auto sid = wire::at<ticket::kBodyServerId>(cbody);
        if (!std::equal(sid.begin(), sid.end(), server_id.begin())) {
            return o.fail("server ID " + text_of(server_id), "server ID " + text_of(sid));
        }
        const std::uint16_t life = wire::load_be16(wire::at<ticket::kBodyLifetime>(cbody));
        if (life != ticket::kLifetime) {
            return o.fail("lifetime 3600", "lifetime " + std::to_string(life));
        }
        if (tl != seal::length_field(ticket::kTicketPlainSize)) {
            return o.fail("ticket length 104", "ticket length " + std::to_string(tl));
        }
    }
    const std::uint32_t body_stamp = wire::load_le32(wire::at<ticket::kBodyTimestamp>(cbody));
    if ((checks & kValidity) != 0 && !stamp_current(body_stamp, t)) {
        return o.fail("a body timestamp near " + std::to_string(t),
                      "timestamp " + std::to_string(body_stamp));
    }
    if ((checks & kFreshKeys) != 0) {
        if (std::find(keys.begin(), keys.end(), key) != keys.end()) {
            return o.fail("a fresh session key for every AS_REQ", "a session key seen before");
        }
        keys.push_back(key);
    }
    if ((checks & (kTicket | kValidity)) == 0) return;
    if (tl > ticket::kTicketSealedSize) return o.fail("a Ticket within its area", "a longer one");
    // The Ticket is unsealed the way a server reads it: from an AP_REQ that carries it.
    const ticket::AuthArea no_auth{};
    std::array<std::uint8_t, ticket::kApReqSize> ap;
    ticket::build_ap_req(ap, body, no_auth, cks);
    const auto apa = ticket_area(ap);
    const auto req = ticket::read_ap_req(apa);
    ticket::TicketArea tk{};
    if (req) ticket::unseal_ticket(apa, *req, sks, tk);
    const auto& ctk = tk;
    const std::uint32_t tk_stamp = wire::load_le32(wire::at<ticket::kTkTimestamp>(ctk));
    if ((checks & kValidity) != 0 && !stamp_current(tk_stamp, t)) {
        return o.fail("a Ticket timestamp near " + std::to_string(t),
                      "timestamp " + std::to_string(tk_stamp));
    }
    if ((checks & kTicket) == 0) return;
    const auto tkey = wire::at<ticket::kTkSessionKey>(ctk);
    if (!std::equal(tkey.begin(), tkey.end(), key.begin())) {
        return o.fail("the body's session key in the Ticket", "another key");
    }
    const auto cid = wire::at<ticket::kTkClientId>(ctk);
    if (!std::equal(cid.begin(), cid.end(), client_id.begin())) {
        return o.fail("client ID " + text_of(client_id), "client ID " + text_of(cid));
    }
    const auto sid = wire::at<ticket::kTkServerId>(ctk);
    if (!std::equal(sid.begin(), sid.end(), server_id.begin())) {
        return o.fail("server ID " + text_of(server_id), "server ID " + text_of(sid));
    }
    const auto addr = wire::at<ticket::kTkClientAddr>(ctk);
    if (!std::equal(addr.begin(), addr.end(), kLoopbackBytes.begin())) {
        in_addr seen{};
        std::memcpy(&seen.s_addr, addr.data(), 4);
        return o.fail("the AS_REQ's source address 127.0.0.1", dotted(seen));
    }
    const std::uint16_t life = wire::load_be16(wire::at<ticket::kTkLifetime>(ctk));
    if (life != ticket::kLifetime) {
        o.fail("Ticket lifetime 3600", "lifetime " + std::to_string(life));
    }
}

}  // namespace

Outcome play_as_client(const ScriptEnv& env, std::uint16_t gatekeep_port) {
    Outcome o;
    const Case& c = env.c;
    const Socket sock(kLoopback, 0);
    const auto to = loopback(gatekeep_port);
    std::vector<seal::Key> keys;
    const ticket::Id client_id =
        id_of(c.twist == Twist::as_req_other_client
                  ? "mallory"
                  : (c.impl_client_id.empty() ? kClientId : c.impl_client_id));
    const ticket::Id server_id =
        id_of(c.twist == Twist::as_req_other_server ? "printer" : kServerId);
    const std::initializer_list<std::uint16_t> answers = {
        static_cast<std::uint16_t>(ticket::Type::AS_REP)};
    for (int k = 0; k < c.clients && o.ok; ++k) {
        std::array<std::uint8_t, ticket::kAsReqSize> as_req;
        ticket::build_as_req(as_req, client_id, server_id);
        if (is_garbage(c.twist)) {
            send(sock, env, garbage(c.twist, as_req), to);
            expect_silence(o, sock, env, true, answers, "no AS_REP");
            return o;
        }
        send(sock, env, as_req, to);
        const auto rep = receive(sock, env, env.wait);
        if (!rep) {
            o.waiting_at = "waiting for AS_REP";
            if (c.expect == Expect::observe) {
                o.notes = "no answer within " + seconds(env.wait) + " s";
            } else {
                o.fail("an answer", "nothing within " + seconds(env.wait) + " s");
            }
            return o;
        }
        const auto a = ticket_area(*rep);
        const std::uint16_t type = ticket::read_type(a);
        if (c.expect == Expect::observe) {
            o.notes = "answered " + ticket_type_name(type);
            return o;
        }
        if ((c.checks & kAsErr) != 0) {
            if (!ticket::is(type, ticket::Type::AS_ERR)) {
                o.fail("AS_ERR", ticket_type_name(type));
            } else {
                const auto field = wire::at<ticket::kAsErrClientId>(a);
                if (!std::equal(field.begin(), field.end(), client_id.begin())) {
                    o.fail("AS_ERR carrying client ID " + text_of(client_id),
                           "client ID " + text_of(field));
                }
            }
            return o;
        }
        if (!ticket::is(type, ticket::Type::AS_REP)) {
            o.fail("an AS_REP", ticket_type_name(type));
            return o;
        }
        check_as_rep(o, env, a, client_id, server_id, keys);
    }
    return o;
}

// ---------------------------------------------------------------- password server under test

namespace {

bool is_pass_req(const pass::Header& h) {
    return h.length == 0 && (pass::is(h, pass::Type::PASS_REQ) || h.type == pass::kWrongType);
}

std::vector<std::string> offered_passwords(const ScriptEnv& env) {
    const std::string& right = env.right_password;
    switch (env.c.twist) {
        case Twist::wrong_password_1:
            return {"wrong", right};
        case Twist::wrong_password_2:
            return {"wrong", "worse", right};
        case Twist::wrong_passwords_3:
            return {"wrong", "worse", "worst"};
        default:
            return {right};
    }
}

void receive_pass_file(Outcome& o, const Socket& sock, const ScriptEnv& env) {
    Bytes got;
    std::size_t n = 0, last = 0;
    const FileChecks fc{pass::kChunkSize, (env.c.checks & kIds) != 0};
    for (;;) {
        const auto d = receive(sock, env, env.wait);
        if (!d) {
            o.waiting_at = "waiting for DATA " + std::to_string(n + 1);
            return o.fail("DATA, then TERMINATE", "nothing more after " + std::to_string(n) +
                                                      " DATA within " + seconds(env.wait) + " s");
        }
        const auto a = pass_area(*d);
        const pass::Header h = pass::read_header(a);
        if (pass::is(h, pass::Type::TERMINATE)) {
            if ((env.c.checks & kDigest) != 0) {
                pass::Digest want{};
                common::mysha1(env.file_path.c_str(), want);
                const auto sent = wire::at<pass::kDigest>(a);
                if (!std::equal(want.begin(), want.end(), sent.begin())) {
                    o.fail("the file's SHA-1 digest " + hex(want) + " in TERMINATE",
                           "digest " + hex(sent));
                }
            }
            break;
        }
        if (!pass::is(h, pass::Type::DATA))
            return o.fail("DATA or TERMINATE", pass_type_name(h.type));
        const pass::Data data = pass::read_data(a);
        if (data.length > pass::kChunkSize) {
            return o.fail("DATA of at most 1000 bytes", "length " + std::to_string(data.length));
        }
        if (n > chunk_limit(env, pass::kChunkSize)) {
            return o.fail("the file's chunks", "more than " + std::to_string(n) + " DATA");
        }
        take_chunk(o, fc, got, n, last, data.packet_id, data.data.first(data.length));
    }
    compare_file(o, env, got);
}

}  // namespace

Outcome play_pass_client(const ScriptEnv& env, std::uint16_t server_port) {
    Outcome o;
    const Case& c = env.c;
    const Socket sock(kLoopback, 0);
    const auto to = loopback(server_port);
    const auto t = [](pass::Type x) { return static_cast<std::uint16_t>(x); };
    for (int k = 0; k < c.clients && o.ok; ++k) {
        std::array<std::uint8_t, pass::kHeaderSize> join;
        pass::build_bare(join, t(pass::Type::JOIN_REQ));
        if (garbage_at(c, Point::first)) {
            send(sock, env, garbage(c.twist, join), to);
            expect_silence(o, sock, env, false, {t(pass::Type::PASS_REQ), pass::kWrongType},
                           "no PASS_REQ");
            return o;
        }
        send(sock, env, join, to);
        const auto req = receive(sock, env, env.wait);
        if (!req) {
            o.waiting_at = "waiting for PASS_REQ";
            o.fail("a PASS_REQ", "nothing within " + seconds(env.wait) + " s");
            return o;
        }
        pass::Header h = pass::read_header(pass_area(*req));
        if (!is_pass_req(h)) {
            o.fail("a PASS_REQ", pass_type_name(h.type));
            return o;
        }
        if ((c.checks & kPassReq) != 0 && !pass::is(h, pass::Type::PASS_REQ)) {
            o.fail("PASS_REQ of type 2", "type " + std::to_string(h.type));
        }
        const auto words = offered_passwords(env);
        for (std::size_t i = 0; i < words.size(); ++i) {
            const std::string& w = words[i];
            std::array<std::uint8_t, pass::kPassRespSize> resp;
            const bool too_long = c.twist == Twist::pass_resp_length_beyond;
            pass::build_pass_resp(
                resp,
                static_cast<std::uint16_t>(too_long ? pass::kMaxPasswordLength + 1 : w.size()),
                std::span(reinterpret_cast<const std::uint8_t*>(w.data()), w.size()));
            const std::initializer_list<std::uint16_t> accepted = {t(pass::Type::PASS_ACCEPT),
                                                                   t(pass::Type::DATA)};
            if (garbage_at(c, Point::second)) {
                send(sock, env, garbage(c.twist, resp), to);
                expect_silence(o, sock, env, false, accepted, "no PASS_ACCEPT");
                return o;
            }
            send(sock, env, resp, to);
            if (too_long) {
                expect_silence(o, sock, env, false, accepted, "no PASS_ACCEPT");
                return o;
            }
            const auto r = receive(sock, env, env.wait);
            if (!r) {
                o.waiting_at = "waiting for the answer to password " + std::to_string(i + 1);
                o.fail("an answer to PASS_RESP", "nothing within " + seconds(env.wait) + " s");
                return o;
            }
            h = pass::read_header(pass_area(*r));
            const bool right = w == env.right_password;
            if (right) {
                if (!pass::is_bare(h, pass::Type::PASS_ACCEPT)) {
                    o.fail("PASS_ACCEPT", pass_type_name(h.type));
                    return o;
                }
            } else if (i + 1 < 3) {
                if (!is_pass_req(h)) {
                    o.fail("PASS_REQ for attempt " + std::to_string(i + 2), pass_type_name(h.type));
                    return o;
                }
            } else {
                if ((c.checks & kPassReject) != 0 && !pass::is_bare(h, pass::Type::PASS_REJECT)) {
                    o.fail("PASS_REJECT", pass_type_name(h.type));
                }
                expect_silence(o, sock, env, false, accepted, "no DATA");
                return o;
            }
        }
        receive_pass_file(o, sock, env);
    }
    return o;
}

// ---------------------------------------------------------------- password client under test

PassServerScript::PassServerScript() : sock_(kLoopback, 0) {}

Outcome PassServerScript::play(const ScriptEnv& env) {
    Outcome o;
    const Case& c = env.c;
    const auto t = [](pass::Type x) { return static_cast<std::uint16_t>(x); };
    sockaddr_in from{};
    const auto opening = receive(sock_, env, env.wait, &from);
    if (!opening) {
        o.waiting_at = "waiting for JOIN_REQ";
        o.fail("a JOIN_REQ", "nothing within " + seconds(env.wait) + " s");
        return o;
    }
    const pass::Header h = pass::read_header(pass_area(*opening));
    if ((c.checks & kOpening) != 0 && !pass::is_bare(h, pass::Type::JOIN_REQ)) {
        o.fail("JOIN_REQ: type 1, length 0",
               "type " + std::to_string(h.type) + ", length " + std::to_string(h.length));
    }
    std::array<std::uint8_t, pass::kHeaderSize> bare;
    pass::build_bare(bare, c.twist == Twist::bad_req ? pass::kWrongType : t(pass::Type::PASS_REQ));
    if (garbage_at(c, Point::first)) {
        send(sock_, env, garbage(c.twist, bare), from);
        return o;
    }
    send(sock_, env, bare, from);
    if (c.twist == Twist::bad_req) return o;
    for (int attempt = 1;; ++attempt) {
        const auto r = receive(sock_, env, env.wait, &from);
        if (!r) {
            o.waiting_at = "waiting for PASS_RESP " + std::to_string(attempt);
            return o;
        }
        const auto area = pass_area(*r);  // the decoded password is a view into it
        const auto resp = pass::decode_pass_resp(area);
        const std::string& pw = env.right_password;
        if (resp && resp->length == pw.size() &&
            std::equal(pw.begin(), pw.end(), resp->password.begin())) {
            break;
        }
        pass::build_bare(bare, t(attempt < 3 ? pass::Type::PASS_REQ : pass::Type::PASS_REJECT));
        send(sock_, env, bare, from);
        if (attempt == 3) return o;
    }
    pass::build_bare(bare, t(pass::Type::PASS_ACCEPT));
    if (garbage_at(c, Point::second)) {
        send(sock_, env, garbage(c.twist, bare), from);
        return o;
    }
    send(sock_, env, bare, from);
    const std::size_t chunks = env.file.size() / pass::kChunkSize + 1;
    std::array<std::uint8_t, pass::kDataSize> data;
    for (std::size_t i = 0; i < chunks; ++i) {
        const std::size_t offset = i * pass::kChunkSize;
        const std::size_t n = std::min(pass::kChunkSize, env.file.size() - offset);
        std::size_t id = i + 1;
        if (c.twist == Twist::id_gap) id = 2 * i + 1;  // as lockbox-skipid: 1, 3, 5 ...
        if (c.twist == Twist::id_repeat && i > 0) id = i;
        if (c.twist == Twist::id_first_zero) id = i;
        data.fill(0);
        std::copy_n(env.file.begin() + static_cast<std::ptrdiff_t>(offset), n,
                    wire::at<pass::kData>(data).begin());
        pass::stamp_data(data, static_cast<std::uint32_t>(n), static_cast<std::uint32_t>(id));
        if (i == 0 && c.twist == Twist::data_length_beyond_1000) {
            wire::store_be32(wire::at<pass::kLength>(data), pass::kChunkSize + 1);
        }
        if (i == 0 && garbage_at(c, Point::third)) {
            send(sock_, env, garbage(c.twist, data), from);
            return o;
        }
        send(sock_, env, data, from);
    }
    pass::Digest digest{};
    common::mysha1(env.file_path.c_str(), digest);
    if (c.twist == Twist::bad_hash) {
        // As lockbox-badhash sends it: "Wrong Hash", its zero, one more zero, then the true bytes.
        constexpr char kText[] = "Wrong Hash";
        std::copy_n(kText, sizeof kText, digest.begin());
        digest[sizeof kText] = 0;
    }
    std::array<std::uint8_t, pass::kTerminateSize> term;
    pass::build_terminate(term, digest);
    send(sock_, env, term, from);
    return o;
}

}  // namespace peercheck
