// Built once per lockbox build, with that build's LOCKBOX_FAULT: each build shows its own fault
// and none of the other two, so nobody "fixes" a fault or lets one leak into another build.

#include <gtest/gtest.h>

#include "fault.h"
#include "harness.h"

namespace {

using lockbox::Fault;
using lockbox::kFault;

TEST(LockboxFault, PacketIds) {
    std::uint32_t id = 1;
    std::vector<std::uint32_t> ids{id};
    for (int i = 0; i < 3; ++i) ids.push_back(id = lockbox::next_packet_id(id));
    if (kFault == Fault::skip_id) {
        EXPECT_EQ(ids, (std::vector<std::uint32_t>{1, 3, 5, 7}));
    } else {
        EXPECT_EQ(ids, (std::vector<std::uint32_t>{1, 2, 3, 4}));
    }
}

TEST(LockboxFault, PassReqTypeAndLoop) {
    EXPECT_EQ(lockbox::pass_req_type(), kFault == Fault::bad_req ? 12 : 2);
    EXPECT_EQ(lockbox::takes_each_datagram_alone(), kFault == Fault::bad_req);
}

TEST(LockboxFault, TerminateDigest) {
    pass::Digest d{};
    for (std::size_t i = 0; i < d.size(); ++i) d[i] = static_cast<std::uint8_t>(0xa0 + i);
    const pass::Digest sent = lockbox::sent_digest(d);
    if (kFault != Fault::bad_hash) {
        EXPECT_EQ(sent, d);
        return;
    }
    // "Wrong Hash", its zero, and byte 11 chosen as zero; bytes 12 to 19 stay true.
    const harness::Bytes expected = harness::concat(
        {harness::text_field("Wrong Hash", 12), harness::Bytes(d.begin() + 12, d.end())});
    EXPECT_EQ(harness::hex(harness::Bytes(sent.begin(), sent.end())), harness::hex(expected));
}

}  // namespace
