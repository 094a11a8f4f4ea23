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
#include <set>
#include <sstream>

#include "harness.h"
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
    harness::TempDir dir;
    std::vector<std::string> args{
        role, "-j", "2", "--timeout", timeout, "--peers", kBin, "--json", dir.file("report.json")};
    args.insert(args.end(), selection.begin(), selection.end());
    args.push_back("--");
    args.insert(args.end(), command.begin(), command.end());
    const harness::Finished f = harness::run(kPeercheck, args, 280s);
    Verdicts v;
    v.status = f.status;
    v.output = f.output;
    std::ifstream in(dir.file("report.json"));
    if (!in) return v;
    v.report = nlohmann::json::parse(in);
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
     {"lockbox/fault/type-12-opening"}},
    {"ServerWrongDigest",
     "server",
     ours("server", {"{serverport}", "{gatekeeperkey}", "{inputfile}", "-DDEBUG", "-T2", "x"}),
     {"server/check/digest", "server/check/digest-empty"}},
    {"ServerWrongNonce",
     "server",
     ours("server", {"{serverport}", "{gatekeeperkey}", "{inputfile}", "-DDEBUG", "-T1", "5"}),
     {"server/check/nonce-answer"}},
    {"GatekeepBackDated",
     "gatekeep",
     ours("gatekeep", {"{gatekeeperport}", "{clientID}", "{clientkey}", "{serverID}", "{serverkey}",
                       "x", "-T1", "2"}),
     {"gatekeep/run/validity", "gatekeep/run/our-peers"}},
    // Every run, and the scripted one whose check of the Authenticator's address it fails.
    {"ClientWrongAddress",
     "client",
     ours("client", plus(kClientWords, {"x", "-T1", "1"})),
     {"client/run/empty", "client/run/one-byte", "client/run/one-chunk", "client/run/chunk-and-one",
      "client/run/two-chunks", "client/run/large", "client/run/script"}},
    {"LockboxBadhash",
     "lockbox",
     ours("lockbox-badhash"),
     {"lockbox/check/digest", "lockbox/check/digest-empty"}},
    {"LockboxSkipid", "lockbox", ours("lockbox-skipid"), {"lockbox/check/packet-ids"}},
    {"LockboxBadreq", "lockbox", ours("lockbox-badreq"), {"lockbox/check/pass-req"}},
    {"LatchkeyBadjoin", "latchkey", ours("latchkey-badjoin"), {"latchkey/check/opening"}},
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

// A script in a temporary folder, standing for an implementation.
std::string write_script(const harness::TempDir& dir, const std::string& body) {
    const std::string path = dir.file("impl.sh");
    std::ofstream(path) << "#!/bin/sh\n" << body;
    std::filesystem::permissions(path, std::filesystem::perms::owner_all);
    return path;
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

// One row per implementation, one column per case; one that cannot start fails every case.
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
                      "server/check/digest", "--json", dir.file("m.json")},
                     60s);
    EXPECT_EQ(f.status, 0) << f.output;
    std::ifstream in(dir.file("m.json"));
    ASSERT_TRUE(in);
    const auto m = nlohmann::json::parse(in);
    std::map<std::string, std::size_t> failed;
    for (const auto& impl : m["implementations"]) {
        std::size_t n = 0;
        for (const auto& [id, status] : impl["results"].items()) n += status == "fail";
        failed[impl["name"]] = n;
        EXPECT_EQ(impl["results"].size(), 2u);
    }
    EXPECT_EQ(failed, (std::map<std::string, std::size_t>{
                          {"ours", 0}, {"wrong-digest", 2}, {"missing", 2}}));
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

TEST_P(CommandLine, ListsSelectsAndRefuses) {
    const harness::Finished f = harness::run(kPeercheck, GetParam().args, 10s);
    EXPECT_EQ(f.status, GetParam().status) << f.output;
    if (GetParam().status == 0) {
        EXPECT_EQ(static_cast<std::size_t>(std::count(f.output.begin(), f.output.end(), '\n')),
                  GetParam().lines)
            << f.output;
    }
}

INSTANTIATE_TEST_SUITE_P(Peercheck, CommandLine,
                         testing::Values(Cli{{"lockbox", "--list"},
                                             0,
                                             peercheck::catalogue(peercheck::Role::lockbox).size()},
                                         Cli{{"server", "--list", "server/check/"}, 0, 4},
                                         Cli{{"server", "--list", "server/check/digest"}, 0, 2},
                                         Cli{{"server", "--list", "nothing/"}, 2, 0},
                                         Cli{{"server", "--no-such-option"}, 2, 0},
                                         Cli{{"server"}, 2, 0}, Cli{{"nonsense"}, 2, 0}));

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
