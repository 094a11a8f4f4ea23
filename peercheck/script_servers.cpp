// peercheck as gatekeep and server for a ticket-protocol client under test: one step per
// message, as the client meets them, each reading what a conforming client makes of the
// datagram it is sent.

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <cstring>
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

Reading choice(std::string text) { return Reading{kProceeds | kRefuses, std::move(text), 0, true}; }
Reading proceeds(std::string text) { return Reading{kProceeds, std::move(text), 0, true}; }

// The datagram's bytes beyond what arrived are zero in the receiver's area; a length field that
// asks for more sealed bytes than arrived may be refused for that alone.
bool beyond_arrived(const Bytes& d, std::size_t sealed_offset, std::size_t length) {
    return sealed_offset + seal::rounded(length) > d.size();
}

// What the client has been told, and what it holds once the AS_REP is accepted.
struct Client {
    ticket::Id server = id_of(kServerId);
    seal::Schedule session{};
    std::uint32_t validity = 0;
    std::uint32_t nonce = 0;
    std::uint16_t last_id = 0;
    Bytes written;
    bool ended = false;
};

// `body` is the AS_REP's body as the client's key unseals it.
Reading read_as_rep(const Bytes& d, const ticket::BodyArea& body, Client& cl, std::uint32_t now) {
    const auto rx = ticket::receive_area(d);
    const std::uint16_t type = ticket::read_type(rx);
    if (ticket::is(type, Type::AS_ERR)) return refuses("an AS_ERR");
    if (!ticket::is(type, Type::AS_REP)) return refuses(ticket_type_text(type) + ": no AS_REP");
    const std::uint16_t length = wire::load_be16(wire::at<ticket::kAsRepLength>(rx));
    if (length > ticket::kBodySealedSize) {
        return choice(fmt::format("an AS_REP whose length {} exceeds the body area", length));
    }
    const auto key = wire::at<ticket::kBodySessionKey>(body);
    if (seal::make_schedule(key, cl.session) != 0) {
        return refuses(
            fmt::format("an AS_REP of length {} whose session key fails the key check", length));
    }
    const auto sid = wire::at<ticket::kBodyServerId>(body);
    if (!std::equal(sid.begin(), sid.end(), cl.server.begin())) {
        return refuses("an AS_REP naming another server ID");
    }
    const std::uint32_t stamp = wire::load_le32(wire::at<ticket::kBodyTimestamp>(body));
    const std::uint16_t life = wire::load_be16(wire::at<ticket::kBodyLifetime>(body));
    cl.validity = seal::validity_time(stamp, life);
    if (!seal::still_valid(now, cl.validity)) {
        return refuses(fmt::format("an AS_REP whose key expired at {} (now {})", cl.validity, now));
    }
    const std::uint16_t tl =
        wire::load_be16(wire::at<ticket::kBodyTicketLength>(std::as_const(body)));
    if (tl > ticket::kTicketSealedSize) {
        return choice(
            fmt::format("an AS_REP body whose ticket length {} exceeds the Ticket area", tl));
    }
    if (beyond_arrived(d, ticket::kAsRepBody.offset, length)) {
        return choice("a valid AS_REP whose length field asks for more bytes than arrived");
    }
    return proceeds("a valid AS_REP");
}

Reading read_ap_rep(const Bytes& d, const Client& cl, std::uint32_t now) {
    const auto rx = ticket::receive_area(d);
    const std::uint16_t type = ticket::read_type(rx);
    if (!ticket::is(type, Type::AP_REP)) return refuses(ticket_type_text(type) + ": no AP_REP");
    if (!seal::still_valid(now, cl.validity)) return refuses("an AP_REP after the key expired");
    const std::uint16_t length = wire::load_be16(wire::at<ticket::kApRepLength>(rx));
    if (length > ticket::kAnswerAreaSize) {
        Reading r =
            choice(fmt::format("an AP_REP whose length {} exceeds the answer area", length));
        r.reply = static_cast<std::uint16_t>(Type::AP_ERR);
        r.reply_optional = true;
        return r;
    }
    // Read as a client reads it: a decimal number up to the first zero byte or the length's end.
    const auto n = static_cast<std::uint32_t>(*ticket::read_ap_rep_answer(rx, cl.session));
    const auto wrong = static_cast<std::uint16_t>(Type::AP_ERR);
    if (n != cl.nonce + 1) {
        Reading r = refuses(fmt::format("an AP_REP answering {} to nonce {}", n, cl.nonce), wrong);
        // A length beyond what arrived may be refused as a wrong packet, without AP_ERR.
        r.reply_optional = beyond_arrived(d, ticket::kApRepSealed.offset, length);
        return r;
    }
    if (beyond_arrived(d, ticket::kApRepSealed.offset, length)) {
        Reading r = choice(
            fmt::format("the right answer under a length {} beyond the sealed bytes", length));
        r.reply = static_cast<std::uint16_t>(Type::AP_ERR);
        r.reply_optional = true;
        return r;
    }
    return proceeds("the right answer");
}

// An envelope of the transfer. A conforming client writes what an accepted APP_DATA holds; the
// reading of an accepted envelope is final only at APP_TERMINATE, where the digest tells.
Reading read_envelope_alive(const Bytes& d, Client& cl, std::uint32_t now, bool& terminate) {
    terminate = false;
    const auto rx = ticket::receive_area(d);
    const std::uint16_t type = ticket::read_type(rx);
    if (ticket::is(type, Type::AP_ERR)) return refuses("an AP_ERR in place of an envelope");
    if (!ticket::is(type, Type::KRB_PRV)) return refuses(ticket_type_text(type) + ": no KRB_PRV");
    if (!seal::still_valid(now, cl.validity)) return refuses("an envelope after the key expired");
    const std::uint16_t length = wire::load_be16(wire::at<ticket::kPrvLength>(rx));
    bool may_refuse = length > ticket::kInnerSize;
    ticket::Inner inner{};
    seal::unseal(wire::at<ticket::kPrvSealed>(rx),
                 std::min<std::size_t>(length, ticket::kInnerSize), cl.session, inner);
    const ticket::InnerView v = ticket::read_inner(inner);
    if (ticket::is(v.type, ticket::InnerType::APP_TERMINATE)) {
        terminate = true;
        const auto sent = wire::at<ticket::kInnerDigest>(std::as_const(inner));
        const ticket::Digest mine = sha1_of(cl.written);
        if (!std::equal(mine.begin(), mine.end(), sent.begin())) {
            return refuses(
                fmt::format("APP_TERMINATE whose digest is not that of the {} bytes "
                            "written",
                            cl.written.size()));
        }
        Reading r = proceeds("APP_TERMINATE with the digest of the file written");
        if (may_refuse) r.allowed |= kRefuses;
        return r;
    }
    if (!ticket::is(v.type, ticket::InnerType::APP_DATA)) {
        return refuses(fmt::format("inner type {}: neither APP_DATA nor APP_TERMINATE", v.type));
    }
    if (v.packet_id != static_cast<std::uint16_t>(cl.last_id + 1U)) {
        return refuses(fmt::format("APP_DATA id {} after id {}", v.packet_id, cl.last_id));
    }
    may_refuse = may_refuse || v.data_length > ticket::kChunkSize ||
                 beyond_arrived(d, ticket::kPrvSealed.offset, length);
    cl.last_id = v.packet_id;
    const auto data = wire::at<ticket::kInnerData>(std::as_const(inner));
    const std::size_t n = std::min<std::size_t>(v.data_length, data.size());
    cl.written.insert(cl.written.end(), data.begin(),
                      data.begin() + static_cast<std::ptrdiff_t>(n));
    Reading r = proceeds(fmt::format("APP_DATA id {} of {} bytes", v.packet_id, v.data_length));
    if (may_refuse) r.allowed |= kRefuses;
    return r;
}

// Once a conforming client has refused an envelope it has ended: nothing after it is written.
Reading read_envelope(const Bytes& d, Client& cl, std::uint32_t now, bool& terminate) {
    if (cl.ended) {
        terminate = false;
        return refuses("an envelope after the client ended");
    }
    Reading r = read_envelope_alive(d, cl, now, terminate);
    if ((r.allowed & kProceeds) == 0) cl.ended = true;
    return r;
}

}  // namespace

namespace {

// The AS_REP: a Ticket sealed with the server key inside a body sealed with the client key, each
// plain record open to the case's change before it is sealed.
Bytes build_as_rep(Talk& talk, const seal::Key& key, const ticket::Id& client, std::uint32_t stamp,
                   const seal::Schedule& server_key, const seal::Schedule& client_key) {
    const ticket::TicketFacts facts{key, client, kLoopbackBytes, id_of(kServerId), stamp};
    std::array<std::uint8_t, ticket::kTicketPlainSize> tk;
    ticket::build_ticket(tk, facts);
    talk.tamper(At::as_rep, Part::ticket, tk);
    std::array<std::uint8_t, ticket::kBodyPlainSize> body;
    ticket::build_body(body, facts, tk, server_key);
    talk.tamper(At::as_rep, Part::body, body);
    std::array<std::uint8_t, ticket::kAsRepSize> rep;
    ticket::seal_as_rep(rep, body, client_key);
    return talk.tamper(At::as_rep, as_bytes(rep));
}

Bytes build_ap_rep(Talk& talk, std::int32_t answer, const seal::Schedule& session) {
    // The answer's text: "%d" of the number, or the case's own form of it.
    std::string written = talk.answer_format(At::ap_rep);
    if (const auto at = written.find("%d"); at != std::string::npos) {
        written.replace(at, 2, std::to_string(answer));
    }
    std::array<std::uint8_t, ticket::kApRepSealed.size> text{};
    const std::size_t n = std::min(written.size(), text.size() - 1);
    std::copy_n(written.begin(), n, text.begin());
    const std::uint16_t length = seal::length_field(n);
    talk.tamper(At::ap_rep, Part::answer_text, text);
    std::array<std::uint8_t, ticket::kApRepSize> rep{};
    wire::store_be16(wire::at<ticket::kType>(rep), static_cast<std::uint16_t>(Type::AP_REP));
    wire::store_be16(wire::at<ticket::kApRepLength>(rep), length);
    seal::seal(text, length, session, wire::at<ticket::kApRepSealed>(rep));
    return talk.tamper(At::ap_rep, as_bytes(rep));
}

Bytes build_envelope(Talk& talk, At at, ticket::Inner& inner, const seal::Schedule& session) {
    talk.tamper(at, Part::inner, inner);
    std::array<std::uint8_t, ticket::kPrvSize> prv;
    ticket::build_krb_prv(prv, inner, session);
    return talk.tamper(at, as_bytes(prv));
}

// An AP_ERR naming no client.
Bytes bare_ap_err() {
    std::array<std::uint8_t, ticket::kApErrSize> e;
    ticket::build_ap_err(e, nullptr);
    return as_bytes(e);
}

// What the client did after the changed AS_REP or AP_REP: its next request means it went on, an
// AP_ERR or its end that it refused.
void react_to(Talk& talk, const std::optional<Bytes>& got) {
    if (!got) {
        const bool ended = talk.ended();
        return talk.react(ended ? kRefuses : kWaits, ended ? "ended" : "waited");
    }
    const std::uint16_t t = ticket::read_type(ticket::receive_area(*got));
    talk.react(ticket::is(t, Type::AP_ERR) ? kRefuses : kProceeds, "sent " + ticket_type_text(t));
}

}  // namespace

void play_ticket_servers(Scripted& s, const ScriptEnv& env) {
    Talk talk(env, s);
    Outcome& o = s.o;
    const Case& c = env.c;
    const Socket& gk = *s.sockets.at(0);
    const Socket& srv = *s.sockets.at(1);
    // Replies come from other ports than the requests went to when the story says so.
    const Socket& gk_out = c.story == Story::other_port ? s.open() : gk;
    const Socket& srv_out = c.story == Story::other_port ? s.open() : srv;
    Client cl;
    const auto cks = schedule_of(kClientKey), sks = schedule_of(kServerKey);

    sockaddr_in as_from{};
    const auto req = talk.receive(gk, "waiting for AS_REQ", &as_from);
    if (!req) return o.fail("an AS_REQ", within(env.wait));
    const auto rq = ticket::receive_area(*req);
    ticket::Id client_id{};
    std::ranges::copy(wire::at<ticket::kAsReqClientId>(rq), client_id.begin());
    if (c.expect == Expect::observe) {
        o.notes = fmt::format(
            "AS_REQ client ID field: \"{}\" ({} characters)",
            std::string(client_id.begin(),
                        client_id.begin() +
                            wire::text_length(std::span<const std::uint8_t, 40>(client_id))),
            wire::text_length(std::span<const std::uint8_t, 40>(client_id)));
    }
    if (wants_exact(c, static_cast<std::uint16_t>(Type::AS_REQ))) {
        check_exact(o, exact_as_req(*req, id_of(kClientId), id_of(kServerId)));
    }
    if (c.story == Story::as_err_for_as_rep) {
        std::array<std::uint8_t, ticket::kAsErrSize> err;
        ticket::build_as_err(err, wire::at<ticket::kAsReqClientId>(rq));
        return talk.deliver(At::as_rep, gk_out, talk.tamper(At::as_rep, as_bytes(err)), as_from,
                            refuses("an AS_ERR"));
    }

    if (c.story == Story::slow_peer) wait_slowly(talk, gk, "its AS_REQ");
    if (!o.ok) return;
    const seal::Key key = seal::random_key();
    const std::uint32_t now = now32();
    // In the expiry stories the key runs out a few seconds from now: it is valid when AS_REP
    // arrives, and each story waits for its end where it needs it.
    const bool runs_out = c.story == Story::expire_during || c.story == Story::expire_at_ap_rep ||
                          c.story == Story::expire_midway;
    const std::uint32_t stamp =
        runs_out ? now - ticket::kLifetime + (c.story == Story::expire_midway ? 3 : 2)
                 : talk.stamp(At::as_rep, now);
    const Bytes as_rep = build_as_rep(talk, key, client_id, stamp, sks, cks);
    ticket::BodyArea body{};
    ticket::unseal_as_rep_body(ticket::receive_area(as_rep), cks, body);
    const Reading as_reading = read_as_rep(as_rep, body, cl, now32());
    // Whatever the changed AS_REP holds, the run goes on with the key this side chose.
    seal::make_schedule(key, cl.session);
    cl.validity = seal::validity_time(stamp, ticket::kLifetime);
    talk.deliver(At::as_rep, gk_out, as_rep, as_from, as_reading);

    sockaddr_in from{};
    const auto ap = talk.receive(srv, "waiting for AP_REQ", &from);
    react_to(talk, ap);
    if (!ap) return;
    const auto apa = ticket::receive_area(*ap);
    if (!ticket::is(ticket::read_type(apa), Type::AP_REQ)) {
        return o.fail("an AP_REQ", ticket_type_text(ticket::read_type(apa)));
    }
    // What the client sealed or unsealed before each part it seals: a chained IV comes from these.
    Chain chain;
    add_last_block(chain, as_rep, ticket::kAsRepBody.offset, ticket::kBodySealedSize);
    if (wants_exact(c, static_cast<std::uint16_t>(Type::AP_REQ)) && env.host) {
        check_exact(
            o, exact_ap_req(*ap, body, id_of(kClientId), *env.host, cl.session, now32(), chain));
    }
    add_last_block(chain, *ap, ticket::kApReqAuth.offset, ticket::kAuthSize);
    {
        // The nonce, read as a server would: the Authenticator from its own offset, 48 bytes.
        ticket::AuthArea auth{};
        seal::unseal(wire::at<ticket::kApReqAuth>(apa), ticket::kAuthSize, cl.session, auth);
        cl.nonce = wire::load_le32(wire::at<ticket::kAuthNonce>(std::as_const(auth)));
    }

    if (c.story == Story::ap_err_for_ap_rep) {
        return talk.deliver(At::ap_rep, srv_out, talk.tamper(At::ap_rep, bare_ap_err()), from,
                            refuses("an AP_ERR in place of AP_REP"));
    }
    if (c.story == Story::expire_at_ap_rep) {
        if (!wait_expired(cl.validity)) return;
    }
    const auto answer = static_cast<std::int32_t>(
        cl.nonce + 1 + static_cast<std::uint32_t>(talk.answer_offset(At::ap_rep)));
    const Bytes ap_rep = build_ap_rep(talk, answer, cl.session);
    talk.deliver(At::ap_rep, srv_out, ap_rep, from, read_ap_rep(ap_rep, cl, now32()));
    add_last_block(chain, ap_rep, ticket::kApRepSealed.offset,
                   wire::load_be16(wire::at<ticket::kApRepLength>(ticket::receive_area(ap_rep))));

    const auto rq2 = talk.receive(srv, "waiting for the KRB_PRV asking for the file", &from);
    react_to(talk, rq2);
    if (!rq2) return;
    const std::uint16_t t2 = ticket::read_type(ticket::receive_area(*rq2));
    if (ticket::is(t2, Type::AP_ERR)) {
        if (wants_exact(c, static_cast<std::uint16_t>(Type::AP_ERR))) {
            check_exact(o, exact_client_ap_err(*rq2, id_of(kClientId)));
        }
        o.waiting_at = "answered by an AP_ERR: the client refused the AP_REP";
        return;
    }
    if (!ticket::is(t2, Type::KRB_PRV))
        return o.fail("a KRB_PRV asking for the file", ticket_type_text(t2));
    if (wants_exact(c, static_cast<std::uint16_t>(Type::KRB_PRV))) {
        check_exact(o, exact_request(*rq2, cl.session, chain));
    }

    if (c.story == Story::expire_during) {
        // The AS_REP's key runs out now: every envelope arrives after it expired.
        if (!wait_expired(cl.validity)) return;
    }
    if (c.story == Story::ap_err_for_data) {
        return talk.deliver(At::app_data, srv_out, talk.tamper(At::app_data, bare_ap_err()), from,
                            refuses("an AP_ERR in place of the first envelope"));
    }
    // Each envelope as a conforming client reads it. A changed envelope the client takes is
    // judged by how the client ends: data read wrong shows only in the digest at the end.
    bool pending = false;
    unsigned fate = 0;
    const auto envelope = [&](At at, ticket::Inner& inner) {
        const bool changed = talk.changes(at);
        const Bytes d = build_envelope(talk, at, inner, cl.session);
        if (changed) o.kept_on_refusal.push_back(cl.written);
        bool terminate = false;
        const Reading r = read_envelope(d, cl, now32(), terminate);
        if (changed) {
            pending = (r.allowed & kProceeds) != 0 && !cl.ended && !terminate;
            fate = pending ? r.allowed & ~kProceeds : r.allowed;
            if (terminate) o.kept_on_refusal.push_back(cl.written);
        } else if (pending && (cl.ended || terminate)) {
            fate |= r.allowed;
            pending = false;
            o.kept_on_refusal.push_back(cl.written);
        }
        talk.deliver(at, srv_out, d, from, r);
    };
    const std::size_t size = env.file.size();
    const std::size_t chunks =
        c.story == Story::terminate_first ? 0 : size / ticket::kChunkSize + 1;
    std::uint16_t id = 0;
    ticket::Inner inner;
    for (std::size_t i = 0; i < chunks; ++i) {
        const std::size_t offset = i * ticket::kChunkSize;
        const std::size_t n = std::min(ticket::kChunkSize, size - offset);
        ticket::build_app_data(inner, ++id, std::span(env.file).subspan(offset, n));
        if (i == 1 && c.story == Story::expire_midway) {
            if (!wait_expired(cl.validity)) return;
        }
        envelope(At::app_data, inner);
        if (i == 0 && c.story == Story::empty_chunk_inside) {
            ticket::build_app_data(inner, ++id, {});
            envelope(At::app_data, inner);
        }
    }
    ticket::Digest digest{};
    common::mysha1(env.file_path.c_str(), digest);
    ticket::build_app_terminate(inner, digest);
    envelope(At::app_terminate, inner);
    if (o.delivered && !o.reaction) {
        o.reading.allowed = fate | (pending ? kProceeds : 0u);
    }
    o.written = cl.written;
    o.finished = true;
}

}  // namespace peercheck
