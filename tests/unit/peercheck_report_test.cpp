#include <gtest/gtest.h>

#include "report.h"

namespace {

using namespace peercheck;

TEST(SummaryLine, CountsEachVerdict) {
    RunReport run;
    run.cases.resize(4);
    run.cases[1].verdict = Verdict::fail;
    run.cases[2].verdict = Verdict::info;
    run.cases[3].verdict = Verdict::skipped;
    EXPECT_EQ(report::summary_line(run), "1 passed, 1 failed, 1 informational");
}

}  // namespace
