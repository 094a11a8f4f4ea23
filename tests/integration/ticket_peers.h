#pragma once
// Test-side peers of the ticket protocol: sealed Tickets, Authenticators, AP_REQs, AP_REPs and
// KRB_PRV envelopes built from plain bytes, and their opening, for the scripted gatekeep and
// server and the scripted client of the integration tests.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <ctime>
#include <string>

#include "harness.h"
#include "seal.h"
#include "ticket_msg.h"

namespace peers {

using harness::Bytes;

inline constexpr const char* kClientKey = "0123456789abcdef";  // odd parity in every byte
inline constexpr const char* kServerKey = "fedcba9876543210";
inline const Bytes kClientKeyBytes =
    harness::bytes({0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef});
inline const Bytes kServerKeyBytes =
    harness::bytes({0xfe, 0xdc, 0xba, 0x98, 0x76, 0x54, 0x32, 0x10});
inline const Bytes kSessionKey = harness::bytes({0x13, 0x34, 0x57, 0x79, 0x9b, 0xbc, 0xdf, 0xf1});
inline const Bytes kLoopback = harness::bytes({127, 0, 0, 1});

inline std::uint32_t now() { return static_cast<std::uint32_t>(std::time(nullptr)); }

// The address the client under test puts in its Authenticator (see harness::client_address).
inline Bytes client_address() {
    const auto addr = harness::client_address();
    EXPECT_TRUE(addr) << "the host name does not resolve, so the client cannot fill its "
                         "Authenticator: map it to an address in /etc/hosts";
    return addr.value_or(Bytes(4, 0));
}

// An address read first byte least significant: what the client's -T1 offset works on, and how
// the client's and the server's debug lines print it.
inline std::uint32_t address_value(const Bytes& address4) {
    return wire::load_le32(std::span<const std::uint8_t, 4>(address4.data(), 4));
}

// The client's -T1 value that turns its own address into 127.0.0.1, the address its datagrams to
// 127.0.0.1 leave from and that gatekeep therefore writes into the Ticket: 0 where the host name
// resolves to 127.0.0.1, -65536 where it resolves to 127.0.1.1.
inline std::int32_t offset_to_loopback() {
    return static_cast<std::int32_t>(address_value(kLoopback) - address_value(client_address()));
}

inline seal::Schedule schedule(const Bytes& key) {
    seal::Schedule s;
    EXPECT_EQ(seal::make_schedule(std::span<const std::uint8_t, 8>(key.data(), 8), s), 0);
    return s;
}

inline Bytes seal_bytes(const Bytes& plain, std::size_t length, const Bytes& key) {
    Bytes out(seal::rounded(length));
    EXPECT_TRUE(seal::seal(plain, length, schedule(key), out));
    return out;
}

inline ticket::RecvArea area(const Bytes& datagram) { return ticket::receive_area(datagram); }

struct TicketPlain {
    Bytes session_key = kSessionKey;
    std::string client = "alice";
    Bytes address = kLoopback;
    std::string server = "files";
    std::uint32_t timestamp = now();
    std::uint16_t lifetime = 3600;
};
// The 100 plain bytes sealed with the server key: 104 bytes.
inline Bytes sealed_ticket(const TicketPlain& t, const Bytes& server_key = kServerKeyBytes) {
    const Bytes plain =
        harness::concat({t.session_key, harness::text_field(t.client, 40), t.address,
                         harness::text_field(t.server, 40), harness::le32(t.timestamp),
                         harness::be16(t.lifetime), harness::zeros(2)});
    return seal_bytes(plain, 100, server_key);
}

// An AS_REP body: the session key, the server ID, the timestamp, lifetime 3600 and the Ticket.
inline Bytes body(std::uint32_t timestamp, const std::string& server = "files",
                  std::uint16_t ticket_length = 104, const Bytes& ticket104 = sealed_ticket({})) {
    return harness::concat({kSessionKey, harness::text_field(server, 40), harness::le32(timestamp),
                            harness::be16(3600), harness::zeros(2), harness::be16(ticket_length),
                            harness::zeros(2), ticket104});
}

// An AS_REP around a 164-byte body given whole, sealed with the client key.
inline Bytes as_rep_from_body(const Bytes& body164, std::uint16_t length_field = 168) {
    return harness::concat(
        {harness::be16(2), harness::be16(length_field), seal_bytes(body164, 164, kClientKeyBytes)});
}

inline Bytes authenticator(const std::string& client, const Bytes& address, std::uint32_t nonce) {
    return harness::concat({harness::text_field(client, 40), address, harness::le32(nonce)});
}

// An AP_REQ whose length fields may be set apart from what it carries.
inline Bytes ap_req(const Bytes& ticket104, const Bytes& auth_plain,
                    std::uint16_t ticket_length = 104, std::uint16_t auth_length = 48,
                    const Bytes& session_key = kSessionKey) {
    return harness::concat({harness::be16(4), harness::be16(ticket_length),
                            harness::be16(auth_length), ticket104,
                            seal_bytes(auth_plain, 48, session_key)});
}

inline Bytes inner(std::uint16_t type, std::uint16_t data_length, std::uint16_t pid,
                   const Bytes& data) {
    Bytes in = harness::concat(
        {harness::be16(type), harness::be16(data_length), harness::be16(pid), data});
    in.resize(ticket::kInnerSize, 0);
    return in;
}

inline Bytes krb_prv(const Bytes& inner978, std::uint16_t length_field = 978,
                     const Bytes& session_key = kSessionKey) {
    return harness::concat(
        {harness::be16(7), harness::be16(length_field), seal_bytes(inner978, 978, session_key)});
}

inline Bytes app_data(std::uint16_t pid, const Bytes& data) {
    return krb_prv(inner(15, static_cast<std::uint16_t>(data.size()), pid, data));
}

inline Bytes app_terminate(const Bytes& digest20) { return krb_prv(inner(16, 20, 0, digest20)); }

// The inner message of a received KRB_PRV (checked to be 988 bytes with length field 978).
inline Bytes open_krb_prv(const Bytes& datagram, const Bytes& session_key = kSessionKey) {
    EXPECT_EQ(datagram.size(), ticket::kPrvSize);
    EXPECT_EQ(Bytes(datagram.begin(), datagram.begin() + 4), harness::bytes({0, 7, 0x03, 0xd2}));
    ticket::Inner in{};
    EXPECT_TRUE(ticket::unseal_krb_prv(area(datagram), schedule(session_key), in));
    return Bytes(in.begin(), in.end());
}

inline std::uint16_t be16_at(const Bytes& b, std::size_t offset) {
    return static_cast<std::uint16_t>(b[offset] << 8 | b[offset + 1]);
}

inline Bytes slice(const Bytes& b, std::size_t offset, std::size_t n) {
    return Bytes(b.begin() + static_cast<std::ptrdiff_t>(offset),
                 b.begin() + static_cast<std::ptrdiff_t>(offset + n));
}

// The datagram with its n bytes at offset sealed with key, in place.
inline Bytes seal_region(const Bytes& datagram, std::size_t offset, std::size_t n,
                         const Bytes& key) {
    Bytes out = datagram;
    const Bytes sealed = seal_bytes(slice(datagram, offset, n), n, key);
    std::copy(sealed.begin(), sealed.end(), out.begin() + static_cast<std::ptrdiff_t>(offset));
    return out;
}

// A sealed field of length bytes at offset, unsealed with key into a zeroed area of room bytes.
inline Bytes unseal_area(const Bytes& rx, std::size_t offset, std::size_t length, const Bytes& key,
                         std::size_t room) {
    Bytes out(room, 0);
    seal::unseal(std::span(rx).subspan(offset, seal::rounded(length)), length, schedule(key), out);
    return out;
}

}  // namespace peers
