#pragma once
// Byte-level access to datagram areas. Every layout is a set of Field constants; the loads and
// stores below name the byte order at every use, so no host integer is ever copied onto the wire.

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace wire {

struct Field {
    std::size_t offset;
    std::size_t size;
    constexpr std::size_t end() const { return offset + size; }
};

// A field with its name, for code that walks a whole layout (the conformance runner's generated
// cases and exact checks): every byte of a message outside its named fields is zero.
struct Named {
    const char* name;
    Field field;
};

// The bytes of field F inside an area of static extent N; a field that does not fit does not build.
template <Field F, class T, std::size_t N>
constexpr std::span<T, F.size> at(std::span<T, N> area) noexcept {
    static_assert(N != std::dynamic_extent, "fields are taken from fixed-size areas");
    static_assert(F.end() <= N, "field lies outside its area");
    return area.template subspan<F.offset, F.size>();
}
template <Field F, class T, std::size_t N>
constexpr std::span<T, F.size> at(std::array<T, N>& area) noexcept {
    return at<F>(std::span<T, N>(area));
}
template <Field F, class T, std::size_t N>
constexpr std::span<const T, F.size> at(const std::array<T, N>& area) noexcept {
    return at<F>(std::span<const T, N>(area));
}

constexpr std::uint16_t load_be16(std::span<const std::uint8_t, 2> b) noexcept {
    return static_cast<std::uint16_t>(b[0] << 8 | b[1]);
}
constexpr std::uint32_t load_be32(std::span<const std::uint8_t, 4> b) noexcept {
    return std::uint32_t{b[0]} << 24 | std::uint32_t{b[1]} << 16 | std::uint32_t{b[2]} << 8 |
           std::uint32_t{b[3]};
}
constexpr std::uint32_t load_le32(std::span<const std::uint8_t, 4> b) noexcept {
    return std::uint32_t{b[3]} << 24 | std::uint32_t{b[2]} << 16 | std::uint32_t{b[1]} << 8 |
           std::uint32_t{b[0]};
}
constexpr void store_be16(std::span<std::uint8_t, 2> b, std::uint16_t v) noexcept {
    b[0] = static_cast<std::uint8_t>(v >> 8);
    b[1] = static_cast<std::uint8_t>(v);
}
constexpr void store_be32(std::span<std::uint8_t, 4> b, std::uint32_t v) noexcept {
    for (std::size_t i = 0; i < 4; ++i) b[i] = static_cast<std::uint8_t>(v >> (8 * (3 - i)));
}
constexpr void store_le32(std::span<std::uint8_t, 4> b, std::uint32_t v) noexcept {
    for (std::size_t i = 0; i < 4; ++i) b[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// Four address bytes read as one number in the host's byte order, as the debug lines print them.
inline std::uint32_t load_host32(std::span<const std::uint8_t, 4> b) noexcept {
    std::uint32_t v;
    std::memcpy(&v, b.data(), sizeof v);
    return v;
}

// A datagram as every receiver of ours reads it: copied into a zeroed area of N bytes, a longer
// one cut to N. Bytes that did not arrive read as zero.
template <std::size_t N>
constexpr std::array<std::uint8_t, N> zeroed_copy(std::span<const std::uint8_t> datagram) noexcept {
    std::array<std::uint8_t, N> area{};
    const std::size_t n = datagram.size() < N ? datagram.size() : N;
    for (std::size_t i = 0; i < n; ++i) area[i] = datagram[i];
    return area;
}

// Length of the zero-terminated text held in a fixed field: up to the first zero byte, at most
// the whole field. Text from the wire is printed with "%.*s" and this length, never with "%s".
template <std::size_t N>
constexpr int text_length(std::span<const std::uint8_t, N> field) noexcept {
    std::size_t n = 0;
    while (n < N && field[n] != 0) ++n;
    return static_cast<int>(n);
}

}  // namespace wire
