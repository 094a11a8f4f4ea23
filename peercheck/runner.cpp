#include "runner.h"

#include <fmt/format.h>

#include <algorithm>
#include <ctime>
#include <functional>
#include <memory>
#include <tuple>

#include "exact.h"
#include "helpers.h"
#include "pass_msg.h"
#include "script_kit.h"
#include "scripts.h"
#include "seal.h"
#include "ticket_msg.h"

namespace peercheck {

namespace {

const std::string kImpl = "implementation";
constexpr std::size_t kTailBytes = 4000;

std::string wait_text(Millis m) {
    return fmt::format("{:.1f} s", static_cast<double>(m.count()) / 1000);
}

// Everything one case owns. Members are destroyed in reverse order: the processes are killed
// first, then the script's sockets close and the relay stops, and the scratch folder goes last.
struct CaseRun {
    CaseRun(const Case& cs, const Config& cf) : c(cs), cfg(cf) {}
    const Case& c;
    const Config& cfg;
    // First of all: the relay's and the scripts' sockets and every process share its network.
    CaseNetwork net{cfg.host};
    Clock::time_point start = Clock::now();
    Scratch scratch;
    Log log{start};
    Relay relay{log};
    Scripted script;
    std::vector<std::unique_ptr<Process>> peers;
    std::unique_ptr<Process> impl;
    Bytes file;
    std::string served, received;
    CaseResult r;

    void fail(std::string expected, std::string observed, std::string cause = {}) {
        if (r.verdict == Verdict::fail) return;
        r.verdict = Verdict::fail;
        r.expected = std::move(expected);
        r.observed = std::move(observed);
        r.likely_cause = std::move(cause);
    }
    bool failed() const { return r.verdict == Verdict::fail; }
    ScriptEnv env() { return ScriptEnv{c, log, cfg.wait, served, file, cfg.host, impl.get()}; }
};

using ArgvFor = std::function<std::vector<std::string>(std::uint16_t port)>;

// Starts a server on a free port and waits until the port is bound. A port that something else
// took between choosing and binding makes the server end at once: another port is tried.
Process* start_server(CaseRun& run, const std::string& name, const ArgvFor& argv_for,
                      std::uint16_t& port, std::unique_ptr<Process>& slot) {
    for (int attempt = 0; attempt < 3 && !g_interrupted; ++attempt) {
        port = free_udp_port();
        slot = std::make_unique<Process>(argv_for(port), run.scratch, name);
        if (wait_bound(*slot, port, run.cfg.wait)) return slot.get();
        if (slot->running()) break;  // alive but not bound: no other port will help
    }
    return nullptr;
}

Process* start_peer(CaseRun& run, const std::string& name, const ArgvFor& argv_for,
                    std::uint16_t& port) {
    run.peers.emplace_back();
    Process* p = start_server(run, name, argv_for, port, run.peers.back());
    if (p == nullptr) {
        run.fail("our " + name + " serving on port " + std::to_string(port),
                 "it did not bind the port within " + wait_text(run.cfg.wait) +
                     " (set-up failure, not the implementation's): " +
                     last_bytes(run.peers.back()->out()));
    }
    return p;
}

std::vector<std::string> with_words(std::vector<std::string> argv, std::string_view words) {
    std::string w(words);
    for (std::size_t at = 0; at < w.size();) {
        const std::size_t end = std::min(w.find(' ', at), w.size());
        if (end > at) argv.push_back(w.substr(at, end - at));
        at = end + 1;
    }
    return argv;
}

// The longest a client may keep a case going while datagrams still flow: a file of a few MiB
// takes a second or two, so only a flood or a crawl reaches it.
constexpr Millis kCaseLimit{60000};

// A client ends by itself. One that is still running while nothing has crossed the network for
// the whole wait is hung; one still running after kCaseLimit is stopped as well.
bool wait_client_end(Process& p, const Log& log, Millis wait) {
    std::size_t seen = log.total();
    auto deadline = Clock::now() + wait;
    const auto limit = Clock::now() + kCaseLimit;
    while (p.running()) {
        if (Clock::now() >= limit || log.flooded()) return false;
        const std::size_t n = log.total();
        if (n != seen) {
            seen = n;
            deadline = Clock::now() + wait;
        }
        if (Clock::now() >= deadline || !nap(Millis{5})) return false;
    }
    return true;
}

// Both protocols open every message with its type, two bytes most significant first: only they
// are read (a shorter datagram's missing byte reads as zero, as in a receive area).
std::uint16_t type_of(const Bytes& b) {
    static_assert(ticket::kType.offset == 0 && pass::kType.offset == 0);
    return wire::load_be16(wire::zeroed_copy<2>(b));
}

std::string type_name(Protocol p, std::uint16_t t) {
    return p == Protocol::ticket ? kit::ticket_type_text(t) : kit::pass_type_text(t);
}

std::size_t count_from(const CaseRun& run, const std::string& from, std::uint16_t type) {
    std::size_t n = 0;
    for (const auto& d : run.log.snapshot()) n += d.from == from && type_of(d.bytes) == type;
    return n;
}

std::string result_lines(const Process& p) {
    const std::size_t ok = p.count_lines("OK"), abort = p.count_lines("ABORT");
    if (ok == 0 && abort == 0) return "no result line";
    std::string s;
    if (ok > 0) s += fmt::format("{} \"OK\"", ok);
    if (abort > 0) s += fmt::format("{}{} \"ABORT\"", s.empty() ? "" : ", ", abort);
    return s;
}

std::string still_waiting(const Outcome& o) {
    return o.waiting_at.empty() ? std::string{} : " (its peer was " + o.waiting_at + ")";
}

// What a script that stopped early saw. A wait for a datagram ends when the implementation does,
// so "nothing within" the wait says too little then: how it ended is what there is to see.
std::string failed_observation(const Outcome& o, Process& impl) {
    std::string seen = o.observed;
    if (seen.starts_with("nothing within") && !impl.running()) {
        seen = "nothing; it ended: " + impl.describe_end() + ", printed " + result_lines(impl);
        if (o.served > 0) seen += fmt::format(" after serving {} clients", o.served);
    }
    return seen + still_waiting(o);
}

// ---------------------------------------------------------------- where a case got

// Follows our peers' datagrams towards the receive point `at` (cases with our programs): the
// datagram of the point is the AS_REP or AS_ERR, the AP_REP, the envelope after the whole file,
// the PASS_REJECT.
class ReceivePoint {
public:
    ReceivePoint(At at, std::size_t file_size) : at_(at), chunks_(file_size / ticket::kChunkSize) {}
    // The peer that sends the point's datagram; nullptr for a point no peer of ours reaches.
    const char* peer() const {
        switch (at_) {
            case At::as_rep:
                return "gatekeep";
            case At::ap_rep:
            case At::app_terminate:
                return "server";
            case At::answer:
                return "lockbox";
            default:
                return nullptr;
        }
    }
    // Whether a peer datagram of type t is the point's, counting envelopes on the way.
    bool passes(std::uint16_t t) {
        const auto tt = [](ticket::Type x) { return static_cast<std::uint16_t>(x); };
        switch (at_) {
            case At::as_rep:
                return t == tt(ticket::Type::AS_REP) || t == tt(ticket::Type::AS_ERR);
            case At::ap_rep:
                return t == tt(ticket::Type::AP_REP);
            case At::app_terminate:
                envelopes_ += t == tt(ticket::Type::KRB_PRV);
                return envelopes_ > chunks_ + 1;
            case At::answer:
                return t == static_cast<std::uint16_t>(pass::Type::PASS_REJECT);
            default:
                return false;
        }
    }

private:
    At at_;
    std::size_t chunks_;
    std::size_t envelopes_ = 0;
};

// Whether our peer delivered the datagram of the receive point `at` (cases with our programs).
bool reached(const CaseRun& run, At at) {
    if (at == At::none) return true;
    ReceivePoint point(at, run.file.size());
    const char* peer = point.peer();
    if (peer == nullptr) return false;
    for (const auto& d : run.log.snapshot()) {
        if (d.from == peer && point.passes(type_of(d.bytes))) return true;
    }
    return false;
}

// Whether every step of a run with our programs crossed the relay: a client that prints "OK"
// without having fetched anything has not completed a run.
std::string missing_step(const CaseRun& run) {
    const auto tt = [](ticket::Type t) { return static_cast<std::uint16_t>(t); };
    const auto pt = [](pass::Type t) { return static_cast<std::uint16_t>(t); };
    if (run.cfg.role == Role::client) {
        if (count_from(run, kImpl, tt(ticket::Type::AS_REQ)) == 0) return "sent no AS_REQ";
        if (count_from(run, kImpl, tt(ticket::Type::AP_REQ)) == 0) return "sent no AP_REQ";
        if (count_from(run, kImpl, tt(ticket::Type::KRB_PRV)) == 0) {
            return "sent no KRB_PRV asking for the file";
        }
        if (!reached(run, At::app_terminate)) return "was not sent the whole file";
    }
    if (run.cfg.role == Role::latchkey) {
        if (count_from(run, kImpl, pt(pass::Type::PASS_RESP)) == 0) return "sent no PASS_RESP";
        if (count_from(run, "lockbox", pt(pass::Type::TERMINATE)) == 0) {
            return "was not sent the whole file";
        }
    }
    return {};
}

// The datagrams the implementation sent after the changed one (scripts), or after the datagram
// of the case's receive point (our programs).
std::vector<Bytes> sent_after(const CaseRun& run, const Outcome& o) {
    if (run.c.peers == Peers::script) return o.after;
    std::vector<Bytes> after;
    bool past = run.c.reached == At::none;
    ReceivePoint point(run.c.reached, run.file.size());
    for (const auto& d : run.log.snapshot()) {
        if (d.from == kImpl) {
            if (past) after.push_back(d.bytes);
        } else if (!past) {
            past = point.passes(type_of(d.bytes));
        }
    }
    return after;
}

// A refusal sends nothing but the datagram the protocol asks for.
std::string refusal_traffic(const CaseRun& run, const std::vector<Bytes>& after,
                            std::uint16_t reply, bool reply_required) {
    const Protocol p = protocol_of(run.cfg.role);
    std::size_t replies = 0;
    for (const Bytes& b : after) {
        const std::uint16_t t = type_of(b);
        if (reply != 0 && t == reply && replies == 0) {
            ++replies;
            continue;
        }
        return fmt::format("sent {} after it", type_name(p, t));
    }
    if (reply_required && replies == 0) return fmt::format("sent no {}", type_name(p, reply));
    return {};
}

// ---------------------------------------------------------------- judging

// What the case asks of the implementation, as a set of permitted reactions.
unsigned allowed_of(const Case& c, const Outcome& o) {
    switch (c.expect) {
        case Expect::complete:
        case Expect::serve:
            return kProceeds;
        case Expect::refuse:
        case Expect::refuse_end:
        case Expect::refuse_start:
            return kRefuses;
        case Expect::reading:
            return o.reading.allowed;
        case Expect::observe:
            break;
    }
    return kProceeds | kRefuses | kRetries | kWaits;
}

std::string expected_text(const Case& c, const Outcome& o, unsigned allowed, Protocol p,
                          bool server) {
    std::string s;
    if (o.delivered && !o.reading.text.empty()) s = "reads " + o.reading.text + ": ";
    if (allowed == kProceeds) {
        return s + (server ? "serves every client right, prints OK after each, keeps running"
                           : "prints OK, ends with status 0, the file arrives byte for byte");
    }
    if (allowed == kRefuses) {
        std::string what =
            server ? "answers nothing more, never prints OK, ends by itself with status 0"
                   : "prints ABORT (never OK), ends with status 0, sends nothing more";
        const std::uint16_t reply = c.peers == Peers::ours ? c.reply : o.reading.reply;
        if (reply != 0) {
            what = fmt::format("sends {}, then {}", type_name(p, reply), what);
        }
        return s + what;
    }
    return s + reaction_text(allowed);
}

void note_choice(CaseRun& run, unsigned allowed, unsigned reaction, const Outcome& o) {
    if ((allowed & (allowed - 1)) == 0) return;  // one reaction permitted: no choice made
    const std::string what = reaction == kProceeds  ? "went on"
                             : reaction == kRefuses ? "refused"
                             : reaction == kRetries ? "asked again"
                                                    : "waited";
    run.r.note = fmt::format("where the protocol leaves the choice, it {}{}", what,
                             o.reading.text.empty() ? "" : " (" + o.reading.text + ")");
}

// Output as a person reads it in one line: new lines written as \n.
std::string shown(std::string_view text) {
    std::string s;
    for (const char ch : text) s += ch == '\n' ? std::string("\\n") : std::string(1, ch);
    return s;
}

void check_output(CaseRun& run) {
    if ((run.c.checks & kOutput) == 0 || run.failed()) return;
    const std::string out = run.impl->out(), err = run.impl->err();
    if (out != run.c.output) {
        run.fail(fmt::format("standard output exactly \"{}\" (only result lines without -DDEBUG)",
                             shown(run.c.output)),
                 fmt::format("\"{}\"", shown(last_bytes(out, 200))));
    } else if (!err.empty()) {
        run.fail("nothing on standard error", fmt::format("\"{}\"", last_bytes(err, 200)));
    }
}

// What was given at start-up is refused: the refusal's line, status 0, nothing sent, the end.
void judge_start(CaseRun& run) {
    Process& impl = *run.impl;
    const std::string expected =
        "refuses it at start-up: prints " +
        ((run.c.checks & kOutput) != 0 ? fmt::format("exactly \"{}\"", shown(run.c.output))
                                       : std::string("ABORT")) +
        ", sends nothing, ends with status 0";
    run.r.expected = expected;
    if (!impl.wait_exit(run.cfg.wait)) {
        return run.fail(expected, "still running after " + wait_text(run.cfg.wait) + "; printed " +
                                      result_lines(impl));
    }
    run.script.drain(run.env());
    if (impl.signal() || impl.exit_code() != 0) return run.fail(expected, impl.describe_end());
    if (run.log.total() > 0) return run.fail(expected, "sent a datagram");
    if ((run.c.checks & kOutput) == 0) {
        if (impl.count_lines("ABORT") == 0 || impl.count_lines("OK") > 0) {
            return run.fail(expected, "printed " + result_lines(impl));
        }
    }
    check_output(run);
}

void judge_client(CaseRun& run, const Outcome& o, bool ended) {
    const Case& c = run.c;
    Process& impl = *run.impl;
    const unsigned allowed = allowed_of(c, o);
    const std::string expected = expected_text(c, o, allowed, protocol_of(run.cfg.role), false);
    run.r.expected = expected;
    const std::string printed = result_lines(impl);
    if (c.expect == Expect::observe) {
        run.r.verdict = Verdict::info;
        run.r.observed = o.notes + (o.notes.empty() ? "" : "; ") + "printed " + printed + "; " +
                         (ended ? impl.describe_end() : "still running");
        return;
    }
    if (impl.signal()) return run.fail(expected, impl.describe_end() + "; printed " + printed);
    const bool changed = c.peers == Peers::script && c.tamper.op != Op::none;
    if ((changed || c.expect == Expect::refuse) && c.peers == Peers::script && !o.delivered) {
        const std::string why = o.ok ? o.waiting_at : o.observed;
        return run.fail(fmt::format("gets to {} and {}", point_name(c.tamper.at), expected),
                        "never got there" + (why.empty() ? "" : ": " + why) + "; printed " +
                            printed + "; " + (ended ? impl.describe_end() : "still running"));
    }
    if (c.peers == Peers::ours && c.expect == Expect::refuse && !reached(run, c.reached)) {
        return run.fail(fmt::format("gets to {} and {}", point_name(c.reached), expected),
                        "never got there; printed " + printed + "; " +
                            (ended ? impl.describe_end() : "still running"));
    }
    if (!o.ok) return run.fail(o.expected, failed_observation(o, impl), o.likely_cause);
    const std::size_t ok = impl.count_lines("OK"), abort = impl.count_lines("ABORT");
    unsigned reaction = o.reaction.value_or(0);
    if (!o.reaction) {
        reaction = !ended                 ? unsigned{kWaits}
                   : ok > 0 && abort == 0 ? unsigned{kProceeds}
                   : abort > 0 && ok == 0 ? unsigned{kRefuses}
                                          : 0u;
    }
    if (!ended && (reaction != kWaits || (allowed & kWaits) == 0)) {
        const bool too_long = Clock::now() - run.start >= kCaseLimit;
        return run.fail(expected, (too_long ? fmt::format("still running after {} ({} datagrams)",
                                                          wait_text(kCaseLimit), run.log.total())
                                            : "still running after " + wait_text(run.cfg.wait) +
                                                  " without a datagram") +
                                      still_waiting(o) + "; printed " + printed);
    }
    if (ended && impl.exit_code() != 0) return run.fail(expected, impl.describe_end());
    if ((reaction & allowed) == 0) {
        const std::string did = reaction == kProceeds  ? "went on"
                                : reaction == kRefuses ? "refused"
                                : reaction == kRetries ? "offered its next password"
                                : reaction == kWaits   ? "kept waiting"
                                                       : "ended";
        std::string cause = reaction == kProceeds ? c.cause_if_taken : std::string{};
        if (reaction == kRefuses && c.story == Story::existing_output) {
            // Refusing a right run over an existing file: the digest took in its old bytes.
            const auto got = read_file(run.received, run.file.size() + 4096);
            if (got && got->size() > o.written.size() &&
                std::equal(o.written.begin(), o.written.end(), got->begin())) {
                cause = "the output file opened without being cut to what arrives";
            }
        }
        return run.fail(expected,
                        fmt::format("{}: printed {}{}", did, printed,
                                    o.reaction_text.empty() ? "" : ", " + o.reaction_text),
                        cause);
    }
    if (reaction == kProceeds) {
        if (ok == 0 || abort > 0) return run.fail(expected, "printed " + printed);
        if (c.peers == Peers::script && !o.finished) {
            return run.fail(expected,
                            "printed OK before its peer sent the whole file" + still_waiting(o));
        }
        if (c.peers == Peers::ours) {
            if (const std::string m = missing_step(run); !m.empty()) {
                return run.fail(expected, "printed OK but " + m);
            }
        }
        const Bytes& want = c.peers == Peers::script ? o.written : run.file;
        const auto got = read_file(run.received, want.size() + 1);
        if (!got) return run.fail(expected, "no output file");
        if (*got != want) {
            return run.fail(
                expected,
                fmt::format("the output file differs: {} bytes for {}", got->size(), want.size()),
                c.story == Story::existing_output && got->size() > want.size()
                    ? "the output file opened without being cut to what arrived"
                    : std::string{});
        }
    }
    if (reaction == kRefuses) {
        if (abort == 0 || ok > 0) return run.fail(expected, "printed " + printed);
        const std::uint16_t reply = c.peers == Peers::ours ? c.reply : o.reading.reply;
        const std::string extra =
            refusal_traffic(run, sent_after(run, o), reply,
                            allowed == kRefuses && reply != 0 &&
                                !(c.peers == Peers::script && o.reading.reply_optional));
        if (!extra.empty()) return run.fail(expected, extra);
        // An output file that cannot be created holds nothing to compare.
        if (!o.kept_on_refusal.empty() && c.peers == Peers::script &&
            c.story != Story::output_unopenable) {
            const auto got = read_file(run.received, run.file.size() + 2 * 65536);
            const bool kept = got && std::any_of(o.kept_on_refusal.begin(), o.kept_on_refusal.end(),
                                                 [&](const Bytes& b) { return b == *got; });
            if (!kept) {
                const std::size_t most =
                    std::max_element(
                        o.kept_on_refusal.begin(), o.kept_on_refusal.end(),
                        [](const Bytes& a, const Bytes& b) { return a.size() < b.size(); })
                        ->size();
                return run.fail(
                    "refuses, its output file holding what it accepted before (" +
                        fmt::format("{} bytes", o.kept_on_refusal.front().size()) +
                        (most != o.kept_on_refusal.front().size()
                             ? fmt::format(", or {} bytes where it took the changed datagram", most)
                             : std::string{}) +
                        ")",
                    got ? fmt::format("{} bytes, other than those", got->size())
                        : std::string("no output file"),
                    got && got->size() > most ? "more written than the data area holds"
                                              : std::string{});
            }
        }
        if ((c.checks & kFileKept) != 0) {
            const auto got = read_file(run.received, o.written.size() + 1);
            if (!got || *got != o.written) {
                return run.fail(fmt::format("the {} bytes accepted before the refusal kept in the "
                                            "output file",
                                            o.written.size()),
                                got ? fmt::format("{} bytes, not those", got->size())
                                    : std::string("no output file"));
            }
        }
        if ((c.checks & kFileAlone) != 0) {
            const auto got = read_file(run.received, run.file.size() + 1);
            if (!got || *got != run.file) {
                return run.fail(
                    "the existing output file left as it was (the refusal came before "
                    "the transfer)",
                    got ? fmt::format("{} bytes now", got->size()) : std::string("it is gone"),
                    "the output file opened before the transfer began");
            }
        }
    }
    check_output(run);
    if (!run.failed()) note_choice(run, allowed, reaction, o);
}

void judge_server(CaseRun& run, const Outcome& o) {
    const Case& c = run.c;
    Process& impl = *run.impl;
    const std::size_t n = static_cast<std::size_t>(c.clients);
    if (c.expect == Expect::observe) {
        run.r.verdict = Verdict::info;
        nap(kSilence);
        run.r.observed = o.notes + (o.notes.empty() ? "" : "; ") + "printed " + result_lines(impl) +
                         "; " + (impl.running() ? "still running" : impl.describe_end());
        return;
    }
    const unsigned allowed = allowed_of(c, o);
    const std::string expected = expected_text(c, o, allowed, protocol_of(run.cfg.role), true);
    run.r.expected = expected;
    const bool changed = c.peers == Peers::script && c.tamper.op != Op::none;
    if (changed && !o.delivered) {
        return run.fail(fmt::format("gets to {} and {}", point_name(c.tamper.at), expected),
                        "never got there: " + (o.ok ? o.waiting_at : o.observed));
    }
    if (!o.ok) return run.fail(o.expected, failed_observation(o, impl), o.likely_cause);
    unsigned reaction = kProceeds;
    if (o.reaction) {
        reaction = *o.reaction;
    } else if (c.expect == Expect::refuse_end || c.expect == Expect::reading) {
        // Our programs as peers, or a change whose answer never came: judged by what followed.
        reaction = o.served == n ? kProceeds : kRefuses;
    }
    if ((reaction & allowed) == 0) {
        const std::string did = c.peers == Peers::ours
                                    ? (reaction == kProceeds ? "served our client" : "refused it")
                                : o.reaction_text.empty() ? "did otherwise"
                                                          : o.reaction_text;
        return run.fail(expected, (reaction == kRefuses ? "refused: " : "") + did,
                        reaction == kProceeds ? c.cause_if_taken : std::string{});
    }
    if (reaction == kProceeds || reaction == kRetries) {
        if (o.served < n) {
            return run.fail(expected,
                            fmt::format("served {} of {} clients", o.served, n) + still_waiting(o));
        }
        if (!impl.wait_line("OK", n, run.cfg.wait)) {
            return run.fail(expected, "printed " + result_lines(impl) + "; " +
                                          (impl.running() ? "still running" : impl.describe_end()));
        }
        nap(Millis{50});
        if (!impl.running()) return run.fail(expected, impl.describe_end() + " after serving");
        check_output(run);
        if (!run.failed()) note_choice(run, allowed, reaction, o);
        return;
    }
    // A refusal: nothing but the refusal the protocol asks for, then the end.
    const std::uint16_t reply = c.peers == Peers::ours ? c.reply : o.reading.reply;
    if (!impl.wait_exit(run.cfg.wait)) {
        return run.fail(expected,
                        "still running " + wait_text(run.cfg.wait) + " after the refused datagram");
    }
    run.script.drain(run.env());
    const std::string extra = refusal_traffic(run, sent_after(run, run.script.o), reply,
                                              allowed == kRefuses && reply != 0);
    if (!extra.empty()) return run.fail(expected, extra);
    if (impl.signal() || impl.exit_code() != 0) return run.fail(expected, impl.describe_end());
    if (impl.count_lines("OK") > o.served) return run.fail(expected, "printed OK for it");
    const bool line = c.peers == Peers::ours || o.reading.result_line;
    if (line && impl.count_lines("ABORT") == 0) {
        return run.fail(expected + ", printing ABORT", "printed " + result_lines(impl));
    }
    if (!line && impl.count_lines("ABORT") > 0) {
        return run.fail(expected + ", without ABORT (a session key it refuses ends it silently)",
                        "printed ABORT");
    }
    check_output(run);
    if (!run.failed()) note_choice(run, allowed, reaction, o);
}

// ---------------------------------------------------------------- one runner per role

// A key as the case gives it: its own or the agreed one, in upper case when it asks.
std::string key_word(const Case& c, const std::string& own, std::string_view agreed) {
    std::string k = own.empty() ? std::string(agreed) : own;
    if (c.upper_keys) {
        for (char& ch : k) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    }
    return k;
}
std::string host_word(const Case& c) { return c.impl_host.empty() ? "127.0.0.1" : c.impl_host; }

std::string impl_client_id(const Case& c) {
    return c.impl_client_id.empty() ? std::string(kClientId) : c.impl_client_id;
}
std::string impl_server_id(const Case& c) {
    return c.impl_server_id.empty() ? std::string(kServerId) : c.impl_server_id;
}

ArgvFor gatekeep_argv(CaseRun& run, std::string_view words) {
    const std::string path = find_peer(run.cfg, "gatekeep");
    return [path, words](std::uint16_t port) {
        return with_words(
            {path, std::to_string(port), std::string(kClientId), std::string(kClientKey),
             std::string(kServerId), std::string(kServerKey)},
            words);
    };
}
ArgvFor server_argv(CaseRun& run, std::string_view words) {
    const std::string path = find_peer(run.cfg, "server");
    const std::string served = run.served;
    return [path, served, words](std::uint16_t port) {
        return with_words({path, std::to_string(port), std::string(kServerKey), served}, words);
    };
}

in_addr loopback_addr() { return in_addr{htonl(INADDR_LOOPBACK)}; }

// The relay to a ticket-protocol authentication server sends from the host-name address, so the
// Ticket carries the address that the client's Authenticator will carry, whatever the host name
// resolves to.
std::optional<std::uint16_t> relay_to_gatekeep(CaseRun& run, const std::string& from,
                                               const std::string& to, std::uint16_t port) {
    return run.relay.add(from, to, port, run.cfg.host.value_or(loopback_addr()));
}

void start_impl(CaseRun& run, std::vector<std::string> argv) {
    if (run.c.story == Story::existing_output) write_file(run.received, pattern(3000, 99));
    if ((run.c.checks & kFileAlone) != 0) write_file(run.received, run.file);
    run.impl = std::make_unique<Process>(argv, run.scratch, kImpl);
}

// The case's arguments without what a start-up case changes: those with which it must start.
Case agreed(const Case& c) {
    Case k = c;
    k.impl_key.clear();
    k.impl_server_key.clear();
    k.impl_client_id.clear();
    k.impl_passwords.clear();
    k.upper_keys = false;
    k.story = Story::plain;
    return k;
}

// A client that must refuse its arguments at start-up sends its AS_REQ with the agreed ones.
bool client_starts_when_agreed(CaseRun& run) {
    const Socket gk(loopback_addr(), 0), srv(loopback_addr(), 0);
    Process control(impl_argv(run.cfg.command, Role::client,
                              {"127.0.0.1", std::to_string(gk.port()), std::string(kClientKey),
                               "127.0.0.1", std::to_string(srv.port()), run.received,
                               std::string(kClientId), std::string(kServerId)}),
                    run.scratch, "control");
    if (gk.receive(run.cfg.wait)) return true;
    run.r.commands.push_back(control.command());
    run.fail("starts with the agreed arguments, then refuses the case's",
             "with the agreed arguments it sent no AS_REQ within " + wait_text(run.cfg.wait) +
                 " either; printed " + result_lines(control));
    return false;
}

void run_client(CaseRun& run) {
    const Case& c = run.c;
    auto argv = [&](std::uint16_t gk, std::uint16_t srv) {
        return impl_argv(
            run.cfg.command, Role::client,
            {host_word(c), std::to_string(gk), key_word(c, c.impl_key, kClientKey), host_word(c),
             std::to_string(srv), run.received, impl_client_id(c), impl_server_id(c)});
    };
    if (c.peers == Peers::ours) {
        std::uint16_t gk = 0, srv = 0;
        if (start_peer(run, "gatekeep", gatekeep_argv(run, c.gatekeep_words), gk) == nullptr ||
            start_peer(run, "server", server_argv(run, c.server_words), srv) == nullptr) {
            return;
        }
        const auto fg = relay_to_gatekeep(run, kImpl, "gatekeep", gk);
        const auto fs = run.relay.add(kImpl, "server", srv, loopback_addr());
        run.relay.start();
        start_impl(run, argv(*fg, *fs));
    } else {
        const Socket& gk = run.script.open();
        const Socket& srv = run.script.open();
        if (c.expect == Expect::refuse_start && !client_starts_when_agreed(run)) return;
        start_impl(run, argv(gk.port(), srv.port()));
        if (c.expect == Expect::refuse_start) return judge_start(run);
        play_ticket_servers(run.script, run.env());
    }
    const bool ended = wait_client_end(*run.impl, run.log, run.cfg.wait);
    run.script.drain(run.env());
    judge_client(run, run.script.o, ended);
}

void run_latchkey(CaseRun& run) {
    const Case& c = run.c;
    auto argv = [&](std::uint16_t port) {
        std::vector<std::string> v{host_word(c), std::to_string(port)};
        const std::string defaults[3] = {std::string(kPassword), "second", "third"};
        for (std::size_t i = 0; i < 3; ++i) {
            v.push_back(i < c.impl_passwords.size() ? c.impl_passwords[i] : defaults[i]);
        }
        v.push_back(run.received);
        return impl_argv(run.cfg.command, Role::latchkey, v);
    };
    if (c.peers == Peers::ours) {
        const std::string path = find_peer(run.cfg, c.password_peer);
        const std::string served = run.served;
        std::uint16_t port = 0;
        if (start_peer(
                run, "lockbox",
                [&](std::uint16_t p) {
                    return std::vector<std::string>{path, std::to_string(p), std::string(kPassword),
                                                    served};
                },
                port) == nullptr) {
            return;
        }
        const auto front = run.relay.add(kImpl, "lockbox", port, loopback_addr());
        run.relay.start();
        start_impl(run, argv(*front));
    } else {
        const Socket& sock = run.script.open();
        start_impl(run, argv(sock.port()));
        play_pass_server(run.script, run.env());
    }
    // A client that may keep waiting is watched for the silence period, not the whole wait.
    const bool may_wait = (run.script.o.reading.allowed & kWaits) != 0 && run.script.o.delivered;
    const bool ended = may_wait ? run.impl->wait_exit(kSilence)
                                : wait_client_end(*run.impl, run.log, run.cfg.wait);
    run.script.drain(run.env());
    judge_client(run, run.script.o, ended);
}

// Refusing at start-up counts only for an implementation that starts with the agreed
// arguments: one that ends at once whatever it is given refuses nothing.
bool starts_when_agreed(CaseRun& run, const ArgvFor& argv) {
    const std::uint16_t port = free_udp_port();
    Process control(argv(port), run.scratch, "control");
    if (wait_bound(control, port, run.cfg.wait)) return true;
    run.r.commands.push_back(control.command());
    run.fail("starts with the agreed arguments, then refuses the case's",
             "with the agreed arguments it did not bind its port either: " +
                 (control.running() ? "still running after " + wait_text(run.cfg.wait)
                                    : control.describe_end()) +
                 "; printed " + result_lines(control));
    return false;
}

// A server that must refuse what it was started with: it is given a port (taken already, when
// the story says so) and judged by how it ends.
void start_refusing_server(CaseRun& run, const ArgvFor& argv, const ArgvFor& agreed_argv) {
    if (!starts_when_agreed(run, agreed_argv)) return;
    const std::uint16_t port = free_udp_port();
    std::optional<Socket> holder;
    if (run.c.story == Story::port_taken) holder.emplace(in_addr{htonl(INADDR_ANY)}, port);
    if (run.c.story == Story::no_input_file) std::remove(run.served.c_str());
    run.impl = std::make_unique<Process>(argv(port), run.scratch, kImpl);
    judge_start(run);
}

// Starts the server under test; false (and the case failed) when it does not bind its port.
bool start_impl_server(CaseRun& run, const ArgvFor& argv, std::uint16_t& port,
                       const ArgvFor& agreed_argv = {}) {
    if (run.c.expect == Expect::refuse_start) {
        start_refusing_server(run, argv, agreed_argv);
        return false;
    }
    if (start_server(run, kImpl, argv, port, run.impl) != nullptr) return true;
    if (!run.impl) return false;
    run.fail("binds UDP port " + std::to_string(port) + " and waits for clients",
             (run.impl->running() ? "did not bind it within " + wait_text(run.cfg.wait)
                                  : run.impl->describe_end()) +
                 "; printed " + result_lines(*run.impl));
    return false;
}

// Our client through relays: to our (or the tested) authentication server from the host-name
// address, to the application server directly. Records in o what our client saw.
void run_our_client(CaseRun& run, std::uint16_t gk, const std::string& gk_name, std::uint16_t srv,
                    const std::string& srv_name, Outcome& o) {
    const auto fg = relay_to_gatekeep(run, "client", gk_name, gk);
    const auto fs = run.relay.add("client", srv_name, srv, loopback_addr());
    run.relay.start();
    const std::string client = find_peer(run.cfg, "client");
    const std::string out = run.scratch.file("our-client.bin");
    run.peers.push_back(std::make_unique<Process>(
        with_words({client, "127.0.0.1", std::to_string(*fg), std::string(kClientKey), "127.0.0.1",
                    std::to_string(*fs), out, std::string(kClientId), std::string(kServerId)},
                   run.c.client_words),
        run.scratch, "client"));
    Process& p = *run.peers.back();
    if (!wait_client_end(p, run.log, run.cfg.wait)) {
        o.fail("our client to end", "it was still waiting after " + wait_text(run.cfg.wait));
        return;
    }
    const auto got = read_file(out, run.file.size() + 1);
    const bool completed = p.count_lines("OK") > 0 && got && *got == run.file;
    if (run.c.expect == Expect::serve && !completed) {
        o.fail("our client completes the run (prints OK, file byte for byte)",
               "our client printed " + result_lines(p));
    }
    if (completed) o.served = 1;
    if (run.c.expect == Expect::observe) o.notes = "our client printed " + result_lines(p);
}

void run_server(CaseRun& run) {
    const Case& c = run.c;
    const Case plain = agreed(c);
    const auto argv_of = [&](const Case& k) -> ArgvFor {
        return [&run, &k](std::uint16_t p) {
            return impl_argv(
                run.cfg.command, Role::server,
                {std::to_string(p), key_word(k, k.impl_server_key, kServerKey), run.served});
        };
    };
    std::uint16_t port = 0;
    if (!start_impl_server(run, argv_of(c), port, argv_of(plain))) return;
    if (c.peers == Peers::ours) {
        std::uint16_t gk = 0;
        if (start_peer(run, "gatekeep", gatekeep_argv(run, c.gatekeep_words), gk) == nullptr)
            return;
        run_our_client(run, gk, "gatekeep", port, kImpl, run.script.o);
    } else {
        play_ticket_client(run.script, run.env(), port);
    }
    judge_server(run, run.script.o);
}

void run_gatekeep(CaseRun& run) {
    const Case& c = run.c;
    const Case plain = agreed(c);
    const auto argv_of = [&](const Case& k) -> ArgvFor {
        return [&run, &k](std::uint16_t p) {
            return impl_argv(
                run.cfg.command, Role::gatekeep,
                {std::to_string(p), impl_client_id(k), key_word(k, k.impl_key, kClientKey),
                 std::string(kServerId), key_word(k, k.impl_server_key, kServerKey)});
        };
    };
    std::uint16_t port = 0;
    if (!start_impl_server(run, argv_of(c), port, argv_of(plain))) return;
    if (c.peers == Peers::ours) {
        std::uint16_t srv = 0;
        if (start_peer(run, "server", server_argv(run, c.server_words), srv) == nullptr) return;
        run_our_client(run, port, kImpl, srv, "server", run.script.o);
    } else {
        play_as_client(run.script, run.env(), port);
    }
    judge_server(run, run.script.o);
}

void run_lockbox(CaseRun& run) {
    const Case& c = run.c;
    const Case plain = agreed(c);
    const auto argv_of = [&](const Case& k) -> ArgvFor {
        return [&run, &k](std::uint16_t p) {
            return impl_argv(
                run.cfg.command, Role::lockbox,
                {std::to_string(p),
                 k.impl_passwords.empty() ? std::string(kPassword) : k.impl_passwords[0],
                 run.served});
        };
    };
    std::uint16_t port = 0;
    if (!start_impl_server(run, argv_of(c), port, argv_of(plain))) return;
    if (c.peers == Peers::ours) {
        const std::string path = find_peer(run.cfg, c.password_peer);
        const auto front = run.relay.add("latchkey", kImpl, port, loopback_addr());
        run.relay.start();
        const std::string pw(kPassword);
        run.peers.push_back(std::make_unique<Process>(
            std::vector<std::string>{path, "127.0.0.1", std::to_string(*front), pw, pw, pw,
                                     run.scratch.file("our-latchkey.bin")},
            run.scratch, "latchkey"));
        // Our client waits for ever after a refusal; what matters is what the server did.
        while (run.log.total() == 0 && run.peers.back()->running() &&
               Clock::now() < run.start + run.cfg.wait) {
            nap(Millis{5});
        }
    } else {
        play_pass_client(run.script, run.env(), port);
    }
    judge_server(run, run.script.o);
}

}  // namespace

std::string find_peer(const Config& cfg, const std::string& name) {
    for (const auto& dir : cfg.peer_dirs) {
        const std::string p = find_executable(dir + "/" + name);
        if (!p.empty()) return p;
    }
    return find_executable(name);
}

std::vector<std::string> peers_of(Role role) {
    switch (role) {
        case Role::client:
            return {"gatekeep", "server"};
        case Role::server:
            return {"gatekeep", "client"};
        case Role::gatekeep:
            return {"server", "client"};
        case Role::lockbox:
            return {"latchkey-badjoin"};
        case Role::latchkey:
            return {"peercheck-pass-server"};
    }
    return {};
}

std::vector<std::string> placeholders(Role role) {
    switch (role) {
        case Role::client:
            return {"gatekeepername", "gatekeeperport", "gatekeeperkey", "servername",
                    "serverport",     "outfile",        "clientID",      "serverID"};
        case Role::server:
            return {"serverport", "gatekeeperkey", "inputfile"};
        case Role::gatekeep:
            return {"gatekeeperport", "clientID", "clientkey", "serverID", "serverkey"};
        case Role::lockbox:
            return {"serverport", "password", "inputfile"};
        case Role::latchkey:
            return {"servername", "serverport", "clientpwd1",
                    "clientpwd2", "clientpwd3", "outfile"};
    }
    return {};
}

std::vector<std::string> impl_argv(const std::vector<std::string>& command, Role role,
                                   const std::vector<std::string>& values) {
    const auto names = placeholders(role);
    bool filled = false;
    std::vector<std::string> argv;
    for (std::string word : command) {
        for (std::size_t i = 0; i < names.size() && i < values.size(); ++i) {
            const std::string key = "{" + names[i] + "}";
            for (std::size_t at = word.find(key); at != std::string::npos;
                 at = word.find(key, at + values[i].size())) {
                word.replace(at, key.size(), values[i]);
                filled = true;
            }
        }
        argv.push_back(std::move(word));
    }
    if (!filled) argv.insert(argv.end(), values.begin(), values.end());
    return argv;
}

void explain(std::vector<CaseResult>& results) {
    // A cause that rests on taking (or refusing) what only one mistake takes (or refuses) holds
    // only where the case's control passed in the same run: an implementation that takes
    // everything, or refuses everything, tells nothing by doing so here. A control that was not
    // run tells nothing either.
    const auto passed = [&](std::string_view id) {
        return std::any_of(results.begin(), results.end(), [&](const CaseResult& r) {
            return r.id == id && r.verdict == Verdict::pass;
        });
    };
    for (CaseResult& r : results) {
        if (r.verdict != Verdict::fail) continue;
        const auto& cases = catalogue(r.role);
        const auto c =
            std::find_if(cases.begin(), cases.end(), [&](const Case& k) { return k.id == r.id; });
        if (c == cases.end()) continue;
        const std::string_view control =
            c->control.empty() ? baseline_of(r.role) : std::string_view(c->control);
        if (!c->cause_if_taken.empty() && r.likely_cause == c->cause_if_taken && !passed(control)) {
            r.likely_cause.clear();
        }
        if (!c->cause_if_refused.empty() && r.likely_cause.empty() &&
            r.observed.starts_with("refused") && passed(control)) {
            r.likely_cause = c->cause_if_refused;
        }
    }
}

std::string_view baseline_of(Role role) noexcept {
    switch (role) {
        case Role::client:
            return "client/run/script";
        case Role::server:
            return "server/run/empty";
        case Role::gatekeep:
            return "gatekeep/run/one-request";
        case Role::lockbox:
            return "lockbox/run/empty";
        case Role::latchkey:
            return "latchkey/run/script";
    }
    return {};
}

CaseResult run_case(const Case& c, const Config& cfg) {
    CaseRun run(c, cfg);
    run.r.id = c.id;
    run.r.title = c.title;
    run.r.role = cfg.role;
    run.r.started = static_cast<std::uint32_t>(std::time(nullptr));
    run.file = pattern(c.file_size, static_cast<std::uint32_t>(c.file_size + 1));
    // A file whose digest has a zero byte early: one in 256 contents does.
    for (std::uint32_t seed = 1; c.story == Story::digest_with_zero && sha1_of(run.file)[3] != 0;
         ++seed) {
        run.file = pattern(c.file_size, seed);
    }
    run.served = run.scratch.file("served.bin");
    run.received = run.scratch.file(c.story == Story::output_unopenable ? "missing/received.bin"
                                                                        : "received.bin");
    write_file(run.served, run.file);
    if (protocol_of(cfg.role) == Protocol::ticket) {
        seal::Key k{};
        const std::string ck(kClientKey), sk(kServerKey);
        common::to_hex(ck.c_str(), k);
        run.r.keys.client_key = k;
        common::to_hex(sk.c_str(), k);
        run.r.keys.server_key = k;
    }
    switch (cfg.role) {
        case Role::client:
            run_client(run);
            break;
        case Role::server:
            run_server(run);
            break;
        case Role::gatekeep:
            run_gatekeep(run);
            break;
        case Role::lockbox:
            run_lockbox(run);
            break;
        case Role::latchkey:
            run_latchkey(run);
            break;
    }
    if (run.impl) {
        // Whatever it sent to the script's sockets until its end belongs to the exchange.
        run.impl->kill_group();
        run.script.drain(run.env());
    }
    // A flood explains whatever the case saw after it.
    if (const auto flood = run.log.flood()) {
        run.r.verdict = Verdict::pass;
        run.fail(run.r.expected, describe(*flood));
    }
    if (c.expect == Expect::observe && run.failed()) {
        // What an implementation may choose is never a failure, not even not starting.
        run.r.verdict = Verdict::info;
    }
    if (g_interrupted) {
        run.r.verdict = Verdict::skipped;
        run.r.observed = "interrupted";
    }
    for (const auto& p : run.peers) {
        if (p) run.r.commands.push_back(p->command());
    }
    if (run.impl) {
        run.r.commands.push_back(run.impl->command());
        run.r.impl_stdout = run.impl->out_tail(kTailBytes);
        run.r.impl_stderr = run.impl->err_tail(kTailBytes);
    }
    std::tie(run.r.exchange, run.r.omitted) = run.log.contents();
    run.r.seconds = std::chrono::duration<double>(Clock::now() - run.start).count();
    return run.r;
}

}  // namespace peercheck
