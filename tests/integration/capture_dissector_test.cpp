// peercheck's captures read back by tshark through the Wireshark plugin with no key preference
// set: the keys that the capture carries unseal the whole ticket exchange, whichever order the
// packets are read in, and a capture without them still dissects with its sealed parts sealed.
// Skipped, with the reason, where tshark or lua-luaossl is missing.

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "capture.h"
#include "engine.h"
#include "harness.h"
#include "pass_msg.h"
#include "seal.h"
#include "ticket_msg.h"
#include "ticket_peers.h"

namespace {

using harness::Bytes;
using peercheck::CaseResult;
using peercheck::Datagram;

constexpr seal::Key kClientKey{0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef};
constexpr seal::Key kServerKey{0xfe, 0xdc, 0xba, 0x98, 0x76, 0x54, 0x32, 0x10};
constexpr seal::Key kSessionKey{0x13, 0x34, 0x57, 0x79, 0x9b, 0xbc, 0xdf, 0xf1};
constexpr std::uint32_t kStarted = 1700000000;  // 2023-11-14 22:13:20 UTC
constexpr std::uint32_t kLoopback = 0x7f000001;

seal::Schedule schedule(const seal::Key& key) {
    return peers::schedule(Bytes(key.begin(), key.end()));
}

template <std::size_t N>
Bytes bytes_of(const std::array<std::uint8_t, N>& a) {
    return Bytes(a.begin(), a.end());
}

// The endpoints of a ticket run as the relay sees them: the client talks to gatekeep from one
// socket and to the server from another.
struct End {
    const char* name;
    std::uint16_t port;
};
constexpr End kClient{"implementation", 41001}, kClientToServer{"implementation", 41003};
constexpr End kGatekeep{"gatekeep", 41002}, kServer{"server", 41004};

Datagram datagram(double at, End from, End to, Bytes bytes) {
    return {at, from.name, to.name, std::move(bytes), kLoopback, kLoopback, from.port, to.port};
}

struct TicketKeys {
    seal::Key client, server, session;
};

// A whole ticket case: AS_REQ, AS_REP, AP_REQ, AP_REP, APP_DATA_REQ, `chunks` APP_DATA of 972
// bytes and APP_TERMINATE with the digest of the data, all sealed with the given keys.
CaseResult ticket_case(const TicketKeys& k, std::uint32_t nonce, int chunks = 2) {
    CaseResult c;
    c.id = "client/run/small";
    c.title = "fetches a small file";
    c.started = kStarted;
    c.keys = {k.client, k.server};
    auto& x = c.exchange;
    const auto alice = *ticket::make_id("alice"), files = *ticket::make_id("files");
    std::array<std::uint8_t, ticket::kAsReqSize> as_req;
    ticket::build_as_req(as_req, alice, files);
    x.push_back(datagram(0.001, kClient, kGatekeep, bytes_of(as_req)));

    ticket::RecvArea as_rep{};
    const ticket::TicketFacts facts{k.session, alice, {127, 0, 0, 1}, files, kStarted};
    ticket::build_as_rep(std::span(as_rep).first<ticket::kAsRepSize>(), facts, schedule(k.server),
                         schedule(k.client));
    x.push_back(datagram(0.002, kGatekeep, kClient,
                         Bytes(as_rep.begin(), as_rep.begin() + ticket::kAsRepSize)));

    ticket::BodyArea body;
    EXPECT_TRUE(ticket::unseal_as_rep_body(as_rep, schedule(k.client), body));
    std::array<std::uint8_t, ticket::kAuthSize> auth;
    ticket::build_authenticator(auth, alice, {127, 0, 0, 1}, nonce);
    std::array<std::uint8_t, ticket::kApReqSize> ap_req;
    ticket::build_ap_req(ap_req, body, auth, schedule(k.session));
    x.push_back(datagram(0.003, kClientToServer, kServer, bytes_of(ap_req)));

    std::array<std::uint8_t, ticket::kApRepSize> ap_rep;
    ticket::build_ap_rep(ap_rep, static_cast<std::int32_t>(nonce + 1), schedule(k.session));
    x.push_back(datagram(0.004, kServer, kClientToServer, bytes_of(ap_rep)));

    const auto krb_prv = [&](const ticket::Inner& inner) {
        std::array<std::uint8_t, ticket::kPrvSize> out;
        ticket::build_krb_prv(out, inner, schedule(k.session));
        return bytes_of(out);
    };
    ticket::Inner inner;
    ticket::build_app_data_req(inner);
    x.push_back(datagram(0.005, kClientToServer, kServer, krb_prv(inner)));
    Bytes file;
    for (int id = 1; id <= chunks; ++id) {
        const Bytes chunk = harness::pattern(ticket::kChunkSize, static_cast<std::uint32_t>(id));
        file.insert(file.end(), chunk.begin(), chunk.end());
        ticket::build_app_data(inner, static_cast<std::uint16_t>(id), chunk);
        x.push_back(datagram(0.005 + 0.001 * id, kServer, kClientToServer, krb_prv(inner)));
    }
    ticket::Digest digest;
    std::ranges::copy(harness::sha1(file), digest.begin());
    ticket::build_app_terminate(inner, digest);
    x.push_back(datagram(0.1, kServer, kClientToServer, krb_prv(inner)));
    return c;
}

constexpr TicketKeys kKeys{kClientKey, kServerKey, kSessionKey};
constexpr std::uint32_t kNonce = 1700000123;

class CaptureDissector : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        home_ = std::make_unique<harness::TempDir>();
        tshark_ = peercheck::find_executable("tshark");
        if (tshark_.empty()) {
            skip_ = "tshark is missing (Debian package tshark)";
            return;
        }
        const std::string probe = home_->file("probe.lua");
        std::ofstream(probe) << "print(pcall(require, \"openssl.cipher\"))\n";
        const auto loaded = tshark({"-G", "protocols", "-X", "lua_script:" + probe});
        if (loaded.rfind("true", 0) != 0) {
            skip_ = "lua-luaossl does not load in tshark's Lua (Debian package lua-luaossl)";
        } else if (loaded.find("\ttkxfer\n") != std::string::npos) {
            skip_ = "an installed copy of the plugin is loaded already; this test checks " PLUGIN;
        }
    }
    static void TearDownTestSuite() { home_.reset(); }
    void SetUp() override {
        if (!skip_.empty()) GTEST_SKIP() << skip_;
    }

    // tshark's standard output. A home of its own keeps personal preferences and plugins out.
    static std::string tshark(std::vector<std::string> args) {
        args.insert(args.begin(), {"HOME=" + home_->path(), tshark_});
        return harness::run("/usr/bin/env", std::move(args), std::chrono::seconds(60)).output;
    }
    // The capture read with the plugin and no key preference, as fields: one line per packet,
    // values separated by '|', several values of one field by ','.
    static std::vector<std::string> fields(const std::string& capture,
                                           const std::vector<std::string>& names,
                                           std::vector<std::string> extra = {}) {
        std::vector<std::string> args{"-n", "-r",     capture, "-X",         "lua_script:" PLUGIN,
                                      "-T", "fields", "-E",    "separator=|"};
        for (const auto& n : names) args.insert(args.end(), {"-e", n});
        args.insert(args.end(), extra.begin(), extra.end());
        std::istringstream out(tshark(std::move(args)));
        std::vector<std::string> lines;
        for (std::string line; std::getline(out, line);) lines.push_back(line);
        return lines;
    }
    static std::string write(const std::string& name, const std::string& bytes) {
        return home_->write(name, Bytes(bytes.begin(), bytes.end()));
    }

    static inline std::unique_ptr<harness::TempDir> home_;
    static inline std::string tshark_;
    static inline std::string skip_;
};

TEST_F(CaptureDissector, TicketCaseOpensUnsealedWithNoKeyConfigured) {
    const auto path = write("ticket.pcapng", peercheck::report::pcapng(ticket_case(kKeys, kNonce)));
    const auto lines = fields(path, {"_ws.col.Info", "tkxfer.key_frame"});
    const std::vector<std::string> expected{
        "AS_REQ client=alice server=files|",
        "AS_REP session key 133457799bbcdff1|1",
        "AP_REQ client=alice nonce=1700000123|1",
        "AP_REP answer=1700000124|",
        "KRB_PRV APP_DATA_REQ|",
        "KRB_PRV APP_DATA id=1 len=972|",
        "KRB_PRV APP_DATA id=2 len=972|",
        "KRB_PRV APP_TERMINATE|",
    };
    EXPECT_EQ(lines, expected);
    EXPECT_EQ(fields(path, {"tkxfer.inner.digest_ok"}, {"-Y", "tkxfer.inner.type == 16"}),
              std::vector<std::string>{"1"});
    // Above the level of a comment (the packet comment itself is shown as one).
    EXPECT_EQ(fields(path, {"frame.number"}, {"-Y", "_ws.expert.severity > 0x00100000"}),
              std::vector<std::string>{})
        << "a complete run raises no expert item";
}

TEST_F(CaptureDissector, CaptureWithoutKeysKeepsSealedPartsSealed) {
    CaseResult c = ticket_case(kKeys, kNonce);
    c.keys = {};
    const auto path = write("nokeys.pcapng", peercheck::report::pcapng(c));
    const std::vector<std::string> expected{"AS_REQ client=alice server=files",
                                            "AS_REP",
                                            "AP_REQ",
                                            "AP_REP",
                                            "KRB_PRV (sealed)",
                                            "KRB_PRV (sealed)",
                                            "KRB_PRV (sealed)",
                                            "KRB_PRV (sealed)"};
    EXPECT_EQ(fields(path, {"_ws.col.Info"}), expected);
    EXPECT_EQ(fields(path, {"frame.number"}, {"-Y", "tkxfer.sealed"}).size(), 7u)
        << "every datagram with a sealed part says why it stays sealed";
}

// The keys come from the first pass, in capture order, and serve every later pass in any order;
// they are found also on a first datagram that neither protocol claims, and each case of a
// merged capture keeps its own.
TEST_F(CaptureDissector, KeysFoundWhicheverPacketIsShown) {
    const std::string one = peercheck::report::pcapng(ticket_case(kKeys, kNonce));
    CaseResult noise = ticket_case(kKeys, kNonce);
    noise.exchange.insert(noise.exchange.begin(),
                          datagram(0, kClient, kGatekeep, Bytes{'n', 'o', 'i', 's', 'e'}));
    CaseResult reply_first = ticket_case(kKeys, kNonce);
    reply_first.exchange.erase(reply_first.exchange.begin());
    const TicketKeys other{{0x40, 0x40, 0x40, 0x40, 0x40, 0x40, 0x40, 0x40},
                           {0x51, 0x51, 0x51, 0x51, 0x51, 0x51, 0x51, 0x51},
                           {0x62, 0x62, 0x62, 0x62, 0x62, 0x62, 0x62, 0x62}};
    const std::string two = peercheck::report::pcapng(ticket_case(other, 42));
    struct Case {
        const char* name;
        std::string capture;
        std::vector<std::string> args;
        std::vector<std::string> expected;
    };
    const std::vector<Case> cases{
        {"the last packet alone, after two passes",
         one,
         {"-2", "-Y", "frame.number == 8"},
         {"KRB_PRV APP_TERMINATE|1"}},
        {"keys on a datagram of neither protocol",
         peercheck::report::pcapng(noise),
         {"-Y", "tkxfer.type == 2 or tkxfer.inner.type == 16"},
         {"AS_REP session key 133457799bbcdff1|", "KRB_PRV APP_TERMINATE|1"}},
        {"keys on the datagram that needs them",
         peercheck::report::pcapng(reply_first),
         {"-Y", "tkxfer.type == 2"},
         {"AS_REP session key 133457799bbcdff1|"}},
        {"two captures one after the other",
         one + two,
         {"-Y", "tkxfer.type == 2 or tkxfer.inner.type == 16"},
         {"AS_REP session key 133457799bbcdff1|", "KRB_PRV APP_TERMINATE|1",
          "AS_REP session key 6262626262626262|", "KRB_PRV APP_TERMINATE|1"}},
    };
    for (const Case& c : cases) {
        const auto path = write("order.pcapng", c.capture);
        EXPECT_EQ(fields(path, {"_ws.col.Info", "tkxfer.inner.digest_ok"}, c.args), c.expected)
            << c.name;
    }
}

// A key preference wins over a comment, key by key: a wrong client key in the comment is
// overridden, while the server key still comes from the comment.
TEST_F(CaptureDissector, PreferenceWinsOverComment) {
    CaseResult c = ticket_case(kKeys, kNonce);
    c.keys.client_key = seal::Key{0x40, 0x40, 0x40, 0x40, 0x40, 0x40, 0x40, 0x40};
    const auto path = write("preference.pcapng", peercheck::report::pcapng(c));
    const std::vector<std::string> expected{"AS_REP session key 133457799bbcdff1|",
                                            "AP_REQ client=alice nonce=1700000123|1"};
    EXPECT_EQ(fields(path, {"_ws.col.Info", "tkxfer.key_frame"},
                     {"-o", "tkxfer.client_key:0123456789abcdef", "-Y", "tkxfer.type in {2, 4}"}),
              expected);
}

TEST_F(CaptureDissector, PasswordCaseShowsEveryMessage) {
    CaseResult c;
    c.id = "latchkey/run/one-chunk";
    c.title = "receives a file of exactly one 1000-byte chunk";
    c.started = kStarted;
    const End client{"implementation", 42001}, server{"peercheck", 42002};
    const auto bare = [](pass::Type t) {
        std::array<std::uint8_t, pass::kHeaderSize> b;
        pass::build_bare(b, static_cast<std::uint16_t>(t));
        return bytes_of(b);
    };
    std::array<std::uint8_t, pass::kPassRespSize> resp;
    const std::string password = "opensesame";
    pass::build_pass_resp(
        resp, static_cast<std::uint16_t>(password.size()),
        std::span(reinterpret_cast<const std::uint8_t*>(password.data()), password.size()));
    const Bytes file = harness::pattern(1000);
    std::array<std::uint8_t, pass::kDataSize> data{};
    pass::stamp_data(data, 1000, 1);
    std::ranges::copy(file, data.begin() + pass::kData.offset);
    std::array<std::uint8_t, pass::kTerminateSize> term;
    pass::Digest digest;
    std::ranges::copy(harness::sha1(file), digest.begin());
    pass::build_terminate(term, digest);
    c.exchange = {datagram(0.1, client, server, bare(pass::Type::JOIN_REQ)),
                  datagram(0.2, server, client, bare(pass::Type::PASS_REQ)),
                  datagram(0.3, client, server, bytes_of(resp)),
                  datagram(0.4, server, client, bare(pass::Type::PASS_ACCEPT)),
                  datagram(0.5, server, client, bytes_of(data)),
                  datagram(0.6, server, client, bytes_of(term))};
    const auto path = write("password.pcapng", peercheck::report::pcapng(c));
    const std::vector<std::string> expected{
        "JOIN_REQ|",    "PASS_REQ|",           "PASS_RESP \"opensesame\"|",
        "PASS_ACCEPT|", "DATA id=1 len=1000|", "TERMINATE|1",
    };
    EXPECT_EQ(fields(path, {"_ws.col.Info", "pwxfer.digest_ok"}), expected);
}

// tshark checks what the writer computed: both checksums, the endpoints and the times.
TEST_F(CaptureDissector, HeadersAndTimesReadAsWritten) {
    const auto path =
        write("headers.pcapng", peercheck::report::pcapng(ticket_case(kKeys, kNonce)));
    const auto lines = fields(path,
                              {"frame.time_epoch", "ip.src", "udp.srcport", "ip.dst", "udp.dstport",
                               "ip.checksum.status", "udp.checksum.status", "frame.comment"},
                              {"-o", "ip.check_checksum:TRUE", "-o", "udp.check_checksum:TRUE",
                               "-Y", "frame.number <= 2"});
    const std::vector<std::string> expected{
        "1700000000.001000000|127.0.0.1|41001|127.0.0.1|41002|1|1|peercheck: "
        "tkxfer.client_key=0123456789abcdef tkxfer.server_key=fedcba9876543210",
        "1700000000.002000000|127.0.0.1|41002|127.0.0.1|41001|1|1|",
    };
    EXPECT_EQ(lines, expected);
}

}  // namespace
