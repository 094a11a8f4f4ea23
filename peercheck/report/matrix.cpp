// The matrix of implementations against cases, as Markdown and HTML: first one line per
// implementation with its totals, then for each role a grid whose rows are the role's cases and
// whose columns are the implementations playing it, one mark per cell.

#include <fmt/format.h>

#include "html_page.h"
#include "report.h"
#include "util.h"

namespace peercheck::report {
namespace {

namespace hp = html_page;

std::string_view cell_mark(const std::optional<Verdict>& v) {
    if (!v) return "\u2013";  // not run for this implementation
    switch (*v) {
        case Verdict::pass:
            return "\u2713";
        case Verdict::fail:
            return "\u2717";
        case Verdict::info:
            return "i";
        case Verdict::skipped:
            return "\u2013";
    }
    return "";
}

std::optional<Verdict> verdict_of(const RunReport& run, const MatrixCase& c) {
    for (const CaseResult& r : run.cases) {
        if (r.id == c.id && run.role == c.role) return r.verdict;
    }
    return std::nullopt;
}

std::string totals(const Counts& n) {
    return fmt::format("{} \u2713 {} \u2717 {} i", n.passed, n.failed, n.informational);
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

}  // namespace

std::string matrix_markdown(const MatrixReport& m) {
    std::string out = "# peercheck matrix\n\n";
    out += "| Implementation | Role | Passed | Failed | Informational | Time |\n";
    out += "|---|---|--:|--:|--:|--:|\n";
    for (const RunReport& r : m.runs) {
        const Counts n = count(r);
        out += fmt::format("| {} | {} | {} | {} | {} | {} |\n", md(r.implementation),
                           role_name(r.role), n.passed, n.failed, n.informational,
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
            for (const RunReport* r : runs)
                out += fmt::format(" {} |", cell_mark(verdict_of(*r, c)));
            out += "\n";
        }
        out += "| **Total** |";
        for (const RunReport* r : runs) out += fmt::format(" {} |", totals(count(*r)));
        out += "\n";
    }
    out += "\n\u2713 passed, \u2717 failed, i informational, \u2013 not run\n";
    return out;
}

std::string matrix_html(const MatrixReport& m) {
    std::string summary;
    for (const RunReport& r : m.runs) {
        const Counts n = count(r);
        summary += hp::fill(
            R"~(<tr><td>{{name}}</td><td>{{role}}</td><td class="num">{{passed}}</td><td class="num">{{failed}}</td><td class="num">{{info}}</td><td class="num">{{time}}</td><td><code>{{command}}</code></td></tr>
)~",
            {hp::text("name", r.implementation), hp::text("role", std::string(role_name(r.role))),
             hp::text("passed", std::to_string(n.passed)),
             hp::text("failed", std::to_string(n.failed)),
             hp::text("info", std::to_string(n.informational)),
             hp::text("time", duration_text(r.seconds)), hp::text("command", r.command)});
    }
    const auto cases = matrix_cases(m);
    std::string grids;
    for (const Role role : kRoles) {
        const auto runs = runs_of(m, role);
        if (runs.empty()) continue;
        std::string heads, rows, foot;
        for (const RunReport* r : runs) {
            heads += hp::fill("<th>{{name}}</th>", {hp::text("name", r->implementation)});
            foot +=
                hp::fill(R"~(<td class="cell">{{t}}</td>)~", {hp::text("t", totals(count(*r)))});
        }
        for (const MatrixCase& c : cases) {
            if (c.role != role) continue;
            std::string cells;
            for (const RunReport* r : runs) {
                const auto v = verdict_of(*r, c);
                cells += hp::fill(
                    R"~(<td class="cell {{class}}" title="{{tip}}">{{mark}}</td>)~",
                    {hp::text("class",
                              v && *v != Verdict::skipped ? std::string(verdict_name(*v)) : "none"),
                     hp::text("tip", fmt::format("{}: {}", r->implementation,
                                                 v ? verdict_name(*v) : "not run")),
                     hp::text("mark", std::string(cell_mark(v)))});
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
<p class="command">{{count}} implementations &middot; &#10003; passed, &#10007; failed, i informational, &ndash; not run</p></header>
<main>
<h2>Implementations</h2>
<table><thead><tr><th>Implementation</th><th>Role</th><th class="num">Passed</th><th class="num">Failed</th><th class="num">Info</th><th class="num">Time</th><th>Command</th></tr></thead>
<tbody>
{{summary}}</tbody></table>
{{grids}}</main>)~",
        {hp::text("count", std::to_string(m.runs.size())), hp::markup("summary", summary),
         hp::markup("grids", grids)});
    return hp::page("peercheck matrix", body);
}

}  // namespace peercheck::report
