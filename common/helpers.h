#pragma once
// Small stateless helpers shared by the programs of both protocols.

#include <array>
#include <cstdint>
#include <optional>
#include <span>

namespace common {

// What a program makes of its command line: its settings, or the reason E why there are none.
// Whether debugging was asked for is known even when the settings are refused.
template <typename Settings, typename E>
struct ParsedArgs {
    std::optional<Settings> settings;
    E error = E::usage;
    bool debug = false;
};

// Key bytes from key text: byte i is characters 2i and 2i+1 read as one base-16 number (leading
// white space and a sign allowed, stopping at the first non-digit, 0 when no digit), low 8 bits
// kept. A text shorter than 16 characters is never read past its end: its missing characters end
// the pair early, so they count as nothing (a missing pair gives 0, which the key check refuses).
std::span<std::uint8_t, 8> to_hex(const char* text, std::span<std::uint8_t, 8> key) noexcept;

// SHA-1 digest of the whole file at path. When the file cannot be opened it prints
// "\nerror opening file1\n" (always) and leaves 20 zero bytes. A read error other than the end of
// the file stops reading and also leaves 20 zero bytes. Returns whether the file was read whole.
bool mysha1(const char* path, std::span<std::uint8_t, 20> digest) noexcept;

// The first IPv4 address that the local node name resolves to, in network order; nullopt when
// the node name is unknown or has no IPv4 address.
std::optional<std::array<std::uint8_t, 4>> my_addr() noexcept;

// Decimal text to an unsigned 16-bit number the way the password programs always have: every
// character counts as (code - 48) * 10^position, each term cut to 32 bits signed (0 when it does
// not fit), summed modulo 65536. "5000" gives 5000, "12a" gives 169, "-1" gives 65507.
std::uint16_t to_num(const char* text) noexcept;

// Number of characters before the terminating zero, modulo 65536.
std::uint16_t size(const char* text) noexcept;

}  // namespace common
