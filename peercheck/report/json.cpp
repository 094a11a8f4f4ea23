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
            {"details", std::move(details)}};
}

json case_json(const CaseResult& c) {
    json commands = json::array();
    for (const std::string& command : c.commands) commands.push_back(clean(command));
    json exchange = json::array();
    for (const Line& l : decode_exchange(protocol_of(c.role), c.keys, c.exchange, c.started)) {
        exchange.push_back(line_json(l));
    }
    return {{"id", clean(c.id)},
            {"title", clean(c.title)},
            {"role", role_name(c.role)},
            {"status", verdict_name(c.verdict)},
            {"expected", clean(c.expected)},
            {"observed", clean(c.observed)},
            {"seconds", c.seconds},
            {"started", c.started == 0 ? json(nullptr) : json(c.started)},
            {"commands", std::move(commands)},
            {"stdout", clean(c.impl_stdout)},
            {"stderr", clean(c.impl_stderr)},
            {"keys",
             {{"client", key_json(c.keys.client_key)}, {"server", key_json(c.keys.server_key)}}},
            {"datagrams", c.exchange.size()},
            {"exchange", std::move(exchange)}};
}

json counts_json(const Counts& n) {
    return {{"passed", n.passed},
            {"failed", n.failed},
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
                                {"seconds", run.seconds},
                                {"summary", counts_json(count(run))},
                                {"cases", std::move(cases)}};
    return doc.dump(2) + "\n";
}

std::string matrix_json(const MatrixReport& m) {
    nlohmann::json implementations = nlohmann::json::array();
    for (const RunReport& run : m.runs) {
        nlohmann::json results = nlohmann::json::object();
        for (const CaseResult& c : run.cases) results[clean(c.id)] = verdict_name(c.verdict);
        implementations.push_back({{"name", clean(run.implementation)},
                                   {"role", role_name(run.role)},
                                   {"command", clean(run.command)},
                                   {"seconds", run.seconds},
                                   {"summary", counts_json(count(run))},
                                   {"results", std::move(results)}});
    }
    nlohmann::json cases = nlohmann::json::array();
    for (const auto& [id, title, role] : matrix_cases(m)) {
        cases.push_back({{"id", clean(id)}, {"title", clean(title)}, {"role", role_name(role)}});
    }
    return nlohmann::json{{"implementations", std::move(implementations)},
                          {"cases", std::move(cases)}}
               .dump(2) +
           "\n";
}

}  // namespace peercheck::report
