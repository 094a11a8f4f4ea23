// latchkey: the password client. It opens a session, offers up to three passwords in order,
// writes the file that arrives in numbered DATA datagrams and checks its digest. Its opening
// carries type 12 instead of JOIN_REQ's 1 (steps.h), so a server that checks it answers nothing.

#include <netinet/in.h>

#include <array>

#include "helpers.h"
#include "out.h"
#include "pass_msg.h"
#include "receive_loop.h"
#include "steps.h"
#include "udp.h"

namespace {

// The server never waits, so while the client is off the processor (a busy machine) DATA queues
// in the socket; the file loop then takes the backlog into the process. The system charges about
// twice the datagram's size for each one queued and doubles the size asked for, so this holds
// some 230,000 DATA. Memory is taken only while datagrams wait; unprivileged, the system's
// maximum caps it.
constexpr int kReceiveBuffer = 256 << 20;

latchkey::Settings parse_args_or_exit(int argc, char** argv) {
    const latchkey::ParsedArgs parsed = latchkey::parse_args(argc, argv);
    if (parsed.settings) return *parsed.settings;
    if (parsed.error == latchkey::ArgsError::usage) {
        out::say(
            "usage: latchkey <servername> <serverport> <clientpwd1> <clientpwd1> <clientpwd1> "
            "<outfile>\n");
        out::quit();
    }
    out::set_debug(parsed.debug);
    out::fail("passwords must not be longer than 52 characters\n");
}

sockaddr_in resolve_or_fail(const latchkey::Settings& s) {
    const auto server = udp::resolve(s.server, s.port);
    if (!server) out::fail("wrong server name\n");
    return *server;
}

udp::UdpSocket open_or_fail() {
    udp::UdpSocket sock = udp::open_socket();
    if (!sock.valid()) out::fail("Error while opening socket\n");
    udp::raise_receive_buffer(sock, kReceiveBuffer);
    return sock;
}

// Every datagram is received into a cleared area, so a short one never reads what an earlier
// one left behind. The sender is not looked at.
void receive_or_fail(const udp::UdpSocket& sock, pass::RecvArea& rx) {
    rx.fill(0);
    if (!udp::receive(sock, rx)) out::fail("error receiving packet\n");
}

void send_or_fail(const udp::UdpSocket& sock, std::span<const std::uint8_t> bytes,
                  const sockaddr_in& server) {
    if (!udp::send_to(sock, bytes, server)) out::fail("Error - packet size too long\n");
}

void send_opening(const udp::UdpSocket& sock, const sockaddr_in& server) {
    std::array<std::uint8_t, pass::kHeaderSize> msg;
    pass::build_bare(msg, latchkey::kOpeningType);
    send_or_fail(sock, msg, server);
}

void await_pass_req(const udp::UdpSocket& sock, pass::RecvArea& rx) {
    receive_or_fail(sock, rx);
    if (!latchkey::is_first_pass_req(rx)) out::fail("no PASS_REQ arrived\n");
}

void send_pass_resp(const udp::UdpSocket& sock, const sockaddr_in& server,
                    const latchkey::Password& p) {
    std::array<std::uint8_t, pass::kPassRespSize> msg;
    pass::build_pass_resp(msg, p.length, p.text);
    send_or_fail(sock, msg, server);
}

// One password for each PASS_REQ, in command-line order, until PASS_ACCEPT.
void offer_passwords(const udp::UdpSocket& sock, const sockaddr_in& server, pass::RecvArea& rx,
                     const latchkey::Settings& s) {
    for (std::size_t offered = 0;;) {
        out::debug("PASS_REQ received\n");
        send_pass_resp(sock, server, s.passwords[offered++]);
        receive_or_fail(sock, rx);
        switch (latchkey::judge_answer(rx, offered)) {
            case latchkey::Verdict::offer_next:
                continue;
            case latchkey::Verdict::accepted:
                out::debug("PASS_ACCEPT received\n");
                return;
            case latchkey::Verdict::rejected:
                out::fail("Please restart session and introduce the correct password\n");
            case latchkey::Verdict::refused:
                out::fail("no PASS_ACCEPT arrived\n");
        }
    }
}

void check_digest_or_fail(const pass::RecvArea& rx, const char* path) {
    pass::Digest written{};
    common::mysha1(path, written);
    if (!latchkey::terminate_matches(rx, written)) out::fail("incorrect checksum\n");
    out::debug("checksum correct\n");
    out::debug("file transmission completed\n");
}

}  // namespace

int main(int argc, char** argv) {
    out::init();
    const latchkey::Settings s = parse_args_or_exit(argc, argv);
    out::set_debug(s.debug);
    const sockaddr_in server = resolve_or_fail(s);
    const udp::UdpSocket sock = open_or_fail();
    pass::RecvArea rx{};
    send_opening(sock, server);
    await_pass_req(sock, rx);
    offer_passwords(sock, server, rx, s);
    {
        // Opened only now that the password was accepted: a run refused earlier leaves an
        // existing file untouched.
        const latchkey::OutputFile f(s.path);
        if (!f.valid()) out::fail("error opening output file\n");
        latchkey::receive_file_or_fail(sock, f, rx, "receiving file\n");
    }  // Closed here: the digest reads the file back from its path.
    check_digest_or_fail(rx, s.path);
    out::say("OK\n");
}
