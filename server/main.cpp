// server: the application server. It checks the Ticket and the Authenticator of each AP_REQ,
// answers the client's nonce, and sends its one file in sealed envelopes followed by the file's
// digest; then it waits for the next client.

#include <netinet/in.h>

#include <array>
#include <cstdio>
#include <ctime>

#include "file.h"
#include "helpers.h"
#include "out.h"
#include "seal.h"
#include "steps.h"
#include "ticket_msg.h"
#include "udp.h"

namespace {

// What one client's visit keeps from its AP_REQ for the delivery.
struct Session {
    seal::Schedule key;
    std::uint32_t validity = 0;
};

std::uint32_t now() noexcept { return static_cast<std::uint32_t>(std::time(nullptr)); }

server::Settings parse_args_or_exit(int argc, char** argv) {
    const auto s = server::parse_args(argc, argv);
    if (!s) {
        out::say("usage: server <serverport> <gatekeeperkey> <inputfile>\n");
        out::quit();
    }
    return *s;
}

seal::Schedule check_key_or_fail(const ticket::Key& key) {
    seal::Schedule schedule;
    if (seal::make_schedule(key, schedule) != 0) out::fail("Incorrect predefined gatekeeper key\n");
    return schedule;
}

void receive_or_fail(const udp::UdpSocket& sock, ticket::RecvArea& rx, sockaddr_in& peer) {
    rx.fill(0);
    if (!udp::receive(sock, rx, &peer)) out::fail("error receiving packet\n");
}

[[noreturn]] void send_ap_err_and_fail(const udp::UdpSocket& sock, const sockaddr_in& peer) {
    std::array<std::uint8_t, ticket::kApErrSize> ap_err;
    ticket::build_ap_err(ap_err, nullptr);
    if (!udp::send_to(sock, ap_err, peer)) out::debug("Error - packet size too long\n");
    out::fail();
}

// Ends the server on a refused AP_REQ: the debug lines of every check it passed and of the one
// it failed. A rejected or expired session key ends it without a result line and without a reply;
// a wrong client name or address is answered with AP_ERR first.
[[noreturn]] void refuse_ap_req(const udp::UdpSocket& sock, const sockaddr_in& peer,
                                const server::ApReqCheck& c, std::uint32_t now_seen) {
    using V = server::ApReqVerdict;
    if (c.verdict == V::not_ap_req) {
        out::debug("First packet is not AP_REQ\n");
        out::debug("I'm receiving packet type = %d\n", c.type);
        out::fail();
    }
    out::debug("AP_REQ received\n");
    if (c.verdict == V::bad_lengths) {
        out::debug("Wrong packet: ticket length = %u, authenticator length = %u\n",
                   c.lengths.ticket_length, c.lengths.auth_length);
        out::fail();
    }
    if (c.verdict == V::key_error) {
        out::say("key error %d\n", c.key_result);
        out::quit();
    }
    if (c.verdict == V::expired) {
        out::debug("Session key has expired\n");
        out::debug("currtime = %u, validity = %u \n", now_seen, c.validity);
        out::quit();
    }
    out::debug("Session key still valid\n");
    if (c.verdict == V::wrong_client) {
        const auto expected = wire::at<ticket::kTkClientId>(c.ticket);
        const auto got = wire::at<ticket::kAuthClientId>(c.auth);
        out::debug("Client name is wrong. Im expecting %.*s but receiving %.*s\n",
                   wire::text_length(expected), expected.data(), wire::text_length(got),
                   got.data());
        out::debug("Sending AP_ERR back to client\n");
        send_ap_err_and_fail(sock, peer);
    }
    out::debug("Client name is correct\n");
    out::debug("Client IP address is wrong\n");
    out::debug("Expecting %u but receiving %u\n",
               wire::load_host32(wire::at<ticket::kTkClientAddr>(c.ticket)),
               wire::load_host32(wire::at<ticket::kAuthClientAddr>(c.auth)));
    send_ap_err_and_fail(sock, peer);
}

server::ApReqCheck check_ap_req_or_refuse(const udp::UdpSocket& sock, const ticket::RecvArea& rx,
                                          const sockaddr_in& peer,
                                          const seal::Schedule& server_key) {
    const std::uint32_t t = now();
    const server::ApReqCheck c = server::check_ap_req(rx, server_key, t);
    if (c.verdict != server::ApReqVerdict::accepted) refuse_ap_req(sock, peer, c, t);
    out::debug("AP_REQ received\n");
    out::debug("Session key still valid\n");
    out::debug("Client name is correct\n");
    out::debug("Client IP address is correct\n");
    return c;
}

void send_ap_rep(const udp::UdpSocket& sock, const sockaddr_in& peer, const server::ApReqCheck& c,
                 std::int32_t nonce_offset) {
    out::debug("nonce received = %d\n", c.nonce);
    const std::int32_t answer = server::nonce_answer(c.nonce, nonce_offset);
    out::debug("nonce+1 after adding %d = %d\n", nonce_offset, answer);
    std::array<std::uint8_t, ticket::kApRepSize> ap_rep;
    ticket::build_ap_rep(ap_rep, answer, c.session);
    if (!udp::send_to(sock, ap_rep, peer)) out::fail("Error - packet size too long\n");
    out::debug("Sending AP_REP\n");
}

void await_app_data_req(const udp::UdpSocket& sock, ticket::RecvArea& rx, sockaddr_in& peer,
                        const Session& session) {
    receive_or_fail(sock, rx, peer);
    const std::uint32_t t = now();
    ticket::Inner inner;
    const server::RequestCheck c =
        server::check_request(rx, session.key, session.validity, t, inner);
    using V = server::RequestVerdict;
    switch (c.verdict) {
        case V::ap_err:
            out::fail("AP_ERR received - aborting\n");
        case V::unexpected_type:
            out::debug("Expecting KRB_PRV or AP_ERR\n");
            out::debug("I'm receiving packet type = %d\n", c.type);
            out::fail();
        default:
            break;
    }
    out::debug("KRB_PRV received\n");
    if (c.verdict == V::expired) {
        out::debug("Session key has expired\n");
        out::debug("currtime = %u, expiration = %u \n", t, session.validity);
        out::quit();
    }
    out::debug("Session key still valid\n");
    if (c.verdict == V::bad_length) {
        out::debug("Wrong packet: KRB_PRV length = %u\n",
                   wire::load_be16(wire::at<ticket::kPrvLength>(rx)));
        out::fail();
    }
    if (c.verdict == V::unexpected_inner) {
        out::debug("Expecting APP_DATA_REQ\n");
        out::debug("I'm receiving packet type = %d\n", c.type);
        out::fail();
    }
    out::debug("APP_DATA_REQ received\n");
}

void send_envelope(const udp::UdpSocket& sock, const sockaddr_in& peer, const ticket::Inner& inner,
                   const seal::Schedule& key, std::span<std::uint8_t, ticket::kPrvSize> prv) {
    ticket::build_krb_prv(prv, inner, key);
    if (!udp::send_to(sock, prv, peer)) out::fail("Error - packet size too long\n");
}

// The end of the file is tested before each read, so a file of S bytes goes out as S / 972 + 1
// chunks, the last one holding S mod 972 bytes (possibly none). The file is read afresh for every
// client; it is closed before the digest reads it again.
void send_file(const udp::UdpSocket& sock, const sockaddr_in& peer, const char* path,
               const seal::Schedule& key) {
    const common::File f(std::fopen(path, "r"));
    if (!f) out::fail("Error opening the file to send\n");
    // Large reads from disk; each chunk is then taken from the stdio buffer.
    std::setvbuf(f.get(), nullptr, _IOFBF, 1 << 16);
    std::array<std::uint8_t, ticket::kChunkSize> chunk;
    ticket::Inner inner;
    std::array<std::uint8_t, ticket::kPrvSize> prv;
    std::uint16_t packet_id = 0;
    while (!std::feof(f.get())) {
        const std::size_t n = std::fread(chunk.data(), 1, chunk.size(), f.get());
        if (std::ferror(f.get())) out::fail("Error reading the file to send\n");
        packet_id = server::next_packet_id(packet_id);
        ticket::build_app_data(inner, packet_id, std::span(chunk).first(n));
        send_envelope(sock, peer, inner, key, prv);
        out::debug("sending file!\n");
    }
    out::debug("file sended!\n");
}

void send_digest(const udp::UdpSocket& sock, const sockaddr_in& peer, const server::Settings& s,
                 const seal::Schedule& key) {
    ticket::Digest digest;
    common::mysha1(s.path, digest);
    if (s.wrong_digest) {
        server::overwrite_digest(digest);
        const std::span<const std::uint8_t, 20> text(digest);
        out::debug("%.*s\n", wire::text_length(text), text.data());
    }
    ticket::Inner inner;
    ticket::build_app_terminate(inner, digest);
    std::array<std::uint8_t, ticket::kPrvSize> prv;
    send_envelope(sock, peer, inner, key, prv);
    out::debug("file digest sent!\n");
}

}  // namespace

int main(int argc, char** argv) {
    out::init();
    const server::Settings s = parse_args_or_exit(argc, argv);
    out::set_debug(s.debug);
    const udp::UdpSocket sock = udp::open_bound_or_fail(s.port);
    const seal::Schedule server_key = check_key_or_fail(s.server_key);
    ticket::RecvArea rx{};  // reused for every datagram of every client
    sockaddr_in peer{};     // source of the datagram received last; every reply goes there
    for (;;) {
        receive_or_fail(sock, rx, peer);
        const server::ApReqCheck c = check_ap_req_or_refuse(sock, rx, peer, server_key);
        send_ap_rep(sock, peer, c, s.nonce_offset);
        const Session session{c.session, c.validity};
        await_app_data_req(sock, rx, peer, session);
        send_file(sock, peer, s.path, session.key);
        send_digest(sock, peer, s, session.key);
        out::say("OK\n");
    }
}
