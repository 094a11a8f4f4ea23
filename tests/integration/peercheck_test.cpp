// peercheck against our own programs, the first implementations under test: the conforming ones
// pass every required case of their role, and each fault build or test switch is caught by
// exactly the cases aimed at it. Then implementations that crash, hang or never start, an
// interruption, and a host whose name resolves to 127.0.1.1.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>

#include "batch.h"
#include "harness.h"
#include "peercheck_run.h"
#include "runner.h"

namespace {

using namespace std::chrono_literals;
using Ids = std::set<std::string>;

const std::string kBin = BIN_DIR;
const std::string kPeercheck = kBin + "/peercheck";

struct Verdicts {
    std::optional<int> status;
    std::string output;
    Ids failed, info, others;  // others: anything neither pass, fail nor info
    std::size_t cases = 0;
    nlohmann::json report;
};

// Runs peercheck (two cases at a time, our programs from the build tree) and reads its JSON report.
Verdicts run_peercheck(const std::string& role, const std::vector<std::string>& selection,
                       const std::vector<std::string>& command, const std::string& timeout = "5") {
    auto got = peercheck_run::run(kBin, role, selection, command, timeout);
    Verdicts v;
    v.status = got.status;
    v.output = std::move(got.output);
    if (got.report.is_null()) return v;
    v.report = std::move(got.report);
    for (const auto& c : v.report["cases"]) {
        const std::string id = c["id"], status = c["status"];
        ++v.cases;
        if (status == "fail")
            v.failed.insert(id);
        else if (status == "info")
            v.info.insert(id);
        else if (status != "pass")
            v.others.insert(id);
    }
    return v;
}

// ---------------------------------------------------------------- our programs under test

struct Row {
    const char* name;
    const char* role;
    std::vector<std::string> command;
    Ids fails;
};

std::vector<std::string> ours(const std::string& program, std::vector<std::string> words = {}) {
    words.insert(words.begin(), kBin + "/" + program);
    return words;
}

const std::vector<std::string> kClientWords{
    "{gatekeepername}", "{gatekeeperport}", "{gatekeeperkey}", "{servername}",
    "{serverport}",     "{outfile}",        "{clientID}",      "{serverID}"};

std::vector<std::string> plus(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const Row kRows[] = {
    {"OurClient", "client", ours("client"), {}},
    {"OurServer", "server", ours("server"), {}},
    {"OurGatekeep", "gatekeep", ours("gatekeep"), {}},
    {"FaultFreePasswordClient", "latchkey", ours("peercheck-pass-client"), {}},
    // The test server accepts the type-12 opening so that latchkey-badjoin can be served.
    {"FaultFreePasswordServer",
     "lockbox",
     ours("peercheck-pass-server"),
     {"lockbox/fault/type-12-opening", "lockbox/type/join-req-12"}},
    {"ServerWrongDigest",
     "server",
     ours("server", {"{serverport}", "{gatekeeperkey}", "{inputfile}", "x", "-T2", "x"}),
     {"server/run/our-client", "server/run/file-read-afresh", "server/check/digest",
      "server/check/digest-empty", "server/exact/envelopes"}},
    {"ServerWrongNonce",
     "server",
     ours("server", {"{serverport}", "{gatekeeperkey}", "{inputfile}", "x", "-T1", "5"}),
     {"server/run/our-client", "server/check/nonce-answer", "server/exact/ap-rep",
      "server/answer/1000", "server/answer/10000000", "server/answer/100000000",
      "server/answer/2000000000", "server/answer/2147483647", "server/answer/-2147483648",
      "server/answer/-1", "server/answer/0"}},
    {"GatekeepBackDated",
     "gatekeep",
     ours("gatekeep", {"{gatekeeperport}", "{clientID}", "{clientkey}", "{serverID}", "{serverkey}",
                       "x", "-T1", "2"}),
     {"gatekeep/exact/as-rep", "gatekeep/exact/as-rep-other-source", "gatekeep/run/our-peers",
      "gatekeep/run/upper-case-keys"}},
    // Every run through our server, which refuses the address; the checks of the Authenticator;
    // and the refusals that lie beyond the AP_REQ, which it never gets past.
    {"ClientWrongAddress",
     "client",
     ours("client", plus(kClientWords, {"x", "-T1", "1"})),
     {"client/run/empty", "client/run/one-byte", "client/run/one-chunk", "client/run/chunk-and-one",
      "client/run/two-chunks", "client/run/large", "client/output/ok",
      "client/output/digest-mismatch", "client/fault/nonce-answer", "client/fault/digest",
      "client/exact/ap-req", "client/exact/ap-req-ticket-length-100"}},
    {"LockboxBadhash",
     "lockbox",
     ours("lockbox-badhash"),
     {"lockbox/check/digest", "lockbox/check/digest-empty", "lockbox/exact/terminate",
      "lockbox/run/file-read-afresh"}},
    {"LockboxSkipid",
     "lockbox",
     ours("lockbox-skipid"),
     {"lockbox/check/packet-ids", "lockbox/check/packet-ids-past-255",
      "lockbox/check/packet-ids-per-session", "lockbox/exact/data"}},
    // Its PASS_REQ, and a PASS_RESP taken at any moment, even in place of JOIN_REQ.
    {"LockboxBadreq",
     "lockbox",
     ours("lockbox-badreq"),
     {"lockbox/exact/pass-req", "lockbox/type/join-req-3"}},
    {"LatchkeyBadjoin", "latchkey", ours("latchkey-badjoin"), {"latchkey/exact/join-req"}},
};

void PrintTo(const Row& r, std::ostream* os) { *os << r.name; }

class OurPrograms : public testing::TestWithParam<Row> {};

TEST_P(OurPrograms, FailExactlyTheCasesAimedAtThem) {
    const Row& row = GetParam();
    const Verdicts v = run_peercheck(row.role, {}, row.command);
    EXPECT_EQ(v.cases, peercheck::catalogue(*peercheck::role_from_name(row.role)).size())
        << v.output;
    EXPECT_EQ(v.failed, row.fails) << v.output;
    EXPECT_TRUE(v.others.empty());
    EXPECT_EQ(v.status, row.fails.empty() ? 0 : 1);
    // The summary comes last.
    const std::string last = v.output.substr(v.output.rfind('\n', v.output.size() - 2) + 1);
    EXPECT_NE(last.find(" passed, "), std::string::npos) << last;
}

INSTANTIATE_TEST_SUITE_P(Peercheck, OurPrograms, testing::ValuesIn(kRows),
                         [](const auto& p) { return std::string(p.param.name); });

// ---------------------------------------------------------------- broken implementations

// Writes a stand-in implementation; mode 0755 unless run_bit is false.
std::string stand_in(const harness::TempDir& dir, const std::string& name, const std::string& text,
                     bool run_bit = true) {
    const std::string path = dir.file(name);
    std::ofstream(path) << text;
    std::filesystem::permissions(
        path, run_bit ? std::filesystem::perms::owner_all
                      : std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    return path;
}

// A shell script in a temporary folder, standing for an implementation.
std::string write_script(const harness::TempDir& dir, const std::string& body) {
    return stand_in(dir, "impl.sh", "#!/bin/sh\n" + body);
}

std::vector<pid_t> read_pids(const std::string& path) {
    std::ifstream in(path);
    std::vector<pid_t> pids;
    for (pid_t p; in >> p;) pids.push_back(p);
    return pids;
}

// Running, not merely a zombie waiting for whoever inherited it to reap it.
bool alive(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return false;
    const std::size_t paren = line.rfind(')');
    return paren != std::string::npos && line.find(" Z ", paren) != paren + 1;
}

struct Broken {
    const char* name;
    std::string body;      // the script; PIDS is the file it records its processes in
    std::string observed;  // what the failed case must say
};

void PrintTo(const Broken& b, std::ostream* os) { *os << b.name; }

class BrokenImplementation : public testing::TestWithParam<Broken> {};

TEST_P(BrokenImplementation, FailsEveryCaseAndLeavesNothingBehind) {
    harness::TempDir dir;
    const std::string pids = dir.file("pids");
    std::string body = GetParam().body;
    for (std::size_t at; (at = body.find("PIDS")) != std::string::npos;) body.replace(at, 4, pids);
    const Verdicts v = run_peercheck("client", {"client/run/empty", "client/fault/digest"},
                                     {write_script(dir, body)}, "1");
    EXPECT_EQ(v.status, 1) << v.output;
    ASSERT_EQ(v.failed.size(), 2u) << v.output;
    for (const auto& c : v.report["cases"]) {
        EXPECT_NE(c["observed"].get<std::string>().find(GetParam().observed), std::string::npos)
            << c["observed"];
    }
    for (pid_t p : read_pids(pids)) EXPECT_FALSE(alive(p)) << "process " << p << " left behind";
}

INSTANTIATE_TEST_SUITE_P(
    Peercheck, BrokenImplementation,
    testing::Values(Broken{"Crashes", "kill -SEGV $$\n", "killed by SIGSEGV"},
                    // The hanging one leaves a child of its own: the whole group must go.
                    Broken{"Hangs", "sleep 60 & echo $! >> PIDS\necho $$ >> PIDS\nwait\n",
                           "still running"},
                    Broken{"FailsToStart", "exit 3\n", "exited with status 3"}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(Peercheck, ACommandThatCannotStartIsASetUpError) {
    const harness::Finished f = harness::run(
        "/bin/sh", {"-c", kPeercheck + " server -- /nonexistent/their-server 2>&1"}, 10s);
    EXPECT_EQ(f.status, 2);
    EXPECT_NE(f.output.find("cannot start \"/nonexistent/their-server\""), std::string::npos)
        << f.output;
    EXPECT_EQ(f.output.find("PASS"), std::string::npos);
}

// Interrupted, it ends every process it started, removes its scratch folders and still prints
// the summary of what ran.
TEST(Peercheck, InterruptionEndsEverything) {
    harness::TempDir dir, tmp;
    const std::string pids = dir.file("pids");
    const std::string impl =
        write_script(dir, "sleep 60 & echo $! >> " + pids + "\necho $$ >> " + pids + "\nwait\n");
    harness::Program p("/usr/bin/env", {"TMPDIR=" + tmp.path(), kPeercheck, "client", "--peers",
                                        kBin, "--timeout", "30", "--", impl});
    ASSERT_TRUE(p.wait_output("", 1s) || true);
    for (int i = 0; i < 200 && read_pids(pids).size() < 2; ++i) std::this_thread::sleep_for(10ms);
    ASSERT_EQ(::kill(p.pid(), SIGINT), 0);
    EXPECT_EQ(p.wait_exit(10s), 130);
    EXPECT_NE(p.output().find("interrupted"), std::string::npos) << p.output();
    EXPECT_NE(p.output().find(" passed, "), std::string::npos) << p.output();
    for (pid_t pid : read_pids(pids)) EXPECT_FALSE(alive(pid)) << "process " << pid << " left";
    EXPECT_TRUE(std::filesystem::is_empty(tmp.path()));
}

// One row per implementation, one column per case; one that cannot start is a set-up error, not
// an implementation that fails every case.
TEST(Peercheck, MatrixOfImplementationsByCases) {
    harness::TempDir dir;
    std::ofstream(dir.file("m.txt"))
        << "# name role command\n"
        << "ours server " << kBin << "/server\n"
        << "wrong-digest server " << kBin
        << "/server {serverport} {gatekeeperkey} {inputfile} -DDEBUG -T2 x\n\n"
        << "missing server /nonexistent/server\n";
    const harness::Finished f =
        harness::run(kPeercheck,
                     {"matrix", dir.file("m.txt"), "--peers", kBin, "--cases",
                      "server/check/digest*", "--json", dir.file("m.json")},
                     60s);
    EXPECT_EQ(f.status, 0) << f.output;
    std::ifstream in(dir.file("m.json"));
    ASSERT_TRUE(in);
    const auto m = nlohmann::json::parse(in);
    std::map<std::string, std::size_t> failed;
    std::map<std::string, std::string> setup_errors;
    for (const auto& impl : m["implementations"]) {
        std::size_t n = 0;
        for (const auto& [id, result] : impl["results"].items()) n += result["status"] == "fail";
        failed[impl["name"]] = n;
        setup_errors[impl["name"]] = impl["setup_error"];
        EXPECT_EQ(impl["results"].size(), 2u);
    }
    EXPECT_EQ(failed, (std::map<std::string, std::size_t>{
                          {"ours", 0}, {"wrong-digest", 2}, {"missing", 0}}));
    EXPECT_EQ(setup_errors["ours"], "");
    EXPECT_EQ(setup_errors["missing"], "cannot start \"/nonexistent/server\": no such file");
}

// ---------------------------------------------------------------- command line

TEST(Peercheck, PlaceholdersAreFilledElseTheValuesAreAppended) {
    using peercheck::Role;
    const std::vector<std::string> values{"9001", "fedcba9876543210", "/tmp/x"};
    EXPECT_EQ(peercheck::impl_argv({"./srv"}, Role::server, values),
              (std::vector<std::string>{"./srv", "9001", "fedcba9876543210", "/tmp/x"}));
    EXPECT_EQ(peercheck::impl_argv({"python3", "s.py", "--port={serverport}", "{inputfile}"},
                                   Role::server, values),
              (std::vector<std::string>{"python3", "s.py", "--port=9001", "/tmp/x"}));
}

struct Cli {
    std::vector<std::string> args;
    int status;
    std::size_t lines;  // lines printed, when status is 0
};

void PrintTo(const Cli& c, std::ostream* os) {
    for (const auto& a : c.args) *os << a << " ";
}

class CommandLine : public testing::TestWithParam<Cli> {};

std::size_t family_size(peercheck::Role role, const std::string& prefix) {
    const auto& cases = peercheck::catalogue(role);
    return static_cast<std::size_t>(
        std::count_if(cases.begin(), cases.end(),
                      [&](const peercheck::Case& c) { return c.id.starts_with(prefix); }));
}

TEST_P(CommandLine, ListsSelectsAndRefuses) {
    const harness::Finished f = harness::run(kPeercheck, GetParam().args, 10s);
    EXPECT_EQ(f.status, GetParam().status) << f.output;
    if (GetParam().status == 0) {
        EXPECT_EQ(static_cast<std::size_t>(std::count(f.output.begin(), f.output.end(), '\n')),
                  GetParam().lines)
            << f.output;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Peercheck, CommandLine,
    testing::Values(
        Cli{{"lockbox", "--list"}, 0, peercheck::catalogue(peercheck::Role::lockbox).size()},
        Cli{{"server", "--list", "server/check/"},
            0,
            family_size(peercheck::Role::server, "server/check/")},
        Cli{{"server", "--list", "server/check/digest"}, 0, 1},
        Cli{{"server", "--list", "server/check/digest*"}, 0, 2},
        Cli{{"server", "--list", "server/check/digest", "server/check/digest-empty"}, 0, 2},
        Cli{{"server", "--list", "nothing/"}, 2, 0}, Cli{{"server", "--no-such-option"}, 2, 0},
        Cli{{"server"}, 2, 0}, Cli{{"nonsense"}, 2, 0}));

// ---------------------------------------------------------------- set-up errors

// peercheck with its standard error in its output (no test argument holds a single quote).
harness::Finished run_both(const std::vector<std::string>& args,
                           std::chrono::milliseconds limit = 10s) {
    std::string line = "exec '" + kPeercheck + "'";
    for (const auto& a : args) line += " '" + a + "'";
    return harness::run("/bin/sh", {"-c", line + " 2>&1"}, limit);
}

// Words of a test's arguments: DIR is its temporary folder, BIN our programs' folder.
std::vector<std::string> expand(std::vector<std::string> args, const harness::TempDir& dir) {
    for (auto& a : args) {
        for (const auto& [key, value] :
             {std::pair<std::string, std::string>{"DIR", dir.path()}, {"BIN", kBin}}) {
            for (std::size_t at; (at = a.find(key)) != std::string::npos;) {
                a.replace(at, key.size(), value);
            }
        }
    }
    return args;
}

struct SetupCase {
    const char* name;
    std::vector<std::string> args;
    std::string message;
};

void PrintTo(const SetupCase& c, std::ostream* os) { *os << c.name; }

class SetUpError : public testing::TestWithParam<SetupCase> {};

// Each mistake ends the run with status 2 and a message naming it, before any case ran: the
// stand-in that would record its start never started.
TEST_P(SetUpError, StopsBeforeAnyCaseAndNamesTheMistake) {
    harness::TempDir dir;
    const std::string record = "#!/bin/sh\necho started >> " + dir.file("started") + "\n";
    stand_in(dir, "impl.sh", record + "exec " + kBin + "/server \"$@\"\n");
    stand_in(dir, "no-interpreter.sh", "#!" + dir.file("no-such-shell") + "\n" + record);
    stand_in(dir, "no-env-program.sh", "#!/usr/bin/env no-such-program-of-peercheck\n" + record);
    stand_in(dir, "no-run-bit.sh", record, false);
    std::ofstream(dir.file("a-file")) << "x";
    std::ofstream(dir.file("dup.txt")) << "a server impl\nb server impl\na server impl\n";
    std::ofstream(dir.file("one.txt")) << "a server " << dir.file("impl.sh") << "\n";
    const harness::Finished f = run_both(expand(GetParam().args, dir));
    EXPECT_EQ(f.status, 2) << f.output;
    EXPECT_NE(f.output.find("peercheck: " + expand({GetParam().message}, dir)[0]),
              std::string::npos)
        << f.output;
    EXPECT_EQ(f.output.find("PASS"), std::string::npos) << f.output;
    EXPECT_EQ(f.output.find("FAIL"), std::string::npos) << f.output;
    EXPECT_FALSE(std::filesystem::exists(dir.file("started")));
}

INSTANTIATE_TEST_SUITE_P(
    Peercheck, SetUpError,
    testing::Values(
        SetupCase{"MissingInterpreter",
                  {"server", "--peers", "BIN", "--", "DIR/no-interpreter.sh"},
                  "cannot start \"DIR/no-interpreter.sh\": the interpreter \"DIR/no-such-shell\" "
                  "named on its #! line does not exist"},
        SetupCase{"MissingProgramOfEnv",
                  {"server", "--peers", "BIN", "--", "DIR/no-env-program.sh"},
                  "cannot start \"DIR/no-env-program.sh\": its #! line runs "
                  "\"no-such-program-of-peercheck\" through env, and no such program is on PATH"},
        SetupCase{"NoRunBit",
                  {"server", "--peers", "BIN", "--", "DIR/no-run-bit.sh"},
                  "cannot start \"DIR/no-run-bit.sh\": it has no run bit"},
        SetupCase{"NotFound",
                  {"server", "--peers", "BIN", "--", "no-such-program-of-peercheck"},
                  "cannot start \"no-such-program-of-peercheck\": not found on PATH"},
        SetupCase{"UnknownPlaceholder",
                  {"server", "--peers", "BIN", "--", "DIR/impl.sh", "{serverprot}",
                   "{gatekeeperkey}", "{inputfile}"},
                  "unknown placeholder {serverprot} (did you mean {serverport}?); the server's "
                  "placeholders are {serverport} {gatekeeperkey} {inputfile}"},
        SetupCase{"ReportIntoAMissingFolder",
                  {"server", "--peers", "BIN", "--junit", "DIR/missing/r.xml", "--", "DIR/impl.sh"},
                  "--junit DIR/missing/r.xml: the folder DIR/missing does not exist"},
        SetupCase{"ReportOntoAFolder",
                  {"server", "--peers", "BIN", "--html", "DIR", "--", "DIR/impl.sh"},
                  "--html DIR: it is a folder"},
        SetupCase{
            "CaptureFolderThatCannotBeMade",
            {"server", "--peers", "BIN", "--pcap", "DIR/a-file/captures", "--", "DIR/impl.sh"},
            "--pcap DIR/a-file/captures: cannot make the folder"},
        SetupCase{"CaptureAllWithoutAFolder",
                  {"server", "--peers", "BIN", "--pcap-all", "--", "DIR/impl.sh"},
                  "--pcap-all goes with --pcap "},
        SetupCase{"OptionBeforeTheRole",
                  {"-j", "2", "server", "--", "DIR/impl.sh"},
                  "\"-j\" stands before \"server\": options go after it"},
        SetupCase{"OptionAfterTheSeparator",
                  {"server", "--peers", "BIN", "--", "DIR/impl.sh", "--json", "r.json"},
                  "\"--json\" stands after \"--\", where the implementation's command begins"},
        SetupCase{"CommandWithoutTheSeparator",
                  {"server", "--peers", "BIN", "DIR/impl.sh"},
                  "\"DIR/impl.sh\" selects no case of server, and there is no \"--\""},
        SetupCase{
            "NoSeparatorNorCommand", {"server", "--peers", "BIN"}, "no \"--\" and no command"},
        SetupCase{
            "SelectionOfNothing",
            {"server", "--peers", "BIN", "server/run/empty", "server/chek/", "--", "DIR/impl.sh"},
            "\"server/chek/\" selects no case of server"},
        SetupCase{"MatrixNameTwice",
                  {"matrix", "DIR/dup.txt", "--peers", "BIN"},
                  "DIR/dup.txt:3: the name \"a\" is taken by line 1"},
        SetupCase{"ShardOutOfRange",
                  {"matrix", "DIR/one.txt", "--shard", "3/2"},
                  "--shard 3/2: give K/N, part K of N with 1 <= K <= N"},
        SetupCase{"MergeOfNoMatrix",
                  {"merge", "DIR/a-file"},
                  "DIR/a-file: not a matrix written by peercheck matrix --json"}),
    [](const auto& p) { return std::string(p.param.name); });

// ---------------------------------------------------------------- what a run reports

// With -j the cases end in any order; the blocks of details follow the catalogue, each headed by
// its case's line.
TEST(Peercheck, FailureBlocksNameTheirCaseInCatalogueOrder) {
    const harness::Finished f =
        harness::run(kPeercheck,
                     {"server", "-j", "2", "--peers", kBin, "server/check/digest-empty",
                      "server/check/digest", "--", kBin + "/server", "{serverport}",
                      "{gatekeeperkey}", "{inputfile}", "-DDEBUG", "-T2", "x"},
                     60s);
    EXPECT_EQ(f.status, 1) << f.output;
    const std::size_t blocks = f.output.find("\n\n");
    ASSERT_NE(blocks, std::string::npos) << f.output;
    const std::size_t first = f.output.find("\nFAIL  server/check/digest  ", blocks);
    const std::size_t second = f.output.find("\nFAIL  server/check/digest-empty  ", blocks);
    ASSERT_NE(first, std::string::npos) << f.output;
    ASSERT_NE(second, std::string::npos) << f.output;
    EXPECT_LT(first, second) << f.output;
    EXPECT_NE(f.output.find("0 passed, 2 failed, 0 informational, 0 skipped"), std::string::npos);
}

// A stand-in that serves a wrong digest every other run: --repeat finds it flaky, which fails the
// run unless flaky cases are allowed.
TEST(Peercheck, RepeatsFindAFlakyImplementation) {
    for (const bool allowed : {false, true}) {
        harness::TempDir dir;
        const std::string counter = dir.file("count");
        const std::string impl = stand_in(
            dir, "flaky.sh",
            "#!/bin/sh\nn=$(cat " + counter + " 2>/dev/null || echo 0)\necho $((n + 1)) > " +
                counter + "\nif [ $((n % 2)) = 1 ]; then exec " + kBin +
                "/server \"$@\" -DDEBUG -T2 x; fi\nexec " + kBin + "/server \"$@\"\n");
        // The stand-in keeps its count outside its case folder, where isolation would stop it.
        std::vector<std::string> args{"server", "--no-sandbox",     "--peers",
                                      kBin,     "--repeat",         "4",
                                      "--json", dir.file("r.json"), "server/check/digest"};
        if (allowed) args.push_back("--allow-flaky");
        args.insert(args.end(), {"--", impl});
        const harness::Finished f = harness::run(kPeercheck, args, 60s);
        EXPECT_EQ(f.status, allowed ? 0 : 1) << f.output;
        EXPECT_NE(f.output.find("FLAKY  server/check/digest  "), std::string::npos) << f.output;
        EXPECT_NE(f.output.find("flaky: 2 of 4 failed"), std::string::npos) << f.output;
        EXPECT_NE(f.output.find("observed: digest "), std::string::npos)
            << "a failing run's details";
        EXPECT_NE(f.output.find("0 passed, 0 failed, 1 flaky, 0 informational, 0 skipped"),
                  std::string::npos);
        std::ifstream in(dir.file("r.json"));
        const auto report = nlohmann::json::parse(in);
        EXPECT_EQ(report["cases"][0]["status"], "flaky");
        EXPECT_EQ(report["cases"][0]["failed_runs"], 2);
    }
}

TEST(Peercheck, CapturesOfFailedCasesOrOfAll) {
    for (const bool all : {false, true}) {
        harness::TempDir dir;
        std::vector<std::string> args{"server",          "--peers",        kBin,
                                      "--pcap",          dir.file("caps"), "server/check/digest",
                                      "server/run/empty"};
        if (all) args.push_back("--pcap-all");
        args.insert(args.end(), {"--", kBin + "/server", "{serverport}", "{gatekeeperkey}",
                                 "{inputfile}", "-DDEBUG", "-T2", "x"});
        const harness::Finished f = harness::run(kPeercheck, args, 60s);
        EXPECT_EQ(f.status, 1) << f.output;
        std::set<std::string> files;
        for (const auto& e : std::filesystem::directory_iterator(dir.file("caps"))) {
            files.insert(e.path().filename().string());
        }
        const Ids want = all ? Ids{"server-check-digest.pcapng", "server-run-empty.pcapng"}
                             : Ids{"server-check-digest.pcapng"};
        EXPECT_EQ(files, want);
    }
}

// The parts of a matrix run with --shard K/N, merged, give the files of one run of the whole:
// the same JSON and the same Markdown, times aside.
TEST(Peercheck, ShardsMergeIntoTheUnshardedMatrix) {
    harness::TempDir dir;
    std::ofstream(dir.file("m.txt"))
        << "ours server " << kBin << "/server\n"
        << "wrong-digest server " << kBin
        << "/server {serverport} {gatekeeperkey} {inputfile} -DDEBUG -T2 x\n"
        << "missing server /nonexistent/server\n"
        << "typo server " << kBin << "/server {serverprot}\n"
        << "pw lockbox " << kBin << "/peercheck-pass-server\n";
    const auto matrix = [&](const std::string& name, std::vector<std::string> extra) {
        std::vector<std::string> args{
            "matrix",  dir.file("m.txt"),        "--peers",    kBin,
            "--cases", "server/check/digest",    "--cases",    "lockbox/run/empty",
            "--json",  dir.file(name + ".json"), "--markdown", dir.file(name + ".md")};
        args.insert(args.end(), extra.begin(), extra.end());
        const harness::Finished f = harness::run(kPeercheck, args, 60s);
        EXPECT_EQ(f.status, 0) << f.output;
    };
    matrix("whole", {});
    constexpr int kParts = 3;
    std::vector<std::string> merge{"merge"};
    for (int k = kParts; k >= 1; --k) {
        const std::string part = "part" + std::to_string(k);
        matrix(part, {"--shard", std::to_string(k) + "/" + std::to_string(kParts)});
        merge.push_back(dir.file(part + ".json"));
    }
    merge.insert(merge.end(),
                 {"--json", dir.file("merged.json"), "--markdown", dir.file("merged.md")});
    const harness::Finished f = harness::run(kPeercheck, merge, 10s);
    ASSERT_EQ(f.status, 0) << f.output;
    const auto read = [&](const std::string& name) {
        std::ifstream in(dir.file(name));
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    };
    // Times differ from run to run; everything else must not.
    const auto timeless_json = [](nlohmann::json doc) {
        for (auto& impl : doc["implementations"]) impl["seconds"] = 0;
        return doc;
    };
    const auto timeless_md = [](const std::string& md) {
        return std::regex_replace(md, std::regex("[0-9]+\\.[0-9]{2} s"), "T");
    };
    const auto whole = nlohmann::json::parse(read("whole.json"));
    EXPECT_EQ(timeless_json(nlohmann::json::parse(read("merged.json"))), timeless_json(whole));
    EXPECT_EQ(timeless_md(read("merged.md")), timeless_md(read("whole.md")));
    EXPECT_EQ(whole["implementations"].size(), 5u);
    for (int k = 1; k <= kParts; ++k) {
        const auto part = nlohmann::json::parse(read("part" + std::to_string(k) + ".json"));
        EXPECT_EQ(part["shard"], (nlohmann::json{{"index", k}, {"count", kParts}}));
    }
}

TEST(Peercheck, RepeatsCombineIntoOneVerdict) {
    using peercheck::Verdict;
    const auto run = [](Verdict v, double seconds) {
        peercheck::CaseResult r;
        r.id = "x";
        r.verdict = v;
        r.seconds = seconds;
        r.observed = v == Verdict::fail ? "failed at " + std::to_string(seconds) : "";
        return r;
    };
    struct Combined {
        std::vector<peercheck::CaseResult> runs;
        Verdict verdict;
        std::size_t counted, failed;
        std::string observed;
    };
    const Combined rows[] = {
        {{run(Verdict::pass, 1), run(Verdict::pass, 2)}, Verdict::pass, 2, 0, ""},
        {{run(Verdict::pass, 1), run(Verdict::fail, 2), run(Verdict::fail, 3)},
         Verdict::flaky,
         3,
         2,
         "failed at 2.000000"},
        {{run(Verdict::fail, 1), run(Verdict::fail, 2)}, Verdict::fail, 2, 2, "failed at 1.000000"},
        // An interruption cut the last run short: it does not count.
        {{run(Verdict::pass, 1), run(Verdict::skipped, 2)}, Verdict::pass, 1, 0, ""},
        {{run(Verdict::skipped, 1)}, Verdict::skipped, 1, 0, ""},
        {{run(Verdict::info, 1), run(Verdict::info, 2)}, Verdict::info, 2, 0, ""},
    };
    for (const Combined& r : rows) {
        const auto c = peercheck::combine_runs(r.runs);
        EXPECT_EQ(c.verdict, r.verdict);
        EXPECT_EQ(c.runs, r.counted);
        EXPECT_EQ(c.failed_runs, r.failed);
        EXPECT_EQ(c.observed, r.observed);
    }
    EXPECT_DOUBLE_EQ(peercheck::combine_runs(rows[1].runs).seconds, 6);
}

// A relative script given to an interpreter is found although each case runs in a folder of its
// own.
TEST(Peercheck, ScriptPathsRelativeToTheCurrentFolder) {
    harness::TempDir dir;
    std::ofstream(dir.file("mine.sh")) << "exec " << kBin << "/server \"$@\"\n";
    const harness::Finished f =
        harness::run("/bin/sh",
                     {"-c", "cd '" + dir.path() + "' && exec '" + kPeercheck +
                                "' server --peers '" + kBin + "' server/run/empty -- sh mine.sh"},
                     30s);
    EXPECT_EQ(f.status, 0) << f.output;
}

// ---------------------------------------------------------------- the host-name trap

// Runs peercheck in namespaces of its own where the host is named "trap-host" and resolves to
// 127.0.1.1, as on a stock Debian host, while loopback datagrams leave from 127.0.0.1; its output
// goes to the file at output. Exits 77 when this machine does not allow the namespaces (not root).
int run_on_trap_host(const std::vector<std::string>& args, const std::string& hosts,
                     const std::string& output) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::unshare(CLONE_NEWUTS | CLONE_NEWNET | CLONE_NEWNS) != 0) ::_exit(77);
        if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) ::_exit(77);
        const int s = ::socket(AF_INET, SOCK_DGRAM, 0);
        ifreq ifr{};
        std::strcpy(ifr.ifr_name, "lo");
        ifr.ifr_flags = IFF_UP | IFF_LOOPBACK | IFF_RUNNING;
        if (::ioctl(s, SIOCSIFFLAGS, &ifr) != 0) ::_exit(77);
        if (::sethostname("trap-host", 9) != 0) ::_exit(77);
        std::ofstream(hosts) << "127.0.0.1 localhost\n127.0.1.1 trap-host\n";
        if (::mount(hosts.c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) != 0) ::_exit(77);
        std::vector<char*> argv{const_cast<char*>(kPeercheck.c_str())};
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        const int out = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out < 0) ::_exit(127);
        ::dup2(out, STDOUT_FILENO);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(Peercheck, HostNameResolvingElsewhereBlamesNobody) {
    harness::TempDir dir;
    const std::string hosts = dir.file("hosts");
    const std::vector<std::vector<std::string>> runs = {
        {"client", "client/run/", "client/fault/", "--", kBin + "/client"},
        {"server", "server/run/one-byte", "server/fault/", "--", kBin + "/server"},
        {"gatekeep", "gatekeep/run/our-peers", "--", kBin + "/gatekeep"}};
    for (auto args : runs) {
        const std::string output = dir.file(args[0] + ".out");
        args.insert(args.begin() + 1,
                    {"-j", "2", "--peers", kBin, "--json", dir.file(args[0] + ".json")});
        const int status = run_on_trap_host(args, hosts, output);
        if (status == 77) GTEST_SKIP() << "network and mount namespaces need root";
        const harness::Bytes printed = harness::TempDir::read(output);
        EXPECT_EQ(status, 0) << args[0] << ":\n" << std::string(printed.begin(), printed.end());
    }
}

}  // namespace

// ---------------------------------------------------------------- the exchange is complete

// A client that sends its own count of datagrams, of two sizes, to its gatekeep port and ends:
// the report shows every one of them, whether the scripted peer read it in the exchange or
// only once the implementation had ended, and however the reporter folds them.
TEST(Peercheck, TheExchangeShowsEveryDatagramSent) {
    harness::TempDir dir;
    constexpr int kSent = 9;
    const std::string impl =
        stand_in(dir, "counted.sh",
                 "#!/bin/bash\nfor i in $(seq 1 " + std::to_string(kSent) +
                     "); do\n  if [ $i -le 3 ]; then printf 'abcd' ; else printf 'abcdefgh'; fi "
                     "> /dev/udp/127.0.0.1/$2\n  sleep 0.05\ndone\necho ABORT\n");
    const Verdicts v = run_peercheck("client", {"client/run/script"}, {impl}, "2");
    ASSERT_EQ(v.cases, 1u) << v.output;
    std::size_t from_impl = 0, left_out = 0;
    for (const auto& line : v.report["cases"][0]["exchange"]) {
        if (line["from"] == "implementation") from_impl += line["count"].get<std::size_t>();
    }
    for (const auto& o : v.report["cases"][0]["omitted"]) left_out += o["count"].get<std::size_t>();
    EXPECT_EQ(from_impl + left_out, static_cast<std::size_t>(kSent)) << v.report.dump(2);
}
