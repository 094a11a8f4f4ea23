// The programs peercheck starts. A program that ended by itself stays a zombie, holding its pid
// and so its process group's number, until the Process lets it go; otherwise the group kill at the
// end of a case could reach a stranger that was given that pid in the meantime. And our programs
// are found in a --peers folder named relative to where peercheck was started, although every
// process runs in its case's scratch folder.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
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

}  // namespace
