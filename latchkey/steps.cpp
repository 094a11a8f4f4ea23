#include "steps.h"

#include <algorithm>
#include <cstring>

#include "helpers.h"

namespace latchkey {

ParsedArgs parse_args(int argc, const char* const* argv) noexcept {
    ParsedArgs parsed;
    if (argc < 7 || argc > 8) return parsed;
    Settings s;
    s.debug = argc == 8 && std::strcmp(argv[7], "-DDEBUG") == 0;
    parsed.debug = s.debug;
    for (std::size_t i = 0; i < kPasswords; ++i) {
        const char* text = argv[3 + i];
        const std::size_t n = std::strlen(text);
        if (n > pass::kPassword.size) {
            parsed.error = ArgsError::password_too_long;
            return parsed;
        }
        s.passwords[i] = {std::span(reinterpret_cast<const std::uint8_t*>(text), n),
                          common::size(text)};
    }
    s.server = argv[1];
    s.port = common::to_num(argv[2]);
    s.path = argv[6];
    parsed.settings = s;
    return parsed;
}

bool is_first_pass_req(pass::RecvView rx) noexcept {
    return pass::is_bare(pass::read_header(rx), pass::Type::PASS_REQ);
}

Verdict judge_answer(pass::RecvView rx, std::size_t offered) noexcept {
    const pass::Header h = pass::read_header(rx);
    if (pass::is(h, pass::Type::PASS_REQ))
        return offered < kPasswords ? Verdict::offer_next : Verdict::refused;
    if (pass::is_bare(h, pass::Type::PASS_ACCEPT)) return Verdict::accepted;
    if (pass::is_bare(h, pass::Type::PASS_REJECT)) return Verdict::rejected;
    return Verdict::refused;
}

bool is_data(pass::RecvView rx) noexcept {
    return pass::is(pass::read_header(rx), pass::Type::DATA);
}

PieceHead judge_piece(pass::HeadView head, std::uint32_t last_id) noexcept {
    const pass::Header h = pass::read_header(head);
    if (pass::is(h, pass::Type::TERMINATE)) return {Piece::terminate, 0, 0};
    if (!pass::is(h, pass::Type::DATA)) return {Piece::other, 0, 0};
    const std::uint32_t id = pass::read_packet_id(head);
    // Intended unsigned wrap-around: an id after 2^32 - 1 would be 0.
    if (id != last_id + 1 || h.length > pass::kChunkSize) return {Piece::bad_id, 0, id};
    return {Piece::data, h.length, id};
}

Step next_piece(pass::RecvView rx, std::uint32_t last_id) noexcept {
    const PieceHead p = judge_piece(rx.first<pass::kHeadSize>(), last_id);
    const auto bytes = wire::at<pass::kData>(rx).first(p.length);
    return {p.piece, p.piece == Piece::data ? bytes : std::span<const std::uint8_t>{}, p.packet_id};
}

bool terminate_matches(pass::RecvView rx, const pass::Digest& written) noexcept {
    const pass::Header h = pass::read_header(rx);
    return h.length == written.size() && std::ranges::equal(wire::at<pass::kDigest>(rx), written);
}

}  // namespace latchkey
