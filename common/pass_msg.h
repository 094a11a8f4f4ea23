#pragma once
// The password protocol's datagrams: an 8-byte header (type, two unused bytes, length field) and
// a body. Every multi-byte field travels in network order.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "wire.h"

namespace pass {

enum class Type : std::uint16_t {
    JOIN_REQ = 1,
    PASS_REQ = 2,
    PASS_RESP = 3,
    PASS_ACCEPT = 4,
    DATA = 5,
    TERMINATE = 6,
    PASS_REJECT = 7,
};
// The protocol's own spelling of a type, or an empty view for a value no message has.
constexpr std::string_view type_name(std::uint16_t type) noexcept {
    constexpr std::string_view kNames[] = {"JOIN_REQ", "PASS_REQ",  "PASS_RESP",  "PASS_ACCEPT",
                                           "DATA",     "TERMINATE", "PASS_REJECT"};
    return type >= 1 && type <= 7 ? kNames[type - 1] : std::string_view{};
}
// Not a message type: the faulty opening of the client build and the faulty PASS_REQ of one
// server build carry it.
inline constexpr std::uint16_t kWrongType = 12;

inline constexpr wire::Field kType{0, 2};
inline constexpr wire::Field kLength{4, 4};
inline constexpr std::size_t kHeaderSize = 8;
inline constexpr wire::Field kPassword{8, 52};  // PASS_RESP
inline constexpr wire::Field kPacketId{8, 4};   // DATA
inline constexpr wire::Field kData{12, 1000};   // DATA
inline constexpr wire::Field kDigest{8, 20};    // TERMINATE
inline constexpr std::size_t kPassRespSize = kPassword.end();
inline constexpr std::size_t kDataSize = kData.end();
inline constexpr std::size_t kTerminateSize = kDigest.end();
inline constexpr std::size_t kChunkSize = kData.size;
inline constexpr std::size_t kRecvSize = kData.end();  // DATA is the largest message
inline constexpr std::uint32_t kMaxPasswordLength = 50;
static_assert(kPassRespSize == 60 && kDataSize == 1012 && kTerminateSize == 28);

using RecvArea = std::array<std::uint8_t, kRecvSize>;
using RecvView = std::span<const std::uint8_t, kRecvSize>;
using Digest = std::array<std::uint8_t, 20>;
// Any datagram as a receiver holds it: zeroed area, cut at kRecvSize.
constexpr RecvArea receive_area(std::span<const std::uint8_t> datagram) noexcept {
    return wire::zeroed_copy<kRecvSize>(datagram);
}

// The bytes in front of DATA's data area: the header and the packet id. A receiver that puts the
// data area of each datagram straight where it will be written from keeps only these apart.
inline constexpr std::size_t kHeadSize = kData.offset;
using HeadView = std::span<const std::uint8_t, kHeadSize>;
static_assert(kPacketId.end() == kHeadSize);

// Each message's named fields, in order; every other byte is zero.
inline constexpr wire::Named kBareFields[] = {{"type", kType}, {"length", kLength}};
inline constexpr wire::Named kPassRespFields[] = {
    {"type", kType}, {"length", kLength}, {"password", kPassword}};
inline constexpr wire::Named kDataFields[] = {
    {"type", kType}, {"length", kLength}, {"packet id", kPacketId}, {"data", kData}};
inline constexpr wire::Named kTerminateFields[] = {
    {"type", kType}, {"length", kLength}, {"digest", kDigest}};
constexpr std::span<const wire::Named> fields_of(Type t) noexcept {
    switch (t) {
        case Type::PASS_RESP:
            return kPassRespFields;
        case Type::DATA:
            return kDataFields;
        case Type::TERMINATE:
            return kTerminateFields;
        default:
            return kBareFields;
    }
}

struct Header {
    std::uint16_t type;
    std::uint32_t length;
};
constexpr Header read_header(HeadView head) noexcept {
    return {wire::load_be16(wire::at<kType>(head)), wire::load_be32(wire::at<kLength>(head))};
}
constexpr Header read_header(RecvView rx) noexcept { return read_header(rx.first<kHeadSize>()); }
constexpr std::uint32_t read_packet_id(HeadView head) noexcept {
    return wire::load_be32(wire::at<kPacketId>(head));
}
constexpr bool is(const Header& h, Type t) noexcept {
    return h.type == static_cast<std::uint16_t>(t);
}
// A message without a body: the type, and a length field of 0.
constexpr bool is_bare(const Header& h, Type t) noexcept { return is(h, t) && h.length == 0; }

// An 8-byte message of any type value (the fault builds send 12) with length field 0.
constexpr void build_bare(std::span<std::uint8_t, kHeaderSize> out, std::uint16_t type) noexcept {
    std::ranges::fill(out, 0);
    wire::store_be16(wire::at<kType>(out), type);
}

// PASS_RESP: the password's characters without a terminating zero. The length field is the
// password's own 16-bit length; at most 52 characters are copied, so nothing lands outside the
// field.
constexpr void build_pass_resp(std::span<std::uint8_t, kPassRespSize> out, std::uint16_t length,
                               std::span<const std::uint8_t> password) noexcept {
    std::ranges::fill(out, 0);
    wire::store_be16(wire::at<kType>(out), static_cast<std::uint16_t>(Type::PASS_RESP));
    wire::store_be32(wire::at<kLength>(out), length);
    std::copy_n(password.begin(), std::min(password.size(), kPassword.size),
                wire::at<kPassword>(out).begin());
}

// DATA: the caller has already read up to 1000 file bytes into the data area of a zeroed buffer.
constexpr void stamp_data(std::span<std::uint8_t, kDataSize> out, std::uint32_t count,
                          std::uint32_t packet_id) noexcept {
    wire::store_be16(wire::at<kType>(out), static_cast<std::uint16_t>(Type::DATA));
    wire::store_be32(wire::at<kLength>(out), count);
    wire::store_be32(wire::at<kPacketId>(out), packet_id);
}

constexpr void build_terminate(std::span<std::uint8_t, kTerminateSize> out,
                               const Digest& digest) noexcept {
    std::ranges::fill(out, 0);
    wire::store_be16(wire::at<kType>(out), static_cast<std::uint16_t>(Type::TERMINATE));
    wire::store_be32(wire::at<kLength>(out), static_cast<std::uint32_t>(digest.size()));
    std::ranges::copy(digest, wire::at<kDigest>(out).begin());
}

struct PassResp {
    std::uint32_t length;  // at most kMaxPasswordLength
    std::span<const std::uint8_t, kPassword.size> password;
};
// A PASS_RESP is accepted when its type is 3 and its length field is at most 50.
constexpr std::optional<PassResp> decode_pass_resp(RecvView rx) noexcept {
    const Header h = read_header(rx);
    if (!is(h, Type::PASS_RESP) || h.length > kMaxPasswordLength) return std::nullopt;
    return PassResp{h.length, wire::at<kPassword>(rx)};
}

struct Data {
    std::uint32_t length;  // as the field says; the receiver bounds it by kChunkSize
    std::uint32_t packet_id;
    std::span<const std::uint8_t, kData.size> data;
};
constexpr Data read_data(RecvView rx) noexcept {
    return {wire::load_be32(wire::at<kLength>(rx)), wire::load_be32(wire::at<kPacketId>(rx)),
            wire::at<kData>(rx)};
}

}  // namespace pass
