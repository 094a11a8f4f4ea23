#pragma once
// The reporters: each a pure function of the results, never of the engine. The text pieces are
// written by the runner as cases finish; the file formats are written once at the end.

#include <cstddef>
#include <cstdint>
#include <optional>
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
    bool left_out = false;             // datagrams the log counted but did not keep (a flood)
};

// Decodes every datagram of a case with what its keys allow (the session key is learned from
// the AS_REP body or the Ticket on the way) and folds long transfers. Never fails: bytes that
// fit no message are described as such. With the Unix time at which the case started,
// timestamps and validity are also told relative to it. What the log left out stands at its
// place as a line of its own ("... 12 datagrams (12000 bytes) from X to Y left out ..."), and
// no fold reaches across it.
std::vector<Line> decode_exchange(Protocol protocol, const Keys& keys,
                                  const std::vector<Datagram>& exchange, std::uint32_t started = 0,
                                  const std::vector<Omitted>& omitted = {});
// The exchange of a case, decoded as above with everything the case knows.
std::vector<Line> decode_case(const CaseResult& c);

// Text: "PASS  server/run/empty  serves an empty file  0.12 s" (mark, id, title, time; a flaky
// case adds "  (flaky: 3 of 5 failed)"). With colour (for a terminal) the mark is coloured; the
// rest stays plain.
std::string case_line(const CaseResult& c, bool colour = false);
// Text for a failed case (or any case with -v), headed by its case line so that it can be read
// alone: expected, observed, likely cause, note, repeats, commands, output tails, exchange.
std::string case_details(const CaseResult& c);
// The case line and the note of a case that has one (a permitted choice the implementation
// made), for cases whose details are not shown; empty when there is no note.
std::string case_note(const CaseResult& c);
// The last line of every run: "N passed, M failed, K informational, S skipped", with
// ", F flaky" after the failures when a case was flaky.
std::string summary_line(const RunReport& run);

// Names and counts the runner shares with the reports (its exit status, its --list).
// "pass", "fail", "info", "skipped", "flaky": the words of the JSON and of the matrix.
std::string_view verdict_name(Verdict v) noexcept;
std::optional<Verdict> verdict_from_name(std::string_view name) noexcept;
// "PASS", "FAIL", "INFO", "SKIP", "FLAKY": the marks of the text and HTML reports.
std::string_view verdict_mark(Verdict v) noexcept;

struct Counts {
    std::size_t passed = 0;
    std::size_t failed = 0;
    std::size_t flaky = 0;
    std::size_t informational = 0;
    std::size_t skipped = 0;
};
Counts count(const RunReport& run) noexcept;
// Whether the case fails the run: a failure, or a flaky case where flaky ones are not allowed.
bool fails_run(const RunReport& run, const CaseResult& c) noexcept;

// File formats of a whole run.
std::string junit(const RunReport& run);
std::string json(const RunReport& run);
std::string html(const RunReport& run);  // one self-contained page, ladder diagrams of failures

// implementations x cases. The JSON carries everything the other two show, so that a matrix
// read back with matrix_from_json() writes the same three files again.
std::string matrix_markdown(const MatrixReport& m);
std::string matrix_html(const MatrixReport& m);
std::string matrix_json(const MatrixReport& m);

// A matrix split across machines (--shard K/N) and merged again.
// The part, from 1 to count, that an implementation of this name belongs to: a hash of the name
// alone, so an entry lands in the same part whatever the order of the file.
unsigned shard_of(std::string_view name, unsigned count) noexcept;
// The matrix that matrix_json() wrote; nullopt with the reason in `error` for any other text.
std::optional<MatrixReport> matrix_from_json(std::string_view text, std::string& error);
// One matrix from every part of a split run, its implementations in the file's order, as one
// run of the whole file reports them. nullopt with the reason in `error` when a part is missing
// or given twice, the parts are of different splits, or an implementation is in the wrong part;
// names[i] names parts[i] in that reason.
std::optional<MatrixReport> merge_matrices(std::vector<MatrixReport> parts,
                                           const std::vector<std::string>& names,
                                           std::string& error);

}  // namespace peercheck::report
