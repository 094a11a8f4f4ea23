// Reference for the password-protocol benchmark (bench/password_bench.sh): a bare UDP stream over
// 127.0.0.1 between two processes, with the datagram size of DATA. The sender sends back to back;
// the receiver, with its receive buffer raised as the clients raise theirs, only receives.
//
//   udp_stream <datagrams>
//
// Prints "<MB/s> <received> <sent> <sending MB/s>": MB/s (10^6 bytes) counts the 1000 data bytes
// of each datagram received, the unit of the file transfers it is compared with, over the time
// from the first send to the last datagram received; the sending rate counts those of each
// datagram sent, up to the last send. The receiver stops when all have arrived or after half a
// second without any.

#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "pass_msg.h"
#include "udp.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Result {
    std::uint64_t received = 0;
    std::int64_t last_ns = 0;  // steady clock, shared by both processes on this machine
};

std::int64_t now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

Result receive_all(const udp::UdpSocket& sock, std::uint64_t expected) {
    timeval idle{0, 500000};
    ::setsockopt(sock.fd(), SOL_SOCKET, SO_RCVTIMEO, &idle, sizeof idle);
    pass::RecvArea rx{};
    Result r;
    while (r.received < expected && udp::receive(sock, rx)) {
        ++r.received;
        r.last_ns = now_ns();
    }
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::printf("usage: udp_stream <datagrams>\n");
        return 2;
    }
    const std::uint64_t count = std::strtoull(argv[1], nullptr, 10);
    const udp::UdpSocket rx_sock = udp::open_socket();
    if (!rx_sock.valid() || !udp::bind_any(rx_sock, 0)) return 1;
    udp::raise_receive_buffer(rx_sock, 256 << 20);  // as the clients raise theirs
    sockaddr_in to{};
    socklen_t len = sizeof to;
    ::getsockname(rx_sock.fd(), reinterpret_cast<sockaddr*>(&to), &len);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);

    int result_pipe[2];
    if (::pipe(result_pipe) != 0) return 1;
    int ready_pipe[2];
    if (::pipe(ready_pipe) != 0) return 1;
    const pid_t child = ::fork();
    if (child == 0) {
        const char ready = 1;
        if (::write(ready_pipe[1], &ready, 1) != 1) ::_exit(1);
        const Result r = receive_all(rx_sock, count);
        const bool written = ::write(result_pipe[1], &r, sizeof r) == sizeof r;
        ::_exit(written ? 0 : 1);
    }
    char ready = 0;
    if (::read(ready_pipe[0], &ready, 1) != 1) return 1;

    const udp::UdpSocket tx_sock = udp::open_socket();
    std::array<std::uint8_t, pass::kDataSize> data{};
    const std::int64_t start = now_ns();
    for (std::uint64_t id = 1; id <= count; ++id) {
        pass::stamp_data(data, static_cast<std::uint32_t>(pass::kChunkSize),
                         static_cast<std::uint32_t>(id));
        if (!udp::send_to(tx_sock, data, to)) return 1;
    }
    const std::int64_t sent = now_ns();
    Result r;
    if (::read(result_pipe[0], &r, sizeof r) != sizeof r) return 1;
    ::waitpid(child, nullptr, 0);
    const double seconds = static_cast<double>(r.last_ns - start) / 1e9;
    const double rate =
        seconds > 0 ? static_cast<double>(r.received) * pass::kChunkSize / seconds / 1e6 : 0;
    const double send_seconds = static_cast<double>(sent - start) / 1e9;
    const double send_rate =
        send_seconds > 0 ? static_cast<double>(count) * pass::kChunkSize / send_seconds / 1e6 : 0;
    std::printf("%.1f %llu %llu %.1f\n", rate, static_cast<unsigned long long>(r.received),
                static_cast<unsigned long long>(count), send_rate);
    return 0;
}
