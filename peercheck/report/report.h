#pragma once
// The reporters: each a pure function of the results, never of the engine. The text pieces are
// written by the runner as cases finish; the file formats are written once at the end.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "../result.h"

namespace peercheck::report {

// One datagram of an exchange as a person reads it: who sent it, when, how big, and what it
// says once unsealed with the keys of the case. A run of like datagrams (a long transfer)
// becomes one entry whose summary counts them ("APP_DATA x 3237, ids 1..3237").
struct Line {
    double at = 0;
    std::string from;
    std::string to;
    std::size_t size = 0;
    std::size_t count = 1;             // datagrams folded into this entry
    std::string summary;               // "AS_REP len=172", "DATA id=5 len=1000"
    std::vector<std::string> details;  // unsealed fields: "session key 1a2b...", "nonce 1700000000"
};

// Decodes every datagram of a case with what its keys allow (the session key is learned from
// the AS_REP body or the Ticket on the way) and folds long transfers. Never fails: bytes that
// fit no message are described as such. With the Unix time at which the case started,
// timestamps and validity are also told relative to it.
std::vector<Line> decode_exchange(Protocol protocol, const Keys& keys,
                                  const std::vector<Datagram>& exchange, std::uint32_t started = 0);

// Text: "PASS  server/run/empty  serves an empty file  0.12 s" (mark, id, title, time). With
// colour (for a terminal) the mark is coloured; the rest stays plain.
std::string case_line(const CaseResult& c, bool colour = false);
// Text for a failed case (or any case with -v): expected, observed, output tails, exchange.
std::string case_details(const CaseResult& c);
// The last line of every run: "N passed, M failed, K informational".
std::string summary_line(const RunReport& run);

// Names and counts the runner shares with the reports (its exit status, its --list).
// "pass", "fail", "info", "skipped": the words of the JSON and of the matrix.
std::string_view verdict_name(Verdict v) noexcept;
// "PASS", "FAIL", "INFO", "SKIP": the marks of the text and HTML reports.
std::string_view verdict_mark(Verdict v) noexcept;

struct Counts {
    std::size_t passed = 0;
    std::size_t failed = 0;
    std::size_t informational = 0;
    std::size_t skipped = 0;
};
Counts count(const RunReport& run) noexcept;

// File formats of a whole run.
std::string junit(const RunReport& run);
std::string json(const RunReport& run);
std::string html(const RunReport& run);  // one self-contained page, ladder diagrams of failures

// implementations x cases.
std::string matrix_markdown(const MatrixReport& m);
std::string matrix_html(const MatrixReport& m);
std::string matrix_json(const MatrixReport& m);

}  // namespace peercheck::report
