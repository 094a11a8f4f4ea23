// peercheck: runs the catalogue of one role against another implementation of that role, with
// our programs (or peercheck itself) as its peers, and reports what failed and why.
//
//   peercheck ROLE [options] [CASE...] -- COMMAND...
//   peercheck matrix FILE [options]

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <sstream>
#include <thread>

#include "catalogue.h"
#include "engine.h"
#include "report/report.h"
#include "runner.h"

namespace peercheck {

namespace {

constexpr int kUsageError = 2;
constexpr int kInterrupted = 130;

struct Options {
    std::vector<std::string> select;
    bool list = false;
    double timeout = 5;
    unsigned jobs = 1;
    std::string junit, json, html;
    bool verbose = false;
    std::string peers;
};

struct SetupError {
    std::string message;
};

std::vector<std::string> default_peer_dirs() {
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) return {};
    const auto dir = exe.parent_path();
    return {dir.string(), (dir.parent_path() / "libexec" / "peercheck").string()};
}

std::vector<const Case*> select_cases(Role role, const std::vector<std::string>& select) {
    std::vector<const Case*> chosen;
    for (const Case& c : catalogue(role)) {
        bool take = select.empty();
        for (const auto& s : select) take = take || c.id.starts_with(s);
        if (take) chosen.push_back(&c);
    }
    return chosen;
}

// Checks everything a run needs before any case starts; throws SetupError naming the fix.
Config make_config(Role role, const std::vector<std::string>& command, const Options& opt) {
    Config cfg;
    cfg.role = role;
    cfg.command = command;
    cfg.wait = Millis{static_cast<Millis::rep>(opt.timeout * 1000)};
    // Every process runs in its case's scratch folder: a relative folder must not depend on it.
    cfg.peer_dirs = opt.peers.empty()
                        ? default_peer_dirs()
                        : std::vector<std::string>{std::filesystem::absolute(opt.peers).string()};
    if (command.empty())
        throw SetupError{"no command after \"--\": give the one that starts your " +
                         std::string(role_name(role))};
    const std::string program = find_executable(command[0]);
    if (program.empty()) {
        throw SetupError{"cannot start \"" + command[0] + "\": not found or not executable"};
    }
    // Every process runs in its case's scratch folder: a relative path must not depend on it.
    if (command[0].find('/') != std::string::npos) {
        cfg.command[0] = std::filesystem::absolute(program).string();
    }
    for (const auto& name : peers_of(role)) {
        if (find_peer(cfg, name).empty()) {
            throw SetupError{"our program \"" + name + "\" is not installed beside peercheck nor " +
                             "on PATH; name its folder with --peers DIR"};
        }
    }
    if (protocol_of(role) == Protocol::ticket) {
        char name[256] = {};
        ::gethostname(name, sizeof name - 1);
        cfg.host = host_address();
        if (!cfg.host) {
            throw SetupError{std::string("the host name \"") + name +
                             "\" has no IPv4 address, so no ticket-protocol client can fill its "
                             "Authenticator; add \"127.0.0.1 " +
                             name + "\" to /etc/hosts"};
        }
        if (!Socket(*cfg.host, 0).valid()) {
            throw SetupError{std::string("the host name \"") + name + "\" resolves to " +
                             dotted(*cfg.host) +
                             ", which is no address of this machine; map it to 127.0.0.1 in "
                             "/etc/hosts"};
        }
    }
    return cfg;
}

// Runs the cases, jobs at a time; on_done sees each result as it finishes (under a lock).
RunReport run_cases(
    const Config& cfg, const std::vector<const Case*>& cases, unsigned jobs,
    const std::function<void(const CaseResult&, std::size_t, std::size_t)>& on_done) {
    RunReport run;
    run.role = cfg.role;
    for (const auto& w : cfg.command) run.command += (run.command.empty() ? "" : " ") + w;
    run.implementation = run.command;
    const auto start = Clock::now();
    std::vector<std::optional<CaseResult>> results(cases.size());
    std::atomic<std::size_t> next{0};
    std::size_t done = 0;
    std::mutex mutex;
    auto worker = [&] {
        for (;;) {
            const std::size_t i = next++;
            if (i >= cases.size() || g_interrupted) return;
            CaseResult r = run_case(*cases[i], cfg);
            const std::lock_guard lock(mutex);
            results[i] = std::move(r);
            on_done(*results[i], ++done, cases.size());
        }
    };
    std::vector<std::thread> threads;
    for (unsigned j = 1; j < std::max(1u, jobs); ++j) threads.emplace_back(worker);
    worker();
    for (auto& t : threads) t.join();
    for (auto& r : results) {
        if (r) run.cases.push_back(std::move(*r));
    }
    run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return run;
}

bool write_text(const std::string& path, const std::string& text) {
    if (path.empty()) return true;
    std::ofstream f(path, std::ios::binary);
    f << text;
    if (f) return true;
    std::cerr << "peercheck: cannot write " << path << "\n";
    return false;
}

bool any_failed(const RunReport& run) {
    return std::any_of(run.cases.begin(), run.cases.end(),
                       [](const CaseResult& c) { return c.verdict == Verdict::fail; });
}

int list_cases(const std::vector<const Case*>& cases) {
    for (const Case* c : cases) {
        std::cout << c->id << "  " << c->title
                  << (c->expect == Expect::observe ? "  (informational)" : "") << "\n";
    }
    return 0;
}

int run_role(Role role, const std::vector<std::string>& command, const Options& opt) {
    const auto cases = select_cases(role, opt.select);
    if (cases.empty()) {
        std::cerr << "peercheck: no case of " << role_name(role) << " matches the selection\n";
        return kUsageError;
    }
    if (opt.list) return list_cases(cases);
    Config cfg;
    try {
        cfg = make_config(role, command, opt);
    } catch (const SetupError& e) {
        std::cerr << "peercheck: " << e.message << "\n";
        return kUsageError;
    }
    const bool tty = ::isatty(STDOUT_FILENO) != 0;
    auto on_done = [&](const CaseResult& r, std::size_t done, std::size_t total) {
        if (tty) std::cout << "\r\033[K";
        std::cout << report::case_line(r) << "\n";
        if (tty && done < total) std::cout << "[" << done << "/" << total << "] running ...";
        std::cout.flush();
    };
    const RunReport run = run_cases(cfg, cases, opt.jobs, on_done);
    if (tty) std::cout << "\r\033[K";
    for (const auto& c : run.cases) {
        if (c.verdict == Verdict::fail || opt.verbose) std::cout << "\n" << report::case_details(c);
    }
    bool written = write_text(opt.junit, report::junit(run));
    written = write_text(opt.json, report::json(run)) && written;
    written = write_text(opt.html, report::html(run)) && written;
    std::cout << "\n";
    if (g_interrupted) {
        std::cout << "interrupted after " << run.cases.size() << " of " << cases.size()
                  << " cases\n";
    }
    std::cout << report::summary_line(run) << std::endl;
    if (g_interrupted) return kInterrupted;
    if (!written) return kUsageError;
    return any_failed(run) ? 1 : 0;
}

struct MatrixEntry {
    std::string name;
    Role role;
    std::vector<std::string> command;
};

// One implementation a line: NAME ROLE COMMAND... Blank lines and lines from "#" are skipped.
std::vector<MatrixEntry> read_matrix(const std::string& path) {
    std::ifstream f(path);
    if (!f) throw SetupError{"cannot read " + path};
    std::vector<MatrixEntry> entries;
    int number = 0;
    for (std::string line; std::getline(f, line);) {
        ++number;
        std::istringstream words(line.substr(0, line.find('#')));
        MatrixEntry e;
        std::string role;
        if (!(words >> e.name)) continue;
        words >> role;
        for (std::string w; words >> w;) e.command.push_back(w);
        const auto r = role_from_name(role);
        if (!r || e.command.empty()) {
            std::string roles;
            for (const Role known : kRoles) {
                roles += (roles.empty() ? "" : ", ") + std::string(role_name(known));
            }
            throw SetupError{path + ":" + std::to_string(number) +
                             ": expected NAME ROLE COMMAND..., ROLE one of " + roles};
        }
        e.role = *r;
        entries.push_back(std::move(e));
    }
    if (entries.empty()) throw SetupError{path + " names no implementation"};
    return entries;
}

// A matrix row for an implementation that cannot run: every case failed with the reason.
RunReport unrunnable(const MatrixEntry& e, const std::string& why,
                     const std::vector<std::string>& select) {
    RunReport run;
    run.implementation = e.name;
    run.role = e.role;
    for (const Case* c : select_cases(e.role, select)) {
        CaseResult r;
        r.id = std::string(c->id);
        r.title = std::string(c->title);
        r.role = e.role;
        r.verdict = c->expect == Expect::observe ? Verdict::info : Verdict::fail;
        r.observed = why;
        run.cases.push_back(std::move(r));
    }
    return run;
}

int run_matrix(const std::string& file, const Options& opt, const std::string& markdown) {
    std::vector<MatrixEntry> entries;
    try {
        entries = read_matrix(file);
    } catch (const SetupError& e) {
        std::cerr << "peercheck: " << e.message << "\n";
        return kUsageError;
    }
    MatrixReport m;
    for (const auto& e : entries) {
        if (g_interrupted) break;
        RunReport run;
        try {
            const Config cfg = make_config(e.role, e.command, opt);
            run = run_cases(cfg, select_cases(e.role, opt.select), opt.jobs,
                            [](const CaseResult&, std::size_t, std::size_t) {});
            run.implementation = e.name;
        } catch (const SetupError& err) {
            run = unrunnable(e, err.message, opt.select);
        }
        std::cout << e.name << " (" << role_name(e.role) << "): " << report::summary_line(run)
                  << std::endl;
        m.runs.push_back(std::move(run));
    }
    bool written = write_text(opt.html, report::matrix_html(m));
    written = write_text(opt.json, report::matrix_json(m)) && written;
    if (markdown.empty()) {
        std::cout << "\n" << report::matrix_markdown(m);
    } else {
        written = write_text(markdown, report::matrix_markdown(m)) && written;
    }
    if (g_interrupted) return kInterrupted;
    return written ? 0 : kUsageError;
}

void add_common_options(CLI::App& sub, Options& opt) {
    sub.add_option("--timeout", opt.timeout, "longest wait for any one step, in seconds")
        ->capture_default_str()
        ->check(CLI::Range(0.1, 600.0));
    sub.add_option("-j,--jobs", opt.jobs, "cases run in parallel")
        ->capture_default_str()
        ->check(CLI::Range(1u, 64u));
    sub.add_option("--peers", opt.peers,
                   "folder holding our programs (default: beside peercheck, "
                   "then PATH)")
        ->check(CLI::ExistingDirectory);
}

}  // namespace

int main_(int argc, char** argv) {
    install_interrupt_handlers();
    // The implementation's command follows the first "--" and is passed on untouched.
    int split = argc;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--") == 0) {
            split = i;
            break;
        }
    }
    const std::vector<std::string> command(argv + std::min(split + 1, argc), argv + argc);

    CLI::App app{
        "Conformance runner: tests another implementation of a role of either protocol "
        "against our programs.\n  peercheck ROLE [options] [CASE...] -- COMMAND...\n"
        "  peercheck matrix FILE [options]"};
    app.require_subcommand(1);
    Options opt;
    std::string matrix_file, markdown;
    for (const Role role : kRoles) {
        auto* sub = app.add_subcommand(std::string(role_name(role)),
                                       "test an implementation of " + std::string(role_name(role)));
        sub->add_option("cases", opt.select, "case ids or id prefixes (default: all)");
        sub->add_flag("-l,--list,--dry-run", opt.list,
                      "list the cases with their titles; run nothing");
        sub->add_option("--junit", opt.junit, "write a JUnit XML report");
        sub->add_option("--json", opt.json, "write a JSON report");
        sub->add_option("--html", opt.html, "write a self-contained HTML report");
        sub->add_flag("-v,--verbose", opt.verbose,
                      "show every case's exchange, not only failures'");
        add_common_options(*sub, opt);
    }
    auto* matrix = app.add_subcommand("matrix", "run every listed implementation's catalogue");
    matrix->add_option("file", matrix_file, "lines of NAME ROLE COMMAND...")->required();
    matrix->add_option("--markdown", markdown, "write the matrix as Markdown (default: printed)");
    matrix->add_option("--html", opt.html, "write the matrix as HTML");
    matrix->add_option("--json", opt.json, "write the matrix as JSON");
    matrix->add_option("--cases", opt.select, "case ids or id prefixes (default: all)");
    add_common_options(*matrix, opt);
    try {
        app.parse(split, argv);
    } catch (const CLI::ParseError& e) {
        const int rc = app.exit(e);
        return rc == 0 ? 0 : kUsageError;
    }
    if (matrix->parsed()) return run_matrix(matrix_file, opt, markdown);
    for (const Role role : kRoles) {
        if (app.got_subcommand(std::string(role_name(role)))) return run_role(role, command, opt);
    }
    return kUsageError;
}

}  // namespace peercheck

int main(int argc, char** argv) { return peercheck::main_(argc, argv); }
