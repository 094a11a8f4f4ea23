// A password client without any fault, the peer that peercheck drives against a password server
// (installed beside it) and that the tests, the demo and the benchmark run against the lockbox
// builds. It opens with JOIN_REQ (type 1), offers the three passwords in order, writes the file
// and checks every packet id and the digest, printing latchkey's failure lines with -DDEBUG, so a
// run shows which check caught a server's fault. Written apart from latchkey so that the two
// check each other, except for the file loop, which must keep up with a server that never waits
// and is shared (receive_loop.h).
//
//   peercheck-pass-client <servername> <serverport> <pwd1> <pwd2> <pwd3> <outfile> [-DDEBUG]

#include <netinet/in.h>

#include <algorithm>
#include <array>
#include <cstring>

#include "helpers.h"
#include "out.h"
#include "pass_msg.h"
#include "receive_loop.h"
#include "udp.h"

namespace {

pass::Header receive(const udp::UdpSocket& sock, pass::RecvArea& rx) {
    rx.fill(0);
    if (!udp::receive(sock, rx)) out::fail("error receiving packet\n");
    return pass::read_header(rx);
}

void send(const udp::UdpSocket& sock, std::span<const std::uint8_t> bytes, const sockaddr_in& to) {
    if (!udp::send_to(sock, bytes, to)) out::fail("Error - packet size too long\n");
}

void exchange_passwords(const udp::UdpSocket& sock, const sockaddr_in& server, pass::RecvArea& rx,
                        char** passwords) {
    std::array<std::uint8_t, pass::kHeaderSize> join;
    pass::build_bare(join, static_cast<std::uint16_t>(pass::Type::JOIN_REQ));
    send(sock, join, server);
    pass::Header h = receive(sock, rx);
    if (!pass::is_bare(h, pass::Type::PASS_REQ)) out::fail("no PASS_REQ arrived\n");
    for (int i = 0; pass::is(h, pass::Type::PASS_REQ); ++i) {
        if (i == 3) out::fail("no PASS_ACCEPT arrived\n");
        out::debug("PASS_REQ received\n");
        const std::size_t n = std::min(std::strlen(passwords[i]), pass::kPassword.size);
        std::array<std::uint8_t, pass::kPassRespSize> resp;
        pass::build_pass_resp(resp, static_cast<std::uint16_t>(n),
                              std::span(reinterpret_cast<const std::uint8_t*>(passwords[i]), n));
        send(sock, resp, server);
        h = receive(sock, rx);
    }
    if (pass::is_bare(h, pass::Type::PASS_REJECT)) {
        out::fail("Please restart session and introduce the correct password\n");
    }
    if (!pass::is_bare(h, pass::Type::PASS_ACCEPT)) out::fail("no PASS_ACCEPT arrived\n");
    out::debug("PASS_ACCEPT received\n");
}

}  // namespace

int main(int argc, char** argv) {
    out::init();
    if (argc < 7 || argc > 8) {
        out::say(
            "usage: peercheck-pass-client <servername> <serverport> <pwd1> <pwd2> <pwd3> <outfile> "
            "[-DDEBUG]\n");
        out::quit();
    }
    out::set_debug(argc == 8 && std::strcmp(argv[7], "-DDEBUG") == 0);
    const auto server = udp::resolve(argv[1], common::to_num(argv[2]));
    if (!server) out::fail("wrong server name\n");
    const udp::UdpSocket sock = udp::open_socket();
    if (!sock.valid()) out::fail("Error while opening socket\n");
    udp::raise_receive_buffer(sock, 256 << 20);  // as latchkey-badjoin: most of a 256 MiB file
    pass::RecvArea rx{};
    exchange_passwords(sock, *server, rx, argv + 3);
    {
        const latchkey::OutputFile f(argv[6]);
        if (!f.valid()) out::fail("error opening output file\n");
        latchkey::receive_file_or_fail(sock, f, rx, nullptr);
    }
    pass::Digest digest{};
    common::mysha1(argv[6], digest);
    const pass::Header h = pass::read_header(rx);
    if (h.length != digest.size() || !std::ranges::equal(wire::at<pass::kDigest>(rx), digest)) {
        out::fail("incorrect checksum\n");
    }
    out::debug("checksum correct\n");
    out::say("OK\n");
}
