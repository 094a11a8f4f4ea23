#include "report.h"

namespace peercheck::report {

std::vector<Line> decode_exchange(Protocol, const Keys&, const std::vector<Datagram>& exchange) {
    std::vector<Line> lines;
    for (const auto& d : exchange) {
        lines.push_back(Line{d.at, d.from, d.to, d.bytes.size(), 1, "datagram", {}});
    }
    return lines;
}

std::string case_line(const CaseResult& c) { return c.id + "  " + c.title; }
std::string case_details(const CaseResult& c) { return c.expected + "\n" + c.observed + "\n"; }

std::string summary_line(const RunReport& run) {
    std::size_t pass = 0, fail = 0, info = 0;
    for (const auto& c : run.cases) {
        pass += c.verdict == Verdict::pass;
        fail += c.verdict == Verdict::fail;
        info += c.verdict == Verdict::info;
    }
    return std::to_string(pass) + " passed, " + std::to_string(fail) + " failed, " +
           std::to_string(info) + " informational";
}

std::string junit(const RunReport&) { return "<?xml version=\"1.0\"?>\n<testsuites/>\n"; }
std::string json(const RunReport&) { return "{}\n"; }
std::string html(const RunReport&) { return "<!DOCTYPE html>\n<html></html>\n"; }
std::string matrix_markdown(const MatrixReport&) { return ""; }
std::string matrix_html(const MatrixReport&) { return "<!DOCTYPE html>\n<html></html>\n"; }
std::string matrix_json(const MatrixReport&) { return "{}\n"; }

}  // namespace peercheck::report
