#pragma once
// Shared by the fuzz targets and the seed generator: the fixed keys every target unseals with,
// and the two ways a target wires its input into a receive area.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "seal.h"
#include "ticket_msg.h"
#include "wire.h"

namespace fuzz {

// The long-term keys of the targets (odd parity in every byte) and the session key that the seed
// Tickets carry. The seeds are sealed with them, so a seed unseals to a valid record.
inline constexpr seal::Key kClientKey{0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef};
inline constexpr seal::Key kServerKey{0xfe, 0xdc, 0xba, 0x98, 0x76, 0x54, 0x32, 0x10};
inline constexpr seal::Key kSessionKey{0x13, 0x34, 0x57, 0x79, 0x9b, 0xbc, 0xdf, 0xf1};

// The identifiers gatekeep and the client are configured with in the targets and the seeds.
inline constexpr char kClientId[] = "alice";
inline constexpr char kServerId[] = "files";

// Time in the targets: the seeds' Tickets and bodies are issued at kTimestamp, their
// Authenticators carry kNonce, and the targets judge them at kNow, within the lifetime.
inline constexpr std::uint32_t kTimestamp = 1'700'000'000;
inline constexpr std::uint32_t kNonce = kTimestamp + 5;
inline constexpr std::uint32_t kNow = kTimestamp + 10;

// The password the lockbox targets are configured with, and the ones latchkey offers.
inline constexpr char kPassword[] = "secret";

inline seal::Schedule schedule(const seal::Key& key) noexcept {
    seal::Schedule s;
    seal::make_schedule(key, s);
    return s;
}

// Exactly what a receive leaves: a zeroed area holding the datagram, cut at the area's size.
template <std::size_t N>
std::array<std::uint8_t, N> receive_area(const std::uint8_t* data, std::size_t size) noexcept {
    std::array<std::uint8_t, N> area{};
    std::copy_n(data, std::min(size, N), area.begin());
    return area;
}

// The second reading of an input: the bytes of field F taken as plain text and sealed in place
// with key, so that mutations reach the checks made after unsealing (a mutated sealed field
// unseals to noise and rarely gets past the first of them).
template <wire::Field F, std::size_t N>
void seal_in_place(std::array<std::uint8_t, N>& area, const seal::Schedule& key) noexcept {
    static_assert(F.size % 8 == 0 && F.end() <= N);
    std::array<std::uint8_t, F.size> plain{};
    const auto field = wire::at<F>(area);
    std::ranges::copy(field, plain.begin());
    seal::seal(plain, F.size, key, field);
}

// The second reading of an AP_REQ: its Ticket sealed with the server key and, when the plain
// Ticket's first eight bytes make a usable session key, its Authenticator sealed with that key.
template <std::size_t N>
void seal_ap_req_in_place(std::array<std::uint8_t, N>& area,
                          const seal::Schedule& server_key) noexcept {
    seal::Schedule session;
    const bool key_ok =
        seal::make_schedule(wire::at<wire::Field{ticket::kApReqTicket.offset, 8}>(area), session) ==
        0;
    seal_in_place<ticket::kApReqTicket>(area, server_key);
    if (key_ok) seal_in_place<ticket::kApReqAuth>(area, session);
}

// A target's two readings of its input: as it came, then with field F sealed in place with key
// (see seal_in_place). decide(area) is the target's decision on one reading.
template <wire::Field F, typename Decide>
int raw_then_sealed(const std::uint8_t* data, std::size_t size, const seal::Schedule& key,
                    Decide decide) {
    auto rx = receive_area<ticket::kRecvSize>(data, size);
    decide(rx);
    seal_in_place<F>(rx, key);
    decide(rx);
    return 0;
}

// The same for an AP_REQ, its second reading sealed as seal_ap_req_in_place seals it.
template <typename Decide>
int raw_then_sealed_ap_req(const std::uint8_t* data, std::size_t size,
                           const seal::Schedule& server_key, Decide decide) {
    auto rx = receive_area<ticket::kRecvSize>(data, size);
    decide(rx);
    seal_ap_req_in_place(rx, server_key);
    decide(rx);
    return 0;
}

// Reads every byte a decision hands back, so that a span reaching outside its area is reported
// by the sanitizers even when the caller would only have printed or written it.
inline volatile std::uint8_t sink = 0;
inline void consume(std::span<const std::uint8_t> bytes) noexcept {
    std::uint8_t sum = 0;
    for (const std::uint8_t b : bytes) sum = static_cast<std::uint8_t>(sum ^ b);
    sink = static_cast<std::uint8_t>(sink ^ sum);
}
inline void consume(std::uint32_t value) noexcept {
    sink = static_cast<std::uint8_t>(sink ^ value);
}

}  // namespace fuzz
