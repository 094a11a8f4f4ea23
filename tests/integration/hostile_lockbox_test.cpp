// The three lockbox builds against hostile datagrams at each receive point: the opening of a
// session, the first PASS_RESP and the third (after two wrong passwords). Each build is driven to
// the point by a scripted client, given one hostile datagram, and must answer as its session
// says: PASS_REQ, PASS_ACCEPT and the file, or PASS_REJECT and "ABORT", or "ABORT" alone, with
// exit status 0 and no sanitizer report. A server that goes on is taken through a whole session
// with the right password and keeps serving the next datagram.

#include <gtest/gtest.h>

#include <memory>

#include "harness.h"
#include "hostile_datagrams.h"

namespace {

using harness::Bytes;
using namespace std::chrono_literals;

struct Build {
    const char* name;
    const char* bin;
    bool each_alone;         // lockbox-badreq: every datagram on its own
    std::uint16_t pass_req;  // the type of its PASS_REQ
};
const Build kBadHash{"lockbox-badhash", LOCKBOX_BADHASH_BIN, false, 2};
const Build kSkipId{"lockbox-skipid", LOCKBOX_SKIPID_BIN, false, 2};
const Build kBadReq{"lockbox-badreq", LOCKBOX_BADREQ_BIN, true, 12};

Bytes bare(std::uint16_t type) { return harness::concat({harness::be16(type), harness::zeros(6)}); }
const Bytes kJoin = bare(1);
Bytes pass_resp(const std::string& pw) {
    return harness::concat({harness::be16(3), harness::zeros(2),
                            harness::be32(static_cast<std::uint32_t>(pw.size())),
                            harness::text_field(pw, 52)});
}
const Bytes kRight = pass_resp("secret");
const Bytes kWrong = pass_resp("wrong!");

std::vector<hostile::Datagram> datagram_list(std::uint32_t seed) {
    hostile::Shape join;
    join.plain = kJoin;
    join.boundaries = {2, 4};
    join.lengths = {{4, 4, 0, "length"}};
    hostile::Shape resp;
    resp.plain = kRight;
    resp.boundaries = {2, 4, 8, 11, 14};
    resp.lengths = {{4, 4, 50, "length"}};
    auto list = hostile::datagrams(join, seed);
    for (auto& d : hostile::datagrams(resp, seed + 1)) {
        d.name = "pass_resp_" + d.name;
        list.push_back(std::move(d));
    }
    // The right characters with a length field one more, and more bytes behind them.
    Bytes longer = kRight;
    longer[7] = 7;
    list.push_back({"right_text_length_7", longer});
    Bytes trailing = kRight;
    trailing[14] = 'x';
    list.push_back({"right_then_more_bytes", trailing});
    list.push_back({"wrong_type_12", bare(12)});
    return list;
}

enum class Answer { pass_req, accept, reject, abort };
struct Expect {
    Answer answer;
    std::string tail = {};  // how the output ends when the run ends
};

// What the session makes of a datagram. point: 0 the opening, 1 the first PASS_RESP, 3 the third.
Expect model(const Build& b, int point, const Bytes& datagram) {
    const Bytes rx = hostile::view<1012>(datagram);
    const std::uint32_t type = hostile::be_at(rx, 0, 2), length = hostile::be_at(rx, 4, 4);
    const bool join = type == 1 && length == 0;
    const std::string not_join = "First packet is not JOIN_REQ\n";
    if (b.each_alone && join) return {Answer::pass_req};
    if (point == 0 && !b.each_alone) {
        return join ? Expect{Answer::pass_req} : Expect{Answer::abort, not_join + "ABORT\n"};
    }
    // lockbox-badreq announces every datagram that is not a JOIN_REQ the same way.
    const std::string lead = b.each_alone ? not_join : "";
    if (b.each_alone && type != 3) return {Answer::abort, not_join + "ABORT\n"};
    if (type != 3 || length > 50) return {Answer::abort, lead + "Im expecting PASS_RESP\nABORT\n"};
    const bool right = length == 6 && std::equal(rx.begin() + 8, rx.begin() + 14, "secret");
    if (right) return {Answer::accept};
    if (point == 3) return {Answer::reject, "password not correct\nABORT\n"};
    return {Answer::pass_req};
}

struct Lockbox {
    harness::TempDir dir;
    std::uint16_t port = harness::free_udp_port();
    std::unique_ptr<harness::Program> program;
    int sessions = 0;  // completed, each ended by "OK"
    explicit Lockbox(const Build& b) {
        const std::string path = dir.write("input", harness::pattern(2500));
        program = std::make_unique<harness::Program>(
            b.bin, std::vector<std::string>{std::to_string(port), "secret", path, "-DDEBUG"});
    }
};

void expect_reply(harness::Peer& client, const Bytes& expected, harness::Program& p) {
    const auto got = client.receive();
    ASSERT_TRUE(got) << p.output();
    EXPECT_EQ(*got, expected);
}

// PASS_ACCEPT, three DATA and TERMINATE, then "OK": the session is over and the server waits.
void expect_transfer(harness::Peer& client, Lockbox& lb) {
    expect_reply(client, bare(4), *lb.program);
    for (int i = 0; i < 3; ++i) {
        const auto data = client.receive();
        ASSERT_TRUE(data) << lb.program->output();
        EXPECT_EQ(hostile::be_at(*data, 0, 2), 5u);
    }
    const auto term = client.receive();
    ASSERT_TRUE(term);
    EXPECT_EQ(hostile::be_at(*term, 0, 2), 6u);
    ++lb.sessions;
    EXPECT_TRUE(hostile::wait_count(*lb.program, "OK\n", lb.sessions)) << lb.program->output();
}

void storm(const Build& b, int point, std::uint32_t seed, hostile::Tally& tally) {
    std::unique_ptr<Lockbox> lb;
    harness::Peer client;
    for (const auto& d : datagram_list(seed)) {
        SCOPED_TRACE(std::string(b.name) + " point " + std::to_string(point) + ": " + d.name);
        ++tally.tried;
        if (!lb) {
            lb = std::make_unique<Lockbox>(b);
            ASSERT_TRUE(lb->program->wait_bound(lb->port)) << lb->program->output();
        }
        harness::Program& p = *lb->program;
        if (point >= 1) {
            client.send(kJoin, lb->port);
            expect_reply(client, bare(b.pass_req), p);
        }
        for (int i = 1; i < point; ++i) {
            client.send(kWrong, lb->port);
            expect_reply(client, bare(b.pass_req), p);
        }
        client.send(d.bytes, lb->port);
        const Expect e = model(b, point, d.bytes);
        switch (e.answer) {
            case Answer::pass_req:
                expect_reply(client, bare(b.pass_req), p);
                client.send(kRight, lb->port);
                expect_transfer(client, *lb);
                tally.went_on();
                continue;
            case Answer::accept:
                expect_transfer(client, *lb);
                tally.went_on();
                continue;
            case Answer::reject:
                expect_reply(client, bare(7), p);
                break;
            case Answer::abort:
                EXPECT_FALSE(client.receive(20ms));
                break;
        }
        EXPECT_EQ(p.wait_exit(), 0) << p.output();
        EXPECT_TRUE(hostile::ends_with(p.output(), e.tail)) << p.output();
        tally.ended(p.output());
        lb.reset();
    }
}

TEST(HostileLockbox, BadHashAtEveryReceivePoint) {
    hostile::Tally tally;
    for (const int point : {0, 1, 3}) storm(kBadHash, point, 41, tally);
    tally.print("lockbox-badhash");
}

TEST(HostileLockbox, SkipIdAtEveryReceivePoint) {
    hostile::Tally tally;
    for (const int point : {0, 1, 3}) storm(kSkipId, point, 42, tally);
    tally.print("lockbox-skipid");
}

TEST(HostileLockbox, BadReqAtEveryReceivePoint) {
    hostile::Tally tally;
    for (const int point : {0, 1, 3}) storm(kBadReq, point, 43, tally);
    tally.print("lockbox-badreq");
}

}  // namespace
