// The capture writer's bytes, read back with a block reader of the test's own and compared with
// values worked out by hand from the file format and from RFC 791/768 arithmetic.

#include "capture.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "harness.h"
#include "seal.h"

namespace {

using harness::Bytes;
using peercheck::CaseResult;
using peercheck::Datagram;
using peercheck::report::pcapng;

std::uint32_t le32(const Bytes& b, std::size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24;
}
std::uint16_t le16(const Bytes& b, std::size_t at) {
    return static_cast<std::uint16_t>(b[at] | b[at + 1] << 8);
}
Bytes slice(const Bytes& b, std::size_t at, std::size_t n) {
    return Bytes(b.begin() + static_cast<long>(at), b.begin() + static_cast<long>(at + n));
}

struct Block {
    std::uint32_t type;
    Bytes body;  // between the two total-length fields
};

// Walks the file block by block; every block must be framed by two equal lengths, a multiple of
// 4, and the blocks must fill the file exactly.
std::vector<Block> blocks_of(const std::string& file) {
    const Bytes b(file.begin(), file.end());
    std::vector<Block> out;
    std::size_t at = 0;
    while (at < b.size()) {
        if (b.size() - at < 12) {
            ADD_FAILURE() << "a block shorter than 12 bytes at " << at;
            break;
        }
        const std::uint32_t total = le32(b, at + 4);
        if (total % 4 != 0 || total < 12 || total > b.size() - at) {
            ADD_FAILURE() << "block length " << total << " at " << at;
            break;
        }
        EXPECT_EQ(le32(b, at + total - 4), total) << "trailing length of the block at " << at;
        out.push_back({le32(b, at), slice(b, at + 8, total - 12)});
        at += total;
    }
    return out;
}

struct Option {
    std::uint16_t code;
    std::string value;
};

// The options from offset `at` of a body to its end: each padded to 32 bits with zero bytes,
// the list closed by an end-of-options entry.
std::vector<Option> options_of(const Bytes& body, std::size_t at) {
    std::vector<Option> out;
    bool ended = false;
    while (at + 4 <= body.size()) {
        const std::uint16_t code = le16(body, at), length = le16(body, at + 2);
        at += 4;
        if (code == 0) {
            EXPECT_EQ(length, 0);
            ended = true;
            break;
        }
        const std::size_t padded = (length + 3u) / 4 * 4;
        if (at + padded > body.size()) {
            ADD_FAILURE() << "option " << code << " runs past its block";
            return out;
        }
        out.push_back({code, std::string(body.begin() + static_cast<long>(at),
                                         body.begin() + static_cast<long>(at + length))});
        for (std::size_t i = length; i < padded; ++i) EXPECT_EQ(body[at + i], 0) << "padding";
        at += padded;
    }
    EXPECT_EQ(at, body.size()) << "bytes after the options";
    EXPECT_TRUE(ended || body.size() == at) << "options not closed";
    return out;
}

// An Enhanced Packet Block's body taken apart.
struct Packet {
    std::uint32_t interface, ts_high, ts_low, captured, original;
    Bytes data;  // captured bytes, without padding
    std::vector<Option> options;
};

Packet packet_of(const Block& block) {
    EXPECT_EQ(block.type, 6u);
    const Bytes& b = block.body;
    Packet p{le32(b, 0), le32(b, 4), le32(b, 8), le32(b, 12), le32(b, 16), {}, {}};
    const std::size_t padded = (p.captured + 3u) / 4 * 4;
    p.data = slice(b, 20, p.captured);
    for (std::size_t i = p.captured; i < padded; ++i) EXPECT_EQ(b[20 + i], 0) << "padding";
    if (20 + padded < b.size()) p.options = options_of(b, 20 + padded);
    return p;
}

Datagram datagram(Bytes payload, double at = 0, std::uint32_t from = 0x7f000001,
                  std::uint32_t to = 0x7f000001, std::uint16_t from_port = 0x1000,
                  std::uint16_t to_port = 0x2000) {
    return {at, "implementation", "server", std::move(payload), from, to, from_port, to_port};
}

CaseResult one_case(std::vector<Datagram> exchange) {
    CaseResult c;
    c.id = "server/run/empty";
    c.title = "serves an empty file";
    c.started = 1700000000;
    c.exchange = std::move(exchange);
    return c;
}

std::vector<std::string> comments(const std::vector<Option>& options) {
    std::vector<std::string> out;
    for (const Option& o : options) {
        if (o.code == 1) out.push_back(o.value);
    }
    return out;
}

TEST(CaptureFile, SectionThenInterfaceThenOnePacketPerDatagram) {
    const std::string file = pcapng(one_case({datagram({1}), datagram({2, 3})}));
    const auto blocks = blocks_of(file);
    ASSERT_EQ(blocks.size(), 4u);
    EXPECT_EQ(blocks[0].type, 0x0A0D0D0Au);
    // Byte-order magic 0x1A2B3C4D least significant byte first, version 1.0, then the section
    // length: every byte after the section header block.
    EXPECT_EQ(slice(blocks[0].body, 0, 8), Bytes({0x4d, 0x3c, 0x2b, 0x1a, 1, 0, 0, 0}));
    const std::size_t shb_size = blocks[0].body.size() + 12;
    EXPECT_EQ(le32(blocks[0].body, 8), file.size() - shb_size);
    EXPECT_EQ(le32(blocks[0].body, 12), 0u);
    const auto shb = options_of(blocks[0].body, 16);
    ASSERT_EQ(shb.size(), 2u);
    EXPECT_EQ(shb[0].code, 1);
    EXPECT_EQ(shb[0].value, "peercheck server/run/empty: serves an empty file");
    EXPECT_EQ(shb[1].code, 4);  // shb_userappl
    EXPECT_EQ(shb[1].value, "peercheck");

    // Link type 101 (raw IP), reserved, snapshot length 0 (no limit); if_tsresol (9) of one byte,
    // 9: nanoseconds, padded to four; end of options.
    EXPECT_EQ(blocks[1].type, 1u);
    EXPECT_EQ(blocks[1].body,
              Bytes({101, 0, 0, 0, 0, 0, 0, 0, 9, 0, 1, 0, 9, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(packet_of(blocks[2]).data.size(), 29u);
    EXPECT_EQ(packet_of(blocks[3]).data.size(), 30u);
}

// At every length: both length fields of the block, the IPv4 and UDP lengths, the payload
// itself, zero padding to 32 bits, and a UDP checksum that passes a receiver's check (the
// pseudo-header, the header and the payload, an odd last byte padded with zero, sum to 0xffff).
TEST(CaptureFile, EveryLengthFramedPaddedAndChecksummed) {
    for (const std::size_t size : {0u, 1u, 2u, 3u, 4u, 171u, 972u, 65507u}) {
        const auto blocks = blocks_of(pcapng(one_case({datagram(harness::pattern(size))})));
        ASSERT_EQ(blocks.size(), 3u) << size;
        const Packet p = packet_of(blocks[2]);
        EXPECT_EQ(p.interface, 0u);
        EXPECT_EQ(p.captured, 28 + size) << size;
        EXPECT_EQ(p.original, 28 + size) << size;
        EXPECT_EQ(blocks[2].body.size(), 20 + (28 + size + 3) / 4 * 4) << "no options: " << size;
        const Bytes& d = p.data;
        EXPECT_EQ(slice(d, 28, size), harness::pattern(size)) << size;
        EXPECT_EQ(d[2] << 8 | d[3], 28 + size) << "IPv4 total length";
        EXPECT_EQ(d[24] << 8 | d[25], 8 + size) << "UDP length";
        Bytes summed = slice(d, 12, 8);                        // both addresses
        summed.insert(summed.end(), {0, 17, d[24], d[25]});    // protocol, length
        summed.insert(summed.end(), d.begin() + 20, d.end());  // header, payload
        if (summed.size() % 2 != 0) summed.push_back(0);
        std::uint32_t sum = 0;
        for (std::size_t i = 0; i < summed.size(); i += 2) sum += summed[i] << 8 | summed[i + 1];
        while (sum > 0xffff) sum = (sum & 0xffff) + (sum >> 16);
        EXPECT_EQ(sum, 0xffffu) << size;
    }
}

// The header of RFC 791's usual worked example: 192.168.0.1 to 192.168.0.199, total length 115,
// identification 0, don't fragment, TTL 64, UDP, header checksum 0xb861.
TEST(CaptureFile, Ipv4HeaderKnownAnswer) {
    const auto blocks =
        blocks_of(pcapng(one_case({datagram(Bytes(87, 0), 0, 0xc0a80001, 0xc0a800c7)})));
    ASSERT_EQ(blocks.size(), 3u);
    EXPECT_EQ(slice(packet_of(blocks[2]).data, 0, 20),
              Bytes({0x45, 0x00, 0x00, 0x73, 0x00, 0x00, 0x40, 0x00, 0x40, 0x11,
                     0xb8, 0x61, 0xc0, 0xa8, 0x00, 0x01, 0xc0, 0xa8, 0x00, 0xc7}));
}

// 127.0.0.1 to 127.0.0.1, ports 0x1000 to 0x2000, two payload bytes (UDP length 10). The
// pseudo-header and the header sum to 7f00+0001+7f00+0001+0011+000a+1000+2000+000a = 0x12e27,
// folded 0x2e28. Payload 00 00 leaves it so: checksum ~0x2e28 = 0xd1d7. Payload d1 d7 brings the
// sum to 0xffff, whose complement 0 is sent as ffff, since 0 would mean "no checksum".
TEST(CaptureFile, UdpHeaderKnownAnswers) {
    struct Case {
        Bytes payload;
        Bytes header;
    };
    const std::vector<Case> cases{
        {{0x00, 0x00}, {0x10, 0x00, 0x20, 0x00, 0x00, 0x0a, 0xd1, 0xd7}},
        {{0xd1, 0xd7}, {0x10, 0x00, 0x20, 0x00, 0x00, 0x0a, 0xff, 0xff}},
    };
    for (const Case& c : cases) {
        const auto blocks = blocks_of(pcapng(one_case({datagram(c.payload)})));
        ASSERT_EQ(blocks.size(), 3u);
        EXPECT_EQ(slice(packet_of(blocks[2]).data, 20, 8), c.header) << harness::hex(c.payload);
    }
}

TEST(CaptureFile, TimestampIsStartPlusOffsetInNanoseconds) {
    struct Case {
        std::uint32_t started;
        double at;
        std::uint32_t high, low;
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::vector<Case> cases{
        {1700000000, 0.25, 0x17979cfe, 0x4510b280},         // 1700000000250000000 ns
        {1700000000, 0, 0x17979cfe, 0x362a0000},            // 1700000000000000000 ns
        {1700000000, -1, 0x17979cfe, 0x362a0000},           // before the start: the start
        {1700000000, nan, 0x17979cfe, 0x362a0000},          // not a number: the start
        {4294967295, 0.999999999, 0x3b9ac9ff, 0xffffffff},  // the last second of 32-bit time
        {0, 0, 0, 0},
    };
    for (const Case& c : cases) {
        CaseResult r = one_case({datagram({1}, c.at)});
        r.started = c.started;
        const auto blocks = blocks_of(pcapng(r));
        ASSERT_EQ(blocks.size(), 3u);
        const Packet p = packet_of(blocks[2]);
        EXPECT_EQ(p.ts_high, c.high) << c.started << " + " << c.at;
        EXPECT_EQ(p.ts_low, c.low) << c.started << " + " << c.at;
    }
}

// The comments each packet carries: the keys on the first, and the datagrams left out on the
// packet that follows them (the last when none follows).
TEST(CaptureFile, PacketComments) {
    const seal::Key client{0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef};
    const seal::Key server{0xfe, 0xdc, 0xba, 0x98, 0x76, 0x54, 0x32, 0x10};
    struct Case {
        const char* name;
        peercheck::Keys keys;
        std::vector<peercheck::Omitted> omitted;
        std::vector<std::vector<std::string>> expected;  // per packet
    };
    const std::vector<Case> cases{
        {"both keys",
         {client, server},
         {},
         {{"peercheck: tkxfer.client_key=0123456789abcdef tkxfer.server_key=fedcba9876543210"},
          {},
          {}}},
        {"the server key alone",
         {std::nullopt, server},
         {},
         {{"peercheck: tkxfer.server_key=fedcba9876543210"}, {}, {}}},
        {"no keys", {}, {}, {{}, {}, {}}},
        {"left out in the middle and at the end",
         {client, std::nullopt},
         {{1, "server", "implementation", 3, 2964, 0.5, 0.75}, {3, "", "", 1, 0, 0, 0}},
         {{"peercheck: tkxfer.client_key=0123456789abcdef"},
          {"peercheck: 3 datagrams left out before this one (from server to implementation, "
           "2964 bytes, 0.500000 to 0.750000 s)"},
          {"peercheck: 1 datagram left out after this one"}}},
    };
    for (const Case& c : cases) {
        CaseResult r = one_case({datagram({1}), datagram({2}), datagram({3})});
        r.keys = c.keys;
        r.omitted = c.omitted;
        const auto blocks = blocks_of(pcapng(r));
        ASSERT_EQ(blocks.size(), 5u) << c.name;
        for (std::size_t i = 0; i < 3; ++i) {
            EXPECT_EQ(comments(packet_of(blocks[2 + i]).options), c.expected[i])
                << c.name << ", packet " << i;
        }
    }
}

// What a section comment says beyond the id and title: a failure's expectation and observation,
// datagrams left out of an exchange that kept none, and control bytes from the implementation
// made harmless.
TEST(CaptureFile, SectionComment) {
    CaseResult failed = one_case({datagram({1})});
    failed.verdict = peercheck::Verdict::fail;
    failed.expected = "OK";
    failed.observed = "ABORT\x1b[2J";
    CaseResult flooded = one_case({});
    flooded.omitted = {{0, "", "", 20001, 0, 0, 0}};
    const std::vector<std::pair<CaseResult, std::string>> cases{
        {failed,
         "peercheck server/run/empty: serves an empty file\nexpected: OK\nobserved: "
         "ABORT\\x1b[2J"},
        {flooded,
         "peercheck server/run/empty: serves an empty file\npeercheck: 20001 datagrams left out"},
    };
    for (const auto& [c, expected] : cases) {
        const auto blocks = blocks_of(pcapng(c));
        ASSERT_GE(blocks.size(), 2u);
        EXPECT_EQ(comments(options_of(blocks[0].body, 16)), std::vector<std::string>{expected});
    }
}

TEST(CaptureFile, OversizedPayloadIsCutToWhatIpv4Carries) {
    const auto blocks = blocks_of(pcapng(one_case({datagram(harness::pattern(70000))})));
    ASSERT_EQ(blocks.size(), 3u);
    const Packet p = packet_of(blocks[2]);
    EXPECT_EQ(p.captured, 65535u);
    EXPECT_EQ(p.data[2] << 8 | p.data[3], 65535);
    EXPECT_EQ(comments(p.options),
              std::vector<std::string>{
                  "peercheck: 70000 bytes, cut to the 65507 an IPv4 datagram carries"});
}

}  // namespace
