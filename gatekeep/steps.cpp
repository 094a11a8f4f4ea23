#include "steps.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "helpers.h"

namespace gatekeep {

namespace {
bool same(const char* a, const char* b) noexcept { return std::strcmp(a, b) == 0; }
}  // namespace

ParsedArgs parse_args(int argc, const char* const* argv) noexcept {
    ParsedArgs parsed;
    const int words = argc - 1;
    if (words < 5 || words > 8) return parsed;
    Settings s;
    s.debug = (words == 6 || words == 8) && same(argv[6], "-DDEBUG");
    if (words >= 7 && (same(argv[6], "-T1") || same(argv[7], "-T1"))) {
        // Hours times 3600 in 32-bit arithmetic; the product wraps rather than overflowing.
        const auto hours = static_cast<std::uint32_t>(std::atoi(argv[words]));
        s.back_dating = static_cast<std::int32_t>(hours * 3600U);
    }
    s.port = static_cast<std::uint16_t>(std::atoi(argv[1]));
    common::to_hex(argv[3], s.client_key);
    common::to_hex(argv[5], s.server_key);
    parsed.debug = s.debug;
    if (!ticket::make_ids(argv[2], argv[4], s.client, s.server)) {
        parsed.error = ArgsError::id_too_long;
        return parsed;
    }
    parsed.settings = s;
    return parsed;
}

Request classify(ticket::RecvView rx, const ticket::Id& client, const ticket::Id& server) noexcept {
    if (!ticket::is(ticket::read_type(rx), ticket::Type::AS_REQ)) return Request::not_as_req;
    const bool client_ok = std::ranges::equal(wire::at<ticket::kAsReqClientId>(rx), client);
    const bool server_ok = std::ranges::equal(wire::at<ticket::kAsReqServerId>(rx), server);
    return client_ok && server_ok ? Request::as_req : Request::wrong_ids;
}

}  // namespace gatekeep
