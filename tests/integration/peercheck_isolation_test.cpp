// peercheck against implementations that misbehave beyond the protocol: ones that daemonise,
// flood their peers, write outside their folder or leave a read-only folder behind, run as root
// and as an ordinary user. Each fails its cases saying why, and nothing is left behind: no
// process, no scratch folder, no file or datagram outside the case. Then the engine's pieces
// alone: each limit of the sandbox, what a sandboxed program sees, the log of a flood, and
// scratch folders that cannot be removed.

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>

#include "engine.h"
#include "harness.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

const std::string kBin = BIN_DIR;
const std::string kPeercheck = kBin + "/peercheck";
const std::string kStandIn = TESTS_DIR "/misbehaving-impl";

#if defined(__SANITIZE_ADDRESS__)
// The sanitizer's shadow memory and quarantine come on top of what peercheck itself keeps.
constexpr long kPeakKib = 400 << 10;
#else
constexpr long kPeakKib = 100 << 10;
#endif

enum class User { root, ordinary };

std::string user_name(User u) { return u == User::root ? "Root" : "OrdinaryUser"; }

// The words that run a command as the user; nullopt (with why) where that cannot be done here.
std::optional<std::vector<std::string>> as_user(User u, std::string& why) {
    const bool root = ::geteuid() == 0;
    if (u == User::root) {
        if (!root) why = "needs root";
        if (!root) return std::nullopt;
        return std::vector<std::string>{};
    }
    if (!root) return std::vector<std::string>{};
    std::string runuser = peercheck::find_executable("runuser");
    for (const char* p : {"/usr/sbin/runuser", "/sbin/runuser"}) {
        if (runuser.empty()) runuser = peercheck::find_executable(p);
    }
    if (runuser.empty() || ::getpwnam("nobody") == nullptr) {
        why = "needs runuser and the user nobody";
        return std::nullopt;
    }
    const std::vector<std::string> prefix{runuser, "-u", "nobody", "--"};
    const harness::Finished f = harness::run(runuser, {"-u", "nobody", "--", kPeercheck, "--help"});
    if (f.status != 0) {
        why = "nobody cannot run " + kPeercheck + " (is the build tree readable by all?)";
        return std::nullopt;
    }
    return prefix;
}

void give_to(User u, const std::string& path) {
    if (u == User::ordinary && ::geteuid() == 0) {
        ASSERT_EQ(::chown(path.c_str(), ::getpwnam("nobody")->pw_uid, static_cast<gid_t>(-1)), 0);
    }
}

// Test names for the rows of a table run once per user.
const auto name_and_user = [](const auto& p) {
    return std::string(std::get<0>(p.param).name) + user_name(std::get<1>(p.param));
};

// Processes whose command line holds marker, killed once found: a test leaves none behind
// either.
std::vector<pid_t> processes_marked(const std::string& marker) {
    std::vector<pid_t> found;
    for (const auto& e : fs::directory_iterator("/proc")) {
        const std::string name = e.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        const pid_t pid = std::stoi(name);
        std::ifstream f(e.path() / "cmdline", std::ios::binary);
        const std::string cmdline{std::istreambuf_iterator<char>(f), {}};
        if (pid != ::getpid() && cmdline.find(marker) != std::string::npos) found.push_back(pid);
    }
    for (const pid_t p : found) ::kill(p, SIGKILL);
    return found;
}

struct Timed {
    std::optional<int> status;
    std::string output;
    long peak_kib = 0;  // the largest resident set among the command and what it waited for
    double seconds = 0;
};

// Runs a command to its end (killed after limit), output and error to one file.
Timed run_timed(const std::vector<std::string>& argv, const std::string& out_file,
                std::chrono::seconds limit) {
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setpgid(0, 0);
        const int out = ::open(out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(out, STDOUT_FILENO);
        ::dup2(out, STDERR_FILENO);
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    Timed t;
    int status = 0;
    rusage used{};
    while (::wait4(pid, &status, WNOHANG, &used) == 0) {
        if (std::chrono::steady_clock::now() - start > limit) {
            ::kill(-pid, SIGKILL);
            ::wait4(pid, &status, 0, &used);
            break;
        }
        std::this_thread::sleep_for(10ms);
    }
    if (WIFEXITED(status)) t.status = WEXITSTATUS(status);
    t.peak_kib = used.ru_maxrss;
    t.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::ifstream f(out_file);
    t.output.assign(std::istreambuf_iterator<char>(f), {});
    return t;
}

// ---------------------------------------------------------------- misbehaving implementations

struct Misbehaviour {
    const char* name;
    const char* role;
    std::vector<std::string> cases;
    const char* mode;                   // of misbehaving-impl
    std::vector<std::string> observed;  // what every failed case says: one of these
    bool flood;                         // peercheck's memory and time are measured
};

void PrintTo(const Misbehaviour& m, std::ostream* os) { *os << m.name; }

class Misbehaving : public testing::TestWithParam<std::tuple<Misbehaviour, User>> {};

TEST_P(Misbehaving, FailsSayingWhyAndLeavesNothingBehind) {
    const auto& [m, user] = GetParam();
    std::string why;
    const auto prefix = as_user(user, why);
    if (!prefix) GTEST_SKIP() << why;
    harness::TempDir tmp, outside, logs;
    give_to(user, tmp.path());
    ::chmod(outside.path().c_str(), 0777);  // the stand-in could write here, were it not confined
    harness::Peer listener;                 // and send here
    const std::string marker =
        std::string("mark-") + m.name + user_name(user) + std::to_string(::getpid());
    std::vector<std::string> argv{"/usr/bin/env", "TMPDIR=" + tmp.path()};
    argv.insert(argv.end(), prefix->begin(), prefix->end());
    argv.insert(argv.end(), {kPeercheck, m.role, "--timeout", "2", "--peers", kBin, "--json",
                             tmp.file("report.json")});
    argv.insert(argv.end(), m.cases.begin(), m.cases.end());
    argv.insert(argv.end(),
                {"--", kStandIn, m.mode, marker, outside.path(), std::to_string(listener.port())});

    const Timed t = run_timed(argv, logs.file("output"), 60s);

    EXPECT_EQ(t.status, 1) << t.output;
    std::ifstream in(tmp.file("report.json"));
    ASSERT_TRUE(in) << t.output;
    const auto report = nlohmann::json::parse(in);
    EXPECT_EQ(report["cases"].size(), m.cases.size());
    for (const auto& c : report["cases"]) {
        EXPECT_EQ(c["status"], "fail") << c["id"];
        const std::string observed = c["observed"];
        EXPECT_TRUE(std::any_of(m.observed.begin(), m.observed.end(), [&](const std::string& o) {
            return observed.find(o) != std::string::npos;
        })) << observed;
    }
    for (const char* notice : {"no sandbox here", "cannot remove"}) {
        EXPECT_EQ(t.output.find(notice), std::string::npos) << t.output;
    }
    if (m.flood) {
        EXPECT_LT(t.peak_kib, kPeakKib);
        EXPECT_LT(t.seconds, 20) << "a flood must end its case early";
    }
    EXPECT_EQ(processes_marked(marker), std::vector<pid_t>{});
    EXPECT_EQ(std::distance(fs::directory_iterator(tmp.path()), {}), 1)  // report.json alone
        << "a scratch folder is left in " << tmp.path();
    EXPECT_TRUE(fs::is_empty(outside.path()));
    EXPECT_FALSE(listener.receive(100ms)) << "a datagram left the case's network";
    std::cout << "[ measured ] " << m.name << " as " << user_name(user) << ": " << t.seconds
              << " s, peak RSS " << t.peak_kib << " KiB\n";
}

const Misbehaviour kMisbehaviours[] = {
    {"Daemonises",
     "client",
     {"client/run/empty", "client/run/one-byte"},
     "daemonise",
     {"printed no result line"},
     false},
    // peercheck counts what it reads, and a script stops reading once the answer is judged: the
    // flood bound may not be reached then, and the case fails for its first answer instead.
    {"FloodsAsServer",
     "server",
     {"server/cut/ap-req-1"},
     "flood-server",
     {"flooded: ", "still running", "answered type "},
     true},
    // A relay reads all the time: through it a flood is always seen.
    {"FloodsAsClient", "client", {"client/run/empty"}, "flood-client", {"flooded: "}, true},
    {"WritesOutsideItsFolder",
     "client",
     {"client/run/empty"},
     "escape",
     {"printed no result line"},
     false},
    {"LeavesAReadOnlyFolder",
     "client",
     {"client/run/empty", "client/run/one-byte"},
     "read-only",
     {"printed no result line"},
     false},
};

INSTANTIATE_TEST_SUITE_P(Peercheck, Misbehaving,
                         testing::Combine(testing::ValuesIn(kMisbehaviours),
                                          testing::Values(User::root, User::ordinary)),
                         name_and_user);

// ---------------------------------------------------------------- the engine alone

// Runs body in a forked child as the user, after start_isolation as peercheck does, and returns
// what the body returns (empty: all well). The child may enter namespaces this process must not.
// nullopt with why where the sandbox or the user cannot be had.
std::optional<std::string> in_child(User u, const std::function<std::string()>& body,
                                    std::string& why) {
    if (u == User::root && ::geteuid() != 0) {
        why = "needs root";
        return std::nullopt;
    }
    int fds[2];
    if (::pipe(fds) != 0) return std::nullopt;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        std::string said;
        const passwd* nobody = ::getpwnam("nobody");
        if (u == User::ordinary && ::geteuid() == 0 &&
            (nobody == nullptr || ::setgroups(0, nullptr) != 0 || ::setgid(nobody->pw_gid) != 0 ||
             ::setuid(nobody->pw_uid) != 0)) {
            said = "skip:cannot become nobody";
        } else if (::prctl(PR_SET_DUMPABLE, 1) != 0) {
            // A changed user makes a process undumpable, its /proc files root's: an exec, as
            // runuser's, would have undone that.
            said = "skip:cannot make the child dumpable";
        } else if (::access(kStandIn.c_str(), X_OK) != 0) {
            said = "skip:" + kStandIn + " cannot be run as this user";
        } else if (const std::string notice = peercheck::start_isolation(true); !notice.empty()) {
            said = "skip:" + notice;
        } else {
            said = body();
        }
        [[maybe_unused]] const ssize_t n = ::write(fds[1], said.data(), said.size());
        ::_exit(0);
    }
    ::close(fds[1]);
    std::string said;
    char buf[512];
    for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;) said.append(buf, n);
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (said.starts_with("skip:")) {
        why = said.substr(5);
        return std::nullopt;
    }
    if (!WIFEXITED(status)) return "the child died: status " + std::to_string(status);
    return said;
}

peercheck::Limits small_limits() {
    peercheck::Limits l;
    l.cpu = std::chrono::seconds{1};
    l.memory = 64u << 20;
    l.processes = 16;
    l.files = 32;
    l.file_size = 1u << 20;
    return l;
}

// A command run sandboxed with small limits in a network of its own; describes its end.
std::string run_sandboxed(const std::vector<std::string>& argv, peercheck::LimitReached* limit) {
    const peercheck::CaseNetwork net(std::nullopt);
    if (!net.own()) return "no network of its own";
    const peercheck::Scratch scratch;
    peercheck::Process p(argv, scratch, "program", {true, small_limits()});
    if (!p.wait_exit(peercheck::Millis{20000})) return "still running";
    if (limit != nullptr) *limit = p.limit_reached();
    return p.describe_end();
}

struct Limit {
    const char* name;
    std::vector<std::string> argv;
    peercheck::LimitReached limit;
    const char* end;  // describe_end
};

void PrintTo(const Limit& l, std::ostream* os) { *os << l.name; }

class SandboxLimit : public testing::TestWithParam<std::tuple<Limit, User>> {};

TEST_P(SandboxLimit, EndsTheProgramNamingTheLimit) {
    const auto& [l, user] = GetParam();
    std::string why;
    // The limit's number, then the end described.
    const auto said = in_child(
        user,
        [&] {
            peercheck::LimitReached r = peercheck::LimitReached::none;
            const std::string end = run_sandboxed(l.argv, &r);
            return std::to_string(static_cast<int>(r)) + " " + end;
        },
        why);
    if (!said) GTEST_SKIP() << why;
    EXPECT_EQ(said->substr(said->find(' ') + 1), l.end);
    EXPECT_EQ(static_cast<peercheck::LimitReached>(std::stoi(*said)), l.limit);
}

using peercheck::LimitReached;
const Limit kLimits[] = {
    {"Cpu",
     {"/bin/sh", "-c", "while :; do :; done"},
     LimitReached::cpu,
     "killed by SIGXCPU: it used more than 1 s of CPU"},
    {"Memory",
     {kStandIn, "grow", "m", "-", "0"},
     LimitReached::memory,
     "killed by SIGKILL: its processes used more than 64 MiB of memory"},
    {"Processes",
     {kStandIn, "fork-until-refused", "m", "-", "0"},
     LimitReached::processes,
     "killed by SIGKILL: it reached the limit of 16 processes and threads"},
    {"OpenFiles",
     {kStandIn, "open-files", "m", "-", "0"},
     LimitReached::files,
     "killed by SIGKILL: one of its processes reached the limit of 32 open files"},
    {"FileSize",
     {"/bin/sh", "-c", "exec head -c 2000000 /dev/zero > big"},
     LimitReached::none,
     "killed by SIGXFSZ (it wrote more than 1 MiB to a file or output)"},
};

INSTANTIATE_TEST_SUITE_P(Peercheck, SandboxLimit,
                         testing::Combine(testing::ValuesIn(kLimits),
                                          testing::Values(User::root, User::ordinary)),
                         name_and_user);

struct Sight {
    const char* name;
    std::string script;  // run by /bin/sh in the sandbox
    const char* end;
};

void PrintTo(const Sight& s, std::ostream* os) { *os << s.name; }

class Sandboxed : public testing::TestWithParam<std::tuple<Sight, User>> {};

TEST_P(Sandboxed, SeesOnlyItsOwnCase) {
    const auto& [s, user] = GetParam();
    std::string why;
    const auto said = in_child(
        user,
        [&] {
            return run_sandboxed({"/bin/sh", "-c", s.script}, nullptr);
        },
        why);
    if (!said) GTEST_SKIP() << why;
    EXPECT_EQ(*said, s.end);
}

const Sight kSights[] = {
    // Under an init of ours, a program that kills itself with a signal still dies of it.
    {"DiesOfItsOwnSignal", "kill -SEGV $$", "killed by SIGSEGV"},
    {"ExitStatusPassesThrough", "exit 3", "exited with status 3"},
    {"WritesOnlyItsFolder",
     "touch ./mine || exit 1; for d in /tmp /var/tmp \"$HOME\" /dev/shm; do "
     "touch \"$d/escaped-$$\" 2>/dev/null && exit 2; done; exit 0",
     "exited with status 0"},
    // The host has many more; here the init, the shell and its pipeline.
    {"SeesOnlyItsProcesses", "test \"$(ls /proc | grep -c '^[0-9]')\" -lt 10",
     "exited with status 0"},
    // 40 MiB filled, then shared by five processes: within 64 MiB, once counted once.
    {"SharedMemoryCountsOnce", kStandIn + " share m - 0", "exited with status 0"},
    {"HasLoopbackOnly", "tail -n +3 /proc/net/dev | grep -qv '^ *lo:' && exit 1; exit 0",
     "exited with status 0"},
};

INSTANTIATE_TEST_SUITE_P(Peercheck, Sandboxed,
                         testing::Combine(testing::ValuesIn(kSights),
                                          testing::Values(User::root, User::ordinary)),
                         name_and_user);

// The init is a copy of peercheck: however much peercheck holds, only the program's memory
// counts against its limit.
TEST(PeercheckSandbox, CountsOnlyTheProgramsMemory) {
    std::string why;
    const auto said = in_child(
        User::root,
        [] {
            std::vector<char> held(small_limits().memory * 3 / 2, 1);
            return run_sandboxed({"/bin/sh", "-c", "sleep 0.2"}, nullptr) +
                   (held.back() == 1 ? "" : "?");
        },
        why);
    if (!said) GTEST_SKIP() << why;
    EXPECT_EQ(*said, "exited with status 0");
}

// ---------------------------------------------------------------- the log of a flood

sockaddr_in any_address() { return peercheck::loopback(9); }

void add(peercheck::Log& log, const std::string& from, const std::string& to, std::size_t size) {
    const std::vector<std::uint8_t> bytes(size, 7);
    log.add(from, to, bytes, any_address(), any_address());
}

TEST(PeercheckLog, KeepsTheFirstAndLastOfEachDirectionAndCountsTheRest) {
    using peercheck::Log;
    Log log(peercheck::Clock::now());
    add(log, "implementation", "gatekeep", 10);  // 1 kept
    // Fills the first part; each direction then keeps its last ones only.
    for (std::size_t i = 1; i < Log::kKeepFirst; ++i) add(log, "implementation", "server", 100);
    const std::size_t extra = 3 * Log::kKeepLast;
    for (std::size_t i = 0; i < extra; ++i) {
        add(log, "server", "implementation", 20);
        add(log, "implementation", "server", 100);
    }
    const auto [exchange, omitted] = log.contents();
    EXPECT_EQ(log.total(), Log::kKeepFirst + 2 * extra);
    EXPECT_EQ(exchange.size(), Log::kKeepFirst + 2 * Log::kKeepLast);
    ASSERT_EQ(omitted.size(), 2u);
    for (const auto& o : omitted) {
        EXPECT_EQ(o.count, extra - Log::kKeepLast) << o.from;
        EXPECT_EQ(o.bytes, o.count * (o.from == "server" ? 20 : 100));
        EXPECT_LE(o.first_at, o.last_at);
        // Right before the first datagram its direction still keeps.
        ASSERT_LT(o.before, exchange.size());
        EXPECT_EQ(exchange[o.before].from, o.from);
        std::size_t after = 0;
        for (std::size_t i = o.before; i < exchange.size(); ++i) {
            after += exchange[i].from == o.from && exchange[i].to == o.to;
        }
        EXPECT_EQ(after, Log::kKeepLast);
    }
    EXPECT_EQ(log.count_from("server"), extra);
    EXPECT_FALSE(log.flooded());
}

struct Flooding {
    const char* name;
    std::size_t size, count;
    bool flooded;
};

void PrintTo(const Flooding& f, std::ostream* os) { *os << f.name; }

class PeercheckFlood : public testing::TestWithParam<Flooding> {};

TEST_P(PeercheckFlood, IsNamedOnceOneSenderPassesTheBound) {
    using peercheck::Log;
    Log log(peercheck::Clock::now());
    add(log, "peercheck", "implementation", 65507);
    for (std::size_t i = 0; i < GetParam().count; ++i)
        add(log, "implementation", "gatekeep", GetParam().size);
    EXPECT_EQ(log.flooded(), GetParam().flooded);
    const auto f = log.flood();
    ASSERT_EQ(f.has_value(), GetParam().flooded);
    if (!f) return;
    EXPECT_EQ(f->from, "implementation");
    EXPECT_EQ(f->to, "gatekeep");
    EXPECT_EQ(peercheck::describe(*f).substr(0, 9), "flooded: ");
}

INSTANTIATE_TEST_SUITE_P(
    Peercheck, PeercheckFlood,
    testing::Values(Flooding{"LargestTransfer", 1000, 3400, false},
                    Flooding{"AtTheCountBound", 10, peercheck::Log::kFloodDatagrams, false},
                    Flooding{"PastTheCountBound", 10, peercheck::Log::kFloodDatagrams + 1, true},
                    Flooding{"PastTheByteBound", 65507, (peercheck::Log::kFloodBytes >> 16) + 1,
                             true}),
    [](const auto& p) { return std::string(p.param.name); });

// ---------------------------------------------------------------- scratch folders

TEST(PeercheckScratch, NamesWhatCannotBeRemoved) {
    std::string why;
    const auto said = in_child(
        User::root,
        [] {
            if (::unshare(CLONE_NEWNS) != 0 ||
                ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
                return std::string("skip:no mount namespace");
            }
            std::string mounted;
            {
                const peercheck::Scratch s;
                mounted = s.file("busy");
                ::mkdir(mounted.c_str(), 0700);
                if (::mount("none", mounted.c_str(), "tmpfs", 0, nullptr) != 0) {
                    return std::string("skip:no tmpfs");
                }
                testing::internal::CaptureStderr();
            }
            const std::string err = testing::internal::GetCapturedStderr();
            ::umount(mounted.c_str());
            fs::remove_all(fs::path(mounted).parent_path());
            const std::string want = "peercheck: cannot remove " + mounted + ": ";
            return err.starts_with(want) && err.find('\n') == err.size() - 1 ? std::string{} : err;
        },
        why);
    if (!said) GTEST_SKIP() << why;
    EXPECT_EQ(*said, "");
}

}  // namespace
