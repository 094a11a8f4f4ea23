// The harness keeps what a failed test saw: each case runs one test of harness_child (a folder
// made, a program started, then a pass or a failure) and reads what it printed and left behind.

#include "harness.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

namespace {

namespace fs = std::filesystem;

std::string read_text(const std::string& path) {
    std::ifstream f(path);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

struct Outcome {
    const char* test;
    bool kept;
};

void PrintTo(const Outcome& o, std::ostream* os) { *os << o.test; }

class KeptWhenFailed : public testing::TestWithParam<Outcome> {};

TEST_P(KeptWhenFailed, FoldersAndProgramOutputs) {
    const Outcome o = GetParam();
    const harness::Finished f =
        harness::run(HARNESS_CHILD_BIN, {std::string("--gtest_filter=HarnessChild.") + o.test});
    ASSERT_EQ(f.status, o.kept ? 1 : 0) << f.output;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(f.output, m, std::regex("dir: (\\S+)"))) << f.output;
    const std::string dir = m[1];
    EXPECT_EQ(fs::exists(dir + "/capture.bin"), o.kept) << f.output;
    EXPECT_EQ(f.output.find("kept: " + dir + "\n") != std::string::npos, o.kept) << f.output;
    const bool has_programs =
        std::regex_search(f.output, m, std::regex("kept: (\\S+)/programs.txt"));
    EXPECT_EQ(has_programs, o.kept) << f.output;
    if (has_programs) {
        EXPECT_EQ(read_text(m[1].str() + "/programs.txt"),
                  "$ /bin/echo seen\nseen\n[exited with status 0]\n\n");
        fs::remove_all(m[1].str());
    }
    fs::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(Harness, KeptWhenFailed,
                         testing::Values(Outcome{"Passes", false}, Outcome{"Fails", true}),
                         [](const auto& p) { return std::string(p.param.test); });

}  // namespace
