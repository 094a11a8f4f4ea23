// The JSON reports: every case with its verdict, what was expected and observed, its time and
// its decoded exchange; and the matrix. Text from the implementation is cleaned first, so the
// writer never meets invalid UTF-8.

#include <nlohmann/json.hpp>

#include "report.h"
#include "util.h"

namespace peercheck::report {
namespace {

using nlohmann::json;

json key_json(const std::optional<std::array<std::uint8_t, 8>>& key) {
    return key ? json(hex_bytes(*key)) : json(nullptr);
}

json line_json(const Line& l) {
    json details = json::array();
    for (const std::string& d : l.details) details.push_back(clean(d));
    return {{"at", l.at},
            {"from", clean(l.from)},
            {"to", clean(l.to)},
            {"size", l.size},
            {"count", l.count},
            {"summary", clean(l.summary)},
            {"details", std::move(details)},
            {"left_out", l.left_out}};
}

json omitted_json(const Omitted& o) {
    return {{"before", o.before},  {"from", clean(o.from)}, {"to", clean(o.to)},
            {"count", o.count},    {"bytes", o.bytes},      {"first_at", o.first_at},
            {"last_at", o.last_at}};
}

json case_json(const CaseResult& c) {
    json commands = json::array();
    for (const std::string& command : c.commands) commands.push_back(clean(command));
    json exchange = json::array();
    for (const Line& l : decode_case(c)) exchange.push_back(line_json(l));
    json omitted = json::array();
    for (const Omitted& o : c.omitted) omitted.push_back(omitted_json(o));
    return {{"id", clean(c.id)},
            {"title", clean(c.title)},
            {"role", role_name(c.role)},
            {"status", verdict_name(c.verdict)},
            {"expected", clean(c.expected)},
            {"observed", clean(c.observed)},
            {"likely_cause", clean(c.likely_cause)},
            {"note", clean(c.note)},
            {"runs", c.runs},
            {"failed_runs", c.failed_runs},
            {"seconds", hundredths(c.seconds)},
            {"started", c.started == 0 ? json(nullptr) : json(c.started)},
            {"commands", std::move(commands)},
            {"stdout", clean(c.impl_stdout)},
            {"stderr", clean(c.impl_stderr)},
            {"keys",
             {{"client", key_json(c.keys.client_key)}, {"server", key_json(c.keys.server_key)}}},
            {"datagrams", c.exchange.size()},
            {"omitted", std::move(omitted)},
            {"exchange", std::move(exchange)}};
}

json counts_json(const Counts& n) {
    return {{"passed", n.passed},
            {"failed", n.failed},
            {"flaky", n.flaky},
            {"informational", n.informational},
            {"skipped", n.skipped}};
}

}  // namespace

std::string json(const RunReport& run) {
    nlohmann::json cases = nlohmann::json::array();
    for (const CaseResult& c : run.cases) cases.push_back(case_json(c));
    const nlohmann::json doc = {{"implementation", clean(run.implementation)},
                                {"role", role_name(run.role)},
                                {"command", clean(run.command)},
                                {"seconds", hundredths(run.seconds)},
                                {"flaky_allowed", run.flaky_allowed},
                                {"summary", counts_json(count(run))},
                                {"cases", std::move(cases)}};
    return doc.dump(2) + "\n";
}

// Everything the Markdown and HTML matrices show, so that parts of a matrix run on other
// machines can be merged into the very files one run would have written (see merge.cpp).
std::string matrix_json(const MatrixReport& m) {
    nlohmann::json implementations = nlohmann::json::array();
    for (const RunReport& run : m.runs) {
        nlohmann::json results = nlohmann::json::object();
        for (const CaseResult& c : run.cases) {
            results[clean(c.id)] = {{"status", verdict_name(c.verdict)},
                                    {"expected", clean(c.expected)},
                                    {"observed", clean(c.observed)},
                                    {"likely_cause", clean(c.likely_cause)},
                                    {"note", clean(c.note)},
                                    {"runs", c.runs},
                                    {"failed_runs", c.failed_runs}};
        }
        implementations.push_back({{"name", clean(run.implementation)},
                                   {"role", role_name(run.role)},
                                   {"command", clean(run.command)},
                                   {"entry", run.entry},
                                   {"setup_error", clean(run.setup_error)},
                                   {"seconds", hundredths(run.seconds)},
                                   {"summary", counts_json(count(run))},
                                   {"results", std::move(results)}});
    }
    nlohmann::json cases = nlohmann::json::array();
    for (const auto& [id, title, role] : matrix_cases(m)) {
        cases.push_back({{"id", clean(id)}, {"title", clean(title)}, {"role", role_name(role)}});
    }
    nlohmann::json doc{{"implementations", std::move(implementations)},
                       {"cases", std::move(cases)}};
    if (m.shard.count > 1) doc["shard"] = {{"index", m.shard.index}, {"count", m.shard.count}};
    return doc.dump(2) + "\n";
}

}  // namespace peercheck::report
