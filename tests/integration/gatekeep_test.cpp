// gatekeep played from the client's side over 127.0.0.1: exact AS_REP and AS_ERR bytes, the
// output lines with and without -DDEBUG, the command-line rules and hostile datagrams.

#include <gtest/gtest.h>

#include <ctime>
#include <optional>
#include <random>

#include "harness.h"
#include "seal.h"
#include "ticket_msg.h"

namespace {

using harness::Bytes;
using namespace std::chrono_literals;

constexpr const char* kClientKey = "0123456789abcdef";  // odd parity in every byte
constexpr const char* kServerKey = "fedcba9876543210";
const Bytes kClientKeyBytes = harness::bytes({0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef});
const Bytes kServerKeyBytes = harness::bytes({0xfe, 0xdc, 0xba, 0x98, 0x76, 0x54, 0x32, 0x10});

seal::Schedule schedule(const Bytes& key) {
    seal::Schedule s;
    EXPECT_EQ(seal::make_schedule(std::span<const std::uint8_t, 8>(key.data(), 8), s), 0);
    return s;
}

Bytes as_req(const std::string& client, const std::string& server) {
    return harness::concat({harness::be16(1), harness::text_field(client, 40),
                            harness::text_field(server, 40), harness::zeros(6)});
}

// A running gatekeep for client "alice" and server "files", extra words appended.
struct Gatekeep {
    std::uint16_t port = harness::free_udp_port();
    harness::Program program;
    explicit Gatekeep(std::vector<std::string> extra = {}, std::string client = "alice",
                      std::string client_key = kClientKey, std::string server_key = kServerKey)
        : program(GATEKEEP_BIN, with(std::move(extra), client, client_key, server_key)) {}
    std::vector<std::string> with(std::vector<std::string> extra, const std::string& client,
                                  const std::string& ck, const std::string& sk) {
        std::vector<std::string> args{std::to_string(port), client, ck, "files", sk};
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    }
    void ready() { ASSERT_TRUE(program.wait_bound(port)) << program.output(); }
};

struct Unsealed {
    ticket::BodyArea body{};
    ticket::TicketArea ticket{};
};

// Opens an AS_REP with both long-term keys, checking the layout on the way.
Unsealed open_as_rep(const Bytes& rep) {
    Unsealed u;
    ticket::RecvArea rx{};
    std::copy(rep.begin(), rep.end(), rx.begin());
    EXPECT_TRUE(ticket::unseal_as_rep_body(rx, schedule(kClientKeyBytes), u.body));
    const auto sealed_ticket = wire::at<ticket::kBodyTicket>(u.body);
    EXPECT_TRUE(seal::unseal(sealed_ticket, 104, schedule(kServerKeyBytes), u.ticket));
    return u;
}

// A new client's AS_REQ for alice and files, and gatekeep's AS_REP to it opened; nullopt when no
// AS_REP came.
std::optional<Unsealed> ask(const Gatekeep& gk) {
    harness::Peer client;
    client.send(as_req("alice", "files"), gk.port);
    const auto rep = client.receive();
    if (!rep) return std::nullopt;
    return open_as_rep(*rep);
}

TEST(GatekeepExchange, AnswersEachAsReqWithAFreshlySealedAsRep) {
    Gatekeep gk;
    gk.ready();
    harness::Peer client;
    Bytes keys[2];
    for (auto& key : keys) {
        const auto before = static_cast<std::uint32_t>(std::time(nullptr));
        client.send(as_req("alice", "files"), gk.port);
        const auto rep = client.receive();
        const auto after = static_cast<std::uint32_t>(std::time(nullptr));
        ASSERT_TRUE(rep);
        ASSERT_EQ(rep->size(), 172u);
        EXPECT_EQ(Bytes(rep->begin(), rep->begin() + 4), harness::bytes({0, 2, 0, 168}));
        const Unsealed u = open_as_rep(*rep);
        const Bytes body(u.body.begin(), u.body.end());
        const Bytes tk(u.ticket.begin(), u.ticket.end());
        key.assign(body.begin(), body.begin() + 8);
        const std::uint32_t ts = wire::load_le32(wire::at<ticket::kBodyTimestamp>(u.body));
        EXPECT_GE(ts, before);
        EXPECT_LE(ts, after);
        // The body: key, server ID, timestamp, lifetime 3600, zero, ticket length 104, zero.
        EXPECT_EQ(Bytes(body.begin() + 8, body.begin() + 48), harness::text_field("files", 40));
        EXPECT_EQ(Bytes(body.begin() + 52, body.begin() + 60),
                  harness::bytes({0x0e, 0x10, 0, 0, 0, 104, 0, 0}));
        EXPECT_EQ(Bytes(body.begin() + 164, body.end()), harness::zeros(4));
        // The Ticket: the same key, client ID, the AS_REQ's source address, server ID, same time.
        const Bytes expected_ticket =
            harness::concat({key, harness::text_field("alice", 40), harness::bytes({127, 0, 0, 1}),
                             harness::text_field("files", 40), harness::le32(ts),
                             harness::bytes({0x0e, 0x10, 0, 0}), harness::zeros(4)});
        EXPECT_EQ(harness::hex(tk), harness::hex(expected_ticket));
        seal::Schedule s;
        EXPECT_EQ(seal::make_schedule(std::span<const std::uint8_t, 8>(key.data(), 8), s), 0);
    }
    EXPECT_NE(keys[0], keys[1]);
    ASSERT_TRUE(gk.program.wait_output("OK\nOK\n"));
    EXPECT_EQ(gk.program.output(), "OK\nOK\n");
    EXPECT_TRUE(gk.program.running());
}

TEST(GatekeepExchange, DebugLinesNarrateEveryStep) {
    Gatekeep gk({"-DDEBUG", "-T1", "2"});
    gk.ready();
    const auto now = static_cast<std::uint32_t>(std::time(nullptr));
    const auto u = ask(gk);
    ASSERT_TRUE(u);
    const std::uint32_t ts = wire::load_le32(wire::at<ticket::kBodyTimestamp>(u->body));
    EXPECT_NEAR(static_cast<double>(ts), static_cast<double>(now - 7200), 2.0);
    EXPECT_EQ(wire::load_le32(wire::at<ticket::kTkTimestamp>(u->ticket)), ts);
    ASSERT_TRUE(gk.program.wait_output("OK\n"));
    std::string key_hex;
    for (int i = 0; i < 8; ++i) {
        char b[4];
        std::snprintf(b, sizeof b, "%x", u->body[static_cast<std::size_t>(i)]);
        key_hex += b;
    }
    const std::string expected =
        "AS_REQ received\nClient and Server IDs correct\nSession key generated:\t" + key_hex +
        "\nclient ip address in network byte order  = 16777343\n" +
        "timestamp before substracting 7200 seconds = " + std::to_string(ts + 7200) +
        "\ntimestamp for session key = " + std::to_string(ts) + "\nSending AS_REP message\nOK\n";
    EXPECT_EQ(gk.program.output(), expected);
}

TEST(GatekeepRefusal, WrongServerIdGetsAsErrWithTheReceivedClientField) {
    for (const bool debug : {false, true}) {
        Gatekeep gk(debug ? std::vector<std::string>{"-DDEBUG"} : std::vector<std::string>{});
        gk.ready();
        harness::Peer client;
        client.send(as_req("alice", "other"), gk.port);
        const auto err = client.receive();
        ASSERT_TRUE(err);
        EXPECT_EQ(*err, harness::concat({harness::be16(3), harness::text_field("alice", 40)}));
        EXPECT_EQ(gk.program.wait_exit(), 0);
        EXPECT_EQ(
            gk.program.output(),
            debug
                ? "AS_REQ received\n"
                  "Client or server info is wrong. Im receiving client = alice and server = other\n"
                  "But Im expecting client = alice and server = files\n"
                  "Sending AS_ERR back to client\nABORT\n"
                : "ABORT\n");
    }
}

// A 40-character ID fills its field with no zero byte: the debug lines stop at the field's end
// instead of running on into the next field.
TEST(GatekeepRefusal, FortyCharacterIdsPrintWhole) {
    const std::string client(40, 'c'), other(40, 'o');
    Gatekeep gk({"-DDEBUG"}, client);
    gk.ready();
    harness::Peer peer;
    peer.send(as_req(client, other), gk.port);
    const auto err = peer.receive();
    ASSERT_TRUE(err);
    EXPECT_EQ(*err, harness::concat({harness::be16(3), harness::text_field(client, 40)}));
    EXPECT_EQ(gk.program.wait_exit(), 0);
    EXPECT_EQ(gk.program.output(),
              "AS_REQ received\nClient or server info is wrong. Im receiving client = " + client +
                  " and server = " + other + "\nBut Im expecting client = " + client +
                  " and server = files\nSending AS_ERR back to client\nABORT\n");
}

TEST(GatekeepRefusal, ClientIdDifferingOnlyAfterItsZeroIsWrong) {
    Gatekeep gk;
    gk.ready();
    harness::Peer client;
    Bytes req = as_req("alice", "files");
    req[2 + 39] = 'x';  // last byte of the client ID field, after its terminating zero
    client.send(req, gk.port);
    const auto err = client.receive();
    ASSERT_TRUE(err);
    EXPECT_EQ(Bytes(err->begin() + 2, err->end()), Bytes(req.begin() + 2, req.begin() + 42));
    EXPECT_EQ(gk.program.wait_exit(), 0);
    EXPECT_EQ(gk.program.output(), "ABORT\n");
}

TEST(GatekeepRefusal, OtherTypesEndItWithoutReply) {
    Gatekeep gk({"-DDEBUG"});
    gk.ready();
    harness::Peer client;
    client.send(harness::concat({harness::be16(5), harness::zeros(22)}), gk.port);
    EXPECT_FALSE(client.receive(300ms));
    EXPECT_EQ(gk.program.wait_exit(), 0);
    EXPECT_EQ(gk.program.output(),
              "First packet is not AS_REQ\nI'm receiving packet type = 5\nABORT\n");
}

TEST(GatekeepRefusal, ShortAsReqReadsMissingBytesAsZero) {
    Gatekeep gk;
    gk.ready();
    harness::Peer client;
    const Bytes full = as_req("alice", "files");
    client.send(Bytes(full.begin(), full.begin() + 82), gk.port);  // without the six zero bytes
    const auto rep = client.receive();
    ASSERT_TRUE(rep);
    EXPECT_EQ(rep->size(), 172u);
    ASSERT_TRUE(gk.program.wait_output("OK\n"));
    client.send(Bytes(full.begin(), full.begin() + 10), gk.port);  // server ID never arrived
    const auto err = client.receive();
    ASSERT_TRUE(err);
    EXPECT_EQ((*err)[1], 3);
    EXPECT_EQ(gk.program.wait_exit(), 0);
    EXPECT_EQ(gk.program.output(), "OK\nABORT\n");
}

TEST(GatekeepStartup, CommandLineRules) {
    const std::string usage =
        "usage: gatekeep <gatekeeperport> <clientID> <clientkey> <serverID> <serverkey>\n";
    auto r = harness::run(GATEKEEP_BIN, {"1", "a", kClientKey, "b"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output, usage);
    r = harness::run(GATEKEEP_BIN,
                     {"1", "a", kClientKey, "b", kServerKey, "-DDEBUG", "-T1", "2", "x"});
    EXPECT_EQ(r.output, usage);
    // Keys: the server key is checked first; each failure has its own line.
    const std::string port = std::to_string(harness::free_udp_port());
    r = harness::run(GATEKEEP_BIN,
                     {port, "a", "0000000000000000", "b", "0000000000000000", "-DDEBUG"});
    EXPECT_EQ(r.output, "Incorrect predefined server key \nABORT\n");
    r = harness::run(GATEKEEP_BIN,
                     {port, "a", "0101010101010101", "b", kServerKey, "-DDEBUG"});  // weak
    EXPECT_EQ(r.output, "Incorrect predefined client key \nABORT\n");
    r = harness::run(GATEKEEP_BIN,
                     {port, "a", "0123", "b", kServerKey});  // short: missing digits are 0
    EXPECT_EQ(r.output, "ABORT\n");
    // An ID of 41 characters does not fit its 40-byte field: refused at start-up.
    for (const bool client : {true, false}) {
        const std::string id(41, 'c');
        r = harness::run(GATEKEEP_BIN, {port, client ? id : "a", kClientKey, client ? "b" : id,
                                        kServerKey, "-DDEBUG"});
        EXPECT_EQ(r.output,
                  "client ID and server ID must not be longer than 40 characters\nABORT\n");
        EXPECT_EQ(r.status, 0);
    }
}

TEST(GatekeepStartup, PortAlreadyTakenIsABindError) {
    harness::Peer holder;
    const auto r = harness::run(
        GATEKEEP_BIN, {std::to_string(holder.port()), "a", kClientKey, "b", kServerKey, "-DDEBUG"});
    EXPECT_EQ(r.output, "Error binding to socket\nABORT\n");
}

TEST(GatekeepStartup, OptionalWordsCountByPosition) {
    // 7 words: "-T1" at 7 reads its own text as the hours, which is 0. 8 words: -T1 2 -DDEBUG
    // reads the hours from "-DDEBUG" (0) and leaves debugging off.
    for (const auto& extra :
         {std::vector<std::string>{"x", "-T1"}, std::vector<std::string>{"-T1", "2", "-DDEBUG"},
          std::vector<std::string>{"-DDEBUG", "-T2", "5"}}) {
        Gatekeep gk(extra);
        gk.ready();
        const auto now = static_cast<std::uint32_t>(std::time(nullptr));
        const auto u = ask(gk);
        ASSERT_TRUE(u);
        EXPECT_NEAR(static_cast<double>(wire::load_le32(wire::at<ticket::kBodyTimestamp>(u->body))),
                    static_cast<double>(now), 2.0);
        ASSERT_TRUE(gk.program.wait_output("OK\n"));
        if (extra[0] != "-DDEBUG") {
            EXPECT_EQ(gk.program.output(), "OK\n");
        }
    }
}

TEST(GatekeepKeys, TwoProcessesStartedAlikeHandOutDifferentKeys) {
    Bytes keys[2];
    for (auto& key : keys) {
        Gatekeep gk;
        gk.ready();
        const auto u = ask(gk);
        ASSERT_TRUE(u);
        key.assign(u->body.begin(), u->body.begin() + 8);
    }
    EXPECT_NE(keys[0], keys[1]);
}

// Hostile datagrams of every size end gatekeep as any wrong datagram does: "ABORT", status 0, no
// reply, no crash (the asan build reports any read outside a buffer).
TEST(GatekeepHostile, AnySizeAndContentEndsItCleanly) {
    std::mt19937 rng(7);
    std::vector<Bytes> datagrams{Bytes{}, Bytes{0x00}, Bytes(65507, 0xff), Bytes(1011, 0x00)};
    Bytes random(2000);
    for (auto& b : random) b = static_cast<std::uint8_t>(rng());
    random[0] = 0;
    random[1] = 9;
    datagrams.push_back(random);
    for (const auto& d : datagrams) {
        Gatekeep gk;
        gk.ready();
        harness::Peer client;
        client.send(d, gk.port);
        EXPECT_EQ(gk.program.wait_exit(), 0) << d.size();
        EXPECT_EQ(gk.program.output(), "ABORT\n") << d.size();
        EXPECT_FALSE(client.receive(50ms));
    }
    // Type 1 with garbage after it is an AS_REQ with wrong IDs: AS_ERR with the first 40 bytes.
    Gatekeep gk;
    gk.ready();
    harness::Peer client;
    random[0] = 0;
    random[1] = 1;
    client.send(random, gk.port);
    const auto err = client.receive();
    ASSERT_TRUE(err);
    EXPECT_EQ(*err,
              harness::concat({harness::be16(3), Bytes(random.begin() + 2, random.begin() + 42)}));
    EXPECT_EQ(gk.program.wait_exit(), 0);
}

}  // namespace
