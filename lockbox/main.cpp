// lockbox: the password file server. It asks each client for the password, allows three
// attempts, sends its one file in numbered DATA datagrams and ends with TERMINATE carrying the
// file's digest; then it waits for the next client. Each build carries one fault (fault.h).

#include <netinet/in.h>
#include <sys/stat.h>

#include <array>
#include <cstdio>

#include "fault.h"
#include "file.h"
#include "helpers.h"
#include "out.h"
#include "pass_msg.h"
#include "steps.h"
#include "udp.h"

namespace {

using DataArea = std::array<std::uint8_t, pass::kDataSize>;

// Larger than stdio's default so that the file is read in a few calls per megabyte.
constexpr std::size_t kReadBuffer = 1 << 16;

lockbox::Settings parse_args_or_exit(int argc, char** argv) {
    const auto s = lockbox::parse_args(argc, argv);
    if (!s) {
        out::say("usage: lockbox <serverport> <password> <input file>\n");
        out::quit();
    }
    struct stat st {};
    if (::stat(s->path, &st) != 0) {
        out::say("Input file doesn't exist\n");
        out::quit();
    }
    return *s;
}

// Every datagram is received into a cleared area, a repeated PASS_RESP too, so a short datagram
// never reads bytes that an earlier one left behind. The sender becomes the peer.
void receive_or_fail(const udp::UdpSocket& sock, pass::RecvArea& rx, sockaddr_in& peer) {
    rx.fill(0);
    if (!udp::receive(sock, rx, &peer)) out::fail("error receiving packet\n");
}

void send_or_fail(const udp::UdpSocket& sock, std::span<const std::uint8_t> bytes,
                  const sockaddr_in& peer) {
    if (!udp::send_to(sock, bytes, peer)) out::fail("Error - packet size too long\n");
}

void send_bare(const udp::UdpSocket& sock, const sockaddr_in& peer, std::uint16_t type) {
    std::array<std::uint8_t, pass::kHeaderSize> msg;
    pass::build_bare(msg, type);
    send_or_fail(sock, msg, peer);
}

void send_pass_req(const udp::UdpSocket& sock, const sockaddr_in& peer) {
    send_bare(sock, peer, lockbox::pass_req_type());
}

[[noreturn]] void send_pass_reject(const udp::UdpSocket& sock, const sockaddr_in& peer) {
    send_bare(sock, peer, static_cast<std::uint16_t>(pass::Type::PASS_REJECT));
    out::fail();
}

void announce_pass_resp(const pass::RecvArea& rx) {
    out::debug("PASS_RESP received\n");
    const auto shown = lockbox::shown_password(rx);
    out::debug("Im getting %.*s\n", static_cast<int>(shown.size()),
               reinterpret_cast<const char*>(shown.data()));
}

void await_join(const udp::UdpSocket& sock, pass::RecvArea& rx, sockaddr_in& peer) {
    receive_or_fail(sock, rx, peer);
    if (!lockbox::is_join_req(rx)) out::fail("First packet is not JOIN_REQ\n");
    out::debug("JOIN_REQ received\n");
}

// PASS_REQ, then PASS_RESP after PASS_RESP until the password is right (PASS_ACCEPT sent) or the
// third is wrong (PASS_REJECT sent, the run ends).
void ask_password(const udp::UdpSocket& sock, pass::RecvArea& rx, sockaddr_in& peer,
                  const lockbox::Settings& s) {
    send_pass_req(sock, peer);
    lockbox::Misses misses;
    for (;;) {
        receive_or_fail(sock, rx, peer);
        const lockbox::Verdict verdict = lockbox::check_password(rx, s);
        if (verdict == lockbox::Verdict::not_pass_resp) out::fail("Im expecting PASS_RESP\n");
        announce_pass_resp(rx);
        if (verdict == lockbox::Verdict::right) break;
        out::debug("password not correct\n");
        if (misses.add()) send_pass_reject(sock, peer);
        send_pass_req(sock, peer);
    }
    out::debug("password correct\n");
    send_bare(sock, peer, static_cast<std::uint16_t>(pass::Type::PASS_ACCEPT));
}

// The file as DATA datagrams of 1000 bytes, back to back. A short piece can only come from the
// end of the file, so it is the last; a file of 2000 bytes goes out as 1000, 1000 and 0.
void send_file(const udp::UdpSocket& sock, const sockaddr_in& peer, const char* path) {
    // The file was there at start-up; one removed or unreadable since ends the run.
    const common::File f(std::fopen(path, "rb"));
    if (!f) out::fail("Input file doesn't exist\n");
    std::setvbuf(f.get(), nullptr, _IOFBF, kReadBuffer);
    DataArea data{};
    std::uint32_t packet_id = 1;  // every transfer starts again at 1
    for (;;) {
        const auto piece = wire::at<pass::kData>(data);
        const std::size_t n = std::fread(piece.data(), 1, piece.size(), f.get());
        if (std::ferror(f.get())) out::fail("error reading file\n");
        pass::stamp_data(data, static_cast<std::uint32_t>(n), packet_id);
        send_or_fail(sock, data, peer);
        data.fill(0);
        out::debug("sending file!\n");
        if (n < piece.size()) break;
        packet_id = lockbox::next_packet_id(packet_id);
    }
    out::debug("file sended!\n");
}

// The digest is read back from the file on disk after the transfer, not taken from what was sent.
void send_terminate(const udp::UdpSocket& sock, const sockaddr_in& peer, const char* path) {
    pass::Digest digest{};
    common::mysha1(path, digest);
    std::array<std::uint8_t, pass::kTerminateSize> msg;
    pass::build_terminate(msg, lockbox::sent_digest(digest));
    send_or_fail(sock, msg, peer);
}

void send_file_and_digest(const udp::UdpSocket& sock, const sockaddr_in& peer, const char* path) {
    send_file(sock, peer, path);
    send_terminate(sock, peer, path);
    out::say("OK\n");
}

// Each build uses one of the two loops below; the other is compiled but never called.
[[maybe_unused]] void serve_in_order(const udp::UdpSocket& sock, const lockbox::Settings& s) {
    pass::RecvArea rx{};  // reused for every datagram of every client
    sockaddr_in peer{};   // source of the datagram received last
    for (;;) {
        await_join(sock, rx, peer);
        ask_password(sock, rx, peer, s);
        send_file_and_digest(sock, peer, s.path);
    }
}

// Each datagram on its own: a JOIN_REQ is answered at any moment, a PASS_RESP is judged whenever
// it arrives. Wrong passwords are counted since the last JOIN_REQ or completed transfer, so the
// third still brings PASS_REJECT and the end of the run, as in the ordered session.
[[maybe_unused]] void serve_each_datagram(const udp::UdpSocket& sock, const lockbox::Settings& s) {
    pass::RecvArea rx{};
    sockaddr_in peer{};
    lockbox::Misses misses;
    for (;;) {
        receive_or_fail(sock, rx, peer);
        const lockbox::Datagram kind = lockbox::classify_any(rx, s);
        if (kind == lockbox::Datagram::join_req) {
            out::debug("JOIN_REQ received\n");
            misses.reset();
            send_pass_req(sock, peer);
            continue;
        }
        out::debug("First packet is not JOIN_REQ\n");
        if (kind == lockbox::Datagram::other) out::fail();
        if (kind == lockbox::Datagram::pass_resp_too_long) out::fail("Im expecting PASS_RESP\n");
        announce_pass_resp(rx);
        if (kind == lockbox::Datagram::wrong_password) {
            out::debug("password not correct\n");
            if (misses.add()) send_pass_reject(sock, peer);
            send_pass_req(sock, peer);
            continue;
        }
        out::debug("password correct\n");
        send_bare(sock, peer, static_cast<std::uint16_t>(pass::Type::PASS_ACCEPT));
        send_file_and_digest(sock, peer, s.path);
        misses.reset();
    }
}

}  // namespace

int main(int argc, char** argv) {
    out::init();
    const lockbox::Settings s = parse_args_or_exit(argc, argv);
    out::set_debug(s.debug);
    const udp::UdpSocket sock = udp::open_bound_or_fail(s.port);
    if constexpr (lockbox::takes_each_datagram_alone()) {
        serve_each_datagram(sock, s);
    } else {
        serve_in_order(sock, s);
    }
}
