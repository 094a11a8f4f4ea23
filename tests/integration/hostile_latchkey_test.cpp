// latchkey-badjoin against hostile datagrams at each receive point: the first reply to its
// opening, the answer to its first and third PASS_RESP, the first datagram after PASS_ACCEPT and
// one after an accepted DATA. A scripted server drives a fresh client to the point and sends one
// hostile datagram. The client goes on exactly when the datagram reads as the protocol allows,
// otherwise it ends with "ABORT" and exit status 0; its output file holds exactly the data bytes
// it accepted, and does not exist when the run ended before PASS_ACCEPT.

#include <gtest/gtest.h>

#include <filesystem>

#include "harness.h"
#include "hostile_datagrams.h"

namespace {

using harness::Bytes;
using namespace std::chrono_literals;

Bytes bare(std::uint16_t type) { return harness::concat({harness::be16(type), harness::zeros(6)}); }

const Bytes kFirstData = harness::pattern(100, 5);
const Bytes kSecondData = harness::pattern(50, 6);

Bytes data(std::uint32_t id, const Bytes& bytes) {
    Bytes d = harness::concat({harness::be16(5), harness::zeros(2),
                               harness::be32(static_cast<std::uint32_t>(bytes.size())),
                               harness::be32(id), bytes});
    d.resize(1012, 0);
    return d;
}
Bytes terminate(const Bytes& digest) {
    return harness::concat({harness::be16(6), harness::zeros(2), harness::be32(20), digest});
}

// The points, in the order a run meets them.
enum class Point { first_reply, answer_1, answer_3, first_data, next_data };

std::vector<hostile::Datagram> datagram_list(Point point, std::uint32_t seed) {
    std::vector<hostile::Shape> shapes;
    auto shape = [&](Bytes plain, std::vector<std::size_t> boundaries,
                     std::vector<hostile::LengthField> lengths) {
        hostile::Shape s;
        s.plain = std::move(plain);
        s.boundaries = std::move(boundaries);
        s.lengths = std::move(lengths);
        shapes.push_back(s);
    };
    switch (point) {
        case Point::first_reply:
            shape(bare(2), {2, 4}, {{4, 4, 0, "length"}});
            break;
        case Point::answer_1:
        case Point::answer_3:
            shape(bare(4), {2, 4}, {{4, 4, 0, "length"}});
            shape(bare(2), {2, 4}, {{4, 4, 0, "pass_req_length"}});
            shape(bare(7), {2, 4}, {{4, 4, 0, "reject_length"}});
            break;
        case Point::first_data:
            shape(data(1, kSecondData), {2, 4, 8, 12, 40}, {{4, 4, 1000, "length"}});
            break;
        case Point::next_data:
            shape(data(2, kSecondData), {2, 4, 8, 12, 40}, {{4, 4, 1000, "length"}});
            shape(terminate(harness::sha1(kFirstData)), {2, 4, 8, 18},
                  {{4, 4, 20, "terminate_length"}});
            break;
    }
    std::vector<hostile::Datagram> list;
    for (std::size_t i = 0; i < shapes.size(); ++i) {
        for (auto& d : hostile::datagrams(shapes[i], seed + static_cast<std::uint32_t>(i))) {
            d.name = std::to_string(i) + "_" + d.name;
            list.push_back(std::move(d));
        }
    }
    list.push_back({"wrong_type_12", bare(12)});
    list.push_back({"data_repeated_id", data(point == Point::next_data ? 1 : 0, kSecondData)});
    return list;
}

struct Expect {
    bool goes_on = false;
    Bytes written = {};     // for an accepted DATA: the bytes it appends
    std::string tail = {};  // how the output ends when the run ends
};

Expect model(Point point, const Bytes& datagram) {
    const Bytes rx = hostile::view<1012>(datagram);
    const std::uint32_t type = hostile::be_at(rx, 0, 2), length = hostile::be_at(rx, 4, 4);
    const bool accept = type == 4 && length == 0;
    const Expect no_accept{false, {}, "no PASS_ACCEPT arrived\nABORT\n"};
    switch (point) {
        case Point::first_reply:
            if (type == 2 && length == 0) return {true};
            return {false, {}, "no PASS_REQ arrived\nABORT\n"};
        case Point::answer_1:
        case Point::answer_3:
            // PASS_REQ of any length field asks for the next password, and after the third
            // there is none; PASS_ACCEPT opens the file.
            if (accept || (type == 2 && point == Point::answer_1)) return {true};
            if (type == 7 && length == 0) {
                return {false,
                        {},
                        "Please restart session and introduce the correct password\nABORT\n"};
            }
            return no_accept;
        case Point::first_data:
        case Point::next_data: {
            const std::uint32_t id = hostile::be_at(rx, 8, 4);
            const std::uint32_t expected = point == Point::first_data ? 1 : 2;
            if (type == 5 && id == expected && length <= 1000) {
                return {true, Bytes(rx.begin() + 12, rx.begin() + 12 + length)};
            }
            if (type == 5) return {false, {}, "transmission error\nABORT\n"};
            if (point == Point::first_data) return {false, {}, "Expecting DATA\nABORT\n"};
            if (type == 6) return {false, {}, "TERMINATE received\nincorrect checksum\nABORT\n"};
            return {false, {}, "Expecting TERMINATE\nABORT\n"};
        }
    }
    return {};
}

// One latchkey run with -DDEBUG against a scripted server.
struct Run {
    harness::TempDir dir;
    std::string out_path = dir.file("out.bin");
    harness::Peer server;
    harness::Program program{LATCHKEY_BADJOIN_BIN,
                             {"127.0.0.1", std::to_string(server.port()), "first", "second",
                              "secret", out_path, "-DDEBUG"}};

    void expect_pass_resp(const std::string& pw) {
        const auto resp = server.receive();
        ASSERT_TRUE(resp) << program.output();
        EXPECT_EQ(*resp, harness::concat({harness::be16(3), harness::zeros(2),
                                          harness::be32(static_cast<std::uint32_t>(pw.size())),
                                          harness::text_field(pw, 52)}));
    }
    void reach(Point point) {
        ASSERT_TRUE(server.receive()) << program.output();  // the opening
        if (point == Point::first_reply) return;
        server.reply(bare(2));
        expect_pass_resp("first");
        if (point == Point::answer_1) return;
        server.reply(bare(2));
        expect_pass_resp("second");
        server.reply(bare(2));
        expect_pass_resp("secret");
        if (point == Point::answer_3) return;
        server.reply(bare(4));
        if (point == Point::first_data) return;
        server.reply(data(1, kFirstData));
    }
};

hostile::Tally g_tally;

void storm(Point point, std::uint32_t seed) {
    for (const auto& d : datagram_list(point, seed)) {
        SCOPED_TRACE(d.name);
        ++g_tally.tried;
        Run r;
        r.reach(point);
        Bytes file = point == Point::next_data ? kFirstData : Bytes{};
        r.server.reply(d.bytes);
        const Expect e = model(point, d.bytes);
        const bool before_accept = point <= Point::answer_3;
        if (e.goes_on) {
            if (before_accept) {
                // The next thing the client does: a PASS_RESP, or waiting for DATA with the file
                // open and empty.
                const Bytes rx = hostile::view<1012>(d.bytes);
                if (hostile::be_at(rx, 0, 2) == 2) {
                    r.expect_pass_resp(point == Point::first_reply ? "first" : "second");
                } else {
                    r.server.reply(terminate(harness::sha1({})));
                    EXPECT_EQ(r.program.wait_exit(), 0);
                    EXPECT_EQ(hostile::last_line(r.program.output()), "ABORT");  // "Expecting DATA"
                    EXPECT_EQ(harness::TempDir::read(r.out_path), Bytes{});
                }
            } else {
                file = harness::concat({file, e.written});
                r.server.reply(terminate(harness::sha1(file)));
                EXPECT_EQ(r.program.wait_exit(), 0) << r.program.output();
                EXPECT_EQ(hostile::last_line(r.program.output()), "OK");
                EXPECT_EQ(harness::TempDir::read(r.out_path), file);
            }
            g_tally.went_on();
            continue;
        }
        EXPECT_EQ(r.program.wait_exit(), 0) << r.program.output();
        // A TERMINATE whose digest matches the accepted data ends the run well.
        const std::string last = hostile::last_line(r.program.output());
        const Bytes rx = hostile::view<1012>(d.bytes);
        const Bytes digest = harness::sha1(kFirstData);
        const bool good_terminate = point == Point::next_data && hostile::be_at(rx, 0, 2) == 6 &&
                                    hostile::be_at(rx, 4, 4) == 20 &&
                                    std::equal(digest.begin(), digest.end(), rx.begin() + 8);
        if (good_terminate) {
            EXPECT_EQ(last, "OK");
        } else {
            EXPECT_TRUE(hostile::ends_with(r.program.output(), e.tail)) << r.program.output();
        }
        if (good_terminate) {
            g_tally.went_on();
        } else {
            g_tally.ended(r.program.output());
        }
        if (before_accept) {
            EXPECT_FALSE(std::filesystem::exists(r.out_path));
        } else {
            EXPECT_EQ(harness::TempDir::read(r.out_path), file);
        }
        EXPECT_FALSE(r.server.receive(10ms));  // nothing is sent on a failure
    }
}

TEST(HostileLatchkey, FirstReplyReceivePoint) { storm(Point::first_reply, 51); }
TEST(HostileLatchkey, AnswerToTheFirstPassResp) { storm(Point::answer_1, 52); }
TEST(HostileLatchkey, AnswerToTheThirdPassResp) { storm(Point::answer_3, 53); }
TEST(HostileLatchkey, FirstDatagramAfterPassAccept) { storm(Point::first_data, 54); }
TEST(HostileLatchkey, DatagramAfterAnAcceptedData) {
    storm(Point::next_data, 55);
    g_tally.print("latchkey-badjoin");
}

}  // namespace
