// The text reporter: what the runner prints on a terminal or into a CI log as cases finish.

#include <fmt/format.h>

#include <algorithm>

#include "report.h"
#include "util.h"

namespace peercheck::report {
namespace {

constexpr std::string_view kIndent = "      ";
// An implementation may write megabytes; a person reads its last lines.
constexpr std::size_t kTailLines = 30;
constexpr std::size_t kTailBytes = 4000;

// ANSI colours: green, red, blue, grey, yellow.
int colour_code(Verdict v) noexcept {
    switch (v) {
        case Verdict::pass:
            return 32;
        case Verdict::fail:
            return 31;
        case Verdict::info:
            return 34;
        case Verdict::skipped:
            return 90;
        case Verdict::flaky:
            return 33;
    }
    return 0;
}

// Every line of text after the first starts at the column given.
std::string indented(std::string_view text, std::size_t column) {
    std::string out;
    for (const char ch : text) {
        out += ch;
        if (ch == '\n') out.append(column, ' ');
    }
    return out;
}

void field(std::string& out, std::string_view name, std::string_view value) {
    const std::string head = fmt::format("{}{}: ", kIndent, name);
    out += head + indented(clean(value), head.size()) + "\n";
}

void output_tail(std::string& out, std::string_view name, const std::string& text) {
    const std::string t = last_lines(text, kTailLines, kTailBytes);
    if (t.empty()) {
        out += fmt::format("{}{}: (empty)\n", kIndent, name);
        return;
    }
    out += fmt::format("{}{}{}:\n", kIndent, name,
                       last_lines_cut(text, kTailLines, kTailBytes) ? " (last lines)" : "");
    std::string_view rest = t;
    while (!rest.empty()) {
        const std::size_t nl = rest.find('\n');
        out += fmt::format("{}  | {}\n", kIndent, rest.substr(0, nl));
        rest = nl == std::string_view::npos ? "" : rest.substr(nl + 1);
    }
}

}  // namespace

bool last_lines_cut(std::string_view text, std::size_t max_lines, std::size_t max_bytes) {
    if (text.size() > max_bytes) return true;
    if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
    return static_cast<std::size_t>(std::ranges::count(text, '\n')) >= max_lines;
}

std::string last_lines(std::string_view text, std::size_t max_lines, std::size_t max_bytes) {
    if (text.size() > max_bytes) text = text.substr(text.size() - max_bytes);
    if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
    std::size_t start = text.size();
    for (std::size_t lines = 0; start > 0; --start) {
        if (text[start - 1] == '\n' && ++lines == max_lines) break;
    }
    return clean(text.substr(start));
}

std::string exchange_text(const CaseResult& c) {
    const auto lines = decode_case(c);
    if (lines.empty()) return fmt::format("{}exchange: no datagram seen\n", kIndent);
    std::size_t left_out = 0;
    for (const Omitted& o : c.omitted) left_out += o.count;
    const std::size_t all = c.exchange.size() + left_out;
    std::string out =
        fmt::format("{}exchange, {} datagram{}{}:\n", kIndent, all, all == 1 ? "" : "s",
                    left_out == 0 ? "" : fmt::format(" ({} left out)", left_out));
    std::size_t ends = 0;
    for (const Line& l : lines) ends = std::max(ends, l.from.size() + l.to.size() + 4);
    for (const Line& l : lines) {
        const std::string head =
            fmt::format("{}  {:>8.3f} s  {:<{}}  {:>9}  ", kIndent, l.at,
                        clean(l.from + " -> " + l.to), ends, size_text(l.size));
        out += head + clean(l.summary) + "\n";
        for (const std::string& d : l.details) {
            out += std::string(head.size(), ' ') + "  " + clean(d) + "\n";
        }
    }
    return out;
}

std::string case_line(const CaseResult& c, bool colour) {
    std::string mark(verdict_mark(c.verdict));
    if (colour) mark = fmt::format("\x1b[1;{}m{}\x1b[0m", colour_code(c.verdict), mark);
    std::string line =
        fmt::format("{}  {}  {}  {}", mark, clean(c.id), clean(c.title), duration_text(c.seconds));
    if (c.verdict == Verdict::flaky) line += fmt::format("  ({})", repeat_text(c));
    return line;
}

std::string case_details(const CaseResult& c) {
    std::string out = case_line(c) + "\n";
    field(out, "expected", c.expected);
    if (!c.observed.empty()) field(out, "observed", c.observed);
    if (!c.likely_cause.empty()) field(out, "likely cause", c.likely_cause);
    if (!c.note.empty()) field(out, "note", c.note);
    if (c.runs > 1) {
        out += fmt::format("{}{}{}\n", kIndent, repeat_text(c),
                           c.verdict == Verdict::flaky ? "; below, a failing run" : "");
    }
    for (const std::string& command : c.commands) field(out, "started", command);
    output_tail(out, "standard output", c.impl_stdout);
    output_tail(out, "standard error", c.impl_stderr);
    out += exchange_text(c);
    return out;
}

std::string case_note(const CaseResult& c) {
    if (c.note.empty()) return {};
    std::string out = case_line(c) + "\n";
    field(out, "note", c.note);
    return out;
}

std::string summary_line(const RunReport& run) {
    const Counts n = count(run);
    return fmt::format("{} passed, {} failed{}, {} informational, {} skipped", n.passed, n.failed,
                       n.flaky == 0 ? "" : fmt::format(", {} flaky", n.flaky), n.informational,
                       n.skipped);
}

}  // namespace peercheck::report
