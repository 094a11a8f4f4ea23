// gatekeep against hostile datagrams at its one receive point, the AS_REQ. A datagram that reads
// as an AS_REQ for its client and server is answered and gatekeep goes on serving; one with type 1
// and other IDs gets AS_ERR and ends it; anything else ends it without a reply. Always exit status
// 0 and "ABORT" as the last line, never a sanitizer report (the asan build aborts on one).

#include <gtest/gtest.h>

#include <memory>

#include "harness.h"
#include "hostile_datagrams.h"

namespace {

using harness::Bytes;
using namespace std::chrono_literals;

const Bytes kClientField = harness::text_field("alice", 40);
const Bytes kServerField = harness::text_field("files", 40);

struct Gatekeep {
    std::uint16_t port = harness::free_udp_port();
    harness::Program program{GATEKEEP_BIN,
                             {std::to_string(port), "alice", "0123456789abcdef", "files",
                              "fedcba9876543210", "-DDEBUG"}};
};

enum class Expect { served, as_err, silent_end };

Expect model(const Bytes& datagram) {
    const Bytes rx = hostile::view<1010>(datagram);
    if (hostile::be_at(rx, 0, 2) != 1) return Expect::silent_end;
    const bool ids = std::equal(kClientField.begin(), kClientField.end(), rx.begin() + 2) &&
                     std::equal(kServerField.begin(), kServerField.end(), rx.begin() + 42);
    return ids ? Expect::served : Expect::as_err;
}

TEST(HostileGatekeep, AsReqReceivePoint) {
    hostile::Shape shape;
    shape.plain =
        harness::concat({harness::be16(1), kClientField, kServerField, harness::zeros(6)});
    shape.boundaries = {2, 42, 82};
    auto list = hostile::datagrams(shape, 11, 20);
    // Type 1 followed by IDs that match only up to their zero, and the other types' sizes.
    Bytes late = shape.plain;
    late[41] = 'x';
    list.push_back({"client_id_differs_after_zero", late});
    for (const std::size_t size : {42, 172, 158, 24, 988}) {
        list.push_back({"type_2_size_" + std::to_string(size),
                        harness::concat({harness::be16(2), harness::zeros(size - 2)})});
    }

    hostile::Tally tally;
    std::unique_ptr<Gatekeep> gk;
    harness::Peer client;
    for (const auto& d : list) {
        SCOPED_TRACE(d.name);
        ++tally.tried;
        if (!gk) {
            gk = std::make_unique<Gatekeep>();
            ASSERT_TRUE(gk->program.wait_bound(gk->port)) << gk->program.output();
        }
        client.send(d.bytes, gk->port);
        const Expect e = model(d.bytes);
        if (e == Expect::served) {
            const auto rep = client.receive();
            ASSERT_TRUE(rep) << gk->program.output();
            EXPECT_EQ(rep->size(), 172u);
            EXPECT_EQ(hostile::be_at(*rep, 0, 2), 2u);
            ASSERT_TRUE(gk->program.wait_output("Sending AS_REP message\nOK\n"));
            EXPECT_TRUE(gk->program.running());
            tally.went_on();
            continue;
        }
        if (e == Expect::as_err) {
            const auto err = client.receive();
            ASSERT_TRUE(err) << gk->program.output();
            const Bytes rx = hostile::view<1010>(d.bytes);
            EXPECT_EQ(*err,
                      harness::concat({harness::be16(3), Bytes(rx.begin() + 2, rx.begin() + 42)}));
        }
        EXPECT_EQ(gk->program.wait_exit(), 0) << gk->program.output();
        const std::string tail =
            e == Expect::as_err
                ? "Sending AS_ERR back to client\nABORT\n"
                : "First packet is not AS_REQ\nI'm receiving packet type = " +
                      std::to_string(hostile::be_at(hostile::view<1010>(d.bytes), 0, 2)) +
                      "\nABORT\n";
        EXPECT_TRUE(hostile::ends_with(gk->program.output(), tail)) << gk->program.output();
        if (e == Expect::silent_end) {
            EXPECT_FALSE(client.receive(20ms));
        }
        tally.ended(gk->program.output());
        gk.reset();
    }
    tally.print("gatekeep");
}

}  // namespace
