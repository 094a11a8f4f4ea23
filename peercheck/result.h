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
enum class Protocol { ticket, password };

// pass and fail count towards the exit status; info cases are reported but never fail a run;
// skipped cases were selected out or could not apply.
enum class Verdict { pass, fail, info, skipped };

// One datagram seen during a case, in the order it was seen. "implementation" is the program
// under test; the other end is one of our peers ("gatekeep", "server", "client", "lockbox",
// "latchkey") or "peercheck" itself when it plays the peer by script.
struct Datagram {
    double at = 0;     // seconds since the case started
    std::string from;  // endpoint names as above
    std::string to;
    std::vector<std::uint8_t> bytes;  // as sent (a datagram is at most 65507 bytes)
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
    std::uint32_t started = 0;          // Unix time at which the case started; 0 when unknown
    std::vector<std::string> commands;  // every command line the case started, ours and theirs
    std::string impl_stdout;            // tail of the implementation's standard output
    std::string impl_stderr;            // tail of its standard error
    Keys keys;
    std::vector<Datagram> exchange;
};

struct RunReport {
    std::string implementation;  // name given in a matrix file, or the command
    Role role = Role::client;
    std::string command;
    std::vector<CaseResult> cases;
    double seconds = 0;
};

// implementations x cases, one RunReport per implementation.
struct MatrixReport {
    std::vector<RunReport> runs;
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

constexpr Protocol protocol_of(Role r) noexcept {
    return r == Role::lockbox || r == Role::latchkey ? Protocol::password : Protocol::ticket;
}

}  // namespace peercheck
