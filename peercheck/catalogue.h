#pragma once
// The case catalogue: for each role, a table of cases with stable ids. Each case is a record
// saying which peers play against the implementation (our programs with their test switches, or
// peercheck itself by script, with what it gets wrong) and what the implementation must do.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "result.h"

namespace peercheck {

// Who plays the implementation's peers.
enum class Peers {
    ours,    // our programs (with the switches below), reached through a logging relay
    script,  // peercheck itself, which builds every datagram and knows every key
};

// What a scripted peer does differently from a conforming one. Each scripted exchange is
// otherwise tolerant, so a case fails only for what it aims at.
enum class Twist {
    none,
    // Garbage at the receive point named by `at` (see Point).
    truncated,
    random,
    oversized,
    // Ticket protocol, peercheck as gatekeep and server.
    as_rep_other_server,
    as_rep_length_beyond,
    ticket_length_beyond,
    ap_rep_length_beyond,
    prv_length_beyond,
    data_length_beyond,
    id_gap,
    id_repeat,
    id_first_zero,
    envelope_after_expiry,
    // Ticket protocol, peercheck as client.
    ticket_expired,
    ticket_other_key,
    ap_req_ticket_length_beyond,
    ap_req_auth_length_beyond,
    auth_other_client,
    inner_wrong_type,
    // Ticket protocol, peercheck as client of an authentication server.
    as_req_other_client,
    as_req_other_server,
    // Password protocol.
    wrong_password_1,
    wrong_password_2,
    wrong_passwords_3,
    pass_resp_length_beyond,
    bad_hash,
    bad_req,
    data_length_beyond_1000,
};

// The receive point of the implementation where a garbage twist is delivered.
enum class Point { first, second, third };

// What a scripted exchange checks besides the file it carries (bit set).
enum Check : unsigned {
    kNothing = 0,
    kNonce = 1u << 0,        // AP_REP answers nonce + 1
    kDigest = 1u << 1,       // the closing digest is the file's SHA-1
    kIds = 1u << 2,          // packet ids 1, 2, 3 ... and full chunks before the last
    kOpening = 1u << 3,      // password client: opens with a bare JOIN_REQ of type 1
    kPassReq = 1u << 4,      // password server: PASS_REQ of type 2
    kBody = 1u << 5,         // AS_REP body: key, server ID, lifetime, ticket length
    kTicket = 1u << 6,       // Ticket: key, IDs, address of the AS_REQ, lifetime
    kValidity = 1u << 7,     // timestamps current
    kFreshKeys = 1u << 8,    // a new session key for every AS_REQ
    kApReq = 1u << 9,        // client: the Ticket as received, an Authenticator with ID and address
    kAsErr = 1u << 10,       // AS_ERR carrying the refused client ID field
    kPassReject = 1u << 11,  // PASS_REJECT after the third wrong password
    kApErr = 1u << 12,       // server: AP_ERR to the client it refuses
};

// What the implementation must do.
enum class Expect {
    complete,    // client: "OK", status 0, file byte-identical
    refuse,      // client: "ABORT" and never "OK", status 0, sends nothing of the step refused
    serve,       // server: every exchange right, "OK" for each client, still running after
    refuse_end,  // server: answers nothing of the step refused, never "OK", ends by itself
    observe,     // informational: what it did is reported, never failed
};

struct Case {
    std::string_view id;
    std::string_view title;  // what the implementation must do, in one sentence
    Peers peers = Peers::script;
    Expect expect = Expect::complete;
    Twist twist = Twist::none;
    Point at = Point::first;
    unsigned checks = kNothing;
    std::size_t file_size = 2000;
    int clients = 1;
    // Words appended to our programs' command lines (test switches).
    std::string_view gatekeep_words{};
    std::string_view server_words{};
    std::string_view client_words{};
    // Which of our password programs plays the peer (Peers::ours), by file name.
    std::string_view password_peer{};
    // Message type the implementation must never send in this case (0: none).
    std::uint16_t never_sends = 0;
    // Arguments the implementation is given instead of the agreed ones.
    std::string_view impl_client_id{};
    std::string_view impl_server_id{};
    std::string_view impl_key{};
    std::string_view impl_passwords[3] = {};
};

// The agreed values of every case.
inline constexpr std::string_view kClientId = "alice";
inline constexpr std::string_view kServerId = "files";
inline constexpr std::string_view kClientKey = "0123456789abcdef";
inline constexpr std::string_view kServerKey = "fedcba9876543210";
inline constexpr std::string_view kOtherKey = "133457799bbcdff1";  // odd parity, not weak
inline constexpr std::string_view kPassword = "opensesame";

std::span<const Case> catalogue(Role role);

}  // namespace peercheck
