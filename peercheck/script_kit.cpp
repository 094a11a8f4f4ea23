#include "script_kit.h"

#include <fmt/format.h>

#include <algorithm>
#include <ctime>

#include "helpers.h"
#include "pass_msg.h"

namespace peercheck::kit {

std::uint32_t now32() { return static_cast<std::uint32_t>(std::time(nullptr)); }

seal::Schedule schedule_of(std::string_view hex) {
    const std::string text(hex);
    seal::Key k{};
    common::to_hex(text.c_str(), k);
    seal::Schedule s;
    seal::make_schedule(k, s);
    return s;
}

ticket::Id id_of(std::string_view text) {
    ticket::Id id{};
    std::copy_n(text.begin(), std::min(text.size(), id.size()), id.begin());
    return id;
}

std::string ticket_type_text(std::uint16_t type) {
    const auto name = ticket::type_name(type);
    return name.empty() ? fmt::format("type {}", type) : std::string(name);
}

std::string pass_type_text(std::uint16_t type) {
    const auto name = pass::type_name(type);
    return name.empty() ? fmt::format("type {}", type) : std::string(name);
}

std::string within(Millis wait) {
    return fmt::format("nothing within {:.1f} s", static_cast<double>(wait.count()) / 1000);
}

Bytes as_bytes(std::span<const std::uint8_t> s) { return Bytes(s.begin(), s.end()); }

Bytes bare(std::uint16_t type) {
    Bytes b(pass::kHeaderSize);
    pass::build_bare(std::span<std::uint8_t, pass::kHeaderSize>(b.data(), b.size()), type);
    return b;
}

}  // namespace peercheck::kit
