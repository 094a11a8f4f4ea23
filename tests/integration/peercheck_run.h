#pragma once
// peercheck run as its tests run it: two cases at a time, our programs from the build tree
// (bin, where peercheck is too), its JSON report read back.

#include <chrono>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "harness.h"

namespace peercheck_run {

struct Run {
    std::optional<int> status;
    std::string output;
    nlohmann::json report;  // null when peercheck wrote none
};

inline Run run(const std::string& bin, const std::string& role,
               const std::vector<std::string>& selection, const std::vector<std::string>& command,
               const std::string& timeout) {
    harness::TempDir dir;
    std::vector<std::string> args{
        role, "-j", "2", "--timeout", timeout, "--peers", bin, "--json", dir.file("report.json")};
    args.insert(args.end(), selection.begin(), selection.end());
    args.push_back("--");
    args.insert(args.end(), command.begin(), command.end());
    using namespace std::chrono_literals;
    const harness::Finished f = harness::run(bin + "/peercheck", args, 280s);
    Run r{f.status, f.output, nullptr};
    std::ifstream in(dir.file("report.json"));
    if (in) r.report = nlohmann::json::parse(in);
    return r;
}

}  // namespace peercheck_run
