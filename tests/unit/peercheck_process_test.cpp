// The programs peercheck starts. A program that ended by itself stays a zombie, holding its pid
// and so its process group's number, until the Process lets it go; otherwise the group kill at the
// end of a case could reach a stranger that was given that pid in the meantime. And our programs
// are found in a --peers folder named relative to where peercheck was started, although every
// process runs in its case's scratch folder.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <string>

#include "engine.h"
#include "harness.h"

namespace {

using namespace std::chrono_literals;

// The state letter in /proc/<pid>/stat ('Z' for a zombie); nullopt once the pid is free.
std::optional<char> state_of(const std::string& pid) {
    std::ifstream stat("/proc/" + pid + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return std::nullopt;
    return line.at(line.rfind(')') + 2);
}

struct Ending {
    const char* name;
    const char* script;  // prints its pid first
    std::optional<int> exit_code, signal;
};

void PrintTo(const Ending& e, std::ostream* os) { *os << e.name; }

class EndedProgram : public testing::TestWithParam<Ending> {};

TEST_P(EndedProgram, KeepsItsPidUntilReleased) {
    const peercheck::Scratch scratch;
    std::string pid;
    {
        peercheck::Process p({"/bin/sh", "-c", GetParam().script}, scratch, "impl");
        ASSERT_TRUE(p.wait_exit(5s));
        EXPECT_EQ(p.exit_code(), GetParam().exit_code);
        EXPECT_EQ(p.signal(), GetParam().signal);
        pid = p.out().substr(0, p.out().find('\n'));
        ASSERT_FALSE(pid.empty());
        EXPECT_EQ(state_of(pid), 'Z') << "pid " << pid << " was given up before the group kill";
    }
    EXPECT_EQ(state_of(pid), std::nullopt) << "pid " << pid << " is never reaped";
}

INSTANTIATE_TEST_SUITE_P(Peercheck, EndedProgram,
                         testing::Values(Ending{"Exits", "echo $$; exit 3", 3, std::nullopt},
                                         Ending{"IsKilled", "echo $$; kill -TERM $$", std::nullopt,
                                                15}),
                         [](const auto& p) { return std::string(p.param.name); });

TEST(PeercheckPeers, ARelativeFolderIsTheCallersFolder) {
    const std::filesystem::path bin(BIN_DIR);
    harness::Program p("/bin/sh", {"-c", "cd '" + bin.parent_path().string() + "' && exec '" +
                                             (bin / "peercheck").string() + "' client --peers " +
                                             bin.filename().string() + " client/run/one-byte -- '" +
                                             (bin / "client").string() + "'"});
    EXPECT_EQ(p.wait_exit(30s), 0) << p.output();
}

// Two processes choosing ports at the same moment never choose the same one: otherwise the
// second server fails to bind while its test talks to the first test's server. 300 ports each
// from about 22000 would meet about four times if chosen independently.

TEST(PeercheckPorts, TwoProcessesChoosingAtOnceNeverShareAPort) {
    constexpr int kPorts = 300;
    int ports_pipe[2], done_pipe[2];
    ASSERT_EQ(::pipe(ports_pipe), 0);
    ASSERT_EQ(::pipe(done_pipe), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Holds its ports until the parent has chosen its own.
        for (int i = 0; i < kPorts; ++i) {
            const std::uint16_t p = peercheck::free_udp_port();
            if (::write(ports_pipe[1], &p, sizeof p) != sizeof p) ::_exit(1);
        }
        char c;
        [[maybe_unused]] const ssize_t n = ::read(done_pipe[0], &c, 1);
        ::_exit(0);
    }
    std::set<std::uint16_t> theirs, shared;
    for (int i = 0; i < kPorts; ++i) {
        std::uint16_t p = 0;
        ASSERT_EQ(::read(ports_pipe[0], &p, sizeof p), static_cast<ssize_t>(sizeof p));
        theirs.insert(p);
    }
    for (int i = 0; i < kPorts; ++i) {
        const std::uint16_t p = peercheck::free_udp_port();
        if (theirs.count(p) != 0) shared.insert(p);
    }
    [[maybe_unused]] const ssize_t n = ::write(done_pipe[1], "x", 1);
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(theirs.size(), static_cast<std::size_t>(kPorts));
    EXPECT_TRUE(shared.empty()) << shared.size() << " ports chosen by both";
    for (const int fd : {ports_pipe[0], ports_pipe[1], done_pipe[0], done_pipe[1]}) ::close(fd);
}

}  // namespace
