#pragma once
// UDP over IPv4: one socket per role, whole-datagram sends, receives cut to the area's size.

#include <netinet/in.h>

#include <cstdint>
#include <optional>
#include <span>

namespace udp {

class UdpSocket {
public:
    UdpSocket() = default;
    explicit UdpSocket(int fd) noexcept : fd_(fd) {}
    UdpSocket(UdpSocket&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    UdpSocket& operator=(UdpSocket&& other) noexcept;
    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;
    ~UdpSocket();
    bool valid() const noexcept { return fd_ >= 0; }
    int fd() const noexcept { return fd_; }

private:
    int fd_ = -1;
};

// An IPv4 datagram socket, not bound; invalid when the system refuses one.
UdpSocket open_socket() noexcept;
// Binds to every local address and the port (host order).
bool bind_any(const UdpSocket& sock, std::uint16_t port) noexcept;

// The servers' start-up step: a socket bound to every local address and the port, or the run
// ends with "Error while opening socket" / "Error binding to socket" (debug) and "ABORT".
UdpSocket open_bound_or_fail(std::uint16_t port) noexcept;

// Raises the receive buffer as far as this process may: SO_RCVBUFFORCE where privileged,
// otherwise SO_RCVBUF up to the system maximum. A sender streaming back to back then does not
// overrun a receiver that stalls briefly on its disk. Returns the size the kernel granted.
int raise_receive_buffer(const UdpSocket& sock, int bytes = 64 << 20) noexcept;

// Sends all of bytes in one datagram; false unless the whole datagram went out.
bool send_to(const UdpSocket& sock, std::span<const std::uint8_t> bytes,
             const sockaddr_in& to) noexcept;

// Receives one datagram into area (the caller zeroed it), cut to the area's size; records the
// sender when from is given. false when the receive call fails.
bool receive(const UdpSocket& sock, std::span<std::uint8_t> area,
             sockaddr_in* from = nullptr) noexcept;

// The endpoint of a host name or dotted address and a port: the first IPv4 address of the name,
// written as dotted text and read back, as every client has always done. nullopt when the name
// has no IPv4 address.
std::optional<sockaddr_in> resolve(const char* name, std::uint16_t port) noexcept;

}  // namespace udp
