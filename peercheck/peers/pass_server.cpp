// A password file server without any fault, the peer that peercheck drives against a password
// client (installed beside it) and that the tests, the demo and the benchmark run against
// latchkey-badjoin. It accepts an opening of type 1 or 12 (the client build's), then runs the
// ordinary session: three attempts, DATA ids 1, 2, 3 ..., TERMINATE with the true digest, "OK",
// next client. Written apart from lockbox so that the two check each other.
//
//   peercheck-pass-server <serverport> <password> <input file> [-DDEBUG]

#include <netinet/in.h>

#include <array>
#include <cstdio>
#include <cstring>

#include "helpers.h"
#include "out.h"
#include "pass_msg.h"
#include "udp.h"

namespace {

struct Session {
    const udp::UdpSocket& sock;
    pass::RecvArea rx{};
    sockaddr_in peer{};

    void receive() {
        rx.fill(0);
        if (!udp::receive(sock, rx, &peer)) out::fail("error receiving packet\n");
    }
    void send(std::span<const std::uint8_t> bytes) {
        if (!udp::send_to(sock, bytes, peer)) out::fail("Error - packet size too long\n");
    }
    void send_bare(pass::Type type) {
        std::array<std::uint8_t, pass::kHeaderSize> msg;
        pass::build_bare(msg, static_cast<std::uint16_t>(type));
        send(msg);
    }
};

bool is_opening(const pass::Header& h) {
    return h.length == 0 && (pass::is(h, pass::Type::JOIN_REQ) || h.type == pass::kWrongType);
}

bool right_password(const pass::PassResp& r, const char* password) {
    const std::size_t n = std::strlen(password);
    return r.length == n && std::memcmp(r.password.data(), password, n) == 0;
}

void ask_password(Session& ses, const char* password) {
    for (int attempt = 1;; ++attempt) {
        ses.send_bare(pass::Type::PASS_REQ);
        ses.receive();
        const auto resp = pass::decode_pass_resp(ses.rx);
        if (!resp) out::fail("Im expecting PASS_RESP\n");
        if (right_password(*resp, password)) break;
        out::debug("password not correct\n");
        if (attempt == 3) {
            ses.send_bare(pass::Type::PASS_REJECT);
            out::fail();
        }
    }
    out::debug("password correct\n");
    ses.send_bare(pass::Type::PASS_ACCEPT);
}

void send_file(Session& ses, const char* path) {
    std::FILE* f = std::fopen(path, "rb");
    if (f == nullptr) out::fail("Input file doesn't exist\n");
    // Read in large blocks, so that sending is all this loop does: it must stream at least as
    // fast as a bare loopback sender for the clients' receive loop to be tested.
    static char buffer[1 << 20];
    std::setvbuf(f, buffer, _IOFBF, sizeof buffer);
    std::array<std::uint8_t, pass::kDataSize> data{};
    for (std::uint32_t id = 1;; ++id) {
        data.fill(0);
        const auto area = wire::at<pass::kData>(data);
        const std::size_t n = std::fread(area.data(), 1, area.size(), f);
        if (std::ferror(f)) out::fail("error reading file\n");
        pass::stamp_data(data, static_cast<std::uint32_t>(n), id);
        ses.send(data);
        if (n < area.size()) break;
    }
    std::fclose(f);
    out::debug("file sended!\n");
    pass::Digest digest{};
    common::mysha1(path, digest);
    std::array<std::uint8_t, pass::kTerminateSize> msg;
    pass::build_terminate(msg, digest);
    ses.send(msg);
}

}  // namespace

int main(int argc, char** argv) {
    out::init();
    if (argc < 4 || argc > 5) {
        out::say("usage: peercheck-pass-server <serverport> <password> <input file> [-DDEBUG]\n");
        out::quit();
    }
    out::set_debug(argc == 5 && std::strcmp(argv[4], "-DDEBUG") == 0);
    // The file is looked for before the socket is bound: a missing one is a usage mistake.
    if (std::FILE* f = std::fopen(argv[3], "rb")) {
        std::fclose(f);
    } else {
        out::say("Input file doesn't exist\n");
        out::quit();
    }
    const udp::UdpSocket sock = udp::open_socket();
    if (!sock.valid() || !udp::bind_any(sock, common::to_num(argv[1]))) {
        out::fail("Error binding to socket\n");
    }
    Session ses{sock};
    for (;;) {
        ses.receive();
        if (!is_opening(pass::read_header(ses.rx))) out::fail("First packet is not JOIN_REQ\n");
        out::debug("JOIN_REQ received\n");
        ask_password(ses, argv[2]);
        send_file(ses, argv[3]);
        out::say("OK\n");
    }
}
