// The matrix of implementations against cases, as Markdown and HTML: first one line per
// implementation with its totals, then for each role a grid whose rows are the role's cases and
// whose columns are the implementations playing it, one mark per cell. Every cell that failed,
// was flaky or carries a note has its reason beside the grid: a footnote in Markdown, a tooltip
// and a linked paragraph in HTML. An implementation that could not start is marked as such in
// every cell of its column, with the reason given once.

#include <fmt/format.h>

#include "html_page.h"
#include "report.h"
#include "util.h"

namespace peercheck::report {
namespace {

namespace hp = html_page;

constexpr std::string_view kSetupMark = "\u26a0";
constexpr std::string_view kLegend =
    "\u2713 passed, \u2717 failed, \u00b1 flaky (passed and failed in repeats), i informational, "
    "\u2013 not run, \u26a0 set-up error (the implementation could not start)";

std::string_view cell_mark(const CaseResult* c) {
    if (c == nullptr) return "\u2013";  // not run for this implementation
    switch (c->verdict) {
        case Verdict::pass:
            return "\u2713";
        case Verdict::fail:
            return "\u2717";
        case Verdict::info:
            return "i";
        case Verdict::skipped:
            return "\u2013";
        case Verdict::flaky:
            return "\u00b1";
    }
    return "";
}

const CaseResult* result_of(const RunReport& run, const MatrixCase& c) {
    if (run.role != c.role) return nullptr;
    for (const CaseResult& r : run.cases) {
        if (r.id == c.id) return &r;
    }
    return nullptr;
}

// Whether a cell says more than its mark: why it failed, or the choice a passing case noted.
bool has_reason(const CaseResult* c) {
    return c != nullptr && (c->verdict == Verdict::fail || c->verdict == Verdict::flaky ||
                            !c->note.empty() || !c->likely_cause.empty());
}

// The reason of a cell in one line: "flaky: 1 of 3 failed; expected ...; observed ...; likely
// cause: ...; note: ...".
std::string reason(const CaseResult& c) {
    std::vector<std::string> parts;
    if (c.runs > 1) parts.push_back(repeat_text(c));
    if (c.verdict == Verdict::fail || c.verdict == Verdict::flaky) {
        parts.push_back("expected " + c.expected);
        if (!c.observed.empty()) parts.push_back("observed " + c.observed);
    }
    if (!c.likely_cause.empty()) parts.push_back("likely cause: " + c.likely_cause);
    if (!c.note.empty()) parts.push_back("note: " + c.note);
    std::string text;
    for (const std::string& p : parts) text += (text.empty() ? "" : "; ") + p;
    return text;
}

std::string totals(const Counts& n) {
    std::string text = fmt::format("{} \u2713 {} \u2717 {} i", n.passed, n.failed, n.informational);
    if (n.flaky != 0) text += fmt::format(" {} \u00b1", n.flaky);
    return text;
}

// The characters that could open a link, a tag, an entity, code, emphasis or strike-through, or
// end a cell, are escaped with a backslash; a new line would end the table row. The rest, never
// at the start of a line here, stays as written.
std::string md(std::string_view text) {
    std::string out;
    for (const char ch : clean(text)) {
        if (ch == '\n' || ch == '\t') {
            out += ' ';
        } else {
            if (std::string_view("\\`*_[]<>|~&").find(ch) != std::string_view::npos) out += '\\';
            out += ch;
        }
    }
    return out;
}

std::vector<const RunReport*> runs_of(const MatrixReport& m, Role role) {
    std::vector<const RunReport*> runs;
    for (const RunReport& r : m.runs) {
        if (r.role == role) runs.push_back(&r);
    }
    return runs;
}

// Element ids of the HTML matrix: an implementation's row by its place in the matrix, a cell's
// reason by that place and the case's place among the matrix's cases.
std::string impl_anchor(const MatrixReport& m, const RunReport& r) {
    return fmt::format("impl-{}", &r - m.runs.data());
}
std::string cell_anchor(const MatrixReport& m, const RunReport& r,
                        const std::vector<MatrixCase>& cases, const MatrixCase& c) {
    return fmt::format("cell-{}-{}", &r - m.runs.data(), &c - cases.data());
}

}  // namespace

std::string matrix_markdown(const MatrixReport& m) {
    std::string notes;
    std::size_t footnotes = 0;
    const auto footnote = [&](std::string text) {
        notes += fmt::format("[^{}]: {}\n", ++footnotes, text);
        return fmt::format("[^{}]", footnotes);
    };
    std::string out = "# peercheck matrix\n\n";
    out += "| Implementation | Role | Passed | Failed | Informational | Flaky | Time |\n";
    out += "|---|---|--:|--:|--:|--:|--:|\n";
    for (const RunReport& r : m.runs) {
        const Counts n = count(r);
        if (!r.setup_error.empty()) {
            const std::string ref = footnote(
                fmt::format("**{}** could not start: {}", md(r.implementation), md(r.setup_error)));
            out += fmt::format("| {} | {} | {} set-up error{} | \u2013 | \u2013 | \u2013 | {} |\n",
                               md(r.implementation), role_name(r.role), kSetupMark, ref,
                               duration_text(r.seconds));
            continue;
        }
        out += fmt::format("| {} | {} | {} | {} | {} | {} | {} |\n", md(r.implementation),
                           role_name(r.role), n.passed, n.failed, n.informational, n.flaky,
                           duration_text(r.seconds));
    }
    const auto cases = matrix_cases(m);
    for (const Role role : kRoles) {
        const auto runs = runs_of(m, role);
        if (runs.empty()) continue;
        out += fmt::format("\n## {}\n\n| Case |", role_name(role));
        for (const RunReport* r : runs) out += fmt::format(" {} |", md(r->implementation));
        out += "\n|---|";
        for (std::size_t i = 0; i < runs.size(); ++i) out += ":-:|";
        out += "\n";
        for (const MatrixCase& c : cases) {
            if (c.role != role) continue;
            out += fmt::format("| {} |", md(c.id));
            for (const RunReport* r : runs) {
                const CaseResult* cell = result_of(*r, c);
                if (!r->setup_error.empty()) {
                    out += fmt::format(" {} |", kSetupMark);
                } else if (has_reason(cell)) {
                    out += fmt::format(
                        " {}{} |", cell_mark(cell),
                        footnote(fmt::format("**{}**, {} ({}): {}", md(r->implementation), md(c.id),
                                             md(c.title), md(reason(*cell)))));
                } else {
                    out += fmt::format(" {} |", cell_mark(cell));
                }
            }
            out += "\n";
        }
        out += "| **Total** |";
        for (const RunReport* r : runs) {
            out += r->setup_error.empty() ? fmt::format(" {} |", totals(count(*r)))
                                          : fmt::format(" {} set-up error |", kSetupMark);
        }
        out += "\n";
    }
    out += fmt::format("\n{}\n", kLegend);
    if (!notes.empty()) out += "\n" + notes;
    return out;
}

std::string matrix_html(const MatrixReport& m) {
    std::string summary;
    for (const RunReport& r : m.runs) {
        const Counts n = count(r);
        const std::string counts =
            r.setup_error.empty()
                ? hp::fill(
                      R"~(<td class="num">{{passed}}</td><td class="num">{{failed}}</td><td class="num">{{info}}</td><td class="num">{{flaky}}</td>)~",
                      {hp::text("passed", std::to_string(n.passed)),
                       hp::text("failed", std::to_string(n.failed)),
                       hp::text("info", std::to_string(n.informational)),
                       hp::text("flaky", std::to_string(n.flaky))})
                : hp::fill(R"~(<td colspan="4" class="setup">&#9888; set-up error: {{why}}</td>)~",
                           {hp::text("why", r.setup_error)});
        summary += hp::fill(
            R"~(<tr id="{{anchor}}"><td>{{name}}</td><td>{{role}}</td>{{counts}}<td class="num">{{time}}</td><td><code>{{command}}</code></td></tr>
)~",
            {hp::text("anchor", impl_anchor(m, r)), hp::text("name", r.implementation),
             hp::text("role", std::string(role_name(r.role))), hp::markup("counts", counts),
             hp::text("time", duration_text(r.seconds)), hp::text("command", r.command)});
    }
    const auto cases = matrix_cases(m);
    std::string grids, reasons;
    for (const Role role : kRoles) {
        const auto runs = runs_of(m, role);
        if (runs.empty()) continue;
        std::string heads, rows, foot;
        for (const RunReport* r : runs) {
            heads += hp::fill("<th>{{name}}</th>", {hp::text("name", r->implementation)});
            foot += hp::fill(R"~(<td class="cell">{{t}}</td>)~",
                             {hp::text("t", r->setup_error.empty()
                                                ? totals(count(*r))
                                                : std::string(kSetupMark) + " set-up error")});
        }
        for (const MatrixCase& c : cases) {
            if (c.role != role) continue;
            std::string cells;
            for (const RunReport* r : runs) {
                const CaseResult* cell = result_of(*r, c);
                if (!r->setup_error.empty()) {
                    cells += hp::fill(
                        R"~(<td class="cell setup" title="{{tip}}"><a href="#{{anchor}}">{{mark}}</a></td>)~",
                        {hp::text("tip", r->implementation + ": set-up error"),
                         hp::text("anchor", impl_anchor(m, *r)),
                         hp::text("mark", std::string(kSetupMark))});
                    continue;
                }
                const std::string verdict = cell && cell->verdict != Verdict::skipped
                                                ? std::string(verdict_name(cell->verdict))
                                                : "none";
                if (!has_reason(cell)) {
                    cells += hp::fill(
                        R"~(<td class="cell {{class}}" title="{{tip}}">{{mark}}</td>)~",
                        {hp::text("class", verdict),
                         hp::text("tip",
                                  fmt::format("{}: {}", r->implementation,
                                              cell ? verdict_name(cell->verdict) : "not run")),
                         hp::text("mark", std::string(cell_mark(cell)))});
                    continue;
                }
                const std::string anchor = cell_anchor(m, *r, cases, c);
                cells += hp::fill(
                    R"~(<td class="cell {{class}}" title="{{tip}}"><a href="#{{anchor}}">{{mark}}</a></td>)~",
                    {hp::text("class", verdict),
                     hp::text("tip", fmt::format("{}: {}: {}", r->implementation,
                                                 verdict_name(cell->verdict), reason(*cell))),
                     hp::text("anchor", anchor), hp::text("mark", std::string(cell_mark(cell)))});
                reasons += hp::fill(
                    R"~(<div class="reason {{class}}" id="{{anchor}}"><p><span class="mark {{class}}">{{verdict}}</span> <strong>{{name}}</strong> &middot; <code>{{id}}</code> <span class="muted">{{title}}</span></p><p>{{reason}}</p></div>
)~",
                    {hp::text("class", verdict), hp::text("anchor", anchor),
                     hp::text("verdict", std::string(verdict_mark(cell->verdict))),
                     hp::text("name", r->implementation), hp::text("id", c.id),
                     hp::text("title", c.title), hp::text("reason", reason(*cell))});
            }
            rows += hp::fill(
                R"~(<tr><td><code>{{id}}</code><br><span class="muted">{{title}}</span></td>{{cells}}</tr>
)~",
                {hp::text("id", c.id), hp::text("title", c.title), hp::markup("cells", cells)});
        }
        grids += hp::fill(
            R"~(<h2>{{role}}</h2>
<table class="matrix"><thead><tr><th>Case</th>{{heads}}</tr></thead>
<tbody>
{{rows}}</tbody>
<tfoot><tr><td>Total</td>{{foot}}</tr></tfoot></table>
)~",
            {hp::text("role", std::string(role_name(role))), hp::markup("heads", heads),
             hp::markup("rows", rows), hp::markup("foot", foot)});
    }
    const std::string body = hp::fill(
        R"~(<header><h1>peercheck <span class="role">matrix</span></h1>
<p class="command">{{count}} implementations &middot; {{legend}}</p></header>
<main>
<h2>Implementations</h2>
<table><thead><tr><th>Implementation</th><th>Role</th><th class="num">Passed</th><th class="num">Failed</th><th class="num">Info</th><th class="num">Flaky</th><th class="num">Time</th><th>Command</th></tr></thead>
<tbody>
{{summary}}</tbody></table>
{{grids}}{{reasons}}</main>)~",
        {hp::text("count", std::to_string(m.runs.size())), hp::text("legend", std::string(kLegend)),
         hp::markup("summary", summary), hp::markup("grids", grids),
         hp::markup("reasons", reasons.empty() ? "" : "<h2>Failures and notes</h2>\n" + reasons)});
    return hp::page("peercheck matrix", body);
}

}  // namespace peercheck::report
