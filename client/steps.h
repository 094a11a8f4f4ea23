#pragma once
// client's pure decisions: the command line, the Authenticator's fields as the test switches
// alter them, and the meaning of each received datagram. No socket, file, clock or output here;
// the caller passes the current time in.

#include <cstdint>
#include <optional>

#include "helpers.h"
#include "seal.h"
#include "ticket_msg.h"

namespace client {

struct Settings {
    const char* gatekeep_name = nullptr;
    std::uint16_t gatekeep_port = 0;
    ticket::Key client_key{};
    const char* server_name = nullptr;
    std::uint16_t server_port = 0;
    const char* out_path = nullptr;
    ticket::Id client{};
    ticket::Id server{};
    bool debug = false;
    std::int32_t address_offset = 0;    // "-T1": added to the Authenticator's address
    const char* replacement = nullptr;  // "-T2": its first four characters replace the client ID
    std::int32_t back_dating = 0;       // "-T3" hours * 3600: seconds taken off the nonce
};

enum class ArgsError { usage, id_too_long };
using ParsedArgs = common::ParsedArgs<Settings, ArgsError>;
// 8 to 11 words. Optional words count by position only: 9 or 11 words: "-DDEBUG" at 9; 11 words:
// the switch at 10 and its value at 11; 10 words: positions 9 and 10 are ignored.
ParsedArgs parse_args(int argc, const char* const* argv) noexcept;

// The client ID the Authenticator carries: the command-line ID, or with "-T2" the first four
// characters of the replacement (a shorter text whole) followed by zero bytes.
ticket::Id auth_client_id(const Settings& s) noexcept;

// What the Authenticator carries, with the values the debug lines show.
struct AuthFields {
    ticket::Id client{};               // the command-line ID, or the "-T2" replacement
    std::uint32_t address_before = 0;  // my_addr's bytes read first byte least significant
    std::uint32_t address_after = 0;   // plus the "-T1" offset, wrapping
    ticket::Address address{};         // address_after written back first byte least significant
    std::uint32_t nonce = 0;           // now minus the "-T3" back-dating, wrapping
};
AuthFields make_auth_fields(const Settings& s, const ticket::Address& my_addr,
                            std::uint32_t now) noexcept;

enum class AsVerdict {
    as_err,
    unexpected_type,
    bad_length,    // AS_REP length above 168
    key_rejected,  // the session key fails the key check
    wrong_server_id,
    bad_ticket_length,  // ticket length field above 104: the AP_REQ has no room for it
    expired,
    accepted,
};
struct AsReply {
    AsVerdict verdict = AsVerdict::unexpected_type;
    std::uint16_t type = 0;
    seal::Schedule session{};
    std::uint32_t timestamp = 0;
    std::uint16_t lifetime = 0;
    std::uint32_t validity = 0;
};
// The reply to AS_REQ (rx zeroed before the receive). The body is unsealed into body, which
// keeps the ticket length and the sealed Ticket for the AP_REQ.
AsReply check_as_reply(ticket::RecvView rx, const seal::Schedule& client_key,
                       const ticket::Id& server, std::uint32_t now,
                       ticket::BodyArea& body) noexcept;

enum class ApVerdict { unexpected_type, expired, bad_length, wrong_answer, accepted };
struct ApReply {
    ApVerdict verdict = ApVerdict::unexpected_type;
    std::uint16_t type = 0;
    std::uint32_t answer = 0;    // the number read from the answer text
    std::uint32_t expected = 0;  // nonce + 1
};
// The reply to AP_REQ: type, validity at now, then the answer compared with nonce + 1 as 32-bit
// values.
ApReply check_ap_reply(ticket::RecvView rx, const seal::Schedule& session, std::uint32_t nonce,
                       std::uint32_t validity, std::uint32_t now) noexcept;

enum class EnvelopeVerdict {
    ap_err,
    unexpected_type,
    expired,
    bad_length,       // KRB_PRV length above 978
    out_of_sequence,  // APP_DATA whose id is not the expected one plus one
    bad_data_length,  // APP_DATA data length above 972
    unexpected_inner,
    app_data,
    app_terminate,
};
struct Envelope {
    EnvelopeVerdict verdict = EnvelopeVerdict::unexpected_type;
    std::uint16_t type = 0;  // the outer type, or the inner type once unsealed
    std::uint16_t packet_id = 0;
    std::uint16_t data_length = 0;
};
// One datagram of the transfer: outer type, validity at now, the inner message unsealed into
// inner (zeroed by the unseal), and for APP_DATA the packet id against last_id + 1 (16 bits, so
// 65535 is followed by 0) and the data length against 972.
Envelope check_envelope(ticket::RecvView rx, const seal::Schedule& session, std::uint32_t validity,
                        std::uint32_t now, std::uint16_t last_id, ticket::Inner& inner) noexcept;

// The packet id that must follow last (intended wrap from 65535 to 0).
constexpr std::uint16_t next_packet_id(std::uint16_t last) noexcept {
    return static_cast<std::uint16_t>(last + 1U);
}

}  // namespace client
