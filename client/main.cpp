// client: one ticket-protocol run. It obtains a session key and a Ticket from gatekeep, proves
// itself to server with the Ticket and a fresh Authenticator, checks the answer to its nonce,
// receives the file in sealed envelopes and compares the file's digest with the server's.

#include <netinet/in.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <ctime>
#include <limits>
#include <utility>

#include "file.h"
#include "helpers.h"
#include "out.h"
#include "seal.h"
#include "steps.h"
#include "ticket_msg.h"
#include "udp.h"

namespace {

// The server sends its envelopes back to back; one large stdio buffer turns the 972-byte chunks
// into few writes.
constexpr std::size_t kWriteBuffer = 1 << 18;

// Nothing paces the server, so while this client is kept off the processor the envelopes wait in
// the socket's queue; a full queue drops them and the transfer fails. The queue is asked for as
// large as the kernel accepts a request (it doubles the value; without privilege it caps it at its
// maximum). Each queued envelope counts about twice its size, so 128 MiB held only about 55 MB of
// file data: a 3-second stall of a 256 MiB transfer overran it. Memory is taken only as envelopes
// actually wait.
constexpr int kReceiveBuffer = std::numeric_limits<int>::max() / 2;

struct Endpoints {
    sockaddr_in gatekeep{};
    sockaddr_in server{};
    udp::UdpSocket as_sock;
    udp::UdpSocket server_sock;
};

// What the accepted AS_REP leaves for the rest of the run.
struct Session {
    seal::Schedule key;
    std::uint32_t validity = 0;
};

std::uint32_t now() noexcept { return static_cast<std::uint32_t>(std::time(nullptr)); }

client::Settings parse_args_or_exit(int argc, char** argv) {
    const client::ParsedArgs parsed = client::parse_args(argc, argv);
    if (parsed.settings) return *parsed.settings;
    if (parsed.error == client::ArgsError::usage) {
        out::say(
            "usage: client <gatekeepername> <gatekeeperport> <gatekeeperkey> <servername> "
            "<serverport> <output file> <clientID> <serverID>\n");
        out::quit();
    }
    out::set_debug(parsed.debug);
    out::fail("client ID and server ID must not be longer than 40 characters\n");
}

// Both names are resolved and both sockets opened before the client key is looked at. Neither
// socket is bound: each gets its port from the system when it first sends.
Endpoints open_endpoints_or_fail(const client::Settings& s) {
    Endpoints e;
    const auto gatekeep = udp::resolve(s.gatekeep_name, s.gatekeep_port);
    if (!gatekeep) out::fail("wrong authentication server name\n");
    e.gatekeep = *gatekeep;
    e.as_sock = udp::open_socket();
    if (!e.as_sock.valid()) out::fail("Error while opening AS socket\n");
    const auto server = udp::resolve(s.server_name, s.server_port);
    if (!server) out::fail("wrong application server name\n");
    e.server = *server;
    e.server_sock = udp::open_socket();
    if (!e.server_sock.valid()) out::fail("Error while opening server socket\n");
    // The envelopes arrive back to back while the client unseals and writes: a deep queue keeps
    // them from being dropped.
    udp::raise_receive_buffer(e.server_sock, kReceiveBuffer);
    return e;
}

seal::Schedule check_client_key_or_fail(const ticket::Key& key) {
    seal::Schedule schedule;
    if (seal::make_schedule(key, schedule) != 0) out::fail("Incorrect predefined gatekeeper key\n");
    return schedule;
}

void send_or_fail(const udp::UdpSocket& sock, std::span<const std::uint8_t> bytes,
                  const sockaddr_in& to) {
    if (!udp::send_to(sock, bytes, to)) out::fail("Error - packet size too long\n");
}

void receive_or_fail(const udp::UdpSocket& sock, ticket::RecvArea& rx) {
    rx.fill(0);
    if (!udp::receive(sock, rx)) out::fail("error receiving packet\n");
}

void send_as_req(const Endpoints& e, const client::Settings& s) {
    std::array<std::uint8_t, ticket::kAsReqSize> as_req;
    ticket::build_as_req(as_req, s.client, s.server);
    send_or_fail(e.as_sock, as_req, e.gatekeep);
}

void print_session_key(const ticket::BodyArea& body) {
    out::debug("Session key received:\t");
    out::debug_bytes(wire::at<ticket::kBodySessionKey>(body));
    out::debug("\n");
}

Session receive_as_rep(const Endpoints& e, ticket::RecvArea& rx, const client::Settings& s,
                       const seal::Schedule& client_key, ticket::BodyArea& body) {
    receive_or_fail(e.as_sock, rx);
    const std::uint32_t t = now();
    const client::AsReply r = client::check_as_reply(rx, client_key, s.server, t, body);
    using V = client::AsVerdict;
    if (r.verdict == V::as_err) out::fail("AS_ERR received - from Authentication Server\n");
    if (r.verdict == V::unexpected_type) {
        out::debug("Expecting AS_REP or AS_ERR\n");
        out::debug("I'm receiving packet type = %d\n", r.type);
        out::fail();
    }
    out::debug("AS_REP received\n");
    if (r.verdict == V::bad_length) {
        out::debug("Wrong packet: AS_REP length = %u\n",
                   wire::load_be16(wire::at<ticket::kAsRepLength>(rx)));
        out::fail();
    }
    if (r.verdict == V::key_rejected) {
        out::debug("Wrong session key received\n");
        print_session_key(body);
        out::fail();
    }
    print_session_key(body);
    if (r.verdict == V::wrong_server_id) {
        const auto id = wire::at<ticket::kBodyServerId>(std::as_const(body));
        out::debug("Server ID of application server is worng = %.*s\n", wire::text_length(id),
                   id.data());
        out::fail();
    }
    out::debug("Server ID of application server is correct\n");
    if (r.verdict == V::bad_ticket_length) {
        out::debug("Wrong packet: ticket length = %u\n",
                   wire::load_be16(wire::at<ticket::kBodyTicketLength>(std::as_const(body))));
        out::fail();
    }
    if (r.verdict == V::expired) {
        out::debug("Session key has expired\n");
        out::debug("timestamp = %u, lifetime = %u, currtime = %u \n", r.timestamp, r.lifetime, t);
        out::fail();
    }
    out::debug("Session key still valid\n");
    return {r.session, r.validity};
}

client::AuthFields make_authenticator_or_fail(const client::Settings& s) {
    const ticket::Id sent_id = client::auth_client_id(s);
    const std::span<const std::uint8_t, ticket::kIdSize> own(s.client), sent(sent_id);
    if (s.replacement != nullptr) {
        out::debug("client ID before changing is %.*s\n", wire::text_length(own), own.data());
    }
    out::debug("client ID sent to server is %.*s\n", wire::text_length(sent), sent.data());
    const auto addr = common::my_addr();
    if (!addr) out::fail("local ip address not found\n");
    const std::uint32_t t = now();
    const client::AuthFields f = client::make_auth_fields(s, *addr, t);
    out::debug("client ip before adding %d = %u\n", s.address_offset, f.address_before);
    out::debug("local ip address in network byte order = %u\n", f.address_after);
    out::debug("timestamp before substracting %d seconds = %u\n", s.back_dating, t);
    out::debug("nonce generated for server = %u\n", f.nonce);
    return f;
}

void send_ap_req(const Endpoints& e, const ticket::BodyArea& body, const client::AuthFields& f,
                 const Session& session) {
    ticket::AuthArea auth;
    ticket::build_authenticator(auth, f.client, f.address, f.nonce);
    std::array<std::uint8_t, ticket::kApReqSize> ap_req;
    ticket::build_ap_req(ap_req, body, auth, session.key);
    send_or_fail(e.server_sock, ap_req, e.server);
    out::debug("AP_REQ sent\n");
}

// A wrong answer is told to the server with AP_ERR (the command-line client ID) before ending.
void receive_ap_rep(const Endpoints& e, ticket::RecvArea& rx, const client::Settings& s,
                    const Session& session, std::uint32_t nonce) {
    receive_or_fail(e.server_sock, rx);
    const std::uint32_t t = now();
    const client::ApReply r = client::check_ap_reply(rx, session.key, nonce, session.validity, t);
    using V = client::ApVerdict;
    if (r.verdict == V::unexpected_type) {
        out::debug("Expecting AP_REP\n");
        out::debug("I'm receiving packet type = %d\n", r.type);
        out::fail();
    }
    out::debug("AP_REP received\n");
    if (r.verdict == V::expired) {
        out::debug("Session key has expired\n");
        out::debug("currtime = %u, validity = %u \n", t, session.validity);
        out::fail();
    }
    out::debug("Session key still valid\n");
    if (r.verdict == V::bad_length) {
        out::debug("Wrong packet: AP_REP length = %u\n",
                   wire::load_be16(wire::at<ticket::kApRepLength>(rx)));
        out::fail();
    }
    if (r.verdict == V::wrong_answer) {
        out::debug("Nonce answer is wrong\n");
        out::debug("Nonce answer received is = %u, but expecting %u\n", r.answer, r.expected);
        std::array<std::uint8_t, ticket::kApErrSize> ap_err;
        ticket::build_ap_err(ap_err, &s.client);
        if (!udp::send_to(e.server_sock, ap_err, e.server)) {
            out::debug("Error - packet size too long\n");
        }
        out::fail();
    }
    out::debug("Nonce answered correctly\n");
}

void send_app_data_req(const Endpoints& e, const Session& session) {
    ticket::Inner inner;
    ticket::build_app_data_req(inner);
    std::array<std::uint8_t, ticket::kPrvSize> prv;
    ticket::build_krb_prv(prv, inner, session.key);
    send_or_fail(e.server_sock, prv, e.server);
    out::debug("APP_DATA_REQ sent\n");
}

// Opened only once APP_DATA_REQ has gone out, so an earlier failure leaves an existing file as
// it was.
common::File open_output_or_fail(const char* path) {
    common::File f(std::fopen(path, "w"));
    if (!f) out::fail("Error opening the output file\n");
    std::setvbuf(f.get(), nullptr, _IOFBF, kWriteBuffer);
    return f;
}

// Ends the run on an envelope that is not accepted: the debug lines of every check it passed and
// of the one it failed, in the order the checks run, then ABORT.
[[noreturn]] void refuse_envelope(const client::Envelope& env, const ticket::RecvArea& rx,
                                  std::uint32_t now_seen, std::uint32_t validity,
                                  std::uint16_t last_id) {
    using V = client::EnvelopeVerdict;
    if (env.verdict == V::ap_err) out::fail("AP_ERR received - aborting\n");
    if (env.verdict == V::unexpected_type) {
        out::debug("Expecting KRB_PRV or AP_ERR\n");
        out::debug("I'm receiving packet type = %d\n", env.type);
        out::fail();
    }
    out::debug("KRB_PRV received\n");
    if (env.verdict == V::expired) {
        out::debug("Session key has expired\n");
        out::debug("currtime = %u, validity = %u \n", now_seen, validity);
        out::fail();
    }
    out::debug("Session key still valid\n");
    if (env.verdict == V::bad_length) {
        out::debug("Wrong packet: KRB_PRV length = %u\n",
                   wire::load_be16(wire::at<ticket::kPrvLength>(rx)));
        out::fail();
    }
    if (env.verdict == V::unexpected_inner) {
        out::debug("Expecting APP_DATA or APP_TERMINATE\n");
        out::debug("I'm receiving packet type = %d\n", env.type);
        out::fail();
    }
    out::debug("APP_DATA Received - pid = %d\n", env.packet_id);
    if (env.verdict == V::out_of_sequence) {
        out::debug("transmission error, pid sequence incorrect\n");
        // No line end: "ABORT" follows on the same line, as peers' logs have always shown it.
        out::debug("Expecting pid = %d but receiving pid = %d", client::next_packet_id(last_id),
                   env.packet_id);
        out::fail();
    }
    out::debug("Wrong packet: APP_DATA data length = %u\n", env.data_length);
    out::fail();
}

// Appends every accepted chunk in packet-id order until APP_TERMINATE, whose digest is kept. A
// failure ends the process with the file open; the process end writes out what was accepted.
void receive_file(const Endpoints& e, ticket::RecvArea& rx, const Session& session, std::FILE* f,
                  ticket::Digest& received) {
    ticket::Inner inner;
    std::uint16_t last_id = 0;
    using V = client::EnvelopeVerdict;
    for (;;) {
        receive_or_fail(e.server_sock, rx);
        const std::uint32_t t = now();
        const client::Envelope env =
            client::check_envelope(rx, session.key, session.validity, t, last_id, inner);
        if (env.verdict != V::app_data && env.verdict != V::app_terminate) {
            refuse_envelope(env, rx, t, session.validity, last_id);
        }
        out::debug("KRB_PRV received\n");
        out::debug("Session key still valid\n");
        if (env.verdict == V::app_terminate) {
            out::debug("APP_TERMINATE received\n");
            std::ranges::copy(wire::at<ticket::kInnerDigest>(inner), received.begin());
            return;
        }
        out::debug("APP_DATA Received - pid = %d\n", env.packet_id);
        last_id = env.packet_id;
        const auto data = wire::at<ticket::kInnerData>(std::as_const(inner));
        if (std::fwrite(data.data(), 1, env.data_length, f) != env.data_length) {
            out::fail("Error writing the output file\n");
        }
    }
}

// A mismatch prints "\nABORT\n", with or without the debug switch.
[[noreturn]] void compare_digest_and_quit(const char* path, const ticket::Digest& received) {
    ticket::Digest digest;
    common::mysha1(path, digest);
    if (digest == received) {
        out::debug("checksum correct\n");
        out::debug("file transmission completed\n");
        out::say("OK\n");
        out::quit();
    }
    out::debug("incorrect checksum\n");
    out::debug("Expecting checksum =\t");
    out::debug_bytes(digest);
    out::debug("\nReceiving checksum = \t");
    out::debug_bytes(received);
    out::say("\nABORT\n");
    out::quit();
}

}  // namespace

int main(int argc, char** argv) {
    out::init();
    const client::Settings s = parse_args_or_exit(argc, argv);
    out::set_debug(s.debug);
    const Endpoints e = open_endpoints_or_fail(s);
    const seal::Schedule client_key = check_client_key_or_fail(s.client_key);
    ticket::RecvArea rx{};    // reused for every datagram of the run
    ticket::BodyArea body{};  // keeps the ticket length and the sealed Ticket for the AP_REQ
    send_as_req(e, s);
    const Session session = receive_as_rep(e, rx, s, client_key, body);
    const client::AuthFields auth = make_authenticator_or_fail(s);
    send_ap_req(e, body, auth, session);
    receive_ap_rep(e, rx, s, session, auth.nonce);
    send_app_data_req(e, session);
    ticket::Digest received{};
    {
        const common::File f = open_output_or_fail(s.out_path);
        receive_file(e, rx, session, f.get(), received);
    }  // Closed here: the digest reads the file back from its path.
    compare_digest_and_quit(s.out_path, received);
}
