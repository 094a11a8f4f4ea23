#include "capture.h"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <span>
#include <vector>

#include "util.h"
#include "wire.h"

// Debian 12 has no library that writes pcapng in a form a tool of our package can depend on:
// libpcap 1.10 writes only the older pcap format, which carries no comments; Wireshark's wiretap
// library changes its ABI with every Wireshark release and brings GLib along; DPDK's pcapng
// writer needs the DPDK runtime and its packet buffers. Three fixed block types are all a case
// needs, so they are written here.

namespace peercheck::report {
namespace {

// Every block and option is written least significant byte first; the byte-order magic in the
// section header tells readers so.
constexpr std::uint32_t kSectionHeaderBlock = 0x0A0D0D0A;
constexpr std::uint32_t kInterfaceBlock = 1;
constexpr std::uint32_t kEnhancedPacketBlock = 6;
constexpr std::uint32_t kByteOrderMagic = 0x1A2B3C4D;
constexpr std::uint16_t kOptEnd = 0;
constexpr std::uint16_t kOptComment = 1;
constexpr std::uint16_t kShbUserAppl = 4;
constexpr std::uint16_t kIfTsresol = 9;
constexpr std::uint16_t kLinkTypeRaw = 101;  // raw IP: readers take the version from the header
constexpr char kNanoseconds = 9;             // if_tsresol: units of 10^-9 s
constexpr std::uint64_t kUnitsPerSecond = 1'000'000'000;

// The IPv4 header without options, then the UDP header; network order throughout.
inline constexpr wire::Field kIpVersionLength{0, 1};
inline constexpr wire::Field kIpTotalLength{2, 2};
inline constexpr wire::Field kIpIdentification{4, 2};
inline constexpr wire::Field kIpFlagsOffset{6, 2};
inline constexpr wire::Field kIpTtl{8, 1};
inline constexpr wire::Field kIpProtocol{9, 1};
inline constexpr wire::Field kIpChecksum{10, 2};
inline constexpr wire::Field kIpSource{12, 4};
inline constexpr wire::Field kIpDestination{16, 4};
inline constexpr wire::Field kUdpSourcePort{20, 2};
inline constexpr wire::Field kUdpDestinationPort{22, 2};
inline constexpr wire::Field kUdpLength{24, 2};
inline constexpr wire::Field kUdpChecksum{26, 2};
inline constexpr std::size_t kIpHeaderSize = kUdpSourcePort.offset;
inline constexpr std::size_t kHeadersSize = kUdpChecksum.end();
// The IPv4 total length is 16 bits: no datagram carries more payload than this.
inline constexpr std::size_t kMaxPayload = 0xFFFF - kHeadersSize;
using Headers = std::array<std::uint8_t, kHeadersSize>;
static_assert(kIpHeaderSize == 20 && kHeadersSize == 28 && kMaxPayload == 65507);

void put(std::string& out, std::span<const std::uint8_t> bytes) {
    out.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}
void put_le16(std::string& out, std::uint16_t v) {
    std::array<std::uint8_t, 2> b{static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8)};
    put(out, b);
}
void put_le32(std::string& out, std::uint32_t v) {
    std::array<std::uint8_t, 4> b;
    wire::store_le32(b, v);
    put(out, b);
}
void pad32(std::string& out) { out.append((4 - out.size() % 4) % 4, '\0'); }

// A block body is written on its own and then framed: the total length stands before and after
// it, so a reader can walk the file either way. Bodies are already padded to 32 bits.
void put_block(std::string& file, std::uint32_t type, const std::string& body) {
    const auto total = static_cast<std::uint32_t>(body.size() + 12);
    put_le32(file, type);
    put_le32(file, total);
    file += body;
    put_le32(file, total);
}

// One option: code, length of the value as it is, the value padded to 32 bits.
void put_option(std::string& body, std::uint16_t code, std::string_view value) {
    put_le16(body, code);
    put_le16(body, static_cast<std::uint16_t>(value.size()));
    body.append(value);
    pad32(body);
}
void put_options_end(std::string& body) {
    put_le16(body, kOptEnd);
    put_le16(body, 0);
}
// An option's length field is 16 bits; a longer comment is cut at a UTF-8 character boundary.
std::string_view option_text(std::string_view text) {
    std::size_t n = std::min<std::size_t>(text.size(), 0xFFFF);
    while (n < text.size() && n > 0 && (static_cast<std::uint8_t>(text[n]) & 0xC0) == 0x80) --n;
    return text.substr(0, n);
}

// The Internet checksum: 16-bit words in network order summed with end-around carry, an odd
// last byte taken as the high byte of a word, and the sum's complement.
std::uint64_t add_words(std::uint64_t sum, std::span<const std::uint8_t> bytes) {
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2)
        sum += wire::load_be16(bytes.subspan(i).first<2>());
    if (bytes.size() % 2 != 0) sum += std::uint64_t{bytes.back()} << 8;
    return sum;
}
std::uint16_t complement(std::uint64_t sum) {
    while (sum >> 16 != 0) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint16_t>(~sum);
}

Headers ip_udp_headers(const Datagram& d, std::span<const std::uint8_t> payload,
                       std::uint16_t identification) {
    Headers h{};
    const auto udp_length = static_cast<std::uint16_t>(payload.size() + 8);
    h[kIpVersionLength.offset] = 0x45;  // version 4, five 32-bit words
    wire::store_be16(wire::at<kIpTotalLength>(h), static_cast<std::uint16_t>(udp_length + 20));
    wire::store_be16(wire::at<kIpIdentification>(h), identification);
    wire::store_be16(wire::at<kIpFlagsOffset>(h), 0x4000);  // don't fragment, as Linux sends UDP
    h[kIpTtl.offset] = 64;
    h[kIpProtocol.offset] = 17;  // UDP
    wire::store_be32(wire::at<kIpSource>(h), d.from_addr);
    wire::store_be32(wire::at<kIpDestination>(h), d.to_addr);
    const auto ip = std::span(h).first<kIpHeaderSize>();
    wire::store_be16(wire::at<kIpChecksum>(h), complement(add_words(0, ip)));

    wire::store_be16(wire::at<kUdpSourcePort>(h), d.from_port);
    wire::store_be16(wire::at<kUdpDestinationPort>(h), d.to_port);
    wire::store_be16(wire::at<kUdpLength>(h), udp_length);
    // The UDP checksum also covers a pseudo-header: both addresses, the protocol and the length.
    std::uint64_t sum = add_words(0, wire::at<kIpSource>(h));
    sum = add_words(sum, wire::at<kIpDestination>(h));
    sum += 17 + udp_length;
    sum = add_words(sum, std::span(h).subspan<kIpHeaderSize>());
    const std::uint16_t checksum = complement(add_words(sum, payload));
    // A computed 0 is sent as all ones: 0 in this field means "no checksum".
    wire::store_be16(wire::at<kUdpChecksum>(h), checksum == 0 ? 0xFFFF : checksum);
    return h;
}

// Units of 10^-9 s since the Unix epoch: the case's start plus the datagram's offset. An offset
// that is negative or not a number counts as 0; one beyond a century is held there.
std::uint64_t timestamp(std::uint32_t started, double at) {
    const double offset = std::isfinite(at) ? std::clamp(at, 0.0, 3.2e9) : 0.0;
    return std::uint64_t{started} * kUnitsPerSecond +
           static_cast<std::uint64_t>(std::llround(offset * 1e9));
}

std::string section_comment(const CaseResult& c) {
    std::string text = fmt::format("peercheck {}: {}", clean(c.id), clean(c.title));
    if (c.verdict == Verdict::fail) {
        text += fmt::format("\nexpected: {}\nobserved: {}", clean(c.expected), clean(c.observed));
    }
    return text;
}

std::string keys_comment(const Keys& k) {
    std::string text;
    if (k.client_key) text += " tkxfer.client_key=" + hex_bytes(*k.client_key);
    if (k.server_key) text += " tkxfer.server_key=" + hex_bytes(*k.server_key);
    return text.empty() ? text : "peercheck:" + text;
}

// Where the datagrams left out stood: before the packet that carries the comment, after it (the
// last packet), or in an exchange that kept none (the section carries the comment).
enum class Gap { before, after, all };

std::string omitted_comment(const Omitted& o, Gap where) {
    constexpr const char* kWhere[] = {" before this one", " after this one", ""};
    std::string text = fmt::format("peercheck: {} datagram{} left out{}", o.count,
                                   o.count == 1 ? "" : "s", kWhere[static_cast<int>(where)]);
    std::vector<std::string> facts;
    if (!o.from.empty() || !o.to.empty()) {
        facts.push_back(fmt::format("from {} to {}", clean(o.from), clean(o.to)));
    }
    if (o.bytes > 0) facts.push_back(fmt::format("{} bytes", o.bytes));
    if (o.last_at > 0) facts.push_back(fmt::format("{:.6f} to {:.6f} s", o.first_at, o.last_at));
    if (!facts.empty()) text += fmt::format(" ({})", fmt::join(facts, ", "));
    return text;
}

// The comments of each packet, and of the section where the exchange kept no datagram at all.
struct Notes {
    std::vector<std::vector<std::string>> packet;
    std::vector<std::string> section;
};

Notes notes_of(const CaseResult& c) {
    Notes n;
    n.packet.resize(c.exchange.size());
    if (const std::string k = keys_comment(c.keys); !k.empty() && !n.packet.empty()) {
        n.packet.front().push_back(k);
    }
    for (const Omitted& o : c.omitted) {
        if (o.before < n.packet.size()) {
            n.packet[o.before].push_back(omitted_comment(o, Gap::before));
        } else if (!n.packet.empty()) {
            n.packet.back().push_back(omitted_comment(o, Gap::after));
        } else {
            n.section.push_back(omitted_comment(o, Gap::all));
        }
    }
    for (std::size_t i = 0; i < c.exchange.size(); ++i) {
        if (const std::size_t size = c.exchange[i].bytes.size(); size > kMaxPayload) {
            n.packet[i].push_back(fmt::format(
                "peercheck: {} bytes, cut to the {} an IPv4 datagram carries", size, kMaxPayload));
        }
    }
    return n;
}

void put_section_header(std::string& file, const CaseResult& c, const Notes& notes) {
    std::string body;
    put_le32(body, kByteOrderMagic);
    put_le16(body, 1);  // version 1.0
    put_le16(body, 0);
    put_le32(body, 0xFFFFFFFF);  // section length, set once the section is whole
    put_le32(body, 0xFFFFFFFF);
    std::string comment = section_comment(c);
    for (const std::string& s : notes.section) comment += "\n" + s;
    put_option(body, kOptComment, option_text(comment));
    put_option(body, kShbUserAppl, "peercheck");
    put_options_end(body);
    put_block(file, kSectionHeaderBlock, body);
}

void put_interface(std::string& file) {
    std::string body;
    put_le16(body, kLinkTypeRaw);
    put_le16(body, 0);
    put_le32(body, 0);  // snapshot length: no limit
    const char resolution = kNanoseconds;
    put_option(body, kIfTsresol, std::string_view(&resolution, 1));
    put_options_end(body);
    put_block(file, kInterfaceBlock, body);
}

void put_packet(std::string& file, std::uint32_t started, const Datagram& d, std::size_t index,
                const std::vector<std::string>& comments) {
    const auto payload =
        std::span(d.bytes).first(std::min<std::size_t>(d.bytes.size(), kMaxPayload));
    // The identification counts packets, as a sender's counter would; it wraps at 16 bits.
    const Headers headers = ip_udp_headers(d, payload, static_cast<std::uint16_t>(index));
    const auto length = static_cast<std::uint32_t>(headers.size() + payload.size());
    const std::uint64_t ts = timestamp(started, d.at);
    std::string body;
    put_le32(body, 0);  // interface 0
    put_le32(body, static_cast<std::uint32_t>(ts >> 32));
    put_le32(body, static_cast<std::uint32_t>(ts));
    put_le32(body, length);  // captured
    put_le32(body, length);  // on the wire
    put(body, headers);
    put(body, payload);
    pad32(body);
    for (const std::string& comment : comments) put_option(body, kOptComment, option_text(comment));
    if (!comments.empty()) put_options_end(body);
    put_block(file, kEnhancedPacketBlock, body);
}

}  // namespace

std::string pcapng(const CaseResult& c) {
    const Notes notes = notes_of(c);
    std::string file;
    put_section_header(file, c, notes);
    const std::size_t section_start = file.size();
    put_interface(file);
    for (std::size_t i = 0; i < c.exchange.size(); ++i) {
        put_packet(file, c.started, c.exchange[i], i, notes.packet[i]);
    }
    // The section length counts every block after the section header; it sits 16 bytes into
    // that header (type, total length, magic, version).
    std::string length;
    const std::uint64_t section_length = file.size() - section_start;
    put_le32(length, static_cast<std::uint32_t>(section_length));
    put_le32(length, static_cast<std::uint32_t>(section_length >> 32));
    file.replace(16, 8, length);
    return file;
}

}  // namespace peercheck::report
