#include "udp.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "out.h"

namespace udp {

UdpSocket& UdpSocket::operator=(UdpSocket&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

UdpSocket::~UdpSocket() {
    if (fd_ >= 0) ::close(fd_);
}

UdpSocket open_socket() noexcept {
    return UdpSocket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
}

bool bind_any(const UdpSocket& sock, std::uint16_t port) noexcept {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(port);
    return ::bind(sock.fd(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
}

UdpSocket open_bound_or_fail(std::uint16_t port) noexcept {
    UdpSocket sock = open_socket();
    if (!sock.valid()) out::fail("Error while opening socket\n");
    if (!bind_any(sock, port)) out::fail("Error binding to socket\n");
    return sock;
}

int raise_receive_buffer(const UdpSocket& sock, int bytes) noexcept {
    if (::setsockopt(sock.fd(), SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0) {
        // Unprivileged: the kernel caps the request at its maximum by itself.
        ::setsockopt(sock.fd(), SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    }
    int granted = 0;
    socklen_t len = sizeof granted;
    ::getsockopt(sock.fd(), SOL_SOCKET, SO_RCVBUF, &granted, &len);
    return granted;
}

bool send_to(const UdpSocket& sock, std::span<const std::uint8_t> bytes,
             const sockaddr_in& to) noexcept {
    const ssize_t n = ::sendto(sock.fd(), bytes.data(), bytes.size(), 0,
                               reinterpret_cast<const sockaddr*>(&to), sizeof to);
    return n >= 0 && static_cast<std::size_t>(n) == bytes.size();
}

bool receive(const UdpSocket& sock, std::span<std::uint8_t> area, sockaddr_in* from) noexcept {
    socklen_t len = sizeof(sockaddr_in);
    const ssize_t n =
        ::recvfrom(sock.fd(), area.data(), area.size(), 0, reinterpret_cast<sockaddr*>(from),
                   from != nullptr ? &len : nullptr);
    return n >= 0;
}

std::optional<sockaddr_in> resolve(const char* name, std::uint16_t port) noexcept {
    const hostent* host = ::gethostbyname(name);
    if (host == nullptr || host->h_addrtype != AF_INET || host->h_length != 4 ||
        host->h_addr_list == nullptr || host->h_addr_list[0] == nullptr) {
        return std::nullopt;
    }
    char text[16] = {};
    if (::inet_ntop(AF_INET, host->h_addr_list[0], text, sizeof text) == nullptr)
        return std::nullopt;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    if (::inet_pton(AF_INET, text, &addr.sin_addr) != 1) return std::nullopt;
    return addr;
}

}  // namespace udp
