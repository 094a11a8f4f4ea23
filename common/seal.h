#pragma once
// DES-CBC sealing of the ticket protocol. Every seal and unseal starts again from the protocol IV,
// so each sealed field stands alone and no chaining state passes between fields or datagrams.

#include <openssl/des.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace seal {

using Key = std::array<std::uint8_t, 8>;

struct Schedule {
    DES_key_schedule ks{};
};

inline constexpr std::array<std::uint8_t, 8> kProtocolIv{0x5A, 0xC3, 0xE1, 0x0F,
                                                         0x7B, 0x24, 0x96, 0xD8};

// The result of the library's checked key set-up: 0 accepted, -1 wrong parity, -2 weak key.
// The schedule is filled only when the key is accepted.
int make_schedule(std::span<const std::uint8_t, 8> key, Schedule& out) noexcept;

// Bytes that L plain bytes occupy once sealed: L rounded up to a whole DES block.
constexpr std::size_t rounded(std::size_t plain_length) noexcept {
    return (plain_length + 7) / 8 * 8;
}

// The length field that announces a sealed part of L plain bytes: L when it is a multiple of 8,
// otherwise L + 4 (not rounded up; every peer computes it this way, so it stays).
constexpr std::uint16_t length_field(std::size_t plain_length) noexcept {
    return static_cast<std::uint16_t>(plain_length % 8 == 0 ? plain_length : plain_length + 4);
}

// Seals L bytes of plain into rounded(L) bytes at the start of out; a last partial block is
// filled with zero bytes first. Returns false, writing nothing, when plain holds fewer than L
// bytes or out fewer than rounded(L).
bool seal(std::span<const std::uint8_t> plain, std::size_t length, const Schedule& schedule,
          std::span<std::uint8_t> out) noexcept;

// Decrypts rounded(L) bytes of sealed and writes the first L plain bytes to out. Returns false,
// writing nothing, when sealed holds fewer than rounded(L) bytes or out fewer than L.
bool unseal(std::span<const std::uint8_t> sealed, std::size_t length, const Schedule& schedule,
            std::span<std::uint8_t> out) noexcept;

// Feeds the random generator once; the generator is already seeded by the operating system, so
// this adds to its state and never replaces it.
void seed_random(std::span<const std::uint8_t> text) noexcept;

// A fresh random DES key with odd parity, for one session.
Key random_key() noexcept;

// A session key is valid while now < timestamp + lifetime, all unsigned 32-bit seconds; the sum
// wraps as the peers compute it.
constexpr std::uint32_t validity_time(std::uint32_t timestamp, std::uint16_t lifetime) noexcept {
    return timestamp + lifetime;
}
constexpr bool still_valid(std::uint32_t now, std::uint32_t validity) noexcept {
    return now < validity;
}

}  // namespace seal
