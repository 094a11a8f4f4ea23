#include "steps.h"

#include <openssl/crypto.h>

#include <cstring>

#include "helpers.h"

namespace lockbox {

std::optional<Settings> parse_args(int argc, const char* const* argv) noexcept {
    if (argc < 4 || argc > 5) return std::nullopt;
    Settings s;
    s.port = common::to_num(argv[1]);
    s.password_length = common::size(argv[2]);
    s.password = std::span(reinterpret_cast<const std::uint8_t*>(argv[2]), std::strlen(argv[2]));
    s.path = argv[3];
    s.debug = argc == 5 && std::strcmp(argv[4], "-DDEBUG") == 0;
    return s;
}

bool is_join_req(pass::RecvView rx) noexcept {
    return pass::is_bare(pass::read_header(rx), pass::Type::JOIN_REQ);
}

Verdict check_password(pass::RecvView rx, const Settings& s) noexcept {
    const auto resp = pass::decode_pass_resp(rx);
    if (!resp) return Verdict::not_pass_resp;
    // The length field is at most 50 here, so a match compares at most 50 bytes of the 52-byte
    // field; a configured password longer than 50 bytes can never match.
    if (resp->length != s.password_length || s.password.size() < resp->length)
        return Verdict::wrong;
    const bool same = CRYPTO_memcmp(resp->password.data(), s.password.data(), resp->length) == 0;
    return same ? Verdict::right : Verdict::wrong;
}

std::span<const std::uint8_t> shown_password(pass::RecvView rx) noexcept {
    const auto text = rx.subspan<pass::kPassword.offset>();
    return text.first(static_cast<std::size_t>(wire::text_length(text)));
}

Datagram classify_any(pass::RecvView rx, const Settings& s) noexcept {
    if (is_join_req(rx)) return Datagram::join_req;
    if (!pass::is(pass::read_header(rx), pass::Type::PASS_RESP)) return Datagram::other;
    switch (check_password(rx, s)) {
        case Verdict::right:
            return Datagram::right_password;
        case Verdict::wrong:
            return Datagram::wrong_password;
        case Verdict::not_pass_resp:
            break;
    }
    return Datagram::pass_resp_too_long;
}

}  // namespace lockbox
