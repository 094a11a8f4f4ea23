// The stand-in implementations: their table, every conforming variant in complete runs with our
// own programs, and a few faults, each shown in one exchange with a scripted peer.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "harness.h"
#include "ticket_peers.h"

namespace {

using harness::Bytes;
using namespace std::chrono_literals;

struct Row {
    std::string name, role, kind, description;
};
void PrintTo(const Row& r, std::ostream* os) { *os << r.role << "/" << r.name; }

std::vector<Row> parse_rows(const std::string& text) {
    std::vector<Row> rows;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        Row r;
        std::getline(fields, r.name, '\t');
        std::getline(fields, r.role, '\t');
        std::getline(fields, r.kind, '\t');
        std::getline(fields, r.description);
        rows.push_back(r);
    }
    return rows;
}

// Read when the tests are registered, so that every conforming variant gets a run of its own.
std::vector<Row> listed_rows() {
    std::string text;
    const std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(STANDIN_BIN " --list", "r"), ::pclose);
    if (pipe) {
        char buf[4096];
        for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, pipe.get())) > 0;)
            text.append(buf, n);
    }
    return parse_rows(text);
}

std::vector<std::string> standin(const std::string& role, const std::string& variant,
                                 std::vector<std::string> args) {
    args.insert(args.begin(), {role, variant});
    return args;
}

std::uint16_t other_port(std::uint16_t taken) {
    std::uint16_t p = harness::free_udp_port();
    while (p == taken) p = harness::free_udp_port();
    return p;
}

// ---- The table ----

TEST(StandinTable, ListsEveryVariantOnceWithARoleAKindAndADescription) {
    const auto f = harness::run(STANDIN_BIN, {"--list"});
    ASSERT_EQ(f.status, 0);
    const std::set<std::string> roles{"client", "server", "gatekeep", "lockbox", "latchkey"};
    const std::set<std::string> kinds{"conforming", "inert", "fault"};
    std::map<std::string, std::set<std::string>> named;
    std::map<std::string, std::set<std::string>> kinds_of;
    for (const Row& r : parse_rows(f.output)) {
        EXPECT_TRUE(roles.contains(r.role)) << r.name << " " << r.role;
        EXPECT_TRUE(kinds.contains(r.kind)) << r.name << " " << r.kind;
        EXPECT_FALSE(r.description.empty()) << r.role << "/" << r.name;
        EXPECT_TRUE(named[r.role].insert(r.name).second) << "twice: " << r.role << "/" << r.name;
        kinds_of[r.role].insert(r.kind);
    }
    for (const std::string& role : roles) {
        EXPECT_EQ(kinds_of[role], kinds) << role << " lacks a kind of variant";
    }
    // The variants the runner's own tests name.
    const std::map<std::string, std::string> required{
        {"client",
         "conforming slow-start paced cut-lengths refuse-lengths long-id-cut "
         "long-id-refused buffered-output abort-at-once ok-empty-file silent "
         "crash-short-as-rep no-server-id-check server-id-strncmp expiry-off-by-one "
         "timestamp-network-order nonce-big-endian address-reversed auth-id-not-cleared "
         "iv-chained auth-length-rounded prv-length-984 accepts-any-answer "
         "answer-compared-to-nonce no-ap-err ap-err-auth-id accepts-repeated-id "
         "no-id-check id-counter-8-bit no-envelope-expiry data-length-unbounded "
         "output-not-truncated output-opened-early digest-strcmp ok-on-mismatch "
         "plain-abort-on-mismatch exit-1-on-failure as-req-82-bytes answer-unsigned "
         "ticket-fixed-104"},
        {"server",
         "conforming slow-start paced cut-lengths refuse-lengths answer-padding "
         "bind-and-wait exit-at-once ap-rep-length-rounded answer-is-nonce "
         "answer-unsigned file-to-ap-req-source ids-not-reset file-read-once digest-once "
         "client-id-strncmp no-address-check ticket-timestamp-network-order "
         "expiry-off-by-one iv-chained prv-length-984 data-not-cleared terminate-fields "
         "no-expiry-at-request serves-any-inner-type stops-after-one auth-after-ticket "
         "ap-err-with-id no-ap-err extra-empty-chunk missing-empty-chunk"},
        {"gatekeep",
         "conforming slow-start paced long-id-cut long-id-refused bind-and-wait "
         "exit-at-once reply-to-fixed-port same-session-key ticket-address-fixed "
         "ticket-address-reversed timestamp-network-order lifetime-little-endian "
         "ticket-length-rounded as-rep-length-164 id-strncmp as-err-configured-id "
         "as-err-short keeps-serving-after-as-err iv-chained keys-swapped "
         "accepts-any-type ticket-holds-received-id"},
        {"lockbox",
         "conforming slow-start paced cleared-repeat uncleared-repeat bind-and-wait "
         "exit-at-once prefix-password ignores-length case-insensitive "
         "attempts-not-reset four-attempts two-attempts no-pass-reject data-not-cleared "
         "data-length-little-endian id-16-bit terminate-length-28 file-opened-once "
         "digest-once reply-to-join-source join-length-ignored long-length-accepted "
         "stops-after-one extra-empty-data missing-empty-data"},
        {"latchkey",
         "conforming slow-start paced cut-lengths refuse-lengths cleared-area "
         "uncleared-area fourth-req-waits buffered-output abort-at-once ok-empty-file "
         "silent first-req-length-ignored resp-length-52 resp-with-zero resp-not-cleared "
         "passwords-out-of-order fourth-password accepts-repeated-id no-id-check "
         "id-16-bit terminate-length-ignored digest-strcmp ok-on-mismatch "
         "output-not-truncated output-opened-early data-length-unbounded "
         "exit-1-on-failure join-type-12"},
    };
    for (const auto& [role, names] : required) {
        std::istringstream words(names);
        for (std::string name; words >> name;) {
            EXPECT_TRUE(named[role].contains(name)) << "missing: " << role << "/" << name;
        }
    }
}

TEST(StandinTable, UnknownRoleOrVariantExits2WithNothingOnStandardOutput) {
    const std::vector<std::vector<std::string>> calls{{"client", "no-such-variant"},
                                                      {"lockbox", "answer-padding"},
                                                      {"nobody", "conforming"},
                                                      {"client"},
                                                      {}};
    for (const auto& args : calls) {
        const auto f = harness::run(STANDIN_BIN, args);
        EXPECT_EQ(f.status, 2) << ::testing::PrintToString(args);
        EXPECT_EQ(f.output, "") << ::testing::PrintToString(args);
    }
}

// ---- Every conforming variant completes runs with our own programs ----

// The client's -T1 value that makes its Authenticator carry 127.0.0.1 where the host name
// resolves elsewhere, as the demo does; nothing where it resolves to 127.0.0.1.
std::vector<std::string> compensation() {
    const std::int32_t offset = peers::offset_to_loopback();
    if (offset == 0) return {};
    return {"x", "-T1", std::to_string(offset)};
}

// The program for a role: the stand-in where the role is the one under test, ours otherwise.
struct Cast {
    std::string role, variant;
    std::unique_ptr<harness::Program> start(const std::string& as, const char* ours,
                                            std::vector<std::string> args) const {
        if (as == role) {
            return std::make_unique<harness::Program>(STANDIN_BIN, standin(role, variant, args));
        }
        return std::make_unique<harness::Program>(ours, args);
    }
    harness::Finished finish(const std::string& as, const char* ours, std::vector<std::string> args,
                             const std::string& out) const {
        if (as == role) args = standin(role, variant, args);
        // The slow-start variant is silent for its first 2 s.
        return harness::run_writing(as == role ? STANDIN_BIN : ours, args, out, 6s);
    }
};

class ConformingRun : public ::testing::TestWithParam<Row> {};

TEST_P(ConformingRun, CompletesRunsWithOurPrograms) {
    const Cast cast{GetParam().role, GetParam().name};
    const bool ticket = cast.role == "client" || cast.role == "server" || cast.role == "gatekeep";
    // A file of two full chunks, so that the empty last chunk is sent and accepted too.
    const Bytes content = harness::pattern(ticket ? 2 * 972 : 2 * 1000);
    harness::TempDir dir;
    const std::string served = dir.write("served.bin", content);
    const std::string out = dir.file("received.bin");
    const std::uint16_t port = harness::free_udp_port();
    const std::uint16_t sv_port = other_port(port);
    std::vector<std::unique_ptr<harness::Program>> servers;
    if (ticket) {
        servers.push_back(cast.start(
            "gatekeep", GATEKEEP_BIN,
            {std::to_string(port), "alice", peers::kClientKey, "files", peers::kServerKey}));
        servers.push_back(
            cast.start("server", SERVER_BIN, {std::to_string(sv_port), peers::kServerKey, served}));
        ASSERT_TRUE(servers[1]->wait_bound(sv_port)) << servers[1]->output();
    } else {
        servers.push_back(
            cast.start("lockbox", PASS_SERVER_BIN, {std::to_string(port), "opensesame", served}));
    }
    ASSERT_TRUE(servers[0]->wait_bound(port)) << servers[0]->output();

    // A server is shown to go on serving by a second client.
    const int clients = cast.role == "client" || cast.role == "latchkey" ? 1 : 2;
    for (int i = 0; i < clients; ++i) {
        std::filesystem::remove(out);
        std::vector<std::string> args{"127.0.0.1", std::to_string(port)};
        if (ticket) {
            args.insert(args.end(), {peers::kClientKey, "127.0.0.1", std::to_string(sv_port), out,
                                     "alice", "files"});
            for (const auto& word : compensation()) args.push_back(word);
        } else {
            args.insert(args.end(), {"wrong", "opensesame", "third", out});  // a repeated PASS_RESP
        }
        const auto f = ticket ? cast.finish("client", CLIENT_BIN, args, out)
                              : cast.finish("latchkey", PASS_CLIENT_BIN, args, out);
        EXPECT_EQ(f.status, 0) << "client " << i;
        EXPECT_EQ(f.output, "OK\n") << "client " << i;
        EXPECT_EQ(harness::TempDir::read(out), content) << "client " << i;
    }
    std::string oks;
    for (int i = 0; i < clients; ++i) oks += "OK\n";
    for (const auto& s : servers) {
        EXPECT_TRUE(s->wait_output(oks)) << s->output();
        EXPECT_EQ(s->output(), oks);
        EXPECT_TRUE(s->running());
    }
}

std::vector<Row> conforming_rows() {
    std::vector<Row> rows;
    for (const Row& r : listed_rows()) {
        if (r.kind == "conforming") rows.push_back(r);
    }
    return rows;
}

INSTANTIATE_TEST_SUITE_P(Standin, ConformingRun, ::testing::ValuesIn(conforming_rows()),
                         [](const ::testing::TestParamInfo<Row>& p) {
                             std::string name = p.param.role + "_" + p.param.name;
                             std::ranges::replace(name, '-', '_');
                             return name;
                         });

// ---- A few faults, each shown in one exchange ----

Bytes bare(std::uint16_t type, std::uint32_t length = 0) {
    return harness::concat({harness::be16(type), harness::zeros(2), harness::be32(length)});
}
Bytes pass_resp(const std::string& pw, std::uint32_t length) {
    return harness::concat({bare(3, length), harness::text_field(pw, 52)});
}
Bytes pass_resp(const std::string& pw) {
    return pass_resp(pw, static_cast<std::uint32_t>(pw.size()));
}

// The next datagram, or nullopt once the program has ended without sending one: whatever it sent
// before it ended is already queued.
std::optional<Bytes> answer_or_end(harness::Peer& peer, harness::Program& program) {
    const auto give_up = std::chrono::steady_clock::now() + 5s;
    while (std::chrono::steady_clock::now() < give_up) {
        if (auto d = peer.receive(20ms)) return d;
        if (!program.running()) return peer.receive(20ms);
    }
    return std::nullopt;
}

TEST(StandinClient, DigestMismatchEndsWithTheVariantsResultLineAndStatus) {
    struct Case {
        const char* variant;
        const char* output;
        int status;
    };
    const Case cases[] = {{"conforming", "\nABORT\n", 0},
                          {"plain-abort-on-mismatch", "ABORT\n", 0},
                          {"ok-on-mismatch", "OK\n", 0},
                          {"exit-1-on-failure", "\nABORT\n", 1}};
    harness::TempDir dir;
    const std::string served = dir.write("served.bin", harness::pattern(3000));
    const std::uint16_t gk_port = harness::free_udp_port();
    const std::uint16_t sv_port = other_port(gk_port);
    harness::Program gatekeep(GATEKEEP_BIN, {std::to_string(gk_port), "alice", peers::kClientKey,
                                             "files", peers::kServerKey});
    // -T2: a digest beginning with "Wrong Hash", to every client.
    harness::Program server(
        SERVER_BIN, {std::to_string(sv_port), peers::kServerKey, served, "nodebug", "-T2", "x"});
    ASSERT_TRUE(gatekeep.wait_bound(gk_port) && server.wait_bound(sv_port));
    for (const Case& c : cases) {
        const std::string out = dir.file(c.variant);
        std::vector<std::string> args{"127.0.0.1",
                                      std::to_string(gk_port),
                                      peers::kClientKey,
                                      "127.0.0.1",
                                      std::to_string(sv_port),
                                      out,
                                      "alice",
                                      "files"};
        for (const auto& word : compensation()) args.push_back(word);
        const auto f = harness::run_writing(STANDIN_BIN, standin("client", c.variant, args), out);
        EXPECT_EQ(f.status, c.status) << c.variant;
        EXPECT_EQ(f.output, c.output) << c.variant;
        EXPECT_EQ(harness::TempDir::read(out), harness::pattern(3000)) << c.variant;
    }
}

TEST(StandinClient, AsRepOfFourBytesIsRefusedOrEndsTheCrashingClientWithStatus1) {
    struct Case {
        const char* variant;
        const char* output;
        int status;
    };
    // Length field 0: nothing to unseal, so the session key reads as zeros and fails its parity.
    const Case cases[] = {{"conforming", "ABORT\n", 0}, {"crash-short-as-rep", "", 1}};
    for (const Case& c : cases) {
        harness::TempDir dir;
        harness::Peer gatekeep;
        harness::Program client(
            STANDIN_BIN,
            standin("client", c.variant,
                    {"127.0.0.1", std::to_string(gatekeep.port()), peers::kClientKey, "127.0.0.1",
                     std::to_string(gatekeep.port()), dir.file("out"), "alice", "files"}));
        ASSERT_TRUE(gatekeep.receive()) << c.variant;
        gatekeep.reply(harness::bytes({0, 2, 0, 0}));
        EXPECT_EQ(client.wait_exit(), c.status) << c.variant;
        EXPECT_EQ(client.output(), c.output) << c.variant;
    }
}

// The data lengths of the APP_DATA chunks that a stand-in server sends for a file of size bytes,
// played from the client's side. Packet ids run 1, 2, 3 ... and APP_TERMINATE carries the digest.
std::vector<std::uint16_t> chunk_lengths(const std::string& variant, std::size_t size) {
    harness::TempDir dir;
    const Bytes content = harness::pattern(size);
    const std::uint16_t port = harness::free_udp_port();
    harness::Program server(STANDIN_BIN, standin("server", variant,
                                                 {std::to_string(port), peers::kServerKey,
                                                  dir.write("served.bin", content)}));
    EXPECT_TRUE(server.wait_bound(port)) << server.output();
    harness::Peer client;
    client.send(peers::ap_req(peers::sealed_ticket({}),
                              peers::authenticator("alice", peers::kLoopback, peers::now())),
                port);
    const auto rep = client.receive();
    EXPECT_TRUE(rep && rep->size() == ticket::kApRepSize && (*rep)[1] == 5);
    client.reply(peers::krb_prv(peers::inner(14, 0, 0, {})));
    std::vector<std::uint16_t> lengths;
    for (std::uint16_t pid = 1;; ++pid) {
        const auto d = client.receive();
        if (!d) {
            ADD_FAILURE() << variant << ": no APP_TERMINATE";
            break;
        }
        const Bytes inner = peers::open_krb_prv(*d);
        if (peers::be16_at(inner, 0) == 16) {
            EXPECT_EQ(peers::slice(inner, 6, 20), harness::sha1(content)) << variant;
            break;
        }
        EXPECT_EQ(peers::be16_at(inner, 0), 15) << variant;
        EXPECT_EQ(peers::be16_at(inner, 4), pid) << variant;
        lengths.push_back(peers::be16_at(inner, 2));
    }
    EXPECT_TRUE(server.wait_output("OK\n")) << variant;
    return lengths;
}

TEST(StandinServer, EmptyLastChunkFollowsAFileWhoseSizeIsAMultipleOf972) {
    struct Case {
        const char* variant;
        std::size_t size;
        std::vector<std::uint16_t> lengths;
    };
    const Case cases[] = {
        {"conforming", 972, {972, 0}},
        {"conforming", 973, {972, 1}},
        {"conforming", 0, {0}},
        {"missing-empty-chunk", 972, {972}},
        {"missing-empty-chunk", 0, {}},
        {"missing-empty-chunk", 973, {972, 1}},
        {"extra-empty-chunk", 973, {972, 1, 0}},
        {"extra-empty-chunk", 972, {972, 0}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(chunk_lengths(c.variant, c.size), c.lengths) << c.variant << ", " << c.size;
    }
}

TEST(StandinLockbox, WrongPasswordsGetPassReqUntilTheLimitThenPassReject) {
    struct Case {
        const char* variant;
        int requests;  // PASS_REQ answering a wrong password
        bool rejected;
    };
    const Case cases[] = {{"conforming", 2, true},
                          {"two-attempts", 1, true},
                          {"four-attempts", 3, true},
                          {"no-pass-reject", 2, false}};
    for (const Case& c : cases) {
        harness::TempDir dir;
        const std::uint16_t port = harness::free_udp_port();
        harness::Program server(STANDIN_BIN,
                                standin("lockbox", c.variant,
                                        {std::to_string(port), "opensesame",
                                         dir.write("served.bin", harness::pattern(10))}));
        ASSERT_TRUE(server.wait_bound(port)) << c.variant;
        harness::Peer client;
        client.send(bare(1), port);
        EXPECT_EQ(client.receive(), bare(2)) << c.variant;
        int requests = 0;
        std::optional<Bytes> answer;
        for (; requests < 5; ++requests) {
            client.reply(pass_resp("wrong"));
            answer = answer_or_end(client, server);
            if (answer != bare(2)) break;
        }
        EXPECT_EQ(requests, c.requests) << c.variant;
        EXPECT_EQ(answer, c.rejected ? std::optional(bare(7)) : std::nullopt) << c.variant;
        EXPECT_EQ(server.wait_exit(), 0) << c.variant;
        EXPECT_EQ(server.output(), "ABORT\n") << c.variant;
    }
}

TEST(StandinGatekeep, AsErrCarriesTheRefusedClientIdField) {
    const Bytes as_err = harness::concat({harness::be16(3), harness::text_field("mallory", 40)});
    const std::pair<const char*, Bytes> cases[] = {
        {"conforming", as_err},
        {"as-err-configured-id",
         harness::concat({harness::be16(3), harness::text_field("alice", 40)})},
        {"as-err-short", Bytes(as_err.begin(), as_err.begin() + 40)},
    };
    for (const auto& [variant, expected] : cases) {
        const std::uint16_t port = harness::free_udp_port();
        harness::Program gatekeep(
            STANDIN_BIN, standin("gatekeep", variant,
                                 {std::to_string(port), "alice", peers::kClientKey, "files",
                                  peers::kServerKey}));
        ASSERT_TRUE(gatekeep.wait_bound(port)) << variant;
        harness::Peer client;
        client.send(harness::concat({harness::be16(1), harness::text_field("mallory", 40),
                                     harness::text_field("files", 40), harness::zeros(6)}),
                    port);
        EXPECT_EQ(client.receive(), expected) << variant;
        EXPECT_EQ(gatekeep.wait_exit(), 0) << variant;
        EXPECT_EQ(gatekeep.output(), "ABORT\n") << variant;
    }
}

TEST(StandinLatchkey, FirstPassRespCarriesTheFirstPasswordAndItsLength) {
    const std::pair<const char*, Bytes> cases[] = {
        {"conforming", pass_resp("one")},
        {"resp-with-zero", pass_resp("one", 4)},
        {"resp-length-52", pass_resp("one", 52)},
        {"passwords-out-of-order", pass_resp("three")},
    };
    for (const auto& [variant, expected] : cases) {
        harness::TempDir dir;
        harness::Peer server;
        harness::Program client(STANDIN_BIN, standin("latchkey", variant,
                                                     {"127.0.0.1", std::to_string(server.port()),
                                                      "one", "two", "three", dir.file("out")}));
        EXPECT_EQ(server.receive(), bare(1)) << variant;
        server.reply(bare(2));
        EXPECT_EQ(server.receive(), expected) << variant;
        server.reply(bare(7));
        EXPECT_EQ(client.wait_exit(), 0) << variant;
        EXPECT_EQ(client.output(), "ABORT\n") << variant;
    }
}

TEST(StandinLatchkey, OutputFileAfterAFailureHoldsExactlyTheDataAccepted) {
    const Bytes piece = harness::pattern(1000);
    const Bytes old(3000, 'x');
    // An existing longer file is emptied, unless the variant forgets to.
    const std::pair<const char*, Bytes> cases[] = {
        {"conforming", piece},
        {"buffered-output", piece},
        {"output-not-truncated", harness::concat({piece, Bytes(old.begin() + 1000, old.end())})},
    };
    for (const auto& [variant, expected] : cases) {
        harness::TempDir dir;
        const std::string out = dir.write("out", old);
        harness::Peer server;
        harness::Program client(STANDIN_BIN, standin("latchkey", variant,
                                                     {"127.0.0.1", std::to_string(server.port()),
                                                      "one", "two", "three", out}));
        EXPECT_TRUE(server.receive()) << variant;
        server.reply(bare(2));
        EXPECT_TRUE(server.receive()) << variant;
        server.reply(bare(4));
        server.reply(harness::concat({bare(5, 1000), harness::be32(1), piece}));
        server.reply(harness::concat({bare(5, 1000), harness::be32(3), piece}));  // id 2 skipped
        EXPECT_EQ(client.wait_exit(), 0) << variant;
        EXPECT_EQ(client.output(), "ABORT\n") << variant;
        EXPECT_EQ(harness::TempDir::read(out), expected) << variant;
    }
}

}  // namespace
