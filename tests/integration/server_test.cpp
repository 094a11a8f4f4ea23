// server played from the client's side over 127.0.0.1: the exact AP_REP and envelope bytes, the
// chunking of files at the 972-byte edges, the test switches, every refusal of its failure table,
// and client after client without leaking a descriptor.

#include <dirent.h>
#include <gtest/gtest.h>

#include <optional>
#include <thread>

#include "harness.h"
#include "ticket_peers.h"

namespace {

using harness::Bytes;
using namespace std::chrono_literals;

// A running server holding one file, extra words appended.
struct Server {
    harness::TempDir dir;
    std::string path;
    std::uint16_t port = harness::free_udp_port();
    harness::Program program;
    explicit Server(const Bytes& content, std::vector<std::string> extra = {})
        : path(dir.write("served.bin", content)), program(SERVER_BIN, args(std::move(extra))) {}
    std::vector<std::string> args(std::vector<std::string> extra) {
        std::vector<std::string> a{std::to_string(port), peers::kServerKey, path};
        a.insert(a.end(), extra.begin(), extra.end());
        return a;
    }
    void ready() { ASSERT_TRUE(program.wait_bound(port)) << program.output(); }
};

Bytes good_ap_req(std::uint32_t nonce, std::uint32_t timestamp = peers::now()) {
    peers::TicketPlain t;
    t.timestamp = timestamp;
    return peers::ap_req(peers::sealed_ticket(t),
                         peers::authenticator("alice", peers::kLoopback, nonce));
}

// The answer number an AP_REP carries, read back with the session key; checks the fixed layout.
std::int32_t answer_of(const Bytes& rep) {
    EXPECT_EQ(rep.size(), ticket::kApRepSize);
    EXPECT_EQ(peers::be16_at(rep, 0), 5);
    const auto answer =
        ticket::read_ap_rep_answer(peers::area(rep), peers::schedule(peers::kSessionKey));
    EXPECT_TRUE(answer);
    return answer.value_or(0);
}

// A new visit's valid AP_REQ with nonce 1000, and the answer of the AP_REP to it; nullopt when no
// AP_REP came.
std::optional<std::int32_t> open_visit(const Server& sv, harness::Peer& client) {
    client.send(good_ap_req(1000), sv.port);
    const auto rep = client.receive();
    if (!rep) return std::nullopt;
    return answer_of(*rep);
}

// Asks for the file and collects the chunks; returns the data and the APP_TERMINATE digest.
struct Delivery {
    Bytes data;
    std::vector<std::uint16_t> lengths;
    Bytes digest;
};
Delivery fetch(harness::Peer& client, std::uint16_t port) {
    client.send(peers::krb_prv(peers::inner(14, 0, 0, {})), port);
    Delivery d;
    for (std::uint16_t expected = 1;; ++expected) {
        const auto prv = client.receive();
        if (!prv) {
            ADD_FAILURE() << "envelope missing after id " << expected - 1;
            return d;
        }
        const Bytes in = peers::open_krb_prv(*prv);
        if (peers::be16_at(in, 0) == 16) {
            EXPECT_EQ(peers::be16_at(in, 2), 20);  // data length 20, packet id 0
            EXPECT_EQ(peers::be16_at(in, 4), 0);
            EXPECT_EQ(peers::slice(in, 26, 952), harness::zeros(952));
            d.digest = peers::slice(in, 6, 20);
            return d;
        }
        EXPECT_EQ(peers::be16_at(in, 0), 15);
        EXPECT_EQ(peers::be16_at(in, 4), expected);
        const std::uint16_t n = peers::be16_at(in, 2);
        EXPECT_LE(n, 972);
        d.lengths.push_back(n);
        d.data.insert(d.data.end(), in.begin() + 6, in.begin() + 6 + n);
        EXPECT_EQ(peers::slice(in, 6 + n, 972 - n), harness::zeros(972 - n));
    }
}

TEST(ServerDelivery, ChunksAtTheEdgesOf972Bytes) {
    const std::vector<std::pair<std::size_t, std::vector<std::uint16_t>>> cases{
        {0, {0}},
        {1, {1}},
        {972, {972, 0}},
        {973, {972, 1}},
        {1944, {972, 972, 0}},
        {5000, {972, 972, 972, 972, 972, 140}}};
    for (const auto& [size, lengths] : cases) {
        const Bytes content = harness::pattern(size, static_cast<std::uint32_t>(size));
        Server sv(content);
        sv.ready();
        harness::Peer client;
        ASSERT_EQ(open_visit(sv, client), 1001);
        const Delivery d = fetch(client, sv.port);
        EXPECT_EQ(d.lengths, lengths) << size;
        EXPECT_EQ(d.data, content) << size;
        EXPECT_EQ(d.digest, harness::sha1(content)) << size;
        ASSERT_TRUE(sv.program.wait_output("OK\n"));
        EXPECT_EQ(sv.program.output(), "OK\n");
    }
}

TEST(ServerDelivery, ApRepBytesFollowTheLengthRule) {
    // "1001": length field 8, eight sealed bytes holding the digits and zero bytes.
    // A ten-digit answer: field 14, sixteen sealed bytes. An eight-digit answer: field 8, no zero.
    struct Case {
        std::uint32_t nonce;
        std::string text;
        std::uint16_t field;
    };
    for (const Case& c : {Case{1000, "1001", 8}, Case{1796700000, "1796700001", 14},
                          Case{12345677, "12345678", 8}}) {
        Server sv(harness::pattern(10));
        sv.ready();
        harness::Peer client;
        client.send(good_ap_req(c.nonce), sv.port);
        const auto rep = client.receive();
        ASSERT_TRUE(rep);
        Bytes text(16, 0);
        std::copy(c.text.begin(), c.text.end(), text.begin());
        const std::size_t sealed = seal::rounded(c.field);
        const Bytes expected = harness::concat(
            {harness::be16(5), harness::be16(c.field),
             peers::seal_bytes(text, c.field, peers::kSessionKey), harness::zeros(20 - sealed)});
        EXPECT_EQ(harness::hex(*rep), harness::hex(expected)) << c.text;
    }
}

TEST(ServerDelivery, DebugLinesNarrateAVisit) {
    Server sv(harness::pattern(973), {"-DDEBUG"});
    sv.ready();
    harness::Peer client;
    const std::uint32_t ts = peers::now();
    client.send(good_ap_req(1000, ts), sv.port);
    ASSERT_TRUE(client.receive());
    const Delivery d = fetch(client, sv.port);
    ASSERT_TRUE(sv.program.wait_output("OK\n"));
    EXPECT_EQ(sv.program.output(),
              "AP_REQ received\nSession key still valid\nClient name is correct\n"
              "Client IP address is correct\nnonce received = 1000\nnonce+1 after adding 0 = 1001\n"
              "Sending AP_REP\nKRB_PRV received\nSession key still valid\nAPP_DATA_REQ received\n"
              "sending file!\nsending file!\nfile sended!\nfile digest sent!\nOK\n");
}

TEST(ServerDelivery, NextClientIsServedFromTheStart) {
    const Bytes content = harness::pattern(2000);
    Server sv(content);
    sv.ready();
    for (int i = 0; i < 3; ++i) {
        harness::Peer client;  // a new source port every time
        client.send(good_ap_req(500 + static_cast<std::uint32_t>(i)), sv.port);
        const auto rep = client.receive();
        ASSERT_TRUE(rep);
        EXPECT_EQ(answer_of(*rep), 501 + i);
        const Delivery d = fetch(client, sv.port);
        EXPECT_EQ(d.data, content);
    }
    ASSERT_TRUE(sv.program.wait_output("OK\nOK\nOK\n"));
    EXPECT_TRUE(sv.program.running());
}

TEST(ServerDelivery, KrbPrvFromAnotherAddressGetsTheFile) {
    const Bytes content = harness::pattern(100);
    Server sv(content);
    sv.ready();
    harness::Peer first, second;
    first.send(good_ap_req(7), sv.port);
    ASSERT_TRUE(first.receive());
    const Delivery d = fetch(second, sv.port);
    EXPECT_EQ(d.data, content);
    EXPECT_FALSE(first.receive(100ms));
}

std::size_t open_descriptors(pid_t pid) {
    std::size_t n = 0;
    DIR* dir = ::opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (dir == nullptr) return 0;
    while (const dirent* e = ::readdir(dir)) n += e->d_name[0] != '.';
    ::closedir(dir);
    return n;
}

TEST(ServerDelivery, HundredClientsLeaveTheDescriptorCountUnchanged) {
    Server sv(harness::pattern(3000));
    sv.ready();
    const std::size_t before = open_descriptors(sv.program.pid());
    ASSERT_GT(before, 0u);
    harness::Peer client;
    for (int i = 0; i < 100; ++i) {
        client.send(good_ap_req(static_cast<std::uint32_t>(i)), sv.port);
        ASSERT_TRUE(client.receive());
        ASSERT_EQ(fetch(client, sv.port).data.size(), 3000u);
    }
    std::string oks;
    for (int i = 0; i < 100; ++i) oks += "OK\n";
    ASSERT_TRUE(sv.program.wait_output(oks));
    EXPECT_EQ(open_descriptors(sv.program.pid()), before);
}

TEST(ServerSwitches, NonceOffsetIsAddedToTheAnswer) {
    for (const auto& [offset, answer] : {std::pair{"5", 1006}, std::pair{"-2", 999}}) {
        Server sv(harness::pattern(10), {"-DDEBUG", "-T1", offset});
        sv.ready();
        harness::Peer client;
        ASSERT_EQ(open_visit(sv, client), answer);
        ASSERT_TRUE(sv.program.wait_output("Sending AP_REP\n"));
        EXPECT_NE(sv.program.output().find("nonce+1 after adding " + std::string(offset) + " = " +
                                           std::to_string(answer) + "\n"),
                  std::string::npos);
    }
    // Past the largest number the answer wraps to a negative one, written with its sign.
    Server sv(harness::pattern(10), {"-DDEBUG", "-T1", "1"});
    sv.ready();
    harness::Peer client;
    client.send(good_ap_req(2147483646u), sv.port);
    const auto rep = client.receive();
    ASSERT_TRUE(rep);
    EXPECT_EQ(answer_of(*rep), -2147483648);
    EXPECT_EQ(peers::be16_at(*rep, 2), 15);  // eleven characters: 11 + 4
}

TEST(ServerSwitches, WrongHashReplacesTwelveDigestBytes) {
    const Bytes content = harness::pattern(1500);
    Server sv(content, {"-DDEBUG", "-T2", "0"});
    sv.ready();
    harness::Peer client;
    client.send(good_ap_req(1), sv.port);
    ASSERT_TRUE(client.receive());
    const Delivery d = fetch(client, sv.port);
    const Bytes truth = harness::sha1(content);
    const Bytes text{'W', 'r', 'o', 'n', 'g', ' ', 'H', 'a', 's', 'h', 0, 0};
    EXPECT_EQ(d.digest, harness::concat({text, peers::slice(truth, 12, 8)}));
    ASSERT_TRUE(sv.program.wait_output("OK\n"));
    EXPECT_NE(sv.program.output().find("file sended!\nWrong Hash\nfile digest sent!\nOK\n"),
              std::string::npos);
}

TEST(ServerSwitches, OptionalWordsCountByPosition) {
    // 5 and 7 words: nothing beyond the file takes effect; 8 words: the switch sits at 7.
    for (const auto& [extra, answer, debug] :
         {std::tuple{std::vector<std::string>{"-DDEBUG", "-T1"}, 1001, false},
          std::tuple{std::vector<std::string>{"-DDEBUG", "-T1", "5", "x"}, 1001, false},
          std::tuple{std::vector<std::string>{"nodebug", "x", "y", "-T1", "9"}, 1010, false},
          std::tuple{std::vector<std::string>{"-DDEBUG", "-T1", "5", "-T3", "9"}, 1001, true}}) {
        Server sv(harness::pattern(10), extra);
        sv.ready();
        harness::Peer client;
        ASSERT_EQ(open_visit(sv, client), answer);
        fetch(client, sv.port);
        ASSERT_TRUE(sv.program.wait_output("OK\n"));
        EXPECT_EQ(sv.program.output() == "OK\n", !debug);
    }
}

// Each refusal of an AP_REQ: what the server prints and whether it answers AP_ERR.
struct Refusal {
    const char* name;
    Bytes datagram;
    std::string output;  // with -DDEBUG
    bool ap_err;
};

TEST(ServerRefusal, EveryApReqFailureIsVisible) {
    peers::TicketPlain t;
    const Bytes tk = peers::sealed_ticket(t);
    const Bytes auth = peers::authenticator("alice", peers::kLoopback, 5);
    Bytes late_id = peers::authenticator("alice", peers::kLoopback, 5);
    late_id[39] = 'x';  // differs only after the terminating zero
    peers::TicketPlain weak = t;
    weak.session_key = harness::bytes({1, 1, 1, 1, 1, 1, 1, 1});
    const std::string head = "AP_REQ received\nSession key still valid\n";
    const std::vector<Refusal> refusals{
        {"AP_ERR first", harness::concat({harness::be16(6), harness::zeros(40)}),
         "First packet is not AP_REQ\nI'm receiving packet type = 6\nABORT\n", false},
        {"KRB_PRV first", peers::krb_prv(peers::inner(14, 0, 0, {})),
         "First packet is not AP_REQ\nI'm receiving packet type = 7\nABORT\n", false},
        {"ticket length 105", peers::ap_req(tk, auth, 105),
         "AP_REQ received\nWrong packet: ticket length = 105, authenticator length = 48\nABORT\n",
         false},
        {"authenticator length 49", peers::ap_req(tk, auth, 104, 49),
         "AP_REQ received\nWrong packet: ticket length = 104, authenticator length = 49\nABORT\n",
         false},
        {"other server key", peers::ap_req(peers::sealed_ticket(t, peers::kClientKeyBytes), auth),
         "AP_REQ received\nkey error -1\n", false},
        {"weak session key", peers::ap_req(peers::sealed_ticket(weak), auth),
         "AP_REQ received\nkey error -2\n", false},
        {"client name", peers::ap_req(tk, late_id),
         head + "Client name is wrong. Im expecting alice but receiving alice\nSending AP_ERR back "
                "to client\nABORT\n",
         true},
        {"client address",
         peers::ap_req(tk, peers::authenticator("alice", harness::bytes({127, 0, 0, 2}), 5)),
         head + "Client name is correct\nClient IP address is wrong\nExpecting 16777343 but "
                "receiving 33554559\nABORT\n",
         true},
    };
    for (const Refusal& r : refusals) {
        for (const bool debug : {false, true}) {
            Server sv(harness::pattern(10),
                      debug ? std::vector<std::string>{"-DDEBUG"} : std::vector<std::string>{});
            sv.ready();
            harness::Peer client;
            client.send(r.datagram, sv.port);
            const auto reply = client.receive(r.ap_err ? 2000ms : 200ms);
            EXPECT_EQ(sv.program.wait_exit(), 0) << r.name;
            if (r.ap_err) {
                ASSERT_TRUE(reply) << r.name;
                EXPECT_EQ(*reply, harness::concat({harness::be16(6), harness::zeros(40)}))
                    << r.name;
            } else {
                EXPECT_FALSE(reply) << r.name;
            }
            const bool silent = r.output.find("key error") != std::string::npos;
            const std::string plain =
                silent ? r.output.substr(r.output.find("key error")) : "ABORT\n";
            EXPECT_EQ(sv.program.output(), debug ? r.output : plain) << r.name;
        }
    }
}

TEST(ServerRefusal, ExpiredTicketEndsItSilently) {
    // Timestamp + lifetime already reached: no reply, no result line.
    Server sv(harness::pattern(10), {"-DDEBUG"});
    sv.ready();
    harness::Peer client;
    const std::uint32_t ts = peers::now() - 3600 - 1;
    client.send(good_ap_req(1, ts), sv.port);
    EXPECT_FALSE(client.receive(300ms));
    EXPECT_EQ(sv.program.wait_exit(), 0);
    const std::string out = sv.program.output();
    EXPECT_EQ(out.rfind("AP_REQ received\nSession key has expired\ncurrtime = ", 0), 0u) << out;
    EXPECT_NE(out.find(", validity = " + std::to_string(ts + 3600) + " \n"), std::string::npos)
        << out;
    EXPECT_EQ(out.find("ABORT"), std::string::npos);
}

TEST(ServerRefusal, TicketExpiringBeforeTheRequestEndsItSilently) {
    Server sv(harness::pattern(10), {"-DDEBUG"});
    sv.ready();
    harness::Peer client;
    const std::uint32_t ts = peers::now() - 3600 + 1;  // valid for about one more second
    client.send(good_ap_req(1, ts), sv.port);
    ASSERT_TRUE(client.receive());
    while (peers::now() < ts + 3600) std::this_thread::sleep_for(50ms);
    client.send(peers::krb_prv(peers::inner(14, 0, 0, {})), sv.port);
    EXPECT_FALSE(client.receive(300ms));
    EXPECT_EQ(sv.program.wait_exit(), 0);
    const std::string out = sv.program.output();
    EXPECT_NE(out.find("Sending AP_REP\nKRB_PRV received\nSession key has expired\ncurrtime = "),
              std::string::npos);
    EXPECT_NE(out.find(", expiration = " + std::to_string(ts + 3600) + " \n"), std::string::npos)
        << out;
    EXPECT_EQ(out.find("ABORT"), std::string::npos);
}

TEST(ServerRefusal, EveryRequestFailureAborts) {
    Bytes bad_length = peers::krb_prv(peers::inner(14, 0, 0, {}));
    bad_length[2] = 0x03;
    bad_length[3] = 0xd3;  // 979
    const std::vector<std::pair<Bytes, std::string>> cases{
        {harness::concat({harness::be16(6), harness::text_field("alice", 40)}),
         "AP_ERR received - aborting\n"},
        {harness::concat({harness::be16(4), harness::zeros(154)}),
         "Expecting KRB_PRV or AP_ERR\nI'm receiving packet type = 4\n"},
        {peers::krb_prv(peers::inner(15, 0, 1, {})),
         "KRB_PRV received\nSession key still valid\nExpecting APP_DATA_REQ\nI'm receiving packet "
         "type = 15\n"},
        {peers::krb_prv(peers::inner(16, 0, 0, {})),
         "KRB_PRV received\nSession key still valid\nExpecting APP_DATA_REQ\nI'm receiving packet "
         "type = 16\n"},
        {bad_length,
         "KRB_PRV received\nSession key still valid\nWrong packet: KRB_PRV length = 979\n"},
    };
    for (const auto& [datagram, lines] : cases) {
        Server sv(harness::pattern(10), {"-DDEBUG"});
        sv.ready();
        harness::Peer client;
        client.send(good_ap_req(1), sv.port);
        ASSERT_TRUE(client.receive());
        client.send(datagram, sv.port);
        EXPECT_FALSE(client.receive(200ms));
        EXPECT_EQ(sv.program.wait_exit(), 0);
        const std::string out = sv.program.output();
        const std::string tail = lines + "ABORT\n";
        ASSERT_GE(out.size(), tail.size());
        EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
    }
}

TEST(ServerRefusal, MissingFileAbortsAfterTheRequest) {
    Server sv({}, {"-DDEBUG"});
    std::remove(sv.path.c_str());
    sv.ready();
    harness::Peer client;
    client.send(good_ap_req(1), sv.port);
    ASSERT_TRUE(client.receive());
    client.send(peers::krb_prv(peers::inner(14, 0, 0, {})), sv.port);
    EXPECT_FALSE(client.receive(200ms));
    EXPECT_EQ(sv.program.wait_exit(), 0);
    const std::string out = sv.program.output();
    EXPECT_NE(out.find("APP_DATA_REQ received\nError opening the file to send\nABORT\n"),
              std::string::npos)
        << out;
}

// A directory opens for reading but every read fails: the delivery ends instead of looping.
TEST(ServerRefusal, ReadErrorEndsTheDelivery) {
    harness::TempDir dir;
    const std::uint16_t port = harness::free_udp_port();
    harness::Program sv(SERVER_BIN,
                        {std::to_string(port), peers::kServerKey, dir.path(), "-DDEBUG"});
    ASSERT_TRUE(sv.wait_bound(port));
    harness::Peer client;
    client.send(good_ap_req(1), port);
    ASSERT_TRUE(client.receive());
    client.send(peers::krb_prv(peers::inner(14, 0, 0, {})), port);
    EXPECT_FALSE(client.receive(200ms));
    EXPECT_EQ(sv.wait_exit(), 0);
    EXPECT_TRUE(
        sv.output().ends_with("APP_DATA_REQ received\nError reading the file to send\nABORT\n"))
        << sv.output();
}

TEST(ServerStartup, CommandLineRules) {
    const std::string usage = "usage: server <serverport> <gatekeeperkey> <inputfile>\n";
    auto r = harness::run(SERVER_BIN, {"1", peers::kServerKey});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output, usage);
    r = harness::run(SERVER_BIN,
                     {"1", peers::kServerKey, "f", "-DDEBUG", "a", "b", "-T1", "2", "x"});
    EXPECT_EQ(r.output, usage);
    const std::string port = std::to_string(harness::free_udp_port());
    r = harness::run(SERVER_BIN, {port, "0101010101010101", "f", "-DDEBUG"});  // weak
    EXPECT_EQ(r.output, "Incorrect predefined gatekeeper key\nABORT\n");
    r = harness::run(SERVER_BIN, {port, "0123456789abcdee", "f"});  // even parity in the last byte
    EXPECT_EQ(r.output, "ABORT\n");
    EXPECT_EQ(r.status, 0);
    harness::Peer holder;
    r = harness::run(SERVER_BIN,
                     {std::to_string(holder.port()), peers::kServerKey, "f", "-DDEBUG"});
    EXPECT_EQ(r.output, "Error binding to socket\nABORT\n");
}

// Hostile AP_REQs of every size: the length fields are bounded, the rest is garbage that ends in
// a key error or a refusal, never a crash (the asan build checks every read).
TEST(ServerHostile, GarbageAfterTheTypeEndsItCleanly) {
    std::vector<Bytes> datagrams{Bytes{}, Bytes{0, 4}, Bytes(65507, 0xff)};
    Bytes random = harness::pattern(1010, 9);
    random[0] = 0;
    random[1] = 4;
    random[2] = 0;
    random[3] = 104;
    random[4] = 0;
    random[5] = 48;
    datagrams.push_back(random);
    for (const auto& d : datagrams) {
        Server sv(harness::pattern(10));
        sv.ready();
        harness::Peer client;
        client.send(d, sv.port);
        EXPECT_EQ(sv.program.wait_exit(), 0) << d.size();
        const std::string out = sv.program.output();
        EXPECT_TRUE(out == "ABORT\n" || out.rfind("key error", 0) == 0) << out;
    }
}

}  // namespace
