#include "pass_msg.h"

#include <gtest/gtest.h>

#include "harness.h"

namespace {

using harness::Bytes;

template <std::size_t N>
Bytes as_bytes(const std::array<std::uint8_t, N>& a) {
    return Bytes(a.begin(), a.end());
}

pass::RecvArea area_of(const Bytes& datagram) { return pass::receive_area(datagram); }

TEST(PassBuilders, KnownDatagrams) {
    std::array<std::uint8_t, pass::kHeaderSize> bare;
    pass::build_bare(bare, static_cast<std::uint16_t>(pass::Type::JOIN_REQ));
    EXPECT_EQ(as_bytes(bare), harness::bytes({0, 1, 0, 0, 0, 0, 0, 0}));
    pass::build_bare(bare, pass::kWrongType);
    EXPECT_EQ(as_bytes(bare), harness::bytes({0, 12, 0, 0, 0, 0, 0, 0}));

    std::array<std::uint8_t, pass::kPassRespSize> resp;
    const std::string pw = "hello";
    pass::build_pass_resp(resp, 5,
                          std::span(reinterpret_cast<const std::uint8_t*>(pw.data()), pw.size()));
    EXPECT_EQ(as_bytes(resp), harness::concat({harness::bytes({0, 3, 0, 0, 0, 0, 0, 5}),
                                               Bytes(pw.begin(), pw.end()), harness::zeros(47)}));
    const std::string long_pw(70, 'p');  // never more than the 52-byte field
    pass::build_pass_resp(
        resp, 70, std::span(reinterpret_cast<const std::uint8_t*>(long_pw.data()), long_pw.size()));
    EXPECT_EQ(Bytes(resp.begin() + 8, resp.end()), Bytes(52, 'p'));

    std::array<std::uint8_t, pass::kDataSize> data{};
    const Bytes tail = harness::pattern(234);
    std::copy(tail.begin(), tail.end(), data.begin() + 12);
    pass::stamp_data(data, 234, 3);
    EXPECT_EQ(as_bytes(data),
              harness::concat({harness::bytes({0, 5, 0, 0, 0, 0, 0, 0xea, 0, 0, 0, 3}), tail,
                               harness::zeros(766)}));

    pass::Digest digest;
    for (std::size_t i = 0; i < digest.size(); ++i) digest[i] = static_cast<std::uint8_t>(i + 1);
    std::array<std::uint8_t, pass::kTerminateSize> term;
    pass::build_terminate(term, digest);
    EXPECT_EQ(as_bytes(term),
              harness::concat({harness::bytes({0, 6, 0, 0, 0, 0, 0, 0x14}), as_bytes(digest)}));
}

TEST(PassDecoders, PassRespAcceptedUpToFiftyCharacters) {
    std::array<std::uint8_t, pass::kPassRespSize> resp;
    const Bytes pw(50, 'x');
    pass::build_pass_resp(resp, 50, pw);
    const auto ok = pass::decode_pass_resp(area_of(as_bytes(resp)));
    ASSERT_TRUE(ok);
    EXPECT_EQ(ok->length, 50u);
    pass::build_pass_resp(resp, 51, Bytes(51, 'x'));
    EXPECT_FALSE(pass::decode_pass_resp(area_of(as_bytes(resp))));
    EXPECT_FALSE(pass::decode_pass_resp(area_of(harness::bytes({0, 1, 0, 0, 0, 0, 0, 5}))));
    // A length of 2^32 - 1 is compared as unsigned: refused.
    EXPECT_FALSE(
        pass::decode_pass_resp(area_of(harness::bytes({0, 3, 0, 0, 0xff, 0xff, 0xff, 0xff}))));
}

TEST(PassDecoders, HeaderAndDataFieldsInNetworkOrder) {
    const auto rx = area_of(
        harness::bytes({0x01, 0x02, 0xaa, 0xbb, 0x00, 0x00, 0x03, 0xe8, 0x00, 0x01, 0x00, 0x02}));
    EXPECT_EQ(pass::read_header(rx).type, 0x0102);
    EXPECT_EQ(pass::read_header(rx).length, 1000u);
    EXPECT_EQ(pass::read_data(rx).packet_id, 0x00010002u);
    EXPECT_TRUE(
        pass::is_bare(pass::read_header(area_of(harness::bytes({0, 4}))), pass::Type::PASS_ACCEPT));
    EXPECT_FALSE(pass::is_bare(pass::read_header(area_of(harness::bytes({0, 4, 0, 0, 0, 0, 0, 1}))),
                               pass::Type::PASS_ACCEPT));
}

}  // namespace
