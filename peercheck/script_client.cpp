// peercheck as a ticket-protocol client of an application server under test: it issues its own
// Tickets (it knows the server key), proves itself with an AP_REQ, asks for the file and checks
// every envelope, one step per message, client after client.

#include <arpa/inet.h>
#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <ctime>
#include <utility>

#include "exact.h"
#include "helpers.h"
#include "script_kit.h"
#include "scripts.h"
#include "seal.h"
#include "ticket_msg.h"

namespace peercheck {

namespace {

using namespace kit;

using ticket::Type;

constexpr ticket::Address kLoopbackBytes{127, 0, 0, 1};
// A third loopback address: the AP_REQ may come from anywhere while both records agree.
constexpr in_addr_t kThirdAddress = 0x7F000003;  // 127.0.0.3

// What a conforming server makes of an AP_REQ: the Ticket unsealed with its key (its session key
// checked, then its validity), the Authenticator unsealed from its own offset, names and
// addresses compared. Lengths beyond their areas may be refused or cut.
Reading read_ap_req(const Bytes& d, const seal::Schedule& server_key, std::uint32_t now) {
    const auto rx = ticket::receive_area(d);
    const std::uint16_t type = ticket::read_type(rx);
    if (!ticket::is(type, Type::AP_REQ)) return refuses(ticket_type_text(type) + ": no AP_REQ");
    const std::uint16_t tl = wire::load_be16(wire::at<ticket::kApReqTicketLength>(rx));
    const std::uint16_t al = wire::load_be16(wire::at<ticket::kApReqAuthLength>(rx));
    const bool beyond = tl > ticket::kTicketSealedSize || al > ticket::kAuthSize;
    const auto either = [&](Reading r) {
        if (beyond) {
            r.allowed |= kRefuses;
            r.text = fmt::format("lengths {} and {} beyond their areas; cut: {}", tl, al, r.text);
        }
        return r;
    };
    ticket::TicketArea tk{};
    seal::unseal(wire::at<ticket::kApReqTicket>(rx),
                 std::min<std::size_t>(tl, ticket::kTicketSealedSize), server_key, tk);
    seal::Schedule session;
    if (seal::make_schedule(wire::at<ticket::kTkSessionKey>(std::as_const(tk)), session) != 0) {
        return either(refuses("a Ticket whose session key fails the key check", 0, false));
    }
    const std::uint32_t validity =
        seal::validity_time(wire::load_le32(wire::at<ticket::kTkTimestamp>(std::as_const(tk))),
                            wire::load_be16(wire::at<ticket::kTkLifetime>(std::as_const(tk))));
    if (!seal::still_valid(now, validity)) {
        return either(
            refuses(fmt::format("a Ticket that expired at {} (now {})", validity, now), 0, false));
    }
    ticket::AuthArea auth{};
    seal::unseal(wire::at<ticket::kApReqAuth>(rx), std::min<std::size_t>(al, ticket::kAuthSize),
                 session, auth);
    const auto ap_err = static_cast<std::uint16_t>(Type::AP_ERR);
    const auto tid = wire::at<ticket::kTkClientId>(std::as_const(tk));
    const auto aid = wire::at<ticket::kAuthClientId>(std::as_const(auth));
    if (!std::equal(tid.begin(), tid.end(), aid.begin())) {
        return either(refuses("an Authenticator naming another client than its Ticket", ap_err));
    }
    const auto ta = wire::at<ticket::kTkClientAddr>(std::as_const(tk));
    const auto aa = wire::at<ticket::kAuthClientAddr>(std::as_const(auth));
    if (!std::equal(ta.begin(), ta.end(), aa.begin())) {
        return either(refuses("an Authenticator carrying another address than its Ticket", ap_err));
    }
    return either(Reading{kProceeds, "a valid AP_REQ", 0, true});
}

Reading read_request(const Bytes& d, const seal::Schedule& session, std::uint32_t validity,
                     std::uint32_t now) {
    const auto rx = ticket::receive_area(d);
    const std::uint16_t type = ticket::read_type(rx);
    if (ticket::is(type, Type::AP_ERR)) return refuses("an AP_ERR in place of the request");
    if (!ticket::is(type, Type::KRB_PRV)) return refuses(ticket_type_text(type) + ": no KRB_PRV");
    if (!seal::still_valid(now, validity)) {
        return refuses("a request after the session key expired", 0, false);
    }
    const std::uint16_t length = wire::load_be16(wire::at<ticket::kPrvLength>(rx));
    ticket::Inner inner{};
    seal::unseal(wire::at<ticket::kPrvSealed>(rx),
                 std::min<std::size_t>(length, ticket::kInnerSize), session, inner);
    const std::uint16_t inner_type = ticket::read_inner(inner).type;
    Reading r = ticket::is(inner_type, ticket::InnerType::APP_DATA_REQ)
                    ? Reading{kProceeds, "a valid APP_DATA_REQ", 0, true}
                    : refuses(fmt::format("inner type {}: no APP_DATA_REQ", inner_type));
    if (length > ticket::kInnerSize) {
        r.allowed |= kRefuses;
        r.text = fmt::format("length {} beyond the inner message; cut: {}", length, r.text);
    }
    return r;
}

// A session key whose Ticket, sealed with another key than the server's, unseals under the
// server's key to bytes that fail the key check: so the server's refusal is certain, not 255
// times in 256.
seal::Key key_refused_under(const seal::Schedule& other, const seal::Schedule& server_key,
                            const ticket::Id& client, std::uint32_t stamp) {
    for (;;) {
        const seal::Key key = seal::random_key();
        const ticket::TicketFacts facts{key, client, kLoopbackBytes, id_of(kServerId), stamp};
        std::array<std::uint8_t, ticket::kTicketPlainSize> plain;
        ticket::build_ticket(plain, facts);
        std::array<std::uint8_t, ticket::kTicketSealedSize> sealed{};
        seal::seal(plain, ticket::kTicketPlainSize, other, sealed);
        std::array<std::uint8_t, ticket::kTicketSealedSize> tk{};
        seal::unseal(sealed, ticket::kTicketSealedSize, server_key, tk);
        seal::Schedule s;
        if (seal::make_schedule(std::span(tk).first<8>(), s) != 0) return key;
    }
}

struct Visit {
    seal::Key key{};
    std::uint32_t stamp = 0;
    seal::Schedule session{};
    std::uint32_t validity = 0;
    std::uint32_t nonce = 0;
};

Bytes build_ap_req(Talk& talk, const Visit& v, const seal::Schedule& ticket_key,
                   std::uint32_t stamp) {
    const ticket::Id client = id_of(kClientId);
    std::array<std::uint8_t, ticket::kTicketPlainSize> tk;
    ticket::build_ticket(tk, {v.key, client, kLoopbackBytes, id_of(kServerId), stamp});
    talk.tamper(At::ap_req, Part::ticket, tk);
    ticket::AuthArea auth;
    ticket::build_authenticator(auth, client, kLoopbackBytes, v.nonce);
    talk.tamper(At::ap_req, Part::authenticator, auth);

    std::array<std::uint8_t, ticket::kApReqSize> req{};
    wire::store_be16(wire::at<ticket::kType>(req), static_cast<std::uint16_t>(Type::AP_REQ));
    wire::store_be16(wire::at<ticket::kApReqTicketLength>(req),
                     seal::length_field(ticket::kTicketPlainSize));
    wire::store_be16(wire::at<ticket::kApReqAuthLength>(req),
                     seal::length_field(ticket::kAuthSize));
    seal::seal(tk, tk.size(), ticket_key, wire::at<ticket::kApReqTicket>(req));
    seal::seal(auth, auth.size(), v.session, wire::at<ticket::kApReqAuth>(req));
    return talk.tamper(At::ap_req, as_bytes(req));
}

Bytes build_request(Talk& talk, const Visit& v) {
    ticket::Inner inner;
    ticket::build_app_data_req(inner);
    talk.tamper(At::krb_prv, Part::inner, inner);
    std::array<std::uint8_t, ticket::kPrvSize> prv;
    ticket::build_krb_prv(prv, inner, v.session);
    return talk.tamper(At::krb_prv, as_bytes(prv));
}

// The server's answer to a changed datagram, in words and as a reaction.
void react_to(Talk& talk, const std::optional<Bytes>& got, std::uint16_t proceeds_with) {
    if (!got) return talk.react_to_silence();
    const std::uint16_t t = ticket::read_type(ticket::receive_area(*got));
    if (t == proceeds_with) return talk.react(kProceeds, "answered " + ticket_type_text(t));
    if (ticket::is(t, Type::AP_ERR)) return talk.react(kRefuses, "answered AP_ERR");
    talk.react(0, "answered " + ticket_type_text(t));
}

// The file, envelope after envelope, with the checks the case asks for. Returns whether it all
// arrived right.
bool receive_file(Talk& talk, const Socket& sock, const Visit& v, const Bytes& file,
                  const std::string& path, std::optional<Bytes> first, Chain chain) {
    const Case& c = talk.c();
    Outcome& o = talk.outcome();
    Bytes got;
    ticket::Inner previous{};
    std::size_t n = 0;
    const std::size_t expected_chunks = file.size() / ticket::kChunkSize + 1;
    for (;;) {
        auto d = first ? std::move(first)
                       : talk.receive(sock, fmt::format("waiting for envelope {}", n + 1));
        first.reset();
        if (!d) {
            o.fail("APP_DATA envelopes, then APP_TERMINATE",
                   fmt::format("{} after {} APP_DATA", within(talk.env().wait), n));
            return false;
        }
        const auto a = ticket::receive_area(*d);
        // What the envelope should have been, APP_DATA n + 1 (or the last, APP_TERMINATE): a
        // datagram that cannot be read as such is compared with it for the likely cause.
        const std::size_t at = std::min(n * ticket::kChunkSize, file.size());
        const auto expected_chunk =
            std::span(file).subspan(at, std::min(ticket::kChunkSize, file.size() - at));
        const auto cause = [&]() {
            ticket::Inner w;
            ticket::build_app_data(w, static_cast<std::uint16_t>(n + 1), expected_chunk);
            const auto diff = exact_envelope(*d, v.session, w, n > 0 ? &previous : nullptr, chain);
            return diff ? diff->cause : std::string{};
        };
        if (!ticket::is(ticket::read_type(a), Type::KRB_PRV)) {
            o.fail("KRB_PRV", ticket_type_text(ticket::read_type(a)));
            return false;
        }
        ticket::Inner inner{};
        if (!ticket::unseal_krb_prv(a, v.session, inner)) {
            o.fail("a KRB_PRV length within the inner message", "a longer one", cause());
            return false;
        }
        const ticket::InnerView iv = ticket::read_inner(inner);
        if (ticket::is(iv.type, ticket::InnerType::APP_TERMINATE)) {
            ticket::Digest want{};
            common::mysha1(path.c_str(), want);
            if (wants_exact(c, static_cast<std::uint16_t>(Type::KRB_PRV))) {
                ticket::Inner w;
                ticket::build_app_terminate(w, want);
                check_exact(o, exact_envelope(*d, v.session, w, nullptr, chain));
            }
            const auto sent = wire::at<ticket::kInnerDigest>(std::as_const(inner));
            if ((c.checks & kDigest) != 0 && !std::equal(want.begin(), want.end(), sent.begin())) {
                o.fail(
                    fmt::format("the file's SHA-1 digest {:02x} in APP_TERMINATE",
                                fmt::join(want, "")),
                    fmt::format("digest {:02x}", fmt::join(sent, "")),
                    o.served > 0 ? "the digest computed once, not for each client" : std::string{});
            }
            break;
        }
        if (!ticket::is(iv.type, ticket::InnerType::APP_DATA)) {
            o.fail("APP_DATA or APP_TERMINATE", fmt::format("inner type {}", iv.type), cause());
            return false;
        }
        if (iv.data_length > ticket::kChunkSize) {
            o.fail("APP_DATA of at most 972 bytes", fmt::format("data length {}", iv.data_length));
            return false;
        }
        if (n > expected_chunks + 16) {
            o.fail("the file's chunks", fmt::format("more than {} chunks", n));
            return false;
        }
        if (wants_exact(c, static_cast<std::uint16_t>(Type::KRB_PRV))) {
            ticket::Inner w;
            ticket::build_app_data(w, static_cast<std::uint16_t>(n + 1), expected_chunk);
            check_exact(o, exact_envelope(*d, v.session, w, n > 0 ? &previous : nullptr, chain));
        }
        add_last_block(chain, *d, ticket::kPrvSealed.offset, ticket::kInnerSize);
        if ((c.checks & kIds) != 0 && iv.packet_id != static_cast<std::uint16_t>(n + 1)) {
            o.fail(fmt::format("packet id {}", n + 1), fmt::format("packet id {}", iv.packet_id),
                   n == 0 && o.served > 0
                       ? "the packet-id counter not set again for the next client"
                       : std::string{});
        }
        if ((c.checks & kIds) != 0 && n > 0 && iv.data_length > 0 &&
            ticket::read_inner(previous).data_length != ticket::kChunkSize) {
            o.fail(
                "every chunk but the last of 972 bytes",
                fmt::format("chunk {} of {} bytes", n, ticket::read_inner(previous).data_length));
        }
        const auto data = wire::at<ticket::kInnerData>(std::as_const(inner)).first(iv.data_length);
        got.insert(got.end(), data.begin(), data.end());
        previous = inner;
        ++n;
    }
    if ((c.checks & kChunks) != 0 && n != expected_chunks) {
        o.fail(fmt::format("{} APP_DATA for {} bytes (a file of a whole number of chunks ends with "
                           "an empty one)",
                           expected_chunks, file.size()),
               fmt::format("{} APP_DATA", n));
    }
    if (got != file) {
        const auto m = std::mismatch(file.begin(), file.end(), got.begin(), got.end());
        o.fail(fmt::format("the file of {} bytes", file.size()),
               fmt::format("{} bytes, first difference at byte {}", got.size(),
                           m.first - file.begin()),
               o.served > 0 ? "the file read once, not afresh for each client" : std::string{});
        return false;
    }
    return o.ok;
}

}  // namespace

void play_ticket_client(Scripted& s, const ScriptEnv& env, std::uint16_t server_port) {
    Talk talk(env, s);
    Outcome& o = s.o;
    const Case& c = env.c;
    const auto to = loopback(server_port);
    const auto sks = schedule_of(kServerKey);
    Bytes file = env.file;
    std::optional<Visit> earlier;  // the first client's Ticket, which the same-ticket story reuses
    for (int k = 0; k < c.clients && o.ok; ++k) {
        if (k > 0 && c.story == Story::file_changes) {
            // The next client must get the file as it is now.
            file = pattern(file.size() / 2 + 1000, static_cast<std::uint32_t>(k) + 77);
            write_file(env.file_path, file);
        }
        const Socket& sock =
            c.story == Story::third_address ? s.open(in_addr{htonl(kThirdAddress)}) : s.open();
        Visit v;
        const std::uint32_t now = now32();
        // In the expiry story the key runs out two seconds from now, after the AP_REP.
        std::uint32_t stamp = c.story == Story::expire_during ? now - ticket::kLifetime + 2
                                                              : talk.stamp(At::ap_req, now);
        const auto other = schedule_of(kOtherKey);
        const bool other_key = c.story == Story::ticket_other_key && k == 0;
        v.key =
            other_key ? key_refused_under(other, sks, id_of(kClientId), stamp) : seal::random_key();
        if (earlier && c.story == Story::same_ticket) {
            // The first client's Ticket again, still valid, with a fresh Authenticator.
            v.key = earlier->key;
            stamp = earlier->stamp;
        }
        v.stamp = stamp;
        if (!earlier) earlier = v;
        seal::make_schedule(v.key, v.session);
        v.validity = seal::validity_time(stamp, ticket::kLifetime);
        v.nonce = c.nonce != 0 ? c.nonce : now;
        const Bytes ap_req = build_ap_req(talk, v, other_key ? other : sks, stamp);
        const Reading ap_reading = other_key ? refuses(
                                                   "a Ticket sealed with another key: its "
                                                   "session key fails the key check",
                                                   0, false)
                                             : read_ap_req(ap_req, sks, now32());
        const bool changed = talk.changes(At::ap_req) || other_key;
        talk.deliver(At::ap_req, sock, ap_req, to, ap_reading);
        if (other_key) {
            o.delivered = true;
            o.reading = ap_reading;
        }

        const auto rep = talk.receive(sock, "waiting for AP_REP");
        if (changed) react_to(talk, rep, static_cast<std::uint16_t>(Type::AP_REP));
        if (!rep) {
            if (!changed) o.fail("an AP_REP", within(env.wait));
            return;
        }
        const auto ra = ticket::receive_area(*rep);
        const std::uint16_t rt = ticket::read_type(ra);
        if (ticket::is(rt, Type::AP_ERR)) {
            if (wants_exact(c, static_cast<std::uint16_t>(Type::AP_ERR)))
                check_exact(o, exact_server_ap_err(*rep));
            if (!changed) o.fail("an AP_REP", "AP_ERR");
            return;
        }
        if (!ticket::is(rt, Type::AP_REP)) {
            if (c.expect == Expect::observe) {
                o.notes = "answered " + ticket_type_text(rt);
            } else if (!changed) {
                o.fail("an AP_REP", ticket_type_text(rt));
            }
            return;
        }
        // What the server sealed or unsealed before each part it seals.
        Chain chain;
        add_last_block(chain, ap_req, ticket::kApReqTicket.offset, ticket::kTicketPlainSize);
        add_last_block(chain, ap_req, ticket::kApReqAuth.offset, ticket::kAuthSize);
        if (wants_exact(c, static_cast<std::uint16_t>(Type::AP_REP))) {
            check_exact(o, exact_ap_rep(*rep, v.session, v.nonce, chain));
        }
        add_last_block(chain, *rep, ticket::kApRepSealed.offset,
                       wire::load_be16(wire::at<ticket::kApRepLength>(ra)));
        if ((c.checks & kNonce) != 0) {
            const auto answer = ticket::read_ap_rep_answer(ra, v.session);
            const auto want = static_cast<std::int32_t>(v.nonce + 1);
            if (!answer || *answer != want) {
                o.fail(fmt::format("nonce answer {}", want),
                       answer ? fmt::format("nonce answer {}", *answer) : "an unreadable one");
            }
        }

        if (c.story == Story::expire_during) {
            if (!wait_expired(v.validity)) return;
        }
        if (c.story == Story::slow_peer) {
            wait_slowly(talk, sock, "its AP_REP");
            if (!o.ok) return;
        }
        // The request, from another socket when the story says so: the file must follow it.
        const Socket& req_sock = c.story == Story::other_port ? s.open() : sock;
        const Bytes request = build_request(talk, v);
        const bool req_changed = talk.changes(At::krb_prv);
        talk.deliver(At::krb_prv, req_sock, request, to,
                     read_request(request, v.session, v.validity, now32()));
        auto first = talk.receive(req_sock, "waiting for the first envelope");
        if (req_changed) react_to(talk, first, static_cast<std::uint16_t>(Type::KRB_PRV));
        if (!first) {
            if (!req_changed) {
                if (c.story == Story::other_port) {
                    if (auto stray = talk.receive(sock, "waiting for the first envelope")) {
                        o.fail("the file sent to the source of the KRB_PRV that asked for it",
                               "it went to the AP_REQ's source port",
                               "a reply sent to an earlier datagram's source");
                        return;
                    }
                }
                o.fail("the file's first envelope", within(env.wait));
            }
            return;
        }
        if (req_changed && (o.reading.allowed & kProceeds) == 0) return;
        add_last_block(chain, request, ticket::kPrvSealed.offset, ticket::kInnerSize);
        if (!receive_file(talk, req_sock, v, file, env.file_path, std::move(first), chain)) return;
        if (c.story == Story::other_port) {
            if (auto stray = talk.watch(sock); !stray.empty()) {
                o.fail("nothing sent to the AP_REQ's source once the KRB_PRV came from another",
                       fmt::format("{} datagrams went there", stray.size()),
                       "a reply sent to an earlier datagram's source");
                return;
            }
        }
        ++o.served;
    }
    o.finished = true;
}

}  // namespace peercheck
