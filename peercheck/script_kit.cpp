#include "script_kit.h"

#include <fmt/format.h>

#include <algorithm>
#include <ctime>

#include "helpers.h"
#include "pass_msg.h"

namespace peercheck::kit {

std::uint32_t now32() { return static_cast<std::uint32_t>(std::time(nullptr)); }

bool wait_expired(std::uint32_t validity) {
    while (seal::still_valid(now32(), validity)) {
        if (!nap(Millis{20})) return false;
    }
    return true;
}

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

Bytes pass_resp(const std::string& word) {
    Bytes b(pass::kPassRespSize);
    pass::build_pass_resp(
        std::span<std::uint8_t, pass::kPassRespSize>(b.data(), b.size()),
        static_cast<std::uint16_t>(word.size()),
        std::span(reinterpret_cast<const std::uint8_t*>(word.data()), word.size()));
    return b;
}

Bytes data_of(const Bytes& file, std::size_t index) {
    const std::size_t offset = std::min(index * pass::kChunkSize, file.size());
    const std::size_t size = std::min(pass::kChunkSize, file.size() - offset);
    Bytes b(pass::kDataSize, 0);
    std::copy_n(file.begin() + static_cast<std::ptrdiff_t>(offset), size,
                b.begin() + static_cast<std::ptrdiff_t>(pass::kData.offset));
    pass::stamp_data(std::span<std::uint8_t, pass::kDataSize>(b.data(), b.size()),
                     static_cast<std::uint32_t>(size), static_cast<std::uint32_t>(index + 1));
    return b;
}

Bytes terminate_with(const pass::Digest& digest) {
    Bytes b(pass::kTerminateSize);
    pass::build_terminate(std::span<std::uint8_t, pass::kTerminateSize>(b.data(), b.size()),
                          digest);
    return b;
}

}  // namespace peercheck::kit
