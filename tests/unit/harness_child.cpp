// The tests that harness_test runs one at a time to watch the harness keep or remove what they
// saw; built apart so that no ordinary run meets the one that fails on purpose.

#include <gtest/gtest.h>

#include <cstdio>

#include "harness.h"

namespace {

void see_something() {
    harness::TempDir dir;
    dir.write("capture.bin", harness::bytes({1, 2, 3}));
    std::printf("dir: %s\n", dir.path().c_str());
    harness::Program echo("/bin/echo", {"seen"});
    ASSERT_EQ(echo.wait_exit(), 0);
}

TEST(HarnessChild, Passes) { see_something(); }

TEST(HarnessChild, Fails) {
    see_something();
    ADD_FAILURE() << "failed on purpose";
}

}  // namespace
