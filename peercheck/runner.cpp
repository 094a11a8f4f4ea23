#include "runner.h"

#include <algorithm>
#include <ctime>
#include <functional>
#include <memory>
#include <tuple>

#include "helpers.h"
#include "pass_msg.h"
#include "scripts.h"
#include "seal.h"
#include "ticket_msg.h"

namespace peercheck {

namespace {

const std::string kImpl = "implementation";
constexpr std::size_t kTailBytes = 4000;

std::string str(std::string_view v) { return std::string(v); }

std::string seconds_text(Millis m) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", static_cast<double>(m.count()) / 1000);
    return text;
}

// Everything one case owns. Members are destroyed in reverse order: the processes are killed
// first, then the relay stops, and the scratch folder goes last.
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
    std::vector<std::unique_ptr<Process>> peers;
    std::unique_ptr<Process> impl;
    Bytes file;
    std::string served, received;
    CaseResult r;

    void fail(std::string expected, std::string observed) {
        if (r.verdict == Verdict::fail) return;
        r.verdict = Verdict::fail;
        r.expected = std::move(expected);
        r.observed = std::move(observed);
    }
    bool failed() const { return r.verdict == Verdict::fail; }
    ScriptEnv env() const {
        return ScriptEnv{c, const_cast<Log&>(log), cfg.wait, served, file, cfg.host, impl.get()};
    }
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
                 "it did not bind the port within " + seconds_text(run.cfg.wait) +
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

std::uint16_t type_of(Protocol p, const Bytes& b) {
    if (p == Protocol::ticket) {
        ticket::RecvArea a{};
        std::copy_n(b.begin(), std::min(b.size(), a.size()), a.begin());
        return ticket::read_type(a);
    }
    pass::RecvArea a{};
    std::copy_n(b.begin(), std::min(b.size(), a.size()), a.begin());
    return pass::read_header(a).type;
}

std::string type_name(Protocol p, std::uint16_t t) {
    static const char* const kTicket[] = {"AS_REQ", "AS_REP", "AS_ERR", "AP_REQ",
                                          "AP_REP", "AP_ERR", "KRB_PRV"};
    static const char* const kPass[] = {"JOIN_REQ", "PASS_REQ",  "PASS_RESP",  "PASS_ACCEPT",
                                        "DATA",     "TERMINATE", "PASS_REJECT"};
    if (t >= 1 && t <= 7) return (p == Protocol::ticket ? kTicket : kPass)[t - 1];
    return "type " + std::to_string(t);
}

bool impl_sent(const CaseRun& run, std::uint16_t type) {
    const Protocol p = protocol_of(run.cfg.role);
    for (const auto& d : run.log.snapshot()) {
        if (d.from == kImpl && type_of(p, d.bytes) == type) return true;
    }
    return false;
}

std::string result_lines(const Process& p) {
    const std::size_t ok = p.count_lines("OK"), abort = p.count_lines("ABORT");
    if (ok == 0 && abort == 0) return "no result line";
    std::string s;
    if (ok > 0) s += std::to_string(ok) + " \"OK\"";
    if (abort > 0) s += (s.empty() ? "" : ", ") + std::to_string(abort) + " \"ABORT\"";
    return s;
}

std::string still_waiting(const Outcome& o) {
    return o.waiting_at.empty() ? std::string{} : " (its peer was " + o.waiting_at + ")";
}

// ---------------------------------------------------------------- judging

void judge_client(CaseRun& run, const Outcome& o, bool ended) {
    const Case& c = run.c;
    Process& impl = *run.impl;
    const Protocol p = protocol_of(run.cfg.role);
    std::string expected = c.expect == Expect::complete
                               ? "prints OK, ends with status 0, the file arrives byte for byte"
                               : "prints ABORT (never OK), ends with status 0";
    if (c.never_sends != 0) expected += ", sends no " + type_name(p, c.never_sends);
    run.r.expected = expected;
    const std::string printed = result_lines(impl);
    if (c.expect == Expect::observe) {
        run.r.verdict = Verdict::info;
        run.r.observed = o.notes + (o.notes.empty() ? "" : "; ") + "printed " + printed + "; " +
                         (ended ? impl.describe_end() : "still running");
        return;
    }
    if (!ended) {
        const bool too_long = Clock::now() - run.start >= kCaseLimit;
        return run.fail(expected,
                        (too_long ? "still running after " + seconds_text(kCaseLimit) + " (" +
                                        std::to_string(run.log.total()) + " datagrams)"
                                  : "still running after " + seconds_text(run.cfg.wait) +
                                        " without a datagram") +
                            still_waiting(o) + "; printed " + printed);
    }
    if (impl.signal()) return run.fail(expected, impl.describe_end() + "; printed " + printed);
    if (impl.exit_code() != 0) return run.fail(expected, impl.describe_end());
    if (!o.ok) return run.fail(o.expected, o.observed);
    const std::size_t ok = impl.count_lines("OK"), abort = impl.count_lines("ABORT");
    if (c.expect == Expect::complete) {
        if (ok == 0 || abort > 0) return run.fail(expected, "printed " + printed);
        const auto got = read_file(run.received, run.file.size() + 1);
        if (!got) return run.fail(expected, "no output file");
        if (*got != run.file) {
            return run.fail(expected, "the output file differs: " + std::to_string(got->size()) +
                                          " bytes for " + std::to_string(run.file.size()));
        }
        return;
    }
    if (abort == 0 || ok > 0) return run.fail(expected, "printed " + printed);
    if (c.never_sends != 0 && impl_sent(run, c.never_sends)) {
        return run.fail(expected, "sent " + type_name(p, c.never_sends));
    }
}

void judge_server(CaseRun& run, const Outcome& o) {
    const Case& c = run.c;
    Process& impl = *run.impl;
    const Protocol p = protocol_of(run.cfg.role);
    const std::size_t n = static_cast<std::size_t>(c.clients);
    if (c.expect == Expect::observe) {
        run.r.verdict = Verdict::info;
        nap(kSilence);
        run.r.observed = o.notes + (o.notes.empty() ? "" : "; ") + "printed " + result_lines(impl) +
                         "; " + (impl.running() ? "still running" : impl.describe_end());
        return;
    }
    if (c.expect == Expect::serve) {
        const std::string expected = "serves " + std::to_string(n) +
                                     (n == 1 ? " client" : " clients") +
                                     " correctly, prints OK after each, keeps running";
        run.r.expected = expected;
        if (!o.ok) return run.fail(o.expected, o.observed + still_waiting(o));
        if (!impl.wait_line("OK", n, run.cfg.wait)) {
            return run.fail(expected, "printed " + result_lines(impl) + "; " +
                                          (impl.running() ? "still running" : impl.describe_end()));
        }
        nap(Millis{50});
        if (!impl.running()) return run.fail(expected, impl.describe_end() + " after serving");
        return;
    }
    std::string expected = "answers no " + type_name(p, c.never_sends);
    if ((c.checks & kApErr) != 0) expected += ", sends AP_ERR";
    expected += ", never prints OK, ends by itself";
    run.r.expected = expected;
    if (!o.ok) return run.fail(o.expected, o.observed);
    if (c.never_sends != 0 && impl_sent(run, c.never_sends)) {
        return run.fail(expected, "sent " + type_name(p, c.never_sends));
    }
    if ((c.checks & kApErr) != 0 &&
        !impl_sent(run, static_cast<std::uint16_t>(ticket::Type::AP_ERR))) {
        return run.fail(expected, "sent no AP_ERR");
    }
    if (!impl.wait_exit(run.cfg.wait)) {
        return run.fail(expected, "still running " + seconds_text(run.cfg.wait) +
                                      " after the refused datagram");
    }
    if (impl.signal()) return run.fail(expected, impl.describe_end());
    if (impl.count_lines("OK") > 0) return run.fail(expected, "printed OK");
}

// ---------------------------------------------------------------- one runner per role

std::string impl_client_id(const Case& c) {
    return str(c.impl_client_id.empty() ? kClientId : c.impl_client_id);
}
std::string impl_server_id(const Case& c) {
    return str(c.impl_server_id.empty() ? kServerId : c.impl_server_id);
}

ArgvFor gatekeep_argv(CaseRun& run, std::string_view words) {
    const std::string path = find_peer(run.cfg, "gatekeep");
    return [path, words](std::uint16_t port) {
        return with_words({path, std::to_string(port), str(kClientId), str(kClientKey),
                           str(kServerId), str(kServerKey)},
                          words);
    };
}
ArgvFor server_argv(CaseRun& run, std::string_view words) {
    const std::string path = find_peer(run.cfg, "server");
    const std::string served = run.served;
    return [path, served, words](std::uint16_t port) {
        return with_words({path, std::to_string(port), str(kServerKey), served}, words);
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

void run_client(CaseRun& run) {
    const Case& c = run.c;
    auto argv = [&](std::uint16_t gk, std::uint16_t srv) {
        return impl_argv(
            run.cfg.command, Role::client,
            {"127.0.0.1", std::to_string(gk), str(c.impl_key.empty() ? kClientKey : c.impl_key),
             "127.0.0.1", std::to_string(srv), run.received, impl_client_id(c), impl_server_id(c)});
    };
    Outcome o;
    if (c.peers == Peers::ours) {
        std::uint16_t gk = 0, srv = 0;
        if (start_peer(run, "gatekeep", gatekeep_argv(run, c.gatekeep_words), gk) == nullptr ||
            start_peer(run, "server", server_argv(run, c.server_words), srv) == nullptr) {
            return;
        }
        const auto fg = relay_to_gatekeep(run, kImpl, "gatekeep", gk);
        const auto fs = run.relay.add(kImpl, "server", srv, loopback_addr());
        run.relay.start();
        run.impl = std::make_unique<Process>(argv(*fg, *fs), run.scratch, kImpl);
    } else {
        TicketServersScript script;
        run.impl = std::make_unique<Process>(argv(script.gatekeep_port(), script.server_port()),
                                             run.scratch, kImpl);
        o = script.play(run.env());
    }
    const bool ended = wait_client_end(*run.impl, run.log, run.cfg.wait);
    judge_client(run, o, ended);
}

void run_latchkey(CaseRun& run) {
    const Case& c = run.c;
    auto argv = [&](std::uint16_t port) {
        std::vector<std::string> v{"127.0.0.1", std::to_string(port)};
        const std::string_view defaults[3] = {kPassword, "second", "third"};
        for (int i = 0; i < 3; ++i) {
            v.push_back(str(c.impl_passwords[i].empty() ? defaults[i] : c.impl_passwords[i]));
        }
        v.push_back(run.received);
        return impl_argv(run.cfg.command, Role::latchkey, v);
    };
    Outcome o;
    if (c.peers == Peers::ours) {
        const std::string path = find_peer(run.cfg, str(c.password_peer));
        const std::string served = run.served;
        std::uint16_t port = 0;
        if (start_peer(
                run, "lockbox",
                [&](std::uint16_t p) {
                    return std::vector<std::string>{path, std::to_string(p), str(kPassword),
                                                    served};
                },
                port) == nullptr) {
            return;
        }
        const auto front = run.relay.add(kImpl, "lockbox", port, loopback_addr());
        run.relay.start();
        run.impl = std::make_unique<Process>(argv(*front), run.scratch, kImpl);
    } else {
        PassServerScript script;
        run.impl = std::make_unique<Process>(argv(script.port()), run.scratch, kImpl);
        o = script.play(run.env());
    }
    const bool ended = wait_client_end(*run.impl, run.log, run.cfg.wait);
    judge_client(run, o, ended);
}

// Starts the server under test; false (and the case failed) when it does not bind its port.
bool start_impl_server(CaseRun& run, const ArgvFor& argv, std::uint16_t& port) {
    if (start_server(run, kImpl, argv, port, run.impl) != nullptr) return true;
    if (!run.impl) return false;
    run.fail("binds UDP port " + std::to_string(port) + " and waits for clients",
             (run.impl->running() ? "did not bind it within " + seconds_text(run.cfg.wait)
                                  : run.impl->describe_end()) +
                 "; printed " + result_lines(*run.impl));
    return false;
}

// Our client through relays: to our (or the tested) authentication server from the host-name
// address, to the application server directly. Fills o with what our client saw.
void run_our_client(CaseRun& run, std::uint16_t gk, const std::string& gk_name, std::uint16_t srv,
                    const std::string& srv_name, Outcome& o) {
    const auto fg = relay_to_gatekeep(run, "client", gk_name, gk);
    const auto fs = run.relay.add("client", srv_name, srv, loopback_addr());
    run.relay.start();
    const std::string client = find_peer(run.cfg, "client");
    const std::string out = run.scratch.file("our-client.bin");
    run.peers.push_back(std::make_unique<Process>(
        with_words({client, "127.0.0.1", std::to_string(*fg), str(kClientKey), "127.0.0.1",
                    std::to_string(*fs), out, str(kClientId), str(kServerId)},
                   run.c.client_words),
        run.scratch, "client"));
    Process& p = *run.peers.back();
    if (!wait_client_end(p, run.log, run.cfg.wait)) {
        o.fail("our client to end", "it was still waiting after " + seconds_text(run.cfg.wait));
        return;
    }
    if (run.c.expect == Expect::serve) {
        const auto got = read_file(out, run.file.size() + 1);
        if (p.count_lines("OK") == 0 || !got || *got != run.file) {
            o.fail("our client completes the run (prints OK, file byte for byte)",
                   "our client printed " + result_lines(p));
        }
    }
    if (run.c.expect == Expect::observe) o.notes = "our client printed " + result_lines(p);
}

void run_server(CaseRun& run) {
    const Case& c = run.c;
    std::uint16_t port = 0;
    if (!start_impl_server(
            run,
            [&](std::uint16_t p) {
                return impl_argv(run.cfg.command, Role::server,
                                 {std::to_string(p), str(kServerKey), run.served});
            },
            port)) {
        return;
    }
    Outcome o;
    if (c.peers == Peers::ours) {
        std::uint16_t gk = 0;
        if (start_peer(run, "gatekeep", gatekeep_argv(run, c.gatekeep_words), gk) == nullptr)
            return;
        run_our_client(run, gk, "gatekeep", port, kImpl, o);
    } else {
        o = play_ticket_client(run.env(), port);
    }
    judge_server(run, o);
}

void run_gatekeep(CaseRun& run) {
    const Case& c = run.c;
    std::uint16_t port = 0;
    if (!start_impl_server(
            run,
            [&](std::uint16_t p) {
                return impl_argv(run.cfg.command, Role::gatekeep,
                                 {std::to_string(p), impl_client_id(c), str(kClientKey),
                                  str(kServerId), str(kServerKey)});
            },
            port)) {
        return;
    }
    Outcome o;
    if (c.peers == Peers::ours) {
        std::uint16_t srv = 0;
        if (start_peer(run, "server", server_argv(run, c.server_words), srv) == nullptr) return;
        run_our_client(run, port, kImpl, srv, "server", o);
    } else {
        o = play_as_client(run.env(), port);
    }
    judge_server(run, o);
}

void run_lockbox(CaseRun& run) {
    const Case& c = run.c;
    std::uint16_t port = 0;
    if (!start_impl_server(
            run,
            [&](std::uint16_t p) {
                return impl_argv(run.cfg.command, Role::lockbox,
                                 {std::to_string(p), str(kPassword), run.served});
            },
            port)) {
        return;
    }
    Outcome o;
    if (c.peers == Peers::ours) {
        const std::string path = find_peer(run.cfg, str(c.password_peer));
        const auto front = run.relay.add("latchkey", kImpl, port, loopback_addr());
        run.relay.start();
        const std::string pw = str(kPassword);
        run.peers.push_back(std::make_unique<Process>(
            std::vector<std::string>{path, "127.0.0.1", std::to_string(*front), pw, pw, pw,
                                     run.scratch.file("our-latchkey.bin")},
            run.scratch, "latchkey"));
        // Our client waits for ever after a refusal; what matters is what the server did.
        while (run.log.total() == 0 && run.peers.back()->running() &&
               Clock::now() < run.start + run.cfg.wait) {
            nap(Millis{5});
        }
        nap(kSilence);
    } else {
        o = play_pass_client(run.env(), port);
    }
    judge_server(run, o);
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

CaseResult run_case(const Case& c, const Config& cfg) {
    CaseRun run(c, cfg);
    run.r.id = str(c.id);
    run.r.title = str(c.title);
    run.r.role = cfg.role;
    run.r.started = static_cast<std::uint32_t>(std::time(nullptr));
    run.file = pattern(c.file_size, static_cast<std::uint32_t>(c.file_size + 1));
    run.served = run.scratch.file("served.bin");
    run.received = run.scratch.file("received.bin");
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
    if (run.log.total() > run.r.exchange.size() && run.failed()) {
        run.r.observed += " (" + std::to_string(run.log.total()) + " datagrams in all; " +
                          std::to_string(run.log.total() - run.r.exchange.size()) +
                          " of them are left out of the exchange)";
    }
    run.r.seconds = std::chrono::duration<double>(Clock::now() - run.start).count();
    return run.r;
}

}  // namespace peercheck
