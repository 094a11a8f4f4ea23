#pragma once
// The receive points of each role: which message arrives there, its layout (from common/), and
// the length fields a receiver must bound. The generated families of the catalogue walk this
// table; the scripts' readings of a changed datagram bound the same fields with common/'s limits.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "catalogue.h"
#include "wire.h"

namespace peercheck {

// What a receiver may do with a length field beyond its limit.
enum class Beyond : std::uint8_t {
    choice,  // refuse it, or cut it to its area and go on: both conform
    refuse,  // the protocol requires the refusal
    ignore,  // the field is never read
};

struct LengthRule {
    Part part;          // where the field lives: the datagram or a plain record
    wire::Field field;  // 2 or 4 bytes, most significant byte first
    const char* name;   // "length", "ticket length", ...
    std::uint32_t limit;
    Beyond beyond;
    // A further value worth sending, beyond 0, the limit, one past it and the widest value
    // (0: none): one whose low bytes alone look right, or one that cuts the content short.
    std::uint32_t extra = 0;
};

struct Point {
    At at;
    Role role;
    const char* slug;                     // in case ids: "as-rep"
    const char* message;                  // in titles: "AS_REP"
    std::uint16_t type;                   // the message type that belongs here
    std::size_t size;                     // the whole datagram a conforming sender sends
    std::span<const wire::Named> fields;  // the datagram's fields
    // For a sealed datagram: the plain record inside its sealed field, so that cuts also fall at
    // the record's field boundaries.
    std::size_t sealed_at = 0;
    std::span<const wire::Named> sealed_fields{};
    std::span<const LengthRule> lengths{};
    // Whether a later datagram at this point may land on an earlier one's bytes (a receiver that
    // does not clear its area between receives): cuts are then also tried at the nth arrival.
    bool repeats = false;
    // Further cuts where this point's agreed content ends (the IDs, the password): all of it
    // arrived, and only the zero bytes after it are missing.
    std::span<const std::size_t> content_ends{};
};

// The receive points of a role, in the order a run reaches them.
std::span<const Point> points_of(Role role) noexcept;
const Point& point(At at) noexcept;

}  // namespace peercheck
