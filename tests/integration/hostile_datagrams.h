#pragma once
// Hostile datagrams for one receive point, generated from a valid datagram of the type expected
// there: empty, one byte, cut at every field boundary, padded to 65507 bytes, every length field
// at 0, at its limit, one past it and at 65535 (and 2^32 - 1 for 32-bit fields), and random
// bytes, also behind the expected type and inside the sealed region. The tests decide the
// expected ending of each with their own model of the receive point.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "harness.h"
#include "wire.h"

namespace hostile {

using harness::Bytes;

// A big-endian length field of the datagram in its plain form.
struct LengthField {
    std::size_t offset;
    std::size_t width;  // 2 or 4
    std::uint32_t limit;
    std::string name;
};

struct Shape {
    Bytes plain;                          // a valid datagram, sealed regions still plain
    std::vector<std::size_t> boundaries;  // offsets where fields of the wire datagram begin
    std::vector<LengthField> lengths;
    // Turns the plain form into the wire form (seals); the password protocol seals nothing.
    std::function<Bytes(const Bytes&)> finish = [](const Bytes& b) { return b; };
    std::size_t kept = 2;  // the random "typed" variants keep this many leading plain bytes
};

struct Datagram {
    std::string name;
    Bytes bytes;
};

inline constexpr std::size_t kLargest = 65507;  // the largest UDP payload over IPv4

inline void put_be(Bytes& b, std::size_t offset, std::size_t width, std::uint32_t v) {
    for (std::size_t i = 0; i < width; ++i) {
        b[offset + i] = static_cast<std::uint8_t>(v >> (8 * (width - 1 - i)));
    }
}

inline Bytes random_bytes(std::mt19937& rng, std::size_t n) {
    Bytes b(n);
    for (auto& v : b) v = static_cast<std::uint8_t>(rng());
    return b;
}

inline std::vector<Datagram> datagrams(const Shape& s, std::uint32_t seed, int randoms = 6) {
    std::mt19937 rng(seed);
    const Bytes wire = s.finish(s.plain);
    std::vector<Datagram> out;
    out.push_back({"valid", wire});
    out.push_back({"empty", {}});
    out.push_back({"one_byte", Bytes(wire.begin(), wire.begin() + 1)});
    for (const std::size_t b : s.boundaries) {
        if (b > 1 && b < wire.size()) {
            out.push_back({"cut_at_" + std::to_string(b),
                           Bytes(wire.begin(), wire.begin() + static_cast<std::ptrdiff_t>(b))});
        }
    }
    Bytes padded = wire;
    const Bytes tail = random_bytes(rng, kLargest - wire.size());
    padded.insert(padded.end(), tail.begin(), tail.end());
    out.push_back({"padded_to_65507", padded});
    for (const LengthField& f : s.lengths) {
        std::vector<std::uint32_t> values{0, f.limit, f.limit + 1, 65535};
        if (f.width == 4) values.push_back(0xffff'ffffU);
        for (const std::uint32_t v : values) {
            Bytes p = s.plain;
            put_be(p, f.offset, f.width, v);
            out.push_back({f.name + "_" + std::to_string(v), s.finish(p)});
        }
    }
    for (int i = 0; i < randoms; ++i) {
        const std::size_t n = rng() % 1100;
        out.push_back({"random_" + std::to_string(i), random_bytes(rng, n)});
        Bytes p = s.plain;
        const Bytes noise = random_bytes(rng, p.size() - s.kept);
        std::copy(noise.begin(), noise.end(), p.begin() + static_cast<std::ptrdiff_t>(s.kept));
        out.push_back({"random_typed_" + std::to_string(i), s.finish(p)});
    }
    out.push_back({"random_65507", random_bytes(rng, kLargest)});
    return out;
}

// What a receive leaves in a zeroed area of N bytes.
template <std::size_t N>
Bytes view(const Bytes& datagram) {
    const auto area = wire::zeroed_copy<N>(datagram);
    return Bytes(area.begin(), area.end());
}

inline std::uint32_t be_at(const Bytes& b, std::size_t offset, std::size_t width) {
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < width; ++i) v = v << 8 | b[offset + i];
    return v;
}

// The last line of a program's output (without its line end).
inline std::string last_line(const std::string& output) {
    std::string s = output;
    if (!s.empty() && s.back() == '\n') s.pop_back();
    const auto at = s.rfind('\n');
    return at == std::string::npos ? s : s.substr(at + 1);
}

inline bool ends_with(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

inline std::size_t count(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

// Waits until the program's output holds part at least n times (a server's "OK" per client).
inline bool wait_count(harness::Program& p, const std::string& part, int n,
                       std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (count(p.output(), part) < static_cast<std::size_t>(n)) {
        if (std::chrono::steady_clock::now() >= end) return false;
        p.wait_output(part + "\x01", std::chrono::milliseconds(10));  // a short pause that reads
    }
    return true;
}

// Figures for the closing summary of each test: datagrams tried and how the runs ended.
struct Tally {
    int tried = 0;
    std::map<std::string, int> endings;
    void went_on() { ++endings["went on"]; }
    // The failure line and the result line say how the run ended; numbers in them (times, ids,
    // key results) and unprintable bytes from the wire are left out.
    void ended(const std::string& output) {
        std::string text = output;
        if (!text.empty() && text.back() == '\n') text.pop_back();
        std::string line = last_line(text);
        if (line == "ABORT" && text.size() > line.size()) {
            const std::string before = last_line(text.substr(0, text.size() - line.size() - 1));
            if (!before.empty()) line = before + " / " + line;
        }
        std::string key;
        for (const char c : line) {
            const bool printable = c >= ' ' && c <= '~';
            if (printable && (c < '0' || c > '9') && key.size() < 70) key += c;
        }
        ++endings["ended: " + key];
    }
    void print(const char* program) const {
        std::printf("hostile %s: %d datagrams tried;", program, tried);
        for (const auto& [ending, n] : endings) std::printf(" %d %s;", n, ending.c_str());
        std::printf("\n");
    }
};

}  // namespace hostile
