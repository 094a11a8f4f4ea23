#include "html_page.h"

#include <algorithm>

#include "util.h"

namespace peercheck::report::html_page {
namespace {

constexpr std::string_view kPage = R"(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>{{title}}</title>
<style>
:root { --pass: #1a7f37; --fail: #cf222e; --info: #0969da; --skipped: #6e7781; --flaky: #bc4c00;
        --line: #d0d7de; --soft: #f6f8fa; --ink: #1f2328; --muted: #59636e; }
* { box-sizing: border-box; }
body { margin: 0; font: 15px/1.45 system-ui, -apple-system, "Segoe UI", sans-serif; color: var(--ink);
       background: #fff; }
header { padding: 22px 32px 18px; background: var(--soft); border-bottom: 1px solid var(--line); }
main { padding: 8px 32px 40px; max-width: 1500px; }
h1 { margin: 0 0 6px; font-size: 22px; font-weight: 600; }
h1 .role { color: var(--muted); font-weight: 400; }
h2 { font-size: 17px; margin: 26px 0 10px; }
h4 { margin: 14px 0 4px; font-size: 13px; color: var(--muted); text-transform: uppercase;
     letter-spacing: .04em; }
code, pre, .mono { font-family: ui-monospace, "DejaVu Sans Mono", Menlo, Consolas, monospace;
                   font-size: 13px; }
.command { margin: 0 0 12px; color: var(--muted); overflow-wrap: anywhere; }
.badges { display: flex; gap: 8px; flex-wrap: wrap; align-items: center; }
.badge { padding: 3px 11px; border-radius: 999px; color: #fff; font-weight: 600; font-size: 13px; }
.badge.pass { background: var(--pass); } .badge.fail { background: var(--fail); }
.badge.info { background: var(--info); } .badge.skipped { background: var(--skipped); }
.badge.flaky { background: var(--flaky); }
.badge.time { background: none; color: var(--muted); font-weight: 400; }
table { border-collapse: collapse; }
th, td { padding: 5px 10px; border-bottom: 1px solid var(--line); text-align: left;
         vertical-align: top; }
th { font-size: 12px; color: var(--muted); text-transform: uppercase; letter-spacing: .04em; }
tbody tr:hover { background: var(--soft); }
td.id { white-space: nowrap; }
td.observed { max-width: 420px; color: var(--muted); font-size: 13px; white-space: nowrap;
              overflow: hidden; text-overflow: ellipsis; }
td.observed.fail { color: var(--fail); } td.observed.flaky { color: var(--flaky); }
td.num, th.num { text-align: right; font-variant-numeric: tabular-nums; white-space: nowrap; }
a { color: var(--info); text-decoration: none; } a:hover { text-decoration: underline; }
.mark { display: inline-block; min-width: 44px; text-align: center; padding: 1px 6px;
        border-radius: 4px; font: 600 11px/1.6 ui-monospace, monospace; color: #fff; }
.mark.pass { background: var(--pass); } .mark.fail { background: var(--fail); }
.mark.info { background: var(--info); } .mark.skipped { background: var(--skipped); }
.mark.flaky { background: var(--flaky); }
.filter { margin: 4px 0 10px; color: var(--muted); font-size: 14px; }
body:has(#only-failures:checked) tr.pass, body:has(#only-failures:checked) tr.info,
body:has(#only-failures:checked) tr.skipped,
body:has(#only-failures:checked) details.case:not(.fail):not(.flaky) { display: none; }
details.case { border: 1px solid var(--line); border-left: 4px solid var(--skipped);
               border-radius: 6px; margin: 10px 0; background: #fff; }
details.case.pass { border-left-color: var(--pass); } details.case.fail { border-left-color: var(--fail); }
details.case.info { border-left-color: var(--info); }
details.case.flaky { border-left-color: var(--flaky); }
details.case > summary { cursor: pointer; padding: 8px 12px; display: flex; gap: 10px;
                         align-items: baseline; }
details.case > summary .title { color: var(--muted); flex: 1; }
details.case[open] > summary { border-bottom: 1px solid var(--line); background: var(--soft); }
.body { padding: 4px 14px 14px; }
dl.verdict { display: grid; grid-template-columns: max-content 1fr; gap: 4px 14px; margin: 10px 0; }
dl.verdict dt { font-weight: 600; } dl.verdict dd { margin: 0; white-space: pre-wrap; }
dl.verdict dd.observed { color: var(--fail); } dl.verdict dd.cause { font-weight: 600; }
pre { background: var(--soft); border: 1px solid var(--line); border-radius: 6px; padding: 8px 10px;
      margin: 0; max-height: 320px; overflow: auto; white-space: pre-wrap; overflow-wrap: anywhere; }
.muted { color: var(--muted); }
.ladder { overflow-x: auto; border: 1px solid var(--line); border-radius: 6px; background: #fff; }
.ladder svg { display: block; }
.ladder text { font-family: ui-monospace, "DejaVu Sans Mono", Menlo, monospace; font-size: 12px; }
.ladder .lane { stroke: #afb8c1; stroke-width: 2; }
.ladder .head rect { fill: var(--soft); stroke: var(--line); }
.ladder .head text { font-weight: 600; font-family: system-ui, sans-serif; font-size: 13px; }
.ladder .out line { stroke: var(--info); } .ladder .out .label { fill: #0a3069; }
.ladder .in line { stroke: #8250df; } .ladder .in .label { fill: #3e1f79; }
.ladder line.arrow { stroke-width: 1.6; } .ladder .fold line.arrow { stroke-width: 4; }
.ladder .gap line.arrow { stroke-dasharray: 6 5; stroke: var(--skipped); }
.ladder .gap .label { fill: var(--muted); font-style: italic; }
.ladder .band { fill: #f6f8fa; }
.ladder .guide { stroke: #d0d7de; stroke-dasharray: 2 4; }
.ladder .time { fill: var(--muted); font-size: 11px; }
.ladder .detail { fill: var(--muted); font-size: 11.5px; }
.ladder .size { fill: var(--muted); font-size: 10.5px; }
.matrix td.cell { text-align: center; vertical-align: middle; font-weight: 700; font-size: 17px;
                  min-width: 72px; border: 2px solid #fff; }
.matrix thead th:not(:first-child) { text-transform: none; letter-spacing: 0; color: var(--ink);
                                     font-size: 13px; text-align: center; max-width: 180px;
                                     overflow-wrap: anywhere; }
.matrix tfoot td.cell { font-size: 13px; white-space: nowrap; }
.matrix td.cell.pass { color: var(--pass); background: #dafbe1; }
.matrix td.cell.fail { color: var(--fail); background: #ffebe9; }
.matrix td.cell.info { color: var(--info); background: #ddf4ff; }
.matrix td.cell.none { color: var(--skipped); }
.matrix td.cell.flaky { color: var(--flaky); background: #fff1e5; }
.matrix td.cell.setup { color: var(--flaky); background: #fff8c5; }
.matrix td.cell a { color: inherit; text-decoration: none; display: block; }
td.setup { color: var(--flaky); font-weight: 600; }
.reason { border-left: 4px solid var(--skipped); padding: 2px 12px; margin: 8px 0; }
.reason.fail { border-left-color: var(--fail); } .reason.flaky { border-left-color: var(--flaky); }
.reason.pass { border-left-color: var(--pass); } .reason.info { border-left-color: var(--info); }
.reason p { margin: 4px 0; } .reason:target { background: #fff8c5; }
.matrix tfoot td { font-weight: 600; border-top: 2px solid var(--line); }
footer { padding: 14px 32px; color: var(--muted); font-size: 12px; border-top: 1px solid var(--line); }
</style>
</head>
<body>
{{body}}
<footer>Written by peercheck. Every value on this page comes from the run and is shown as text.</footer>
</body>
</html>
)";

}  // namespace

std::string escape(std::string_view text) {
    std::string out;
    for (const char ch : clean(text)) {
        switch (ch) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                out += ch;
        }
    }
    return out;
}

std::string fill(std::string_view tpl, const std::vector<Value>& values) {
    std::string out;
    out.reserve(tpl.size());
    while (!tpl.empty()) {
        const std::size_t open = tpl.find("{{");
        const std::size_t close = open == tpl.npos ? tpl.npos : tpl.find("}}", open + 2);
        if (close == tpl.npos) {
            out.append(tpl);
            break;
        }
        out.append(tpl.substr(0, open));
        const std::string_view name = tpl.substr(open + 2, close - open - 2);
        const auto v = std::ranges::find(values, name, &Value::name);
        if (v != values.end()) out += v->markup ? v->content : escape(v->content);
        tpl.remove_prefix(close + 2);
    }
    return out;
}

std::string page(std::string_view title, std::string_view body) {
    return fill(kPage, {text("title", std::string(title)), markup("body", std::string(body))});
}

}  // namespace peercheck::report::html_page
