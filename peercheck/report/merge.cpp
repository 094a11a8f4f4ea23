// A matrix run as parts on many machines (a job array) comes back together here: each part's
// JSON is read into the records it was written from, and the parts are joined in the order of
// the matrix file, so the merged files are those one run of the whole file would have written.

#include <fmt/format.h>

#include <algorithm>
#include <map>
#include <nlohmann/json.hpp>
#include <set>

#include "report.h"

namespace peercheck::report {
namespace {

using Json = nlohmann::json;

Role role_of(const Json& j) {
    const auto role = role_from_name(j.get<std::string>());
    if (!role) throw std::invalid_argument("unknown role \"" + j.get<std::string>() + "\"");
    return *role;
}

CaseResult result_of(const std::string& id, const Json& j, Role role) {
    CaseResult c;
    c.id = id;
    c.role = role;
    const auto verdict = verdict_from_name(j.at("status").get<std::string>());
    if (!verdict) throw std::invalid_argument("unknown status of \"" + id + "\"");
    c.verdict = *verdict;
    c.expected = j.at("expected").get<std::string>();
    c.observed = j.at("observed").get<std::string>();
    c.likely_cause = j.at("likely_cause").get<std::string>();
    c.note = j.at("note").get<std::string>();
    c.runs = j.at("runs").get<std::size_t>();
    c.failed_runs = j.at("failed_runs").get<std::size_t>();
    return c;
}

struct CaseKey {
    Role role;
    std::string id;
    auto operator<=>(const CaseKey&) const = default;
};

// The cases in the order the matrix lists them, with their titles.
std::map<CaseKey, std::pair<std::size_t, std::string>> case_order(const Json& cases) {
    std::map<CaseKey, std::pair<std::size_t, std::string>> order;
    for (const Json& c : cases) {
        order.emplace(CaseKey{role_of(c.at("role")), c.at("id").get<std::string>()},
                      std::pair{order.size(), c.at("title").get<std::string>()});
    }
    return order;
}

RunReport run_of(const Json& j,
                 const std::map<CaseKey, std::pair<std::size_t, std::string>>& order) {
    RunReport run;
    run.implementation = j.at("name").get<std::string>();
    run.role = role_of(j.at("role"));
    run.command = j.at("command").get<std::string>();
    run.entry = j.at("entry").get<std::size_t>();
    run.setup_error = j.at("setup_error").get<std::string>();
    run.seconds = j.at("seconds").get<double>();
    for (const auto& [id, result] : j.at("results").items()) {
        run.cases.push_back(result_of(id, result, run.role));
    }
    // The results are keyed by id; the cases list keeps the order they ran in.
    const auto place = [&](const CaseResult& c) {
        const auto at = order.find({run.role, c.id});
        return at == order.end() ? order.size() : at->second.first;
    };
    std::ranges::stable_sort(run.cases, {}, place);
    for (CaseResult& c : run.cases) {
        if (const auto at = order.find({run.role, c.id}); at != order.end()) {
            c.title = at->second.second;
        }
    }
    return run;
}

}  // namespace

unsigned shard_of(std::string_view name, unsigned count) noexcept {
    // 64-bit FNV-1a: the same on every machine and compiler, unlike std::hash.
    std::uint64_t h = 0xcbf29ce484222325u;
    for (const char ch : name) {
        h ^= static_cast<unsigned char>(ch);
        h *= 0x100000001b3u;
    }
    return count == 0 ? 1 : static_cast<unsigned>(h % count) + 1;
}

std::optional<MatrixReport> matrix_from_json(std::string_view text, std::string& error) {
    try {
        const Json doc = Json::parse(text);
        MatrixReport m;
        const auto order = case_order(doc.at("cases"));
        for (const Json& j : doc.at("implementations")) m.runs.push_back(run_of(j, order));
        if (doc.contains("shard")) {
            m.shard.index = doc["shard"].at("index").get<unsigned>();
            m.shard.count = doc["shard"].at("count").get<unsigned>();
            if (m.shard.index < 1 || m.shard.index > m.shard.count) {
                throw std::invalid_argument(
                    fmt::format("part {} of {} is no part", m.shard.index, m.shard.count));
            }
        }
        return m;
    } catch (const std::exception& e) {
        error = fmt::format("not a matrix written by peercheck matrix --json ({})", e.what());
        return std::nullopt;
    }
}

std::optional<MatrixReport> merge_matrices(std::vector<MatrixReport> parts,
                                           const std::vector<std::string>& names,
                                           std::string& error) {
    if (parts.empty()) {
        error = "no part to merge";
        return std::nullopt;
    }
    const auto name = [&](std::size_t i) { return i < names.size() ? names[i] : "a part"; };
    const unsigned count = parts.front().shard.count;
    std::map<unsigned, std::size_t> seen;
    std::set<std::string> implementations;
    MatrixReport merged;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const MatrixReport::Shard s = parts[i].shard;
        if (s.count != count) {
            error = fmt::format("{} is part {} of {}, but {} is part {} of {}", name(i), s.index,
                                s.count, name(0), parts.front().shard.index, count);
            return std::nullopt;
        }
        if (const auto [at, fresh] = seen.emplace(s.index, i); !fresh) {
            error = fmt::format("{} and {} are both part {} of {}", name(at->second), name(i),
                                s.index, count);
            return std::nullopt;
        }
        for (RunReport& run : parts[i].runs) {
            if (shard_of(run.implementation, count) != s.index) {
                error = fmt::format("{}: \"{}\" belongs to part {} of {}, not to part {}", name(i),
                                    run.implementation, shard_of(run.implementation, count), count,
                                    s.index);
                return std::nullopt;
            }
            if (!implementations.insert(run.implementation).second) {
                error =
                    fmt::format("{}: \"{}\" is in more than one part", name(i), run.implementation);
                return std::nullopt;
            }
            merged.runs.push_back(std::move(run));
        }
    }
    for (unsigned k = 1; k <= count; ++k) {
        if (!seen.contains(k)) {
            error = fmt::format("part {} of {} is missing", k, count);
            return std::nullopt;
        }
    }
    std::ranges::stable_sort(merged.runs, {}, &RunReport::entry);
    return merged;
}

}  // namespace peercheck::report
