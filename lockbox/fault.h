#pragma once
// The one fault each lockbox build carries, chosen when it is built: LOCKBOX_FAULT is bad_hash,
// skip_id or bad_req. Every departure from the ordinary session is one constexpr function here,
// so the protocol code reads the same in all three builds and no run-time word can change it.

#include <algorithm>
#include <cstdint>

#include "pass_msg.h"

#ifndef LOCKBOX_FAULT
#error "lockbox is built with LOCKBOX_FAULT set to bad_hash, skip_id or bad_req"
#endif

namespace lockbox {

enum class Fault { bad_hash, skip_id, bad_req };
inline constexpr Fault kFault = Fault::LOCKBOX_FAULT;

// The id of the DATA after the one that carried id. The first DATA of a transfer carries 1.
// DELIBERATE FAULT (lockbox-skipid): ids advance by two, so a transfer carries 1, 3, 5 ...
constexpr std::uint32_t next_packet_id(std::uint32_t id) noexcept {
    if constexpr (kFault == Fault::skip_id) return id + 2;
    return id + 1;
}

// DELIBERATE FAULT (lockbox-badreq): every PASS_REQ carries type 12 instead of 2.
constexpr std::uint16_t pass_req_type() noexcept {
    if constexpr (kFault == Fault::bad_req) return pass::kWrongType;
    return static_cast<std::uint16_t>(pass::Type::PASS_REQ);
}

// DELIBERATE FAULT (lockbox-badreq): each datagram is taken on its own, whatever came before it,
// instead of the fixed order JOIN_REQ, PASS_RESP.
constexpr bool takes_each_datagram_alone() noexcept { return kFault == Fault::bad_req; }

// DELIBERATE FAULT (lockbox-badhash): the first twelve digest bytes sent in TERMINATE are the
// text "Wrong Hash", its terminating zero and one more zero byte; bytes 12 to 19 stay true.
constexpr pass::Digest sent_digest(pass::Digest digest) noexcept {
    if constexpr (kFault == Fault::bad_hash) {
        constexpr char kText[] = "Wrong Hash";
        std::copy_n(kText, sizeof kText, digest.begin());  // ten characters and their zero
        digest[sizeof kText] = 0;
    }
    return digest;
}

}  // namespace lockbox
