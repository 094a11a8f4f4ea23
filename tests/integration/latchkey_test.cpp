// latchkey-badjoin played from the server's side over 127.0.0.1: its opening and every PASS_RESP
// byte for byte, each line of its failure table, the output file's life, hostile datagrams, and
// end-to-end runs with the fault-free test server.

#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "harness.h"

namespace {

using harness::Bytes;
using namespace std::chrono_literals;

Bytes bare(std::uint16_t type, std::uint32_t length = 0) {
    return harness::concat({harness::be16(type), harness::zeros(2), harness::be32(length)});
}
Bytes pass_resp(const std::string& pw) {
    return harness::concat(
        {bare(3, static_cast<std::uint32_t>(pw.size())), harness::text_field(pw, 52)});
}
Bytes data(const Bytes& piece, std::uint32_t id, std::uint32_t length) {
    return harness::concat({bare(5, length), harness::be32(id), piece,
                            harness::zeros(1000 - std::min<std::size_t>(1000, piece.size()))});
}
Bytes data(const Bytes& piece, std::uint32_t id) {
    return data(piece, id, static_cast<std::uint32_t>(piece.size()));
}
Bytes terminate(const Bytes& digest, std::uint32_t length = 20) {
    return harness::concat({bare(6, length), digest});
}

// latchkey-badjoin started against a scripted server, passwords "one" (unless given), "two",
// "three".
struct Session {
    harness::TempDir dir;
    harness::Peer server;
    std::string out = dir.file("out");
    harness::Program client;
    explicit Session(bool debug = true, const std::string& first = "one")
        : client(LATCHKEY_BADJOIN_BIN, args(debug, first)) {}
    std::vector<std::string> args(bool debug, const std::string& first) {
        std::vector<std::string> a{
            "127.0.0.1", std::to_string(server.port()), first, "two", "three", out};
        if (debug) a.push_back("-DDEBUG");
        return a;
    }
    // Receives the opening and answers it; the PASS_RESP for the first password is returned.
    std::optional<Bytes> open() {
        const auto opening = server.receive();
        EXPECT_EQ(opening, harness::bytes({0, 12, 0, 0, 0, 0, 0, 0}));
        server.reply(bare(2));
        return server.receive();
    }
    // Up to PASS_ACCEPT with the first password.
    void accept() {
        EXPECT_EQ(open(), pass_resp("one"));
        server.reply(bare(4));
    }
    std::string finish() {
        EXPECT_EQ(client.wait_exit(), 0);
        return client.output();
    }
};

const std::string kAccepted = "PASS_REQ received\nPASS_ACCEPT received\n";

TEST(LatchkeyRun, ThirdPasswordAcceptedFileWrittenDigestChecked) {
    const Bytes content = harness::pattern(2234);
    Session r;
    EXPECT_EQ(r.open(), pass_resp("one"));
    r.server.reply(bare(2, 5));  // a later PASS_REQ is judged by its type alone
    EXPECT_EQ(r.server.receive(), pass_resp("two"));
    r.server.reply(bare(2));
    EXPECT_EQ(r.server.receive(), pass_resp("three"));
    r.server.reply(bare(4));
    for (std::uint32_t k = 0; k < 3; ++k) {
        const auto from = content.begin() + 1000 * k;
        r.server.reply(data(Bytes(from, std::min(from + 1000, content.end())), k + 1));
    }
    r.server.reply(terminate(harness::sha1(content)));
    EXPECT_EQ(r.finish(),
              "PASS_REQ received\nPASS_REQ received\nPASS_REQ received\nPASS_ACCEPT received\n"
              "receiving file\nreceiving file\nreceiving file\nTERMINATE received\n"
              "checksum correct\nfile transmission completed\nOK\n");
    EXPECT_EQ(harness::TempDir::read(r.out), content);
    EXPECT_FALSE(r.server.receive(50ms));  // nothing more is sent
}

TEST(LatchkeyRun, EmptyFileIsOneEmptyDataWithoutDebugLines) {
    Session r(false);
    r.accept();
    r.server.reply(data({}, 1));
    r.server.reply(terminate(harness::sha1({})));
    EXPECT_EQ(r.finish(), "OK\n");
    EXPECT_TRUE(std::filesystem::exists(r.out));
    EXPECT_TRUE(harness::TempDir::read(r.out).empty());
}

TEST(LatchkeyRun, ShortDatagramsReadMissingBytesAsZero) {
    // A DATA cut after its header and id carries a zero-filled piece of its stated length.
    Session r(false);
    r.accept();
    r.server.reply(harness::concat({bare(5, 10), harness::be32(1)}));
    r.server.reply(terminate(harness::sha1(harness::zeros(10))));
    EXPECT_EQ(r.finish(), "OK\n");
    EXPECT_EQ(harness::TempDir::read(r.out), harness::zeros(10));
}

// Each line of the failure table, the output file as the run leaves it, and nothing sent after.
TEST(LatchkeyFailures, PasswordExchange) {
    struct Case {
        std::vector<Bytes> replies;  // to the opening, then to each PASS_RESP
        std::string lines;
    };
    const std::vector<Case> cases{
        {{bare(4)}, "no PASS_REQ arrived\n"},
        {{bare(2, 1)}, "no PASS_REQ arrived\n"},
        {{bare(12)}, "no PASS_REQ arrived\n"},  // as lockbox-badreq answers
        {{bare(2), bare(7)},
         "PASS_REQ received\nPlease restart session and introduce the correct password\n"},
        {{bare(2), bare(7, 1)}, "PASS_REQ received\nno PASS_ACCEPT arrived\n"},
        {{bare(2), bare(4, 1)}, "PASS_REQ received\nno PASS_ACCEPT arrived\n"},
        {{bare(2), bare(5)}, "PASS_REQ received\nno PASS_ACCEPT arrived\n"},
        // A PASS_REQ after the third password finds none left.
        {{bare(2), bare(2), bare(2), bare(2)},
         "PASS_REQ received\nPASS_REQ received\nPASS_REQ received\nno PASS_ACCEPT arrived\n"},
    };
    for (const Case& k : cases) {
        Session r;
        const Bytes before = harness::pattern(7);
        r.dir.write("out", before);
        ASSERT_TRUE(r.server.receive());
        const std::vector<std::string> pws{"one", "two", "three"};
        for (std::size_t i = 0; i < k.replies.size(); ++i) {
            r.server.reply(k.replies[i]);
            if (i + 1 < k.replies.size()) {
                EXPECT_EQ(r.server.receive(), pass_resp(pws[i]));
            }
        }
        EXPECT_EQ(r.finish(), k.lines + "ABORT\n");
        EXPECT_FALSE(r.server.receive(50ms));
        EXPECT_EQ(harness::TempDir::read(r.out), before);  // opened only after PASS_ACCEPT
    }
}

TEST(LatchkeyFailures, FileTransfer) {
    const Bytes a = harness::pattern(1000, 1), b = harness::pattern(1000, 2);
    const Bytes digest_a = harness::sha1(a);
    struct Case {
        std::vector<Bytes> datagrams;
        std::string lines;
        Bytes file;
    };
    const std::vector<Case> cases{
        {{terminate(harness::sha1({}))}, "Expecting DATA\n", {}},
        {{data(a, 2)}, "transmission error\n", {}},
        {{data(a, 1), data(b, 3)}, "receiving file\ntransmission error\n", a},  // lockbox-skipid
        {{data(a, 1), data(b, 1)}, "receiving file\ntransmission error\n", a},
        {{data(a, 1, 1001)}, "transmission error\n", {}},
        {{data(a, 1), bare(4)}, "receiving file\nExpecting TERMINATE\n", a},
        {{data(a, 1), terminate(harness::sha1(a), 19)},
         "receiving file\nTERMINATE received\nincorrect checksum\n",
         a},
        // lockbox-badhash: the text, its zero, a zero, then the true digest's last 8 bytes.
        {{data(a, 1), terminate(harness::concat({harness::text_field("Wrong Hash", 12),
                                                 Bytes(digest_a.begin() + 12, digest_a.end())}))},
         "receiving file\nTERMINATE received\nincorrect checksum\n",
         a},
    };
    for (const Case& k : cases) {
        Session r;
        r.accept();
        for (const Bytes& d : k.datagrams) r.server.reply(d);
        EXPECT_EQ(r.finish(), kAccepted + k.lines + "ABORT\n") << k.lines;
        EXPECT_EQ(harness::TempDir::read(r.out), k.file) << k.lines;
        EXPECT_FALSE(r.server.receive(50ms));
    }
}

TEST(LatchkeyFailures, EveryDigestByteCounts) {
    const Bytes a = harness::pattern(300);
    for (std::size_t i : {0, 11, 19}) {
        Session r(false);
        r.accept();
        r.server.reply(data(a, 1));
        Bytes digest = harness::sha1(a);
        digest[i] ^= 0x80;
        r.server.reply(terminate(digest));
        EXPECT_EQ(r.finish(), "ABORT\n") << i;
    }
}

TEST(LatchkeyStartup, UsagePasswordLengthServerNameAndOutputFile) {
    const std::string usage =
        "usage: latchkey <servername> <serverport> <clientpwd1> <clientpwd1> <clientpwd1> "
        "<outfile>\n";
    harness::Peer server;
    const std::string port = std::to_string(server.port());
    auto res = harness::run(LATCHKEY_BADJOIN_BIN, {"127.0.0.1", port, "a", "b", "c"});
    EXPECT_EQ(res.status, 0);
    EXPECT_EQ(res.output, usage);
    res =
        harness::run(LATCHKEY_BADJOIN_BIN, {"127.0.0.1", port, "a", "b", "c", "o", "-DDEBUG", "x"});
    EXPECT_EQ(res.output, usage);
    // More than the 52-byte field: refused before anything is sent.
    res = harness::run(LATCHKEY_BADJOIN_BIN,
                       {"127.0.0.1", port, "a", std::string(53, 'p'), "c", "o", "-DDEBUG"});
    EXPECT_EQ(res.output, "passwords must not be longer than 52 characters\nABORT\n");
    EXPECT_FALSE(server.receive(100ms));
    res = harness::run(LATCHKEY_BADJOIN_BIN,
                       {"no.such.host.invalid", port, "a", "b", "c", "o", "-DDEBUG"});
    EXPECT_EQ(res.output, "wrong server name\nABORT\n");
    // An output path that cannot be opened: refused after PASS_ACCEPT, nothing written through it.
    harness::TempDir dir;
    harness::Program client(LATCHKEY_BADJOIN_BIN,
                            {"127.0.0.1", port, "a", "b", "c", dir.path(), "-DDEBUG"});
    ASSERT_TRUE(server.receive());
    server.reply(bare(2));
    ASSERT_TRUE(server.receive());
    server.reply(bare(4));
    EXPECT_EQ(client.wait_exit(), 0);
    EXPECT_EQ(client.output(), kAccepted + "error opening output file\nABORT\n");
}

TEST(LatchkeyStartup, FiftyTwoCharacterPasswordFillsTheField) {
    const std::string pw(52, 'z');
    Session r(false, pw);
    ASSERT_TRUE(r.server.receive());
    r.server.reply(bare(2));
    EXPECT_EQ(r.server.receive(), harness::concat({bare(3, 52), Bytes(pw.begin(), pw.end())}));
}

// Any datagram at each receive point ends the run with "ABORT" or is taken as what it reads as;
// nothing is read or written outside the receive area (asan build).
TEST(LatchkeyHostile, AnyDatagramAtEachReceivePoint) {
    std::mt19937 rng(3);
    Bytes random(1500);
    for (auto& v : random) v = static_cast<std::uint8_t>(rng());
    random[1] = 0x33;
    std::vector<Bytes> hostile{Bytes{}, Bytes{2}, Bytes(65507, 0xff), random};
    const Bytes full_data = data(harness::pattern(1000), 1);
    for (std::size_t n : {1, 7, 11})
        hostile.emplace_back(full_data.begin(), full_data.begin() + static_cast<std::ptrdiff_t>(n));
    for (int point = 0; point < 4; ++point) {  // first reply, verdict, first DATA, file loop
        for (const Bytes& d : hostile) {
            Session r(false);
            if (point == 0) {
                ASSERT_TRUE(r.server.receive());
            } else if (point == 1) {
                ASSERT_TRUE(r.open());
            } else {
                r.accept();
            }
            if (point == 3) r.server.reply(data(harness::pattern(5), 1));
            r.server.reply(d);
            const bool exited = r.client.wait_exit(2s).has_value();
            if (exited) {
                EXPECT_EQ(r.client.output(), "ABORT\n") << point << " " << d.size();
            } else {
                // A truncated DATA with a good id reads as an empty piece: the client waits on.
                EXPECT_GE(point, 2) << d.size();
            }
        }
    }
}

// The fault-free test server accepts the client build's opening: complete runs of every size.
TEST(LatchkeyEndToEnd, FilesOfEverySizeFromTheTestServer) {
    for (const std::size_t size : {0, 2000, 2234, 2500, 4 << 20}) {
        harness::TempDir dir;
        const Bytes content = harness::pattern(size, 9);
        const std::string in = dir.write("in", content), out = dir.file("out");
        const std::uint16_t port = harness::free_udp_port();
        harness::Program server(PEERCHECK_PASS_SERVER_BIN, {std::to_string(port), "pw", in});
        ASSERT_TRUE(server.wait_bound(port));
        const auto r = harness::run_writing(
            LATCHKEY_BADJOIN_BIN, {"127.0.0.1", std::to_string(port), "x", "y", "pw", out}, out);
        EXPECT_EQ(r.output, "OK\n") << size;
        EXPECT_EQ(harness::TempDir::read(out), content) << size;
        EXPECT_TRUE(server.wait_output("OK\n"));
    }
}

}  // namespace
