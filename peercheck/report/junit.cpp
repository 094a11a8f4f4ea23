// The JUnit XML report, the format CI systems read: one testsuite for the run, one testcase a
// case. Informational cases pass (they never fail a run) and say what they saw in system-out;
// a flaky case is a failure of type "flaky" unless flaky cases are allowed.

#include <fmt/format.h>

#include <pugixml.hpp>
#include <sstream>

#include "report.h"
#include "util.h"

namespace peercheck::report {
namespace {

void attribute(pugi::xml_node node, const char* name, std::string_view value) {
    node.append_attribute(name).set_value(clean(value).c_str());
}

void attribute(pugi::xml_node node, const char* name, std::size_t value) {
    node.append_attribute(name).set_value(std::to_string(value).c_str());
}

void time_attribute(pugi::xml_node node, double s) {
    node.append_attribute("time").set_value(fmt::format("{:.2f}", s).c_str());
}

void text_child(pugi::xml_node node, const char* name, std::string_view text) {
    node.append_child(name).append_child(pugi::node_pcdata).set_value(clean(text).c_str());
}

void property(pugi::xml_node properties, std::string_view name, std::string_view value) {
    pugi::xml_node p = properties.append_child("property");
    attribute(p, "name", name);
    attribute(p, "value", value);
}

// The failure's one line: what was observed (else expected), its likely cause, and for a flaky
// case how often it failed.
std::string failure_message(const CaseResult& c) {
    std::string message = c.observed.empty() ? c.expected : c.observed;
    if (!c.likely_cause.empty()) message += "; likely cause: " + c.likely_cause;
    if (c.verdict == Verdict::flaky) message = repeat_text(c) + "; " + message;
    return message;
}

void testcase(pugi::xml_node suite, const RunReport& run, const CaseResult& c) {
    pugi::xml_node t = suite.append_child("testcase");
    attribute(t, "classname", fmt::format("peercheck.{}", role_name(c.role)));
    attribute(t, "name", c.id);
    time_attribute(t, c.seconds);
    pugi::xml_node properties = t.append_child("properties");
    property(properties, "verdict", verdict_name(c.verdict));
    property(properties, "title", c.title);
    if (!c.likely_cause.empty()) property(properties, "likely cause", c.likely_cause);
    if (!c.note.empty()) property(properties, "note", c.note);
    if (c.runs > 1) property(properties, "runs", repeat_text(c));
    const std::string details = case_details(c);
    switch (c.verdict) {
        case Verdict::fail:
        case Verdict::flaky: {
            if (!fails_run(run, c)) {
                text_child(t, "system-out", details);
                break;
            }
            pugi::xml_node f = t.append_child("failure");
            attribute(f, "message", failure_message(c));
            attribute(f, "type", c.verdict == Verdict::flaky ? "flaky" : "nonconformance");
            f.append_child(pugi::node_pcdata).set_value(clean(details).c_str());
            break;
        }
        case Verdict::skipped:
            attribute(t.append_child("skipped"), "message",
                      c.observed.empty() ? c.title : c.observed);
            break;
        case Verdict::info:
            text_child(t, "system-out", fmt::format("informational: {}\n{}", c.title, details));
            break;
        case Verdict::pass:
            text_child(t, "system-out", details);
            break;
    }
    if (!c.impl_stderr.empty()) text_child(t, "system-err", c.impl_stderr);
}

}  // namespace

std::string junit(const RunReport& run) {
    pugi::xml_document doc;
    pugi::xml_node decl = doc.append_child(pugi::node_declaration);
    decl.append_attribute("version").set_value("1.0");
    decl.append_attribute("encoding").set_value("UTF-8");

    const Counts n = count(run);
    const std::size_t failures = n.failed + (run.flaky_allowed ? 0 : n.flaky);
    pugi::xml_node all = doc.append_child("testsuites");
    attribute(all, "name", "peercheck");
    attribute(all, "tests", run.cases.size());
    attribute(all, "failures", failures);
    attribute(all, "skipped", n.skipped);
    time_attribute(all, run.seconds);

    pugi::xml_node suite = all.append_child("testsuite");
    attribute(suite, "name", fmt::format("peercheck {}", role_name(run.role)));
    attribute(suite, "tests", run.cases.size());
    attribute(suite, "failures", failures);
    attribute(suite, "errors", std::size_t{0});
    attribute(suite, "skipped", n.skipped);
    time_attribute(suite, run.seconds);
    pugi::xml_node properties = suite.append_child("properties");
    property(properties, "implementation", run.implementation);
    property(properties, "role", role_name(run.role));
    property(properties, "command", run.command);
    property(properties, "summary", summary_line(run));
    for (const CaseResult& c : run.cases) testcase(suite, run, c);

    std::ostringstream out;
    doc.save(out, "  ", pugi::format_default, pugi::encoding_utf8);
    return out.str();
}

}  // namespace peercheck::report
