#pragma once
// What every reporter shares: names of verdicts and roles, counts, and text made safe. The text
// of a report comes partly from the implementation under test (its output, its IDs, its
// passwords), so every reporter passes such text through clean() before it reaches a format.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "../result.h"
#include "report.h"

namespace peercheck::report {

// Valid UTF-8 holding no control character but new line and tab: every other byte that a
// terminal, an XML parser or a JSON writer would stumble on becomes the four characters \xNN.
// So the result can be written as it is to a terminal, and escaped once for XML, JSON or HTML.
std::string clean(std::string_view text);

// Lower-case hexadecimal, two digits a byte, no separator.
std::string hex_bytes(std::span<const std::uint8_t> bytes);

// "988 B", "40.2 KiB", "3.1 MiB"
std::string size_text(std::size_t bytes);

// "0.12 s": every time a report shows a person has two decimals.
std::string duration_text(double s);
// Seconds rounded to hundredths, as the JSON reports carry them.
double hundredths(double s);

// What the repeats of a case came to: "flaky: 3 of 5 failed", "5 runs, all passed"; empty for a
// case that ran once.
std::string repeat_text(const CaseResult& c);

// The last lines of an implementation's output, at most max_lines lines and about max_bytes
// bytes, cleaned.
std::string last_lines(std::string_view text, std::size_t max_lines, std::size_t max_bytes);
// Whether last_lines() leaves something out.
bool last_lines_cut(std::string_view text, std::size_t max_lines, std::size_t max_bytes);

// The decoded exchange of a case as indented text lines (shared by the text and JUnit reports).
std::string exchange_text(const CaseResult& c);

// The cases of a matrix, each once, in the order first met, with the role they belong to.
struct MatrixCase {
    std::string id;
    std::string title;
    Role role;
};
std::vector<MatrixCase> matrix_cases(const MatrixReport& m);

}  // namespace peercheck::report
