// peercheck against the stand-in implementations of tests/standins/, which were written apart
// from its catalogue: each faulty one is caught by the cases aimed at its fault, with the likely
// cause where one is known, while the role's plain run still passes; each conforming one passes
// whatever permitted choice it made, and says which where the choice shows; the inert ones pass
// nothing.

#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "harness.h"
#include "peercheck_run.h"
#include "runner.h"

namespace {

using namespace std::chrono_literals;

const std::string kBin = BIN_DIR;
const std::string kStandin = STANDIN_BIN;

struct Report {
    std::optional<int> status;
    std::string output;
    nlohmann::json cases = nlohmann::json::array();
};

Report run(const std::string& role, const std::string& variant,
           const std::vector<std::string>& selection, const std::string& timeout = "3") {
    auto got = peercheck_run::run(kBin, role, selection, {kStandin, role, variant}, timeout);
    Report r{got.status, std::move(got.output)};
    if (!got.report.is_null()) r.cases = got.report["cases"];
    return r;
}

std::set<std::string> with_status(const Report& r, const std::string& status) {
    std::set<std::string> ids;
    for (const auto& c : r.cases) {
        if (c["status"] == status) ids.insert(c["id"].get<std::string>());
    }
    return ids;
}

// ---------------------------------------------------------------- faults

struct Fault {
    const char* role;
    const char* variant;
    std::vector<std::string> caught_by;   // the cases aimed at the fault: each must fail
    const char* cause = nullptr;          // part of the likely cause one of them names
    bool breaks_every_run = false;        // the role's plain run fails too
    std::vector<std::string> controls{};  // cases the cause leans on: each must pass
};

void PrintTo(const Fault& f, std::ostream* os) { *os << f.role << "/" << f.variant; }

class FaultyStandin : public testing::TestWithParam<Fault> {};

TEST_P(FaultyStandin, IsCaughtByTheCasesAimedAtItsFault) {
    const Fault& f = GetParam();
    const std::string baseline(peercheck::baseline_of(*peercheck::role_from_name(f.role)));
    std::vector<std::string> selection = f.caught_by;
    selection.push_back(baseline);
    selection.insert(selection.end(), f.controls.begin(), f.controls.end());
    const Report r = run(f.role, f.variant, selection);
    const auto failed = with_status(r, "fail");
    for (const auto& id : f.caught_by) {
        EXPECT_TRUE(failed.contains(id)) << id << "\n" << r.output;
    }
    if (!f.breaks_every_run) {
        EXPECT_FALSE(failed.contains(baseline)) << r.output;
    }
    for (const auto& id : f.controls) {
        EXPECT_FALSE(failed.contains(id)) << id << "\n" << r.output;
    }
    // The cause is named, and no other: a cause fires on its own mistake and nothing else.
    bool named = false;
    for (const auto& c : r.cases) {
        const std::string cause = c.value("likely_cause", "");
        if (cause.empty()) continue;
        const bool this_one = f.cause != nullptr && cause.find(f.cause) != std::string::npos;
        named = named || this_one;
        EXPECT_TRUE(this_one) << c["id"] << " names \"" << cause << "\"";
    }
    if (f.cause != nullptr) {
        EXPECT_TRUE(named) << "no case names \"" << f.cause << "\"\n" << r.output;
    }
    EXPECT_EQ(r.status, 1);
}

// ---------------------------------------------------------------- conforming

struct Conforming {
    const char* role;
    const char* variant;
    std::vector<std::string> selection;  // empty: the whole catalogue
    const char* note = nullptr;          // part of a note some case gives of the choice made
};

void PrintTo(const Conforming& c, std::ostream* os) { *os << c.role << "/" << c.variant; }

class ConformingStandin : public testing::TestWithParam<Conforming> {};

TEST_P(ConformingStandin, PassesWhateverPermittedChoiceItMade) {
    const Conforming& c = GetParam();
    // Default wait: a slow start takes 2 s of it.
    const Report r = run(c.role, c.variant, c.selection, "5");
    EXPECT_EQ(with_status(r, "fail"), std::set<std::string>{}) << r.output;
    EXPECT_EQ(r.status, 0);
    if (c.note != nullptr) {
        bool noted = false;
        for (const auto& k : r.cases) {
            noted = noted || k.value("note", "").find(c.note) != std::string::npos;
        }
        EXPECT_TRUE(noted) << "no case notes \"" << c.note << "\"\n" << r.output;
    }
}

// ---------------------------------------------------------------- doing nothing

struct Inert {
    const char* role;
    const char* variant;
    std::vector<std::string> selection;
};

void PrintTo(const Inert& i, std::ostream* os) { *os << i.role << "/" << i.variant; }

class InertStandin : public testing::TestWithParam<Inert> {};

TEST_P(InertStandin, PassesNothing) {
    const Inert& i = GetParam();
    const Report r = run(i.role, i.variant, i.selection, "1");
    EXPECT_EQ(with_status(r, "pass"), std::set<std::string>{}) << r.output;
    EXPECT_FALSE(r.cases.empty());
}

std::string name_of(const char* role, const char* variant) {
    std::string n = std::string(role) + "_" + variant;
    for (char& ch : n) {
        if (ch == '-') ch = '_';
    }
    return n;
}

}  // namespace

namespace {

const char* const kZeroByte = "compared only up to its first zero byte";
const char* const kEarlierSource = "a reply sent to an earlier datagram's source";
const char* const kIv = "the IV must be set again";

const Fault kFaults[] = {
    // gatekeep
    {"gatekeep", "reply-to-fixed-port", {"gatekeep/run/answers-each-source"}, kEarlierSource},
    {"gatekeep", "same-session-key", {"gatekeep/run/fresh-keys"}, "session key made once"},
    {"gatekeep", "ticket-address-fixed", {"gatekeep/exact/as-rep-other-source"}},
    {"gatekeep",
     "ticket-address-reversed",
     {"gatekeep/exact/as-rep"},
     "address written in the other"},
    {"gatekeep",
     "timestamp-network-order",
     {"gatekeep/exact/as-rep"},
     "timestamp written in network"},
    {"gatekeep", "lifetime-little-endian", {"gatekeep/exact/as-rep"}, "lifetime written least"},
    {"gatekeep", "ticket-length-rounded", {"gatekeep/exact/as-rep"}, "4 added to the sealed size"},
    {"gatekeep", "as-rep-length-164", {"gatekeep/exact/as-rep"}, "without the 4"},
    {"gatekeep",
     "id-strncmp",
     {"gatekeep/check/client-id-after-zero", "gatekeep/check/server-id-after-zero"},
     kZeroByte,
     false,
     {"gatekeep/check/unknown-client", "gatekeep/check/unknown-server"}},
    {"gatekeep", "as-err-configured-id", {"gatekeep/exact/as-err"}, "another client ID field"},
    {"gatekeep", "as-err-short", {"gatekeep/exact/as-err"}, "make 42 bytes"},
    {"gatekeep", "keeps-serving-after-as-err", {"gatekeep/check/unknown-client"}},
    {"gatekeep", "iv-chained", {"gatekeep/exact/as-rep"}, kIv},
    {"gatekeep", "keys-swapped", {"gatekeep/exact/as-rep"}, "each other's key"},
    {"gatekeep", "accepts-any-type", {"gatekeep/type/as-req-0", "gatekeep/type/as-req-4"}},
    // server
    {"server", "ap-rep-length-rounded", {"server/exact/ap-rep"}, "rounded up to the seal block"},
    {"server",
     "answer-is-nonce",
     {"server/check/nonce-answer", "server/answer/1000"},
     "the nonce itself"},
    {"server", "answer-unsigned", {"server/answer/-1", "server/answer/-2147483648"}, "unsigned"},
    {"server", "file-to-ap-req-source", {"server/run/request-from-other-port"}, kEarlierSource},
    {"server", "ids-not-reset", {"server/check/packet-ids-per-client"}, "counter not set again"},
    {"server", "file-read-once", {"server/run/file-read-afresh"}, "read once"},
    {"server", "digest-once", {"server/run/file-read-afresh"}, "digest computed once"},
    {"server", "file-not-closed", {"server/run/300-clients"}},
    {"server",
     "client-id-strncmp",
     {"server/check/client-id-after-zero"},
     kZeroByte,
     false,
     {"server/exact/ap-err"}},
    {"server",
     "no-address-check",
     {"server/check/address-differs"},
     "not compared with the Ticket"},
    {"server",
     "ticket-timestamp-network-order",
     {"server/check/stamp-byte-order"},
     "read in network byte order",
     // Whether a plain run passes depends on the clock's lowest byte.
     true,
     {"server/check/stamp-either-order"}},
    {"server",
     "expiry-off-by-one",
     {"server/check/expires-now"},
     "equals the current time has expired",
     false,
     {"server/check/expired-ticket"}},
    {"server", "iv-chained", {"server/run/one-byte"}, kIv, true},
    {"server", "prv-length-984", {"server/run/one-byte"}, "sealed size (984)", true},
    {"server", "data-not-cleared", {"server/exact/envelopes"}, "reused without clearing"},
    {"server", "terminate-fields", {"server/exact/envelopes"}},
    {"server", "no-expiry-at-request", {"server/check/expired-at-request"}},
    {"server", "serves-any-inner-type", {"server/check/inner-type-15"}},
    {"server", "stops-after-one", {"server/run/several-clients"}, nullptr, true},
    {"server", "auth-after-ticket", {"server/length/ap-req-ticket-length-100"}},
    {"server", "ap-err-with-id", {"server/exact/ap-err"}, "a client ID in the server's AP_ERR"},
    {"server", "no-ap-err", {"server/exact/ap-err", "server/fault/wrong-address"}},
    {"server", "extra-empty-chunk", {"server/check/chunks-973"}},
    {"server", "missing-empty-chunk", {"server/check/chunks-972"}},
    {"server", "id-8-bit", {"server/check/packet-ids-past-255"}},
    // lockbox
    {"lockbox",
     "prefix-password",
     {"lockbox/password/empty", "lockbox/password/prefix", "lockbox/password/all-but-last"},
     "each prefix of it passes"},
    {"lockbox", "ignores-length", {"lockbox/password/longer"}, "not required to equal"},
    {"lockbox", "case-insensitive", {"lockbox/password/other-case"}, "without regard to case"},
    {"lockbox",
     "attempts-not-reset",
     {"lockbox/password/attempts-per-session"},
     "attempt count not set again"},
    {"lockbox", "four-attempts", {"lockbox/password/three-wrong"}},
    {"lockbox", "two-attempts", {"lockbox/password/third-attempt"}},
    {"lockbox", "no-pass-reject", {"lockbox/password/three-wrong"}},
    {"lockbox", "data-not-cleared", {"lockbox/exact/data"}, "reused without clearing"},
    {"lockbox",
     "data-length-little-endian",
     {"lockbox/run/one-byte"},
     "least significant byte first",
     true},
    {"lockbox", "id-16-bit", {"lockbox/check/packet-ids"}, "converted as a 16-bit number"},
    {"lockbox", "terminate-length-28", {"lockbox/exact/terminate"}},
    {"lockbox", "file-opened-once", {"lockbox/run/file-read-afresh"}, "read once"},
    {"lockbox", "digest-once", {"lockbox/run/file-read-afresh"}, "digest computed once"},
    {"lockbox", "file-not-closed", {"lockbox/run/300-clients"}},
    {"lockbox", "reply-to-join-source", {"lockbox/run/answer-to-last-source"}, kEarlierSource},
    {"lockbox", "join-length-ignored", {"lockbox/length/join-req-length-1"}},
    {"lockbox", "join-type-unchecked", {"lockbox/type/join-req-0", "lockbox/type/join-req-12"}},
    {"lockbox", "long-length-accepted", {"lockbox/length/pass-resp-length-51"}},
    {"lockbox", "stops-after-one", {"lockbox/run/several-clients"}, nullptr, true},
    {"lockbox", "extra-empty-data", {"lockbox/check/chunks-1001"}},
    {"lockbox", "missing-empty-data", {"lockbox/check/chunks-1000"}},
    // latchkey
    {"latchkey", "first-req-length-ignored", {"latchkey/length/pass-req-length-1"}},
    {"latchkey", "pass-req-type-unchecked", {"latchkey/fault/type-12-pass-req"}},
    {"latchkey",
     "resp-length-52",
     {"latchkey/exact/pass-resp"},
     "size of the password field",
     true},
    {"latchkey", "resp-with-zero", {"latchkey/exact/pass-resp"}, "terminating zero counted", true},
    {"latchkey", "resp-not-cleared", {"latchkey/exact/pass-resp"}, "reused without clearing"},
    {"latchkey", "passwords-out-of-order", {"latchkey/exact/pass-resp"}},
    {"latchkey", "fourth-password", {"latchkey/password/no-fourth"}},
    {"latchkey", "accepts-repeated-id", {"latchkey/check/id-repeat"}},
    {"latchkey",
     "no-id-check",
     {"latchkey/fault/skipped-ids", "latchkey/check/id-repeat", "latchkey/check/id-zero"}},
    {"latchkey", "terminate-length-ignored", {"latchkey/length/terminate-length-21"}},
    {"latchkey",
     "digest-strcmp",
     {"latchkey/check/digest-after-zero"},
     kZeroByte,
     false,
     {"latchkey/check/digest-last-byte"}},
    {"latchkey", "ok-on-mismatch", {"latchkey/fault/bad-hash", "latchkey/check/digest-last-byte"}},
    {"latchkey", "output-not-truncated", {"latchkey/run/existing-output"}, "without being cut"},
    {"latchkey", "output-opened-early", {"latchkey/check/file-left-alone"}, "opened before"},
    {"latchkey", "output-unchecked", {"latchkey/check/output-unopenable"}},
    {"latchkey", "data-length-unbounded", {"latchkey/length/data-length-1001"}, "more written"},
    {"latchkey", "exit-1-on-failure", {"latchkey/fault/bad-hash"}},
    {"latchkey", "join-type-12", {"latchkey/exact/join-req"}},
    // client
    {"client", "crash-short-as-rep", {"client/cut/as-rep-4", "client/cut/as-rep-171"}},
    {"client", "no-server-id-check", {"client/check/server-id"}},
    {"client",
     "server-id-strncmp",
     {"client/check/server-id-after-zero"},
     kZeroByte,
     false,
     {"client/check/server-id"}},
    {"client",
     "expiry-off-by-one",
     {"client/check/expires-now"},
     "equals the current time has expired",
     false,
     {"client/fault/expired-session-key"}},
    {"client",
     "timestamp-network-order",
     {"client/check/stamp-byte-order"},
     "read in network byte order",
     true,
     {"client/check/stamp-either-order"}},
    {"client",
     "nonce-big-endian",
     {"client/exact/ap-req"},
     "nonce written in network byte order",
     true},
    {"client", "address-reversed", {"client/exact/ap-req"}, "address written in the other"},
    {"client", "auth-id-not-cleared", {"client/exact/ap-req"}, "not cleared"},
    {"client", "iv-chained", {"client/exact/krb-prv"}, kIv},
    {"client", "auth-length-rounded", {"client/exact/ap-req"}, "already a multiple of 8"},
    {"client", "prv-length-984", {"client/exact/krb-prv"}, "sealed size (984)"},
    {"client", "accepts-any-answer", {"client/check/nonce-answer"}},
    {"client",
     "answer-compared-to-nonce",
     {"client/check/answer-is-nonce"},
     "compared with the nonce",
     false,
     {"client/check/nonce-answer"}},
    {"client", "no-ap-err", {"client/exact/ap-err", "client/check/nonce-answer"}},
    {"client", "accepts-repeated-id", {"client/check/id-repeat"}},
    {"client", "no-id-check", {"client/check/id-gap", "client/check/id-repeat"}},
    {"client", "id-counter-8-bit", {"client/run/large"}},
    {"client", "no-envelope-expiry", {"client/check/expired-envelope"}},
    {"client", "data-length-unbounded", {"client/length/app-data-data-length-973"}, "more written"},
    {"client", "output-not-truncated", {"client/run/existing-output"}, "without being cut"},
    {"client", "output-opened-early", {"client/check/file-left-alone"}, "opened before"},
    {"client", "output-unchecked", {"client/check/output-unopenable"}},
    {"client",
     "digest-strcmp",
     {"client/check/digest-after-zero"},
     kZeroByte,
     false,
     {"client/check/digest-last-byte"}},
    {"client", "ok-on-mismatch", {"client/fault/digest"}},
    {"client", "plain-abort-on-mismatch", {"client/output/digest-mismatch"}},
    {"client", "exit-1-on-failure", {"client/fault/digest"}},
    {"client", "as-req-82-bytes", {"client/exact/as-req"}},
    {"client", "ticket-fixed-104", {"client/exact/ap-req-ticket-length-100"}},
};

INSTANTIATE_TEST_SUITE_P(Peercheck, FaultyStandin, testing::ValuesIn(kFaults),
                         [](const auto& p) { return name_of(p.param.role, p.param.variant); });

// Without the sandbox the open-files limit still holds, so a descriptor kept per client shows.
TEST(FaultyStandinUnsandboxed, RunsOutOfOpenFiles) {
    for (const char* role : {"server", "lockbox"}) {
        const std::string id = std::string(role) + "/run/300-clients";
        const Report r = run(role, "file-not-closed", {"--no-sandbox", id});
        EXPECT_EQ(with_status(r, "fail"), std::set<std::string>{id}) << r.output;
    }
}

const Conforming kConforming[] = {
    {"client", "conforming", {}},
    {"client", "slow-start", {"client/run/script", "client/check/id-gap", "client/exact/as-req"}},
    {"client", "paced", {"client/run/", "client/check/"}},
    {"client", "cut-lengths", {"client/length/", "client/cut/"}, "went on"},
    {"client", "refuse-lengths", {"client/length/", "client/cut/"}, "refused"},
    {"client", "long-id-cut", {"client/run/script", "client/info/"}},
    {"client", "long-id-refused", {"client/run/script", "client/info/"}},
    {"client", "buffered-output", {"client/check/", "client/length/"}},
    {"server", "conforming", {}},
    {"server",
     "slow-start",
     {"server/run/empty", "server/check/nonce-answer", "server/cut/ap-req-1"}},
    {"server", "paced", {"server/run/one-chunk", "server/check/", "server/exact/"}},
    {"server", "cut-lengths", {"server/length/", "server/cut/"}, "went on"},
    {"server", "refuse-lengths", {"server/length/", "server/cut/"}, "refused"},
    {"server", "answer-padding", {"server/exact/ap-rep", "server/answer/"}},
    {"gatekeep", "conforming", {}},
    {"gatekeep", "slow-start", {"gatekeep/run/", "gatekeep/exact/as-rep"}},
    {"gatekeep", "paced", {"gatekeep/run/", "gatekeep/exact/"}},
    {"gatekeep", "long-id-cut", {"gatekeep/run/fresh-keys", "gatekeep/info/"}},
    {"gatekeep", "long-id-refused", {"gatekeep/run/fresh-keys", "gatekeep/info/"}},
    {"gatekeep", "ticket-holds-received-id", {"gatekeep/exact/", "gatekeep/check/"}},
    {"lockbox", "conforming", {}},
    {"lockbox", "slow-start", {"lockbox/run/empty", "lockbox/password/third-attempt"}},
    {"lockbox", "paced", {"lockbox/run/one-chunk", "lockbox/password/", "lockbox/exact/"}},
    {"lockbox", "cleared-repeat", {"lockbox/cut/", "lockbox/password/"}},
    {"lockbox", "uncleared-repeat", {"lockbox/cut/", "lockbox/password/"}},
    {"latchkey", "conforming", {}},
    {"latchkey", "slow-start", {"latchkey/run/script", "latchkey/check/id-repeat"}},
    {"latchkey", "paced", {"latchkey/run/", "latchkey/password/"}},
    {"latchkey", "cut-lengths", {"latchkey/length/", "latchkey/cut/"}, "went on"},
    {"latchkey", "refuse-lengths", {"latchkey/length/", "latchkey/cut/"}, "refused"},
    {"latchkey", "cleared-area", {"latchkey/cut/", "latchkey/unused/", "latchkey/type/"}},
    {"latchkey", "uncleared-area", {"latchkey/cut/", "latchkey/unused/", "latchkey/type/"}},
    {"latchkey", "fourth-req-waits", {"latchkey/password/"}, "waited"},
    {"latchkey", "buffered-output", {"latchkey/check/", "latchkey/length/"}},
};

INSTANTIATE_TEST_SUITE_P(Peercheck, ConformingStandin, testing::ValuesIn(kConforming),
                         [](const auto& p) { return name_of(p.param.role, p.param.variant); });

const Inert kInert[] = {
    {"client",
     "abort-at-once",
     {"client/run/script", "client/check/", "client/fault/", "client/start/"}},
    {"client", "ok-empty-file", {"client/run/", "client/check/", "client/output/"}},
    {"client", "silent", {"client/run/script", "client/check/", "client/fault/"}},
    {"latchkey", "abort-at-once", {"latchkey/run/", "latchkey/password/", "latchkey/check/"}},
    {"latchkey", "ok-empty-file", {"latchkey/run/", "latchkey/fault/", "latchkey/output/"}},
    {"latchkey", "silent", {"latchkey/run/script", "latchkey/fault/", "latchkey/check/"}},
    {"server",
     "bind-and-wait",
     {"server/run/empty", "server/check/expired-ticket", "server/cut/ap-req-1",
      "server/start/key-parity"}},
    {"server",
     "exit-at-once",
     {"server/run/empty", "server/check/expired-ticket", "server/start/"}},
    {"gatekeep",
     "bind-and-wait",
     {"gatekeep/run/fresh-keys", "gatekeep/check/unknown-client",
      "gatekeep/start/client-key-parity"}},
    {"gatekeep",
     "exit-at-once",
     {"gatekeep/run/fresh-keys", "gatekeep/check/unknown-client", "gatekeep/start/"}},
    {"lockbox", "bind-and-wait", {"lockbox/run/empty", "lockbox/password/three-wrong"}},
    {"lockbox",
     "exit-at-once",
     {"lockbox/run/empty", "lockbox/password/three-wrong", "lockbox/start/"}},
};

INSTANTIATE_TEST_SUITE_P(Peercheck, InertStandin, testing::ValuesIn(kInert),
                         [](const auto& p) { return name_of(p.param.role, p.param.variant); });

}  // namespace
