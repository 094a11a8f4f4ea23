#pragma once
// gatekeep's pure decisions: the command line and the meaning of a received datagram.

#include <cstdint>
#include <optional>

#include "helpers.h"
#include "ticket_msg.h"

namespace gatekeep {

struct Settings {
    std::uint16_t port = 0;
    ticket::Id client{};
    ticket::Key client_key{};
    ticket::Id server{};
    ticket::Key server_key{};
    bool debug = false;
    std::int32_t back_dating = 0;  // seconds subtracted from every timestamp ("-T1" hours * 3600)
};

enum class ArgsError { usage, id_too_long };
using ParsedArgs = common::ParsedArgs<Settings, ArgsError>;
// Optional words count by position only: 6 words: "-DDEBUG" at 6; 7 words: "-T1" at 6 or 7 takes
// its hours from 7; 8 words: "-DDEBUG" at 6, "-T1" at 6 or 7 takes its hours from 8.
ParsedArgs parse_args(int argc, const char* const* argv) noexcept;

enum class Request { not_as_req, wrong_ids, as_req };
// An AS_REQ names this client and this server when both 40-byte fields match exactly.
Request classify(ticket::RecvView rx, const ticket::Id& client, const ticket::Id& server) noexcept;

// The timestamp put into the Ticket and the body: now moved back, wrapping as unsigned 32 bits.
constexpr std::uint32_t issue_timestamp(std::uint32_t now, std::int32_t back_dating) noexcept {
    return now - static_cast<std::uint32_t>(back_dating);
}

}  // namespace gatekeep
