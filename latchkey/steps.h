#pragma once
// latchkey's pure decisions: the command line and what each reply of the server means. No
// socket, file or output here; the driver does the I/O.

#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include "helpers.h"
#include "pass_msg.h"

namespace latchkey {

inline constexpr std::size_t kPasswords = 3;

struct Password {
    std::span<const std::uint8_t> text;  // at most the 52 bytes of the password field
    std::uint16_t length = 0;            // as common::size gives it
};

struct Settings {
    const char* server = nullptr;
    std::uint16_t port = 0;
    std::array<Password, kPasswords> passwords{};  // offered in this order
    const char* path = nullptr;
    bool debug = false;
};

enum class ArgsError { usage, password_too_long };
using ParsedArgs = common::ParsedArgs<Settings, ArgsError>;
// 7 or 8 words with the program name; the eighth turns debugging on only when it is "-DDEBUG".
// A password longer than the 52-byte field is refused rather than cut.
ParsedArgs parse_args(int argc, const char* const* argv) noexcept;

// The opening datagram: DELIBERATE FAULT (latchkey-badjoin): type 12 where JOIN_REQ's 1 belongs.
inline constexpr std::uint16_t kOpeningType = pass::kWrongType;

// The first reply must be a PASS_REQ with a length field of 0.
bool is_first_pass_req(pass::RecvView rx) noexcept;

enum class Verdict { offer_next, accepted, rejected, refused };
// The server's answer to the offered-th PASS_RESP (1 to 3). A PASS_REQ of any length field asks
// for the next password; after the third there is none, and it is refused like any other
// datagram that is neither PASS_ACCEPT nor PASS_REJECT with a length field of 0.
Verdict judge_answer(pass::RecvView rx, std::size_t offered) noexcept;

// The first datagram after PASS_ACCEPT: only its type is tested.
bool is_data(pass::RecvView rx) noexcept;

enum class Piece { data, terminate, bad_id, other };
struct PieceHead {
    Piece piece = Piece::other;
    std::uint32_t length = 0;  // the bytes a DATA brings, at most the 1000 of its data area
    std::uint32_t packet_id = 0;
};
// A datagram of the file loop, judged by the 12 bytes before its data area: DATA must carry the
// last accepted id plus one (the first, 1); a length field above 1000 names more than the data
// area holds and counts as bad_id, so nothing beyond the area is ever written.
PieceHead judge_piece(pass::HeadView head, std::uint32_t last_id) noexcept;

struct Step {
    Piece piece = Piece::other;
    std::span<const std::uint8_t> bytes;  // the file bytes of a DATA, inside the data area
    std::uint32_t packet_id = 0;
};
// judge_piece on a whole receive area, with the bytes of a DATA inside its data area.
Step next_piece(pass::RecvView rx, std::uint32_t last_id) noexcept;

// TERMINATE is right when its length field is 20 and its 20 digest bytes equal the digest of the
// file as written.
bool terminate_matches(pass::RecvView rx, const pass::Digest& written) noexcept;

}  // namespace latchkey
