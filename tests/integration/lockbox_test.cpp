// The three lockbox builds played from the client's side over 127.0.0.1: every datagram byte for
// byte, each build's fault exactly, the output lines, the attempt limit, hostile datagrams, and
// end-to-end runs with the fault-free test client.

#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "harness.h"

namespace {

using harness::Bytes;
using namespace std::chrono_literals;

enum class Fault { bad_hash, skip_id, bad_req };
struct Build {
    const char* name;
    const char* bin;
    Fault fault;
};
const Build kBuilds[] = {{"lockbox-badhash", LOCKBOX_BADHASH_BIN, Fault::bad_hash},
                         {"lockbox-skipid", LOCKBOX_SKIPID_BIN, Fault::skip_id},
                         {"lockbox-badreq", LOCKBOX_BADREQ_BIN, Fault::bad_req}};

Bytes bare(std::uint16_t type) { return harness::concat({harness::be16(type), harness::zeros(6)}); }
const Bytes kJoin = bare(1);
Bytes pass_resp(const std::string& pw, std::uint32_t length) {
    return harness::concat(
        {harness::be16(3), harness::zeros(2), harness::be32(length), harness::text_field(pw, 52)});
}
Bytes pass_resp(const std::string& pw) {
    return pass_resp(pw, static_cast<std::uint32_t>(pw.size()));
}
Bytes pass_req(const Build& b) { return bare(b.fault == Fault::bad_req ? 12 : 2); }

// A running lockbox build serving a file of the given content with password "secret".
struct Lockbox {
    harness::TempDir dir;
    std::string path;
    std::uint16_t port = harness::free_udp_port();
    harness::Program program;
    Lockbox(const Build& b, const Bytes& content, std::vector<std::string> extra = {})
        : path(dir.write("input", content)), program(b.bin, args(std::move(extra))) {}
    std::vector<std::string> args(std::vector<std::string> extra) {
        std::vector<std::string> a{std::to_string(port), "secret", path};
        a.insert(a.end(), extra.begin(), extra.end());
        return a;
    }
    void ready() { ASSERT_TRUE(program.wait_bound(port)) << program.output(); }
};

struct Client : harness::Peer {
    Client() { set_recv_buffer(16 << 20); }
};

// The DATA datagrams and the TERMINATE of one transfer, as received.
struct Transfer {
    std::vector<Bytes> data;
    Bytes terminate;
};
Transfer receive_transfer(Client& c) {
    Transfer t;
    for (;;) {
        auto d = c.receive();
        if (!d) {
            ADD_FAILURE() << "transfer stopped after " << t.data.size() << " DATA";
            return t;
        }
        if (d->size() >= 2 && (*d)[1] == 6) {
            t.terminate = *d;
            return t;
        }
        t.data.push_back(std::move(*d));
    }
}

std::vector<std::uint32_t> expected_ids(const Build& b, std::size_t count) {
    std::vector<std::uint32_t> ids;
    for (std::uint32_t k = 1; k <= count; ++k)
        ids.push_back(b.fault == Fault::skip_id ? 2 * k - 1 : k);
    return ids;
}

Bytes expected_terminate(const Build& b, const Bytes& content) {
    Bytes digest = harness::sha1(content);
    if (b.fault == Fault::bad_hash) {  // the text, its zero, byte 11 zero, bytes 12 to 19 true
        const Bytes text = harness::text_field("Wrong Hash", 12);
        std::copy(text.begin(), text.end(), digest.begin());
    }
    return harness::concat({harness::be16(6), harness::zeros(2), harness::be32(20), digest});
}

// Every DATA exactly: 1012 bytes, type 5, its length, the build's id, the file's piece, zeros.
void expect_transfer(const Build& b, const Transfer& t, const Bytes& content) {
    const std::size_t count = content.size() / 1000 + 1;
    ASSERT_EQ(t.data.size(), count) << b.name;
    const auto ids = expected_ids(b, count);
    for (std::size_t k = 0; k < count; ++k) {
        const std::size_t from = k * 1000, n = std::min<std::size_t>(1000, content.size() - from);
        const Bytes piece(content.begin() + static_cast<std::ptrdiff_t>(from),
                          content.begin() + static_cast<std::ptrdiff_t>(from + n));
        const Bytes expected = harness::concat(
            {harness::be16(5), harness::zeros(2), harness::be32(static_cast<std::uint32_t>(n)),
             harness::be32(ids[k]), piece, harness::zeros(1000 - n)});
        ASSERT_EQ(t.data[k], expected) << b.name << " DATA " << k;
    }
    EXPECT_EQ(harness::hex(t.terminate), harness::hex(expected_terminate(b, content))) << b.name;
}

// JOIN_REQ (unless skipped), then the passwords in order; returns the reply to the last one.
std::optional<Bytes> open_and_offer(const Build& b, Client& c, std::uint16_t port,
                                    const std::vector<std::string>& passwords, bool join = true) {
    if (join) {
        c.send(kJoin, port);
        const auto req = c.receive();
        EXPECT_EQ(req, pass_req(b)) << b.name;
    }
    std::optional<Bytes> reply;
    for (std::size_t i = 0; i < passwords.size(); ++i) {
        c.send(pass_resp(passwords[i]), port);
        reply = c.receive();
        if (i + 1 < passwords.size()) {
            EXPECT_EQ(reply, pass_req(b)) << b.name << " attempt " << i;
        }
    }
    return reply;
}

TEST(LockboxSession, RightPasswordAtEachAttemptThenTheNextClient) {
    const Bytes content = harness::pattern(2234);
    for (const Build& b : kBuilds) {
        Lockbox lb(b, content);
        lb.ready();
        const std::vector<std::vector<std::string>> sessions{
            {"secret"}, {"wrong", "secret"}, {"wrong", "secreT", "secret"}};
        std::string expected_output;
        for (const auto& passwords : sessions) {
            Client c;  // a new client each time: replies go to the source of the last datagram
            EXPECT_EQ(open_and_offer(b, c, lb.port, passwords), bare(4)) << b.name;
            expect_transfer(b, receive_transfer(c), content);
            expected_output += "OK\n";
            ASSERT_TRUE(lb.program.wait_output(expected_output)) << b.name;
        }
        EXPECT_EQ(lb.program.output(), expected_output) << b.name;
        EXPECT_TRUE(lb.program.running()) << b.name;
    }
}

TEST(LockboxSession, FileSizesSplitIntoFloorPlusOneDatagrams) {
    for (const Build& b : kBuilds) {
        for (const std::size_t size : {0, 999, 2000, 2500, 3 << 20}) {
            const Bytes content = harness::pattern(size, static_cast<std::uint32_t>(size));
            Lockbox lb(b, content);
            lb.ready();
            Client c;
            EXPECT_EQ(open_and_offer(b, c, lb.port, {"secret"}), bare(4));
            expect_transfer(b, receive_transfer(c), content);
            EXPECT_TRUE(lb.program.wait_output("OK\n")) << b.name << " " << size;
        }
    }
}

TEST(LockboxSession, DebugLinesOfASession) {
    for (const Build& b : kBuilds) {
        Lockbox lb(b, harness::pattern(1500), {"-DDEBUG"});
        lb.ready();
        Client c;
        open_and_offer(b, c, lb.port, {"nope", "secret"});
        receive_transfer(c);
        ASSERT_TRUE(lb.program.wait_output("OK\n"));
        const std::string first = b.fault == Fault::bad_req ? "First packet is not JOIN_REQ\n" : "";
        EXPECT_EQ(lb.program.output(),
                  "JOIN_REQ received\n" + first +
                      "PASS_RESP received\nIm getting nope\npassword not correct\n" + first +
                      "PASS_RESP received\nIm getting secret\npassword correct\n"
                      "sending file!\nsending file!\nfile sended!\nOK\n")
            << b.name;
    }
}

TEST(LockboxSession, ThirdWrongPasswordBringsPassRejectAndTheEnd) {
    for (const Build& b : kBuilds) {
        Lockbox lb(b, harness::pattern(10), {"-DDEBUG"});
        lb.ready();
        Client c;
        EXPECT_EQ(open_and_offer(b, c, lb.port, {"a", "b", "c"}), bare(7)) << b.name;
        EXPECT_EQ(lb.program.wait_exit(), 0) << b.name;
        const std::string first = b.fault == Fault::bad_req ? "First packet is not JOIN_REQ\n" : "";
        std::string expected = "JOIN_REQ received\n";
        for (const char* pw : {"a", "b", "c"}) {
            expected += first + "PASS_RESP received\nIm getting " + pw + "\npassword not correct\n";
        }
        EXPECT_EQ(lb.program.output(), expected + "ABORT\n") << b.name;
    }
}

// The datagram-by-datagram loop counts wrong passwords since the last JOIN_REQ and since the
// last completed transfer; PASS_RESP needs no JOIN_REQ before it.
TEST(LockboxSession, BadReqCountsMissesSinceTheLastJoinOrTransfer) {
    const Build& b = kBuilds[2];
    const Bytes content = harness::pattern(1200);
    Lockbox lb(b, content);
    lb.ready();
    Client c;
    EXPECT_EQ(open_and_offer(b, c, lb.port, {"a", "b"}), pass_req(b));
    EXPECT_EQ(open_and_offer(b, c, lb.port, {"c", "d", "secret"}), bare(4));  // JOIN_REQ reset it
    expect_transfer(b, receive_transfer(c), content);
    ASSERT_TRUE(lb.program.wait_output("OK\n"));
    EXPECT_EQ(open_and_offer(b, c, lb.port, {"e", "f", "secret"}, false), bare(4));  // no JOIN_REQ
    expect_transfer(b, receive_transfer(c), content);
    ASSERT_TRUE(lb.program.wait_output("OK\nOK\n"));
    EXPECT_EQ(open_and_offer(b, c, lb.port, {"g", "h", "i"}, false), bare(7));
    EXPECT_EQ(lb.program.wait_exit(), 0);
    EXPECT_EQ(lb.program.output(), "OK\nOK\nABORT\n");
}

TEST(LockboxRefusal, WrongFirstDatagramAndLengthFiftyOne) {
    struct Case {
        Bytes first;
        bool join_first;  // JOIN_REQ first, then this datagram in place of a PASS_RESP
        std::string lines;
        std::string badreq_lines;
    };
    const std::vector<Case> cases{
        {bare(5), false, "First packet is not JOIN_REQ\n", "First packet is not JOIN_REQ\n"},
        {harness::concat({harness::be16(1), harness::zeros(2), harness::be32(1)}), false,
         "First packet is not JOIN_REQ\n", "First packet is not JOIN_REQ\n"},
        {bare(12), false, "First packet is not JOIN_REQ\n", "First packet is not JOIN_REQ\n"},
        {pass_resp("secret", 51), true, "JOIN_REQ received\nIm expecting PASS_RESP\n",
         "JOIN_REQ received\nFirst packet is not JOIN_REQ\nIm expecting PASS_RESP\n"},
        {bare(4), true, "JOIN_REQ received\nIm expecting PASS_RESP\n",
         "JOIN_REQ received\nFirst packet is not JOIN_REQ\n"},
    };
    for (const Build& b : kBuilds) {
        for (const Case& k : cases) {
            Lockbox lb(b, harness::pattern(10), {"-DDEBUG"});
            lb.ready();
            Client c;
            if (k.join_first) {
                c.send(kJoin, lb.port);
                EXPECT_EQ(c.receive(), pass_req(b));
            }
            c.send(k.first, lb.port);
            EXPECT_EQ(lb.program.wait_exit(), 0);
            EXPECT_EQ(lb.program.output(),
                      (b.fault == Fault::bad_req ? k.badreq_lines : k.lines) + "ABORT\n")
                << b.name << " " << harness::hex(k.first);
            EXPECT_FALSE(c.receive(50ms)) << b.name;
        }
    }
}

// The delivered client opens with type 12: every build refuses it and the client is left waiting.
TEST(LockboxRefusal, EveryBuildRefusesTheClientBuildsOpening) {
    for (const Build& b : kBuilds) {
        Lockbox lb(b, harness::pattern(10), {"-DDEBUG"});
        lb.ready();
        harness::Program client(LATCHKEY_BADJOIN_BIN,
                                {"127.0.0.1", std::to_string(lb.port), "secret", "secret", "secret",
                                 lb.dir.file("out"), "-DDEBUG"});
        EXPECT_EQ(lb.program.wait_exit(), 0) << b.name;
        EXPECT_EQ(lb.program.output(), "First packet is not JOIN_REQ\nABORT\n") << b.name;
        EXPECT_TRUE(client.running());
        EXPECT_EQ(client.output(), "");
        EXPECT_FALSE(std::filesystem::exists(lb.dir.file("out")));
    }
}

TEST(LockboxStartup, UsageMissingFileAndBindError) {
    const std::string usage = "usage: lockbox <serverport> <password> <input file>\n";
    harness::TempDir dir;
    const std::string file = dir.write("f", harness::pattern(3));
    for (const Build& b : kBuilds) {
        auto r = harness::run(b.bin, {"1", "pw"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.output, usage) << b.name;
        r = harness::run(b.bin, {"1", "pw", file, "-DDEBUG", "x"});
        EXPECT_EQ(r.output, usage) << b.name;
        r = harness::run(b.bin, {"1", "pw", dir.file("missing")});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.output, "Input file doesn't exist\n") << b.name;
        harness::Peer holder;
        r = harness::run(b.bin, {std::to_string(holder.port()), "pw", file, "-DDEBUG"});
        EXPECT_EQ(r.output, "Error binding to socket\nABORT\n") << b.name;
    }
}

TEST(LockboxStartup, AnyOtherFifthWordLeavesDebuggingOff) {
    for (const Build& b : kBuilds) {
        Lockbox lb(b, harness::pattern(10), {"-DEBUG"});
        lb.ready();
        Client c;
        open_and_offer(b, c, lb.port, {"x", "secret"});
        receive_transfer(c);
        ASSERT_TRUE(lb.program.wait_output("OK\n"));
        EXPECT_EQ(lb.program.output(), "OK\n") << b.name;
    }
}

// The file is looked up only at start-up; one removed since, or one that opens but cannot be
// read (a directory), ends the run instead of a transfer: never a stream of empty DATA.
TEST(LockboxStartup, InputFileGoneOrUnreadableAfterStartupEndsTheRun) {
    for (const Build& b : kBuilds) {
        for (const bool directory : {false, true}) {
            Lockbox lb(b, harness::pattern(10));
            lb.ready();
            std::filesystem::remove(lb.path);
            if (directory) std::filesystem::create_directory(lb.path);
            Client c;
            EXPECT_EQ(open_and_offer(b, c, lb.port, {"secret"}), bare(4));
            EXPECT_EQ(lb.program.wait_exit(), 0) << b.name;
            EXPECT_EQ(lb.program.output(), "ABORT\n") << b.name;
            EXPECT_FALSE(c.receive(100ms)) << b.name;
        }
    }
}

// Any datagram where a JOIN_REQ or a PASS_RESP is awaited ends the run cleanly or is handled as
// the message it reads as; nothing is read outside the receive area (asan build).
TEST(LockboxHostile, AnyDatagramAtEachReceivePoint) {
    std::mt19937 rng(11);
    Bytes random(3000);
    for (auto& v : random) v = static_cast<std::uint8_t>(rng());
    random[0] = 0x7f;
    Bytes long_resp = Bytes(65507, 'x');
    long_resp[1] = 3;  // a PASS_RESP whose length field reads as 0x78787878
    std::vector<Bytes> hostile{Bytes{}, Bytes{1}, Bytes(65507, 0xff), random, long_resp};
    const Bytes full = pass_resp("secret");
    for (std::size_t n : {1, 3, 7, 9, 59})
        hostile.emplace_back(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(n));
    for (const Build& b : kBuilds) {
        for (const bool after_join : {false, true}) {
            for (const Bytes& d : hostile) {
                Lockbox lb(b, harness::pattern(10));
                lb.ready();
                Client c;
                if (after_join) {
                    c.send(kJoin, lb.port);
                    ASSERT_TRUE(c.receive());
                }
                c.send(d, lb.port);
                // Truncated PASS_RESPs read as PASS_RESPs with the missing bytes zero: a wrong
                // password, answered with PASS_REQ, or (59 bytes) the right one, answered with
                // PASS_ACCEPT and the file. Everything else ends the run.
                const auto reply = c.receive(300ms);
                if (reply == pass_req(b)) {
                    EXPECT_TRUE(lb.program.running()) << b.name;
                    continue;
                }
                if (reply == bare(4)) {
                    EXPECT_EQ(d.size(), 59u);
                    receive_transfer(c);
                    EXPECT_TRUE(lb.program.wait_output("OK\n")) << b.name;
                    continue;
                }
                EXPECT_FALSE(reply) << b.name << " " << d.size();
                EXPECT_EQ(lb.program.wait_exit(), 0) << b.name << " " << d.size();
                EXPECT_EQ(lb.program.output(), "ABORT\n") << b.name << " " << d.size();
            }
        }
    }
}

// The fault-free test client against each build: the check that catches each build's fault.
TEST(LockboxEndToEnd, ConformingClientCatchesEachFault) {
    const Bytes content = harness::pattern(3 << 20, 5);
    for (const Build& b : kBuilds) {
        Lockbox lb(b, content);
        lb.ready();
        const std::string out = lb.dir.file("received");
        const auto r = harness::run_writing(
            PEERCHECK_PASS_CLIENT_BIN,
            {"127.0.0.1", std::to_string(lb.port), "x", "secret", "y", out, "-DDEBUG"}, out);
        EXPECT_EQ(r.status, 0);
        switch (b.fault) {
            case Fault::bad_hash:  // the whole file arrived; only the digest is wrong
                EXPECT_EQ(harness::TempDir::read(out), content);
                EXPECT_TRUE(r.output.ends_with("TERMINATE received\nincorrect checksum\nABORT\n"))
                    << r.output;
                break;
            case Fault::skip_id:
                EXPECT_EQ(harness::TempDir::read(out),
                          Bytes(content.begin(), content.begin() + 1000));
                EXPECT_TRUE(r.output.ends_with("PASS_ACCEPT received\ntransmission error\nABORT\n"))
                    << r.output;
                break;
            case Fault::bad_req:
                EXPECT_EQ(r.output, "no PASS_REQ arrived\nABORT\n");
                EXPECT_FALSE(std::filesystem::exists(out));
                break;
        }
        if (b.fault != Fault::bad_req) {
            EXPECT_TRUE(lb.program.wait_output("OK\n")) << b.name;
        }
        EXPECT_TRUE(lb.program.running()) << b.name;
    }
}

}  // namespace
