// client played from both of its peers' sides over 127.0.0.1: a scripted gatekeep answers the
// AS_REQ, a scripted server answers the AP_REQ and streams envelopes, in order or not. Checked:
// every datagram the client sends, its output with and without -DDEBUG, and the received file.

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "harness.h"
#include "ticket_peers.h"

namespace {

using harness::Bytes;
using namespace std::chrono_literals;

std::string hex_x(const Bytes& b) {  // each byte with "%x", as the debug dumps print them
    std::string s;
    for (const std::uint8_t v : b) {
        char t[4];
        std::snprintf(t, sizeof t, "%x", v);
        s += t;
    }
    return s;
}

using peers::as_rep_from_body;
using peers::body;

// One client run against a scripted gatekeep (gk) and a scripted server (sv).
struct ClientRun {
    harness::TempDir dir;
    std::string out_path;
    harness::Peer gk, sv;
    harness::Program program;
    Bytes ticket = peers::sealed_ticket({});
    explicit ClientRun(std::vector<std::string> extra = {}, std::string path = {})
        : out_path(path.empty() ? dir.file("out.bin") : path),
          program(CLIENT_BIN, args(std::move(extra))) {
        sv.set_recv_buffer(1 << 20);
    }
    std::vector<std::string> args(std::vector<std::string> extra) {
        std::vector<std::string> a{"127.0.0.1",
                                   std::to_string(gk.port()),
                                   peers::kClientKey,
                                   "localhost",
                                   std::to_string(sv.port()),
                                   out_path,
                                   "alice",
                                   "files"};
        a.insert(a.end(), extra.begin(), extra.end());
        return a;
    }
    // Receives the AS_REQ, checks its bytes, answers with reply (a valid AS_REP when empty).
    void answer_as_req(Bytes reply = {}) {
        const auto req = gk.receive();
        ASSERT_TRUE(req) << program.output();
        EXPECT_EQ(*req, harness::concat({harness::be16(1), harness::text_field("alice", 40),
                                         harness::text_field("files", 40), harness::zeros(6)}));
        if (reply.empty()) reply = as_rep_from_body(body(peers::now(), "files", 104, ticket));
        gk.reply(reply);
    }
    // Receives the AP_REQ and returns its Authenticator, unsealed with the session key.
    Bytes take_ap_req() {
        const auto req = sv.receive();
        EXPECT_TRUE(req) << program.output();
        if (!req) return Bytes(48);
        EXPECT_EQ(req->size(), ticket::kApReqSize);
        EXPECT_EQ(peers::slice(*req, 0, 6), harness::bytes({0, 4, 0, 104, 0, 48}));
        EXPECT_EQ(peers::slice(*req, 6, 104), ticket);
        Bytes auth(48);
        EXPECT_TRUE(seal::unseal(peers::slice(*req, 110, 48), 48,
                                 peers::schedule(peers::kSessionKey), auth));
        return auth;
    }
    static std::uint32_t nonce_of(const Bytes& auth) {
        return wire::load_le32(std::span<const std::uint8_t, 4>(auth.data() + 44, 4));
    }
    void answer(std::int32_t number) {
        std::array<std::uint8_t, ticket::kApRepSize> rep;
        ticket::build_ap_rep(rep, number, peers::schedule(peers::kSessionKey));
        sv.reply(Bytes(rep.begin(), rep.end()));
    }
    void take_app_data_req() {
        const auto prv = sv.receive();
        ASSERT_TRUE(prv) << program.output();
        EXPECT_EQ(peers::open_krb_prv(*prv), peers::inner(14, 0, 0, {}));
    }
    // The whole opening: AS exchange, AP exchange, the file request. Returns the nonce.
    std::uint32_t open_transfer() {
        answer_as_req();
        const std::uint32_t nonce = nonce_of(take_ap_req());
        answer(static_cast<std::int32_t>(nonce + 1));
        take_app_data_req();
        return nonce;
    }
    std::string finish() {
        EXPECT_EQ(program.wait_exit(), 0);
        return program.output();
    }
    Bytes file() const { return harness::TempDir::read(out_path); }
};

std::string tail(const std::string& s, std::size_t n) {
    return s.size() < n ? s : s.substr(s.size() - n);
}

TEST(ClientTransfer, WholeRunWithExactDatagramsAndDebugLines) {
    ClientRun r({"-DDEBUG"});
    const auto before = peers::now();
    r.answer_as_req();
    const Bytes auth = r.take_ap_req();
    const auto after = peers::now();
    const Bytes own = peers::client_address();
    EXPECT_EQ(peers::slice(auth, 0, 44), harness::concat({harness::text_field("alice", 40), own}));
    const std::uint32_t nonce = ClientRun::nonce_of(auth);
    EXPECT_GE(nonce, before);
    EXPECT_LE(nonce, after);
    r.answer(static_cast<std::int32_t>(nonce + 1));
    r.take_app_data_req();
    const Bytes content = harness::pattern(2000);
    r.sv.reply(peers::app_data(1, peers::slice(content, 0, 972)));
    r.sv.reply(peers::app_data(2, peers::slice(content, 972, 972)));
    r.sv.reply(peers::app_data(3, peers::slice(content, 1944, 56)));
    r.sv.reply(peers::app_terminate(harness::sha1(content)));
    const std::string out = r.finish();
    const std::string n = std::to_string(nonce), a = std::to_string(peers::address_value(own));
    const std::string envelope = "KRB_PRV received\nSession key still valid\n";
    EXPECT_EQ(
        out,
        "AS_REP received\nSession key received:\t" + hex_x(peers::kSessionKey) +
            "\nServer ID of application server is correct\nSession key still valid\n"
            "client ID sent to server is alice\nclient ip before adding 0 = " +
            a + "\nlocal ip address in network byte order = " + a +
            "\ntimestamp before substracting 0 seconds = " + n +
            "\nnonce generated for server = " + n +
            "\nAP_REQ sent\nAP_REP received\nSession key still valid\nNonce answered correctly\n"
            "APP_DATA_REQ sent\n" +
            envelope + "APP_DATA Received - pid = 1\n" + envelope +
            "APP_DATA Received - pid = 2\n" + envelope + "APP_DATA Received - pid = 3\n" +
            envelope +
            "APP_TERMINATE received\nchecksum correct\nfile transmission completed\nOK\n");
    EXPECT_EQ(r.file(), content);
}

TEST(ClientTransfer, EmptyChunksAndAnEarlyTerminate) {
    {  // A zero-length APP_DATA advances the sequence and writes nothing.
        ClientRun r;
        r.open_transfer();
        r.sv.reply(peers::app_data(1, harness::bytes({7})));
        r.sv.reply(peers::app_data(2, {}));
        r.sv.reply(peers::app_data(3, harness::bytes({8})));
        r.sv.reply(peers::app_terminate(harness::sha1(harness::bytes({7, 8}))));
        EXPECT_EQ(r.finish(), "OK\n");
        EXPECT_EQ(r.file(), harness::bytes({7, 8}));
    }
    {  // APP_TERMINATE first: an empty file, compared with the digest of empty input.
        ClientRun r;
        r.open_transfer();
        r.sv.reply(peers::app_terminate(harness::sha1({})));
        EXPECT_EQ(r.finish(), "OK\n");
        EXPECT_TRUE(std::filesystem::exists(r.out_path));
        EXPECT_EQ(r.file().size(), 0u);
    }
}

TEST(ClientTransfer, WrongDigestPrintsAnEmptyLineBeforeAbort) {
    const Bytes content = harness::pattern(100);
    Bytes wrong = harness::sha1(content);
    wrong[19] ^= 1;
    for (const bool debug : {false, true}) {
        ClientRun r(debug ? std::vector<std::string>{"-DDEBUG"} : std::vector<std::string>{});
        r.open_transfer();
        r.sv.reply(peers::app_data(1, content));
        r.sv.reply(peers::app_terminate(wrong));
        const std::string out = r.finish();
        if (!debug) {
            EXPECT_EQ(out, "\nABORT\n");
        } else {
            const std::string expected =
                "APP_TERMINATE received\nincorrect checksum\nExpecting checksum =\t" +
                hex_x(harness::sha1(content)) + "\nReceiving checksum = \t" + hex_x(wrong) +
                "\nABORT\n";
            EXPECT_TRUE(out.ends_with(expected)) << out;
        }
        EXPECT_EQ(r.file(), content);  // kept whole after a mismatch
    }
}

// Envelopes that end the transfer: what is printed last, and what the file keeps.
TEST(ClientTransfer, EveryEnvelopeFailureEndsItKeepingAcceptedChunks) {
    Bytes zero_length = peers::app_data(3, harness::bytes({1}));
    zero_length[2] = zero_length[3] = 0;
    Bytes too_long = peers::app_data(3, harness::bytes({1}));
    too_long[2] = 0x03;
    too_long[3] = 0xd3;  // 979
    const std::string env = "KRB_PRV received\nSession key still valid\n";
    const std::vector<std::pair<Bytes, std::string>> cases{
        {peers::app_data(4, harness::bytes({1})),
         env + "APP_DATA Received - pid = 4\ntransmission error, pid sequence incorrect\n"
               "Expecting pid = 3 but receiving pid = 4ABORT\n"},
        {peers::app_data(2, harness::bytes({1})),
         env + "APP_DATA Received - pid = 2\ntransmission error, pid sequence incorrect\n"
               "Expecting pid = 3 but receiving pid = 2ABORT\n"},
        {harness::concat({harness::be16(6), harness::zeros(40)}),
         "AP_ERR received - aborting\nABORT\n"},
        {harness::concat({harness::be16(5), harness::zeros(22)}),
         "Expecting KRB_PRV or AP_ERR\nI'm receiving packet type = 5\nABORT\n"},
        {zero_length,
         env + "Expecting APP_DATA or APP_TERMINATE\nI'm receiving packet type = 0\nABORT\n"},
        {peers::krb_prv(peers::inner(14, 0, 3, {})),
         env + "Expecting APP_DATA or APP_TERMINATE\nI'm receiving packet type = 14\nABORT\n"},
        {too_long, env + "Wrong packet: KRB_PRV length = 979\nABORT\n"},
        {peers::krb_prv(peers::inner(15, 973, 3, Bytes(972, 1))),
         env + "APP_DATA Received - pid = 3\nWrong packet: APP_DATA data length = 973\nABORT\n"},
    };
    const Bytes first = harness::pattern(972, 1), second = harness::pattern(30, 2);
    for (const auto& [datagram, expected_tail] : cases) {
        ClientRun r({"-DDEBUG"});
        r.open_transfer();
        r.sv.reply(peers::app_data(1, first));
        r.sv.reply(peers::app_data(2, second));
        r.sv.reply(datagram);
        const std::string out = r.finish();
        EXPECT_EQ(tail(out, expected_tail.size()), expected_tail);
        EXPECT_EQ(r.file(), harness::concat({first, second}));
    }
    // Without debug only the result line; an id 0 at the start is already out of sequence.
    ClientRun r;
    r.open_transfer();
    r.sv.reply(peers::app_data(0, harness::bytes({1})));
    EXPECT_EQ(r.finish(), "ABORT\n");
    EXPECT_EQ(r.file().size(), 0u);
}

TEST(ClientTransfer, SessionExpiringMidTransferEndsAtTheNextEnvelope) {
    ClientRun r({"-DDEBUG"});
    const std::uint32_t ts = peers::now() - 3600 + 2;  // valid for one or two more seconds
    r.answer_as_req(as_rep_from_body(body(ts, "files", 104, r.ticket)));
    const std::uint32_t nonce = ClientRun::nonce_of(r.take_ap_req());
    r.answer(static_cast<std::int32_t>(nonce + 1));
    r.take_app_data_req();
    r.sv.reply(peers::app_data(1, harness::bytes({5, 6})));
    while (peers::now() < ts + 3600) std::this_thread::sleep_for(50ms);
    r.sv.reply(peers::app_data(2, harness::bytes({7})));
    const std::string out = r.finish();
    const std::string expected = ", validity = " + std::to_string(ts + 3600) + " \nABORT\n";
    EXPECT_EQ(tail(out, expected.size()), expected);
    EXPECT_NE(out.find("KRB_PRV received\nSession key has expired\ncurrtime = "),
              std::string::npos);
    EXPECT_EQ(r.file(), harness::bytes({5, 6}));
}

// Packet ids are 16 bits: after 65535 the client expects 0, so a file of more than 65535 chunks
// arrives whole. The scripted server paces itself so the client's queue never overflows.
TEST(ClientTransfer, PacketIdWrapsFrom65535ToZero) {
    ClientRun r;
    r.open_transfer();
    const std::size_t chunks = 65538;  // ids 1 .. 65535, 0, 1, 2
    const Bytes content = harness::pattern(chunks);
    const seal::Schedule session = peers::schedule(peers::kSessionKey);
    std::array<std::uint8_t, ticket::kPrvSize> prv;
    ticket::Inner in;
    for (std::size_t i = 0; i < chunks; ++i) {
        const auto pid = static_cast<std::uint16_t>(i + 1);
        ticket::build_app_data(in, pid, std::span(content).subspan(i, 1));
        ticket::build_krb_prv(prv, in, session);
        r.sv.reply(Bytes(prv.begin(), prv.end()));
        if (i % 64 == 63) std::this_thread::sleep_for(1ms);
    }
    r.sv.reply(peers::app_terminate(harness::sha1(content)));
    EXPECT_EQ(r.program.wait_exit_writing(r.out_path), 0);
    EXPECT_EQ(r.program.output(), "OK\n");
    EXPECT_EQ(r.file(), content);
}

TEST(ClientAuthentication, EveryAsReplyFailureAbortsBeforeAnythingReachesTheServer) {
    const std::uint32_t t = peers::now();
    const std::string ok_key =
        "AS_REP received\nSession key received:\t" + hex_x(peers::kSessionKey) + "\n";
    Bytes other_id = body(t);
    other_id[8 + 39] = 'x';  // differs only after the terminating zero
    const std::vector<std::pair<Bytes, std::string>> cases{
        {harness::concat({harness::be16(3), harness::text_field("alice", 40)}),
         "AS_ERR received - from Authentication Server\nABORT\n"},
        {harness::concat({harness::be16(5), harness::zeros(22)}),
         "Expecting AS_REP or AS_ERR\nI'm receiving packet type = 5\nABORT\n"},
        {as_rep_from_body(body(t), 0),
         "AS_REP received\nWrong session key received\nSession key received:\t00000000\nABORT\n"},
        {as_rep_from_body(body(t), 169),
         "AS_REP received\nWrong packet: AS_REP length = 169\nABORT\n"},
        {as_rep_from_body(body(t, "other")),
         ok_key + "Server ID of application server is worng = other\nABORT\n"},
        {as_rep_from_body(other_id),
         ok_key + "Server ID of application server is worng = files\nABORT\n"},
        {as_rep_from_body(body(t, "files", 105)),
         ok_key + "Server ID of application server is correct\nWrong packet: ticket length = "
                  "105\nABORT\n"},
        {as_rep_from_body(body(t - 3600 - 5)),
         ok_key +
             "Server ID of application server is correct\nSession key has expired\ntimestamp = " +
             std::to_string(t - 3605) + ", lifetime = 3600, currtime = "},
    };
    for (const auto& [reply, expected] : cases) {
        for (const bool debug : {false, true}) {
            ClientRun r(debug ? std::vector<std::string>{"-DDEBUG"} : std::vector<std::string>{});
            r.answer_as_req(reply);
            const std::string out = r.finish();
            EXPECT_EQ(out.substr(0, expected.size()), debug ? expected : "ABORT\n");
            EXPECT_TRUE(out.ends_with("ABORT\n"));
            EXPECT_FALSE(r.sv.receive(50ms));
            EXPECT_FALSE(std::filesystem::exists(r.out_path));
        }
    }
}

TEST(ClientAuthentication, FutureTimestampIsAcceptedUntilItsValidityEnds) {
    ClientRun r;
    r.answer_as_req(as_rep_from_body(body(peers::now() + 100000)));
    EXPECT_EQ(r.take_ap_req().size(), 48u);
}

TEST(ClientNonce, WrongAnswerSendsApErrAndLeavesAnExistingFileAlone) {
    harness::TempDir dir;
    const std::string path = dir.write("out.bin", harness::bytes({1, 2, 3}));
    ClientRun r({"-DDEBUG"}, path);
    r.answer_as_req();
    const std::uint32_t nonce = ClientRun::nonce_of(r.take_ap_req());
    r.answer(static_cast<std::int32_t>(nonce));  // the nonce itself, not plus one
    const auto err = r.sv.receive();
    ASSERT_TRUE(err);
    EXPECT_EQ(*err, harness::concat({harness::be16(6), harness::text_field("alice", 40)}));
    const std::string out = r.finish();
    EXPECT_TRUE(out.ends_with(
        "AP_REP received\nSession key still valid\nNonce answer is wrong\nNonce answer received is "
        "= " +
        std::to_string(nonce) + ", but expecting " + std::to_string(nonce + 1) + "\nABORT\n"))
        << out;
    EXPECT_EQ(harness::TempDir::read(path), harness::bytes({1, 2, 3}));
}

TEST(ClientNonce, OtherApRepsEndTheRun) {
    const std::vector<std::pair<Bytes, std::string>> cases{
        {harness::concat({harness::be16(6), harness::zeros(40)}),
         "AP_REQ sent\nExpecting AP_REP\nI'm receiving packet type = 6\nABORT\n"},
        {harness::concat({harness::be16(5), harness::be16(33), harness::zeros(32)}),
         "AP_REP received\nSession key still valid\nWrong packet: AP_REP length = 33\nABORT\n"},
    };
    for (const auto& [reply, expected] : cases) {
        ClientRun r({"-DDEBUG"});
        r.answer_as_req();
        r.take_ap_req();
        r.sv.reply(reply);
        EXPECT_TRUE(r.finish().ends_with(expected));
        EXPECT_FALSE(r.sv.receive(50ms));  // no AP_ERR for these
    }
}

TEST(ClientNonce, AnswerFollowedByOtherCharactersIsAccepted) {
    ClientRun r;
    r.answer_as_req();
    const std::uint32_t nonce = ClientRun::nonce_of(r.take_ap_req());
    std::string text =
        std::to_string(nonce + 1) + "xy";  // 12 characters: field 16, 16 sealed bytes
    Bytes plain(text.begin(), text.end());
    plain.resize(16, 0);
    r.sv.reply(
        harness::concat({harness::be16(5), harness::be16(16),
                         peers::seal_bytes(plain, 16, peers::kSessionKey), harness::zeros(4)}));
    r.take_app_data_req();
    r.sv.reply(peers::app_terminate(harness::sha1({})));
    EXPECT_EQ(r.finish(), "OK\n");
}

// The address is the client's own (its host name's first address), whatever that is here: -T1
// adds to it read first byte least significant, so 1 raises its first number.
TEST(ClientSwitches, EachAltersOneAuthenticatorField) {
    struct Case {
        std::vector<std::string> extra;
        Bytes id;
        std::uint32_t address_shift;  // wraps by intent: -1 is 0xffffffff
        std::int64_t nonce_shift;
    };
    const Bytes alice = harness::text_field("alice", 40);
    const std::uint32_t own = peers::address_value(peers::client_address());
    for (const Case& c :
         {Case{{"x", "-T1", "1"}, alice, 1, 0}, Case{{"x", "-T1", "256"}, alice, 256, 0},
          Case{{"x", "-T1", "-1"}, alice, 0xffffffffU, 0},
          Case{{"x", "-T2", "abcdefg"}, harness::text_field("abcd", 40), 0, 0},
          Case{{"x", "-T2", "ab"}, harness::text_field("ab", 40), 0, 0},
          Case{{"x", "-T3", "2"}, alice, 0, -7200}, Case{{"x", "-T3", "-2"}, alice, 0, 7200},
          Case{{"-DDEBUG", "-T1"}, alice, 0, 0}, Case{{"x", "-T9", "5"}, alice, 0, 0}}) {
        ClientRun r(c.extra);
        const auto t = static_cast<std::int64_t>(peers::now());
        r.answer_as_req();  // AS_REQ keeps the command-line ID whatever the switch
        const Bytes auth = r.take_ap_req();
        EXPECT_EQ(peers::slice(auth, 0, 40), c.id) << c.extra[1];
        EXPECT_EQ(peers::slice(auth, 40, 4), harness::le32(own + c.address_shift)) << c.extra[1];
        EXPECT_NEAR(static_cast<double>(ClientRun::nonce_of(auth)),
                    static_cast<double>(t + c.nonce_shift), 2.0);
        r.answer(static_cast<std::int32_t>(ClientRun::nonce_of(auth) + 1));
        r.take_app_data_req();
        r.sv.reply(peers::app_terminate(harness::sha1({})));
        EXPECT_EQ(r.finish(), "OK\n") << c.extra[1];
    }
}

TEST(ClientSwitches, DebugLinesShowTheAlteredValues) {
    ClientRun r({"-DDEBUG", "-T2", "bob"});
    r.answer_as_req();
    r.take_ap_req();
    ASSERT_TRUE(r.program.wait_output("AP_REQ sent\n"));
    EXPECT_NE(r.program.output().find(
                  "client ID before changing is alice\nclient ID sent to server is bob\n"),
              std::string::npos);
    ClientRun t({"-DDEBUG", "-T3", "1"});
    t.answer_as_req();
    const std::uint32_t nonce = ClientRun::nonce_of(t.take_ap_req());
    ASSERT_TRUE(t.program.wait_output("AP_REQ sent\n"));
    EXPECT_NE(t.program.output().find(
                  "timestamp before substracting 3600 seconds = " + std::to_string(nonce + 3600) +
                  "\nnonce generated for server = " + std::to_string(nonce) + "\n"),
              std::string::npos);
}

TEST(ClientStartup, CommandLineRules) {
    const std::string usage =
        "usage: client <gatekeepername> <gatekeeperport> <gatekeeperkey> <servername> <serverport> "
        "<output file> <clientID> <serverID>\n";
    auto r = harness::run(CLIENT_BIN, {"a", "1", "k", "b", "2", "f", "c"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output, usage);
    r = harness::run(CLIENT_BIN,
                     {"a", "1", "k", "b", "2", "f", "c", "s", "-DDEBUG", "-T1", "1", "x"});
    EXPECT_EQ(r.output, usage);
    harness::TempDir dir;
    for (const bool client : {true, false}) {  // 41 characters do not fit the 40-byte field
        const std::string id(41, 'c');
        r = harness::run(CLIENT_BIN, {"127.0.0.1", "1", "k", "127.0.0.1", "2", dir.file("o"),
                                      client ? id : "c", client ? "s" : id, "-DDEBUG"});
        EXPECT_EQ(r.output,
                  "client ID and server ID must not be longer than 40 characters\nABORT\n");
        EXPECT_FALSE(std::filesystem::exists(dir.file("o")));
    }
}

TEST(ClientStartup, RejectedClientKeySendsNothing) {
    for (const char* key : {"0123456789abcdee", "0101010101010101"}) {  // even parity, weak
        harness::Peer gk;
        harness::TempDir dir;
        const auto r =
            harness::run(CLIENT_BIN, {"127.0.0.1", std::to_string(gk.port()), key, "127.0.0.1", "9",
                                      dir.file("o"), "alice", "files", "-DDEBUG"});
        EXPECT_EQ(r.output, "Incorrect predefined gatekeeper key\nABORT\n");
        EXPECT_FALSE(gk.receive(50ms));
    }
}

TEST(ClientStartup, OutputFileThatCannotBeOpenedAbortsAfterTheRequest) {
    harness::TempDir dir;
    ClientRun r({"-DDEBUG"}, dir.file("missing/out.bin"));
    r.open_transfer();
    EXPECT_TRUE(r.finish().ends_with("APP_DATA_REQ sent\nError opening the output file\nABORT\n"));
}

}  // namespace
