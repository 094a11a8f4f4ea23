#pragma once
// server's pure decisions: the command line, the meaning of each received datagram, and the
// values the test switches alter. No socket, file, clock or output here; the caller passes the
// current time in.

#include <cstdint>
#include <optional>

#include "seal.h"
#include "ticket_msg.h"

namespace server {

struct Settings {
    std::uint16_t port = 0;
    ticket::Key server_key{};
    const char* path = nullptr;  // the served file, argument 3
    bool debug = false;
    std::int32_t nonce_offset = 0;  // "-T1": added to every nonce answer
    bool wrong_digest = false;      // "-T2": the digest sent is overwritten with "Wrong Hash"
};

// Optional words count by position only: 4 or 6 or 8 words: "-DDEBUG" at 4; 6 words: the switch
// at 5 with its value at 6; 8 words: the switch at 7 with its value at 8. 5 or 7 words: the
// extra words are ignored. nullopt: fewer than 3 or more than 8 words (the usage line).
std::optional<Settings> parse_args(int argc, const char* const* argv) noexcept;

enum class ApReqVerdict {
    not_ap_req,     // any other type: "First packet is not AP_REQ"
    bad_lengths,    // ticket length above 104 or Authenticator length above 48
    key_error,      // the Ticket's session key fails the key check: silent exit
    expired,        // the Ticket's validity time has been reached: silent exit
    wrong_client,   // the two client IDs differ: AP_ERR
    wrong_address,  // the two client addresses differ: AP_ERR
    accepted,
};
struct ApReqCheck {
    ApReqVerdict verdict = ApReqVerdict::not_ap_req;
    std::uint16_t type = 0;
    ticket::ApReq lengths{};
    int key_result = 0;  // the key check's result: -1 wrong parity, -2 weak key
    seal::Schedule session{};
    std::uint32_t validity = 0;  // Ticket timestamp + lifetime
    ticket::TicketArea ticket{};
    ticket::AuthArea auth{};
    std::int32_t nonce = 0;
};
// Checks one received AP_REQ (rx zeroed before the receive) in the order the server reports
// failures: type, length fields, session key, validity at now, client ID, client address. The
// fields after the verdict's step are left zero.
ApReqCheck check_ap_req(ticket::RecvView rx, const seal::Schedule& server_key,
                        std::uint32_t now) noexcept;

// The reply number: nonce + 1 + offset, wrapping as signed 32-bit values.
constexpr std::int32_t nonce_answer(std::int32_t nonce, std::int32_t offset) noexcept {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(nonce) + 1U +
                                     static_cast<std::uint32_t>(offset));
}

enum class RequestVerdict {
    ap_err,            // the client refused the AP_REP
    unexpected_type,   // neither KRB_PRV nor AP_ERR
    expired,           // silent exit
    bad_length,        // KRB_PRV length field above 978
    unexpected_inner,  // not APP_DATA_REQ
    app_data_req,
};
struct RequestCheck {
    RequestVerdict verdict = RequestVerdict::unexpected_type;
    std::uint16_t type = 0;  // the outer type, or the inner type for unexpected_inner
};
// Checks the datagram that follows the AP_REP: outer type, validity at now, then the inner
// message, which is unsealed into inner (zeroed by the unseal).
RequestCheck check_request(ticket::RecvView rx, const seal::Schedule& session,
                           std::uint32_t validity, std::uint32_t now,
                           ticket::Inner& inner) noexcept;

// "-T2": the first 12 digest bytes become "Wrong Hash", a zero byte and a twelfth byte, which
// this server sets to zero as well; bytes 12 to 19 keep the file's true digest.
constexpr void overwrite_digest(ticket::Digest& digest) noexcept {
    constexpr char kText[] = "Wrong Hash";
    static_assert(sizeof kText == 11);
    for (std::size_t i = 0; i < sizeof kText; ++i) digest[i] = static_cast<std::uint8_t>(kText[i]);
    digest[11] = 0;
}

// Packet ids are 16 bits wide: after 65535 the next APP_DATA carries 0 (intended wrap).
constexpr std::uint16_t next_packet_id(std::uint16_t id) noexcept {
    return static_cast<std::uint16_t>(id + 1U);
}

}  // namespace server
