// gatekeep: the authentication server. For every AS_REQ naming its one client and its one server
// it makes a fresh session key and answers an AS_REP holding a Ticket for the server.

#include <netinet/in.h>

#include <array>
#include <cstring>
#include <ctime>

#include "out.h"
#include "seal.h"
#include "steps.h"
#include "ticket_msg.h"
#include "udp.h"

namespace {

struct Keys {
    seal::Schedule client;
    seal::Schedule server;
};

// Fed once to the random generator at start-up: 63 characters and the terminating zero. The
// operating system has already seeded the generator; this text only adds to it.
constexpr char kSeedText[] = "gatekeep: one fresh DES session key for every ticket it issues.";
static_assert(sizeof kSeedText == 64);

gatekeep::Settings parse_args_or_exit(int argc, char** argv) {
    const gatekeep::ParsedArgs parsed = gatekeep::parse_args(argc, argv);
    if (parsed.settings) return *parsed.settings;
    if (parsed.error == gatekeep::ArgsError::usage) {
        out::say(
            "usage: gatekeep <gatekeeperport> <clientID> <clientkey> <serverID> <serverkey>\n");
        out::quit();
    }
    out::set_debug(parsed.debug);
    out::fail("client ID and server ID must not be longer than 40 characters\n");
}

// The server key is checked first.
Keys check_keys_or_fail(const gatekeep::Settings& s) {
    Keys keys;
    if (seal::make_schedule(s.server_key, keys.server) != 0) {
        out::fail("Incorrect predefined server key \n");
    }
    if (seal::make_schedule(s.client_key, keys.client) != 0) {
        out::fail("Incorrect predefined client key \n");
    }
    return keys;
}

void seed_generator() {
    seal::seed_random(
        std::span(reinterpret_cast<const std::uint8_t*>(kSeedText), sizeof kSeedText));
}

void await_as_req(const udp::UdpSocket& sock, ticket::RecvArea& rx, sockaddr_in& peer) {
    rx.fill(0);
    if (!udp::receive(sock, rx, &peer)) out::fail("error receiving packet\n");
}

// Anything but an AS_REQ ends the server silently; wrong IDs are answered with AS_ERR first.
void check_ids_or_refuse(const udp::UdpSocket& sock, const ticket::RecvArea& rx,
                         const sockaddr_in& peer, const gatekeep::Settings& s) {
    const gatekeep::Request request = gatekeep::classify(rx, s.client, s.server);
    if (request == gatekeep::Request::not_as_req) {
        out::debug("First packet is not AS_REQ\n");
        out::debug("I'm receiving packet type = %d\n", ticket::read_type(rx));
        out::fail();
    }
    out::debug("AS_REQ received\n");
    if (request == gatekeep::Request::as_req) {
        out::debug("Client and Server IDs correct\n");
        return;
    }
    const auto got_client = wire::at<ticket::kAsReqClientId>(rx);
    const auto got_server = wire::at<ticket::kAsReqServerId>(rx);
    out::debug("Client or server info is wrong. Im receiving client = %.*s and server = %.*s\n",
               wire::text_length(got_client), got_client.data(), wire::text_length(got_server),
               got_server.data());
    const std::span<const std::uint8_t, ticket::kIdSize> client(s.client), server(s.server);
    out::debug("But Im expecting client = %.*s and server = %.*s\n", wire::text_length(client),
               client.data(), wire::text_length(server), server.data());
    out::debug("Sending AS_ERR back to client\n");
    std::array<std::uint8_t, ticket::kAsErrSize> as_err;
    ticket::build_as_err(as_err, got_client);
    if (!udp::send_to(sock, as_err, peer)) out::debug("Error - packet size too long\n");
    out::fail();
}

ticket::Key make_session_key_or_fail() {
    const ticket::Key key = seal::random_key();
    seal::Schedule unused;
    const bool accepted = seal::make_schedule(key, unused) == 0;
    if (!accepted) out::debug("Wrong session key generated\n");
    out::debug("Session key generated:\t");
    out::debug_bytes(key);
    out::debug("\n");
    if (!accepted) out::fail();
    return key;
}

void send_as_rep(const udp::UdpSocket& sock, const sockaddr_in& peer, const gatekeep::Settings& s,
                 const Keys& keys, const ticket::Key& session_key) {
    ticket::TicketFacts facts{session_key, s.client, {}, s.server, 0};
    static_assert(sizeof peer.sin_addr.s_addr == 4);
    std::memcpy(facts.client_addr.data(), &peer.sin_addr.s_addr, 4);  // network order, as received
    out::debug("client ip address in network byte order  = %u\n",
               wire::load_host32(facts.client_addr));
    const auto now = static_cast<std::uint32_t>(std::time(nullptr));
    out::debug("timestamp before substracting %d seconds = %u\n", s.back_dating, now);
    facts.timestamp = gatekeep::issue_timestamp(now, s.back_dating);
    out::debug("timestamp for session key = %u\n", facts.timestamp);
    std::array<std::uint8_t, ticket::kAsRepSize> as_rep;
    ticket::build_as_rep(as_rep, facts, keys.server, keys.client);
    if (!udp::send_to(sock, as_rep, peer)) out::fail("Error - packet size too long\n");
    out::debug("Sending AS_REP message\n");
}

}  // namespace

int main(int argc, char** argv) {
    out::init();
    const gatekeep::Settings s = parse_args_or_exit(argc, argv);
    out::set_debug(s.debug);
    const udp::UdpSocket sock = udp::open_bound_or_fail(s.port);
    const Keys keys = check_keys_or_fail(s);
    seed_generator();
    ticket::RecvArea rx{};  // reused for every request
    sockaddr_in peer{};     // source of the AS_REQ being answered
    for (;;) {
        await_as_req(sock, rx, peer);
        check_ids_or_refuse(sock, rx, peer, s);
        const ticket::Key session_key = make_session_key_or_fail();
        send_as_rep(sock, peer, s, keys, session_key);
        out::say("OK\n");
    }
}
