// peercheck as a client of an authentication server under test: AS_REQ after AS_REQ, each
// answer checked as the case asks.

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

// Another loopback address than 127.0.0.1: the Ticket must carry whichever the AS_REQ came from.
constexpr in_addr_t kOtherSource = 0x7F000002;  // 127.0.0.2

// What a conforming authentication server makes of an AS_REQ: the type, then both 40-byte ID
// fields compared whole with its own.
Reading read_as_req(const Bytes& d, const ticket::Id& client, const ticket::Id& server) {
    const auto rx = ticket::receive_area(d);
    const std::uint16_t type = ticket::read_type(rx);
    if (!ticket::is(type, Type::AS_REQ))
        return Reading{kRefuses, ticket_type_text(type) + ": no AS_REQ"};
    const auto cid = wire::at<ticket::kAsReqClientId>(rx);
    const auto sid = wire::at<ticket::kAsReqServerId>(rx);
    if (!std::equal(cid.begin(), cid.end(), client.begin()) ||
        !std::equal(sid.begin(), sid.end(), server.begin())) {
        return Reading{kRefuses, "an AS_REQ whose ID fields differ from the configured ones",
                       static_cast<std::uint16_t>(Type::AS_ERR)};
    }
    return Reading{kProceeds, "a valid AS_REQ"};
}

}  // namespace

void play_as_client(Scripted& s, const ScriptEnv& env, std::uint16_t gatekeep_port) {
    Talk talk(env, s);
    Outcome& o = s.o;
    const Case& c = env.c;
    const auto to = loopback(gatekeep_port);
    const auto cks = schedule_of(kClientKey), sks = schedule_of(kServerKey);
    // The IDs the server was given, and those the AS_REQ carries.
    const ticket::Id client = id_of(c.impl_client_id.empty() ? kClientId : c.impl_client_id);
    const ticket::Id server = id_of(kServerId);
    std::vector<seal::Key> keys;
    const Socket& first = s.open();
    for (int k = 0; k < c.clients && o.ok; ++k) {
        const bool other_source = c.story == Story::third_address;
        const Socket& sock = other_source ? s.open(in_addr{htonl(kOtherSource)})
                             : k > 0 && c.story == Story::other_port ? s.open()
                                                                     : first;
        std::array<std::uint8_t, ticket::kAsReqSize> built;
        ticket::build_as_req(built, client, server);
        const Bytes req = talk.tamper(At::as_req, Bytes(built.begin(), built.end()));
        const bool changed = talk.changes(At::as_req);
        const Reading r = read_as_req(req, client, server);
        talk.deliver(At::as_req, sock, req, to, r);
        const auto rep = talk.receive(sock, "waiting for AS_REP");
        if (changed) {
            if (!rep) {
                talk.react_to_silence();
            } else {
                const std::uint16_t t = ticket::read_type(ticket::receive_area(*rep));
                talk.react(ticket::is(t, Type::AS_REP)   ? kProceeds
                           : ticket::is(t, Type::AS_ERR) ? kRefuses
                                                         : 0u,
                           "answered " + ticket_type_text(t));
            }
        }
        if (!rep) {
            if (c.expect == Expect::observe) {
                o.notes = within(env.wait);
            } else if (!changed) {
                if (k > 0 && c.story == Story::other_port &&
                    talk.receive(first, "a stray answer")) {
                    return o.fail("the AS_REP sent to the source of the AS_REQ it answers",
                                  "it went to the first AS_REQ's source",
                                  "a reply sent to an earlier datagram's source");
                }
                o.fail("an AS_REP", within(env.wait));
            }
            return;
        }
        const auto a = ticket::receive_area(*rep);
        const std::uint16_t type = ticket::read_type(a);
        if (c.expect == Expect::observe) {
            o.notes = "answered " + ticket_type_text(type);
            return;
        }
        if (ticket::is(type, Type::AS_ERR)) {
            if (wants_exact(c, static_cast<std::uint16_t>(Type::AS_ERR))) {
                check_exact(o, exact_as_err(*rep, wire::at<ticket::kAsReqClientId>(
                                                      ticket::receive_area(req))));
            }
            if (!changed) o.fail("an AS_REP", "AS_ERR");
            return;
        }
        if (!ticket::is(type, Type::AS_REP)) {
            if (!changed) o.fail("an AS_REP", ticket_type_text(type));
            return;
        }
        ticket::Address source{};
        const in_addr_t src = htonl(other_source ? kOtherSource : INADDR_LOOPBACK);
        std::memcpy(source.data(), &src, 4);
        if (wants_exact(c, static_cast<std::uint16_t>(Type::AS_REP))) {
            check_exact(o, exact_as_rep(*rep, AsFacts{cks, sks, client, server, source, now32()}));
        }
        if ((c.checks & kFreshKeys) != 0) {
            ticket::BodyArea body{};
            ticket::unseal_as_rep_body(a, cks, body);
            seal::Key key{};
            std::ranges::copy(wire::at<ticket::kBodySessionKey>(std::as_const(body)), key.begin());
            if (std::find(keys.begin(), keys.end(), key) != keys.end()) {
                return o.fail("a fresh session key for every AS_REQ", "a session key seen before",
                              "the session key made once, not for each AS_REQ");
            }
            keys.push_back(key);
        }
        ++o.served;
    }
    o.finished = true;
}

}  // namespace peercheck
