#pragma once
// What the protocol fixes in each datagram an implementation sends, compared byte for byte:
// type, size, every length field, the zero bytes after IDs, texts and data, and every sealed part
// unsealed on its own (from the protocol IV) with the case's keys. A check returns nothing when
// the datagram is right, else its first difference in words, with the likely cause when the
// difference fits a mistake people make.

#include <netinet/in.h>

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "engine.h"
#include "pass_msg.h"
#include "seal.h"
#include "ticket_msg.h"

namespace peercheck {

// The last ciphertext blocks of the sealed parts an implementation sealed or unsealed before the
// part checked. A part whose first block alone is wrong, and which decrypts right from one of
// these as its IV, was sealed with the CBC state carried over.
using Block = std::array<std::uint8_t, 8>;
using Chain = std::vector<Block>;
// The last block of `length` sealed bytes at `offset` of a datagram, when it holds them.
void add_last_block(Chain& chain, std::span<const std::uint8_t> d, std::size_t offset,
                    std::size_t length);

struct Finding {
    std::string expected, observed, cause;
};
using Difference = std::optional<Finding>;

// The first byte where got differs from want, named by the field it falls in (fields of the
// datagram, or of the plain record `what` names), and the sizes when they differ.
Difference compare(std::span<const std::uint8_t> want, std::span<const std::uint8_t> got,
                   std::span<const wire::Named> fields, const std::string& what);

// ---- from a ticket-protocol client
Difference exact_as_req(const Bytes& d, const ticket::Id& client, const ticket::Id& server);
// The Ticket exactly as the AS_REP carried it; the Authenticator unsealed alone with the session
// key: the client ID field, the address the client's host name gives, a nonce near now.
Difference exact_ap_req(const Bytes& d, const ticket::BodyArea& body, const ticket::Id& client,
                        in_addr host, const seal::Schedule& session, std::uint32_t now,
                        const Chain& chain = {});
// KRB_PRV holding APP_DATA_REQ: inner type 14, every other inner byte zero.
Difference exact_request(const Bytes& d, const seal::Schedule& session, const Chain& chain = {});
Difference exact_client_ap_err(const Bytes& d, const ticket::Id& client);

// ---- from an authentication server
struct AsFacts {
    const seal::Schedule& client_key;
    const seal::Schedule& server_key;
    const ticket::Id& client;  // as configured in the server
    const ticket::Id& server;
    ticket::Address source;  // the AS_REQ's source address
    std::uint32_t now;
};
Difference exact_as_rep(const Bytes& d, const AsFacts& f);
Difference exact_as_err(const Bytes& d, std::span<const std::uint8_t, ticket::kIdSize> received);

// ---- from an application server
Difference exact_ap_rep(const Bytes& d, const seal::Schedule& session, std::uint32_t nonce,
                        const Chain& chain = {});
// APP_DATA or APP_TERMINATE: the inner message as `want` (built by common/), unsealed alone.
// previous: the chunk sent before it, to tell an area reused without clearing.
Difference exact_envelope(const Bytes& d, const seal::Schedule& session, const ticket::Inner& want,
                          const ticket::Inner* previous, const Chain& chain = {});
Difference exact_server_ap_err(const Bytes& d);

// ---- password protocol, either side: the datagram as common/'s builders make it. previous:
// the datagram of the same kind sent before it, to tell an area reused without clearing.
Difference exact_password(const Bytes& d, const Bytes& want, const Bytes* previous = nullptr);

// SHA-1 of bytes in memory (the programs digest files; the scripts digest what a client wrote).
std::array<std::uint8_t, 20> sha1_of(std::span<const std::uint8_t> bytes);

// The bytes of a uint32 in the other order.
constexpr std::uint32_t swapped(std::uint32_t v) noexcept {
    return (v >> 24) | ((v >> 8) & 0xFF00u) | ((v << 8) & 0xFF0000u) | (v << 24);
}

// A timestamp or nonce the peer wrote "now": within a few minutes of the checker's clock.
constexpr bool near(std::uint32_t t, std::uint32_t now) noexcept {
    return t + 300 >= now && t <= now + 300;
}

}  // namespace peercheck
