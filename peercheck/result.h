#pragma once
// What a conformance run produced, as the reporters see it. The engine fills these records and
// the reporters (text, JUnit, JSON, HTML, matrix) are functions of them alone, so a reporter
// never needs a process, a socket or a clock.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace peercheck {

// The role that the implementation under test plays; names as on the command line.
enum class Role { client, server, gatekeep, lockbox, latchkey };
// Every role, in the order of the command line's help, the reports and the README.
inline constexpr std::array<Role, 5> kRoles = {Role::client, Role::server, Role::gatekeep,
                                               Role::lockbox, Role::latchkey};
enum class Protocol { ticket, password };

// pass and fail count towards the exit status; info cases are reported but never fail a run;
// skipped cases were selected out or could not apply; a flaky case, run more than once, passed
// in some runs and failed in others (it fails a run unless flaky cases are allowed).
enum class Verdict { pass, fail, info, skipped, flaky };

// One datagram seen during a case, in the order it was seen. "implementation" is the program
// under test; the other end is one of our peers ("gatekeep", "server", "client", "lockbox",
// "latchkey") or "peercheck" itself when it plays the peer by script.
struct Datagram {
    double at = 0;     // seconds since the case started
    std::string from;  // endpoint names as above
    std::string to;
    std::vector<std::uint8_t> bytes;  // as sent (a datagram is at most 65507 bytes)
    // The IPv4 endpoints as the relay or script saw them, host byte order; 0 where unknown. A
    // capture file rebuilds real IPv4/UDP headers from them.
    std::uint32_t from_addr = 0, to_addr = 0;
    std::uint16_t from_port = 0, to_port = 0;
};

// Datagrams that a flood made the log count instead of keep: `count` datagrams of `bytes` bytes
// in all from `from` to `to`, seen between `first_at` and `last_at`, which in the exchange stand
// just before the kept datagram at index `before` (the exchange's size: after the last one).
struct Omitted {
    std::size_t before = 0;
    std::string from, to;
    std::size_t count = 0;
    std::uint64_t bytes = 0;
    double first_at = 0, last_at = 0;
};

// The long-term keys that a case chose; the session key is learned from the exchange itself.
struct Keys {
    std::optional<std::array<std::uint8_t, 8>> client_key;
    std::optional<std::array<std::uint8_t, 8>> server_key;
};

struct CaseResult {
    std::string id;     // stable, e.g. "server/fault/digest"
    std::string title;  // one sentence: what the implementation must do
    Role role = Role::client;
    Verdict verdict = Verdict::pass;
    std::string expected;  // what the implementation should have done
    std::string observed;  // what it did (empty when it passed)
    double seconds = 0;
    std::uint32_t started = 0;  // Unix time at which the case started; 0 when unknown
    std::string note;           // a permitted choice the implementation made ("cut the length")
    std::string likely_cause;   // a known fault that fits what was observed, when one does
    std::vector<std::string> commands;  // every command line the case started, ours and theirs
    std::string impl_stdout;            // tail of the implementation's standard output
    std::string impl_stderr;            // tail of its standard error
    Keys keys;
    std::vector<Datagram> exchange;
    std::vector<Omitted> omitted;  // what the log counted but did not keep, in exchange order
    // How often the case ran (--repeat) and how many of those runs failed. A case run more than
    // once carries the details of one run: of a failing one when any failed.
    std::size_t runs = 1;
    std::size_t failed_runs = 0;
};

struct RunReport {
    std::string implementation;  // name given in a matrix file, or the command
    Role role = Role::client;
    std::string command;
    std::vector<CaseResult> cases;
    double seconds = 0;
    // Why the implementation could not be started at all (a missing interpreter, an unknown
    // placeholder); then no case ran, and `cases` holds the selected ones, each skipped.
    std::string setup_error;
    bool flaky_allowed = false;  // flaky cases do not fail the run (--allow-flaky)
    std::size_t entry = 0;       // its place among the matrix file's entries, from 0
};

// implementations x cases, one RunReport per implementation, in the matrix file's order.
struct MatrixReport {
    // Part `index` (from 1) of `count` when the file's entries were split across machines; a
    // whole matrix is part 1 of 1.
    struct Shard {
        unsigned index = 1;
        unsigned count = 1;
    };
    std::vector<RunReport> runs;
    Shard shard;
};

// The role's name as on the command line and in every report.
constexpr std::string_view role_name(Role r) noexcept {
    switch (r) {
        case Role::client:
            return "client";
        case Role::server:
            return "server";
        case Role::gatekeep:
            return "gatekeep";
        case Role::lockbox:
            return "lockbox";
        case Role::latchkey:
            return "latchkey";
    }
    return "unknown";
}

constexpr std::optional<Role> role_from_name(std::string_view name) noexcept {
    for (const Role r : kRoles) {
        if (role_name(r) == name) return r;
    }
    return std::nullopt;
}

constexpr Protocol protocol_of(Role r) noexcept {
    return r == Role::lockbox || r == Role::latchkey ? Protocol::password : Protocol::ticket;
}

}  // namespace peercheck
