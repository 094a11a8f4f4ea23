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
    harness::TempDir dir;
    std::vector<std::string> args{role,    "-j",   "2",  "--timeout",           timeout, "--peers",
                                  kBin,    "--json", dir.file("report.json")};
    args.insert(args.end(), selection.begin(), selection.end());
    args.insert(args.end(), {"--", kStandin, role, variant});
    const harness::Finished f = harness::run(kBin + "/peercheck", args, 280s);
    Report r{f.status, f.output};
    std::ifstream in(dir.file("report.json"));
    if (in) r.cases = nlohmann::json::parse(in)["cases"];
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
    std::vector<std::string> caught_by;  // the cases aimed at the fault: each must fail
    const char* cause = nullptr;         // part of the likely cause one of them names
    bool breaks_every_run = false;       // the role's plain run fails too
};

void PrintTo(const Fault& f, std::ostream* os) { *os << f.role << "/" << f.variant; }

class FaultyStandin : public testing::TestWithParam<Fault> {};

TEST_P(FaultyStandin, IsCaughtByTheCasesAimedAtItsFault) {
    const Fault& f = GetParam();
    const std::string baseline(peercheck::baseline_of(*peercheck::role_from_name(f.role)));
    std::vector<std::string> selection = f.caught_by;
    selection.push_back(baseline);
    const Report r = run(f.role, f.variant, selection);
    const auto failed = with_status(r, "fail");
    for (const auto& id : f.caught_by) EXPECT_TRUE(failed.contains(id)) << id << "\n" << r.output;
    if (!f.breaks_every_run) EXPECT_FALSE(failed.contains(baseline)) << r.output;
    if (f.cause != nullptr) {
        bool named = false;
        for (const auto& c : r.cases) {
            named = named || c.value("likely_cause", "").find(f.cause) != std::string::npos;
        }
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
