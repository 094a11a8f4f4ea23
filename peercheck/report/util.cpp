#include "util.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>

namespace peercheck::report {

std::string_view verdict_name(Verdict v) noexcept {
    switch (v) {
        case Verdict::pass:
            return "pass";
        case Verdict::fail:
            return "fail";
        case Verdict::info:
            return "info";
        case Verdict::skipped:
            return "skipped";
        case Verdict::flaky:
            return "flaky";
    }
    return "unknown";
}

std::optional<Verdict> verdict_from_name(std::string_view name) noexcept {
    for (const Verdict v :
         {Verdict::pass, Verdict::fail, Verdict::info, Verdict::skipped, Verdict::flaky}) {
        if (verdict_name(v) == name) return v;
    }
    return std::nullopt;
}

std::string_view verdict_mark(Verdict v) noexcept {
    switch (v) {
        case Verdict::pass:
            return "PASS";
        case Verdict::fail:
            return "FAIL";
        case Verdict::info:
            return "INFO";
        case Verdict::skipped:
            return "SKIP";
        case Verdict::flaky:
            return "FLAKY";
    }
    return "????";
}

Counts count(const RunReport& run) noexcept {
    Counts n;
    for (const CaseResult& c : run.cases) {
        switch (c.verdict) {
            case Verdict::pass:
                ++n.passed;
                break;
            case Verdict::fail:
                ++n.failed;
                break;
            case Verdict::info:
                ++n.informational;
                break;
            case Verdict::skipped:
                ++n.skipped;
                break;
            case Verdict::flaky:
                ++n.flaky;
                break;
        }
    }
    return n;
}

namespace {

// Length of the well-formed UTF-8 sequence starting at text[i] (2 to 4 bytes), or 0. Overlong
// forms, surrogates, code points above U+10FFFF, C1 controls and U+FFFE/U+FFFF are refused: none
// of them may stand in XML, and none is text a person should see raw.
std::size_t utf8_sequence(std::string_view text, std::size_t i) noexcept {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[i + k]); };
    const unsigned char b0 = byte(0);
    std::size_t n = 0;
    std::uint32_t cp = 0;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        n = 2;
        cp = b0 & 0x1Fu;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        n = 3;
        cp = b0 & 0x0Fu;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        n = 4;
        cp = b0 & 0x07u;
    } else {
        return 0;
    }
    if (i + n > text.size()) return 0;
    for (std::size_t k = 1; k < n; ++k) {
        if ((byte(k) & 0xC0) != 0x80) return 0;
        cp = cp << 6 | (byte(k) & 0x3Fu);
    }
    const bool overlong = (n == 3 && cp < 0x800) || (n == 4 && cp < 0x10000);
    const bool bad = overlong || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF ||
                     (cp >= 0x80 && cp <= 0x9F) || cp == 0xFFFE || cp == 0xFFFF;
    return bad ? 0 : n;
}

}  // namespace

std::string clean(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto b = static_cast<unsigned char>(text[i]);
        if (b == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            ++i;  // line ends written for another system read as ours
        } else if (b == '\n' || b == '\t' || (b >= 0x20 && b < 0x7F)) {
            out += static_cast<char>(b);
            ++i;
        } else if (const std::size_t n = b >= 0x80 ? utf8_sequence(text, i) : 0; n != 0) {
            out.append(text.substr(i, n));
            i += n;
        } else {
            out += fmt::format("\\x{:02x}", b);
            ++i;
        }
    }
    return out;
}

std::string hex_bytes(std::span<const std::uint8_t> bytes) {
    std::string out;
    out.reserve(bytes.size() * 2);
    for (const std::uint8_t b : bytes) out += fmt::format("{:02x}", b);
    return out;
}

std::vector<MatrixCase> matrix_cases(const MatrixReport& m) {
    std::vector<MatrixCase> cases;
    for (const RunReport& run : m.runs) {
        for (const CaseResult& c : run.cases) {
            const bool known = std::ranges::any_of(
                cases, [&](const MatrixCase& k) { return k.id == c.id && k.role == run.role; });
            if (!known) cases.push_back({c.id, c.title, run.role});
        }
    }
    return cases;
}

std::string size_text(std::size_t bytes) {
    if (bytes < 10000) return fmt::format("{} B", bytes);
    if (bytes < 10000 * 1024) return fmt::format("{:.1f} KiB", static_cast<double>(bytes) / 1024);
    return fmt::format("{:.1f} MiB", static_cast<double>(bytes) / (1024 * 1024));
}

std::string duration_text(double s) { return fmt::format("{:.2f} s", s); }

double hundredths(double s) { return std::round(s * 100) / 100; }

std::string repeat_text(const CaseResult& c) {
    if (c.runs <= 1) return {};
    if (c.verdict == Verdict::flaky) {
        return fmt::format("flaky: {} of {} failed", c.failed_runs, c.runs);
    }
    if (c.failed_runs == c.runs) return fmt::format("{} runs, all failed", c.runs);
    if (c.failed_runs == 0 && c.verdict == Verdict::pass) {
        return fmt::format("{} runs, all passed", c.runs);
    }
    return fmt::format("{} runs", c.runs);
}

bool fails_run(const RunReport& run, const CaseResult& c) noexcept {
    return c.verdict == Verdict::fail || (c.verdict == Verdict::flaky && !run.flaky_allowed);
}

}  // namespace peercheck::report
