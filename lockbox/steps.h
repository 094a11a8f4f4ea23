#pragma once
// lockbox's pure decisions: the command line, what each received datagram means, and the
// counting of wrong passwords. No socket, file or output here; the driver does the I/O.

#include <cstdint>
#include <optional>
#include <span>

#include "pass_msg.h"

namespace lockbox {

struct Settings {
    std::uint16_t port = 0;
    std::span<const std::uint8_t> password;  // the command-line text without its zero
    std::uint16_t password_length = 0;       // as common::size gives it (modulo 65536)
    const char* path = nullptr;
    bool debug = false;
};

// 4 or 5 words with the program name; the fifth turns debugging on only when it is "-DDEBUG".
// nullopt means the usage line. The input file is not looked at here.
std::optional<Settings> parse_args(int argc, const char* const* argv) noexcept;

// The opening of a session: type 1 and a length field of 0.
bool is_join_req(pass::RecvView rx) noexcept;

enum class Verdict { not_pass_resp, right, wrong };
// not_pass_resp: the type is not 3 or the length field exceeds 50. right: the length field equals
// the configured length and the first that many bytes of the password field equal the password
// (compared in constant time); bytes after them are not looked at.
Verdict check_password(pass::RecvView rx, const Settings& s) noexcept;

// The text shown after "Im getting ": from the password field up to the first zero byte, which
// may lie beyond the 52-byte field but never beyond the receive area.
std::span<const std::uint8_t> shown_password(pass::RecvView rx) noexcept;

// What the datagram-by-datagram loop makes of any datagram.
enum class Datagram { join_req, right_password, wrong_password, pass_resp_too_long, other };
Datagram classify_any(pass::RecvView rx, const Settings& s) noexcept;

// Wrong passwords given since the session opened; the third one ends the run with PASS_REJECT.
inline constexpr std::uint32_t kAttempts = 3;
struct Misses {
    std::uint32_t count = 0;
    // Counts one more wrong password; true when it is the third.
    constexpr bool add() noexcept { return ++count >= kAttempts; }
    constexpr void reset() noexcept { count = 0; }
};

}  // namespace lockbox
