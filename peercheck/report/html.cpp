// The HTML report of a run: one self-contained page with the summary, the table of cases and
// each case's details, its exchange drawn as a ladder between the implementation and its peers.
// Failures are open; the other cases are there, folded.

#include <fmt/format.h>

#include <algorithm>
#include <cctype>

#include "html_page.h"
#include "report.h"
#include "util.h"

namespace peercheck::report {
namespace {

namespace hp = html_page;

constexpr std::string_view kBody = R"~(<header>
<h1>peercheck <span class="role">{{role}}</span></h1>
<p class="command">{{implementation}}<code>{{command}}</code></p>
<div class="badges">
<span class="badge pass">{{passed}} passed</span>
<span class="badge fail">{{failed}} failed</span>
<span class="badge info">{{informational}} informational</span>
{{flaky}}{{skipped}}<span class="badge time">{{seconds}}</span>
</div>
</header>
<main>
<h2>Cases</h2>
<label class="filter"><input type="checkbox" id="only-failures"> show failures only</label>
<table class="cases">
<thead><tr><th>Verdict</th><th>Case</th><th>What the implementation must do</th><th>Observed</th><th class="num">Time</th></tr></thead>
<tbody>
{{rows}}</tbody>
</table>
<h2>Details</h2>
{{details}}
<p class="muted">{{summary}}</p>
</main>)~";

constexpr std::string_view kRow =
    R"~(<tr class="{{verdict}}"><td><span class="mark {{verdict}}">{{mark}}</span></td><td class="id"><a href="#{{anchor}}"><code>{{id}}</code></a></td><td>{{title}}</td><td class="observed {{verdict}}">{{observed}}</td><td class="num">{{seconds}}</td></tr>
)~";

constexpr std::string_view kCase = R"~(<details class="case {{verdict}}" id="{{anchor}}"{{open}}>
<summary><span class="mark {{verdict}}">{{mark}}</span><code>{{id}}</code><span class="title">{{title}}</span><span class="muted">{{seconds}}</span></summary>
<div class="body">
<dl class="verdict"><dt>Expected</dt><dd>{{expected}}</dd>{{observed}}{{cause}}{{note}}{{runs}}</dl>
{{commands}}{{stdout}}{{stderr}}<h4>Exchange</h4>
{{ladder}}
</div>
</details>
)~";

constexpr std::string_view kObserved = R"~(<dt>Observed</dt><dd class="observed">{{text}}</dd>)~";
constexpr std::string_view kCause = R"~(<dt>Likely cause</dt><dd class="cause">{{text}}</dd>)~";
constexpr std::string_view kNote = R"~(<dt>Note</dt><dd class="note">{{text}}</dd>)~";
constexpr std::string_view kRuns = R"~(<dt>Runs</dt><dd>{{text}}</dd>)~";
constexpr std::string_view kBlock = "<h4>{{name}}</h4>\n<pre>{{text}}</pre>\n";

// Kept short in a page; the JSON report has the rest.
constexpr std::size_t kTailLines = 60;
constexpr std::size_t kTailBytes = 8000;

// An element id made of the case id's letters and digits, unique by its position.
std::string anchor(const CaseResult& c, std::size_t index) {
    std::string a = fmt::format("case-{}-", index);
    for (const char ch : c.id) a += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '-';
    return a;
}

// ---- The ladder. ----

constexpr int kLeft = 78;        // room for the time column
constexpr int kLaneGap = 300;    // between two lanes
constexpr int kHeadHeight = 44;  // lane names
constexpr int kRowHeight = 38;   // a line without details
constexpr int kDetailStep = 15;
constexpr int kCharWidth = 7;  // of the 12 px monospaced font, to cut labels to their span
constexpr int kDetailsWidth = 640;
// Characters of a detail line that fit kDetailsWidth in the 11.5 px font; longer notes wrap.
constexpr std::size_t kDetailChars = 90;

std::string cut(const std::string& text, std::size_t chars) {
    if (text.size() <= chars) return text;
    return text.substr(0, chars > 1 ? chars - 1 : 0) + "\u2026";
}

// Lines of at most `width` bytes, broken at spaces where there are any; a word longer than a
// line is broken where the line ends, never inside a UTF-8 sequence.
std::vector<std::string> wrap(std::string_view text, std::size_t width) {
    std::vector<std::string> lines;
    while (text.size() > width) {
        std::size_t at = text.rfind(' ', width);
        std::size_t skip = 1;
        if (at == std::string_view::npos || at == 0) {
            at = width;
            while (at > 1 && (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80) --at;
            skip = 0;
        }
        lines.emplace_back(text.substr(0, at));
        text.remove_prefix(at + skip);
    }
    lines.emplace_back(text);
    return lines;
}

// Marker ids are made unique by the ladder's number: a page holds many ladders, and a marker
// defined inside a folded (hidden) case would not draw the heads of another case's arrows.
std::string ladder(const std::vector<Line>& lines, std::size_t number) {
    const std::string out_head = fmt::format("head-out-{}", number);
    const std::string in_head = fmt::format("head-in-{}", number);
    if (lines.empty()) return R"~(<p class="muted">No datagram was seen.</p>)~";
    std::vector<std::string> lanes{"implementation"};
    for (const Line& l : lines) {
        for (const std::string* end : {&l.from, &l.to}) {
            if (std::ranges::find(lanes, *end) == lanes.end()) lanes.push_back(*end);
        }
    }
    const auto lane_x = [&](const std::string& name) {
        const auto i = std::ranges::find(lanes, name) - lanes.begin();
        return kLeft + kLaneGap / 2 + static_cast<int>(i) * kLaneGap;
    };
    const int last_lane = lane_x(lanes.back());
    const int details_x = last_lane + 28;
    std::string bands, rows;
    int y = kHeadHeight + 14;
    for (std::size_t row = 0; row < lines.size(); ++row) {
        const Line& l = lines[row];
        std::vector<std::string> notes;
        for (const std::string& d : l.details) {
            for (std::string& part : wrap(clean(d), kDetailChars)) notes.push_back(std::move(part));
        }
        const int height = std::max(kRowHeight, 12 + kDetailStep * static_cast<int>(notes.size()));
        const int x1 = lane_x(l.from), x2 = lane_x(l.to);
        const int ay = y + 22;
        const int dir = x2 >= x1 ? 1 : -1;
        const int span = std::max(std::abs(x2 - x1), kLaneGap) - 16;
        const std::string& label = l.summary;
        std::string details;
        for (std::size_t i = 0; i < notes.size(); ++i) {
            details +=
                hp::fill(R"~(<text class="detail" x="{{x}}" y="{{y}}">{{text}}</text>)~",
                         {hp::text("x", std::to_string(details_x)),
                          hp::text("y", std::to_string(y + 16 + kDetailStep * static_cast<int>(i))),
                          hp::text("text", notes[i])});
        }
        rows += hp::fill(
            R"~(<g class="{{class}}"><title>{{tip}}</title>
<text class="time" x="8" y="{{ty}}">{{time}}</text>
<line class="arrow" x1="{{x1}}" y1="{{ay}}" x2="{{x2}}" y2="{{ay}}" marker-end="url(#{{marker}})"/>
<text class="label" x="{{lx}}" y="{{ly}}" text-anchor="middle">{{label}}</text>
<text class="size" x="{{lx}}" y="{{sy}}" text-anchor="middle">{{size}}</text>
{{guide}}{{details}}</g>
)~",
            {hp::text("class", std::string(l.from == "implementation" ? "out" : "in") +
                                   (l.left_out    ? " gap"
                                    : l.count > 1 ? " fold"
                                                  : "")),
             hp::text("tip", fmt::format("{} -> {}, {:.3f} s, {} bytes: {}", l.from, l.to, l.at,
                                         l.size, l.summary)),
             hp::text("ty", std::to_string(ay + 4)),
             hp::text("time", fmt::format("{:.3f} s", l.at)), hp::text("x1", std::to_string(x1)),
             hp::text("x2", std::to_string(x2 - dir * 4)), hp::text("ay", std::to_string(ay)),
             hp::text("marker", l.from == "implementation" ? out_head : in_head),
             hp::text("lx", std::to_string((x1 + x2) / 2)), hp::text("ly", std::to_string(ay - 6)),
             hp::text("label", cut(label, static_cast<std::size_t>(span / kCharWidth))),
             hp::text("sy", std::to_string(ay + 14)),
             hp::text("size", l.count > 1 || l.left_out
                                  ? fmt::format("{} datagram{}, {}", l.count,
                                                l.count == 1 ? "" : "s", size_text(l.size))
                                  : size_text(l.size)),
             hp::markup(
                 "guide",
                 l.details.empty() || std::max(x1, x2) == last_lane
                     ? ""
                     : hp::fill(
                           R"~(<line class="guide" x1="{{x1}}" y1="{{y}}" x2="{{x2}}" y2="{{y}}"/>)~",
                           {hp::text("x1", std::to_string(std::max(x1, x2) + 6)),
                            hp::text("x2", std::to_string(details_x - 6)),
                            hp::text("y", std::to_string(ay))})),
             hp::markup("details", details)});
        if (row % 2 == 1) {
            bands += hp::fill(
                R"~(<rect class="band" x="0" y="{{y}}" width="100%" height="{{h}}"/>
)~",
                {hp::text("y", std::to_string(y + 2)), hp::text("h", std::to_string(height))});
        }
        y += height;
    }
    std::string heads;
    for (const std::string& lane : lanes) {
        const int x = lane_x(lane);
        heads += hp::fill(
            R"~(<g class="head"><rect x="{{rx}}" y="8" width="{{w}}" height="28" rx="6"/><text x="{{x}}" y="27" text-anchor="middle">{{name}}</text></g>
<line class="lane" x1="{{x}}" y1="36" x2="{{x}}" y2="{{bottom}}"/>
)~",
            {hp::text("rx", std::to_string(x - 80)), hp::text("w", "160"),
             hp::text("x", std::to_string(x)), hp::text("name", cut(lane, 20)),
             hp::text("bottom", std::to_string(y + 6))});
    }
    return hp::fill(
        R"~(<div class="ladder"><svg xmlns="http://www.w3.org/2000/svg" width="{{w}}" height="{{h}}" viewBox="0 0 {{w}} {{h}}">
<defs><marker id="{{out}}" viewBox="0 0 10 10" refX="9" refY="5" markerWidth="7" markerHeight="7" orient="auto-start-reverse"><path d="M0,0 L10,5 L0,10 z" fill="#0969da"/></marker>
<marker id="{{in}}" viewBox="0 0 10 10" refX="9" refY="5" markerWidth="7" markerHeight="7" orient="auto-start-reverse"><path d="M0,0 L10,5 L0,10 z" fill="#8250df"/></marker></defs>
{{bands}}{{heads}}{{rows}}</svg></div>)~",
        {hp::text("w", std::to_string(details_x + kDetailsWidth)),
         hp::text("h", std::to_string(y + 12)), hp::markup("bands", bands),
         hp::text("out", out_head), hp::text("in", in_head), hp::markup("heads", heads),
         hp::markup("rows", rows)});
}

std::string block(std::string_view name, const std::string& text) {
    return hp::fill(kBlock, {hp::text("name", std::string(name)), hp::text("text", text)});
}

// A definition of the case's verdict list, left out when the text is empty.
std::string definition(std::string_view tpl, const std::string& text) {
    return text.empty() ? "" : hp::fill(tpl, {hp::text("text", text)});
}

bool opens(const CaseResult& c) {
    return c.verdict == Verdict::fail || c.verdict == Verdict::flaky;
}

std::string case_section(const CaseResult& c, std::size_t index) {
    std::string commands;
    for (const std::string& command : c.commands) commands += "$ " + command + "\n";
    const std::string out = last_lines(c.impl_stdout, kTailLines, kTailBytes);
    const std::string err = last_lines(c.impl_stderr, kTailLines, kTailBytes);
    return hp::fill(
        kCase, {hp::text("verdict", std::string(verdict_name(c.verdict))),
                hp::text("mark", std::string(verdict_mark(c.verdict))),
                hp::text("anchor", anchor(c, index)), hp::markup("open", opens(c) ? " open" : ""),
                hp::text("id", c.id), hp::text("title", c.title),
                hp::text("seconds", duration_text(c.seconds)), hp::text("expected", c.expected),
                hp::markup("observed", definition(kObserved, c.observed)),
                hp::markup("cause", definition(kCause, c.likely_cause)),
                hp::markup("note", definition(kNote, c.note)),
                hp::markup("runs", definition(kRuns, repeat_text(c))),
                hp::markup("commands", commands.empty() ? "" : block("Commands", commands)),
                hp::markup("stdout", block(last_lines_cut(c.impl_stdout, kTailLines, kTailBytes)
                                               ? "Standard output (end)"
                                               : "Standard output",
                                           out.empty() ? "(nothing)" : out)),
                hp::markup("stderr", err.empty() ? "" : block("Standard error", err)),
                hp::markup("ladder", ladder(decode_case(c), index))});
}

// The table's short word on a case: what was observed (with the repeats of a flaky one), else
// its note.
std::string row_text(const CaseResult& c) {
    std::string text = c.observed.empty() ? c.note : c.observed;
    if (c.verdict == Verdict::flaky) text = repeat_text(c) + (text.empty() ? "" : "; " + text);
    return text;
}

}  // namespace

std::string html(const RunReport& run) {
    std::string rows, details;
    for (std::size_t i = 0; i < run.cases.size(); ++i) {
        const CaseResult& c = run.cases[i];
        rows += hp::fill(kRow, {hp::text("verdict", std::string(verdict_name(c.verdict))),
                                hp::text("mark", std::string(verdict_mark(c.verdict))),
                                hp::text("anchor", anchor(c, i)), hp::text("id", c.id),
                                hp::text("title", c.title), hp::text("observed", row_text(c)),
                                hp::text("seconds", duration_text(c.seconds))});
        details += case_section(c, i);
    }
    const Counts n = count(run);
    const std::string body = hp::fill(
        kBody, {hp::text("role", std::string(role_name(run.role))),
                // A run named after its command shows the command once.
                hp::text("implementation",
                         run.implementation == run.command ? "" : run.implementation + " \u00b7 "),
                hp::text("command", run.command), hp::text("passed", std::to_string(n.passed)),
                hp::text("failed", std::to_string(n.failed)),
                hp::text("informational", std::to_string(n.informational)),
                hp::markup("flaky", n.flaky == 0
                                        ? ""
                                        : hp::fill(R"~(<span class="badge flaky">{{n}} flaky</span>
)~",
                                                   {hp::text("n", std::to_string(n.flaky))})),
                hp::markup("skipped",
                           n.skipped == 0 ? ""
                                          : hp::fill(
                                                R"~(<span class="badge skipped">{{n}} skipped</span>
)~",
                                                {hp::text("n", std::to_string(n.skipped))})),
                hp::text("seconds", duration_text(run.seconds)), hp::markup("rows", rows),
                hp::markup("details", details), hp::text("summary", summary_line(run))});
    return hp::page(fmt::format("peercheck {}: {}", role_name(run.role), summary_line(run)), body);
}

}  // namespace peercheck::report
