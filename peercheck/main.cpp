// peercheck: runs the catalogue of one role against another implementation of that role, with
// our programs (or peercheck itself) as its peers, and reports what failed and why.
//
//   peercheck ROLE [options] [CASE...] -- COMMAND...
//   peercheck matrix FILE [options]
//   peercheck merge PART.json... [options]
//
// Everything a run needs is checked before its first case: a mistake on the command line, a
// command that cannot start or a report that cannot be written ends it with status 2 at once,
// never after minutes of cases.

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <sstream>

#include "batch.h"
#include "catalogue.h"
#include "engine.h"
#include "report/capture.h"
#include "report/report.h"
#include "runner.h"
#include "setup.h"

namespace peercheck {

namespace {

constexpr int kFailed = 1;
constexpr int kUsageError = 2;
constexpr int kInterrupted = 130;

constexpr std::string_view kUsage =
    "peercheck ROLE [options] [CASE...] -- COMMAND...\n"
    "  peercheck matrix FILE [options]\n"
    "  peercheck merge PART.json... [options]";

struct Options {
    std::vector<std::string> select;
    bool list = false;
    double timeout = 5;
    unsigned jobs = 1;
    unsigned repeat = 1;
    bool allow_flaky = false;
    std::string junit, json, html, markdown;
    std::string pcap;
    bool pcap_all = false;
    bool verbose = false;
    std::string peers;
    std::string shard;
    bool no_sandbox = false;
};

struct SetupError {
    std::string message;
};

int usage_error(const std::string& message) {
    std::cerr << "peercheck: " << message << "\n";
    return kUsageError;
}

std::vector<std::string> default_peer_dirs() {
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) return {};
    const auto dir = exe.parent_path();
    return {dir.string(), (dir.parent_path() / "libexec" / "peercheck").string()};
}

// What every implementation of these roles needs from this machine: our programs, and for the
// ticket protocol a host name that resolves to an address of this machine.
Config machine_config(const std::set<Role>& roles, const Options& opt) {
    Config cfg;
    cfg.wait = Millis{static_cast<Millis::rep>(opt.timeout * 1000)};
    // Every process runs in its case's scratch folder: a relative folder must not depend on it.
    cfg.peer_dirs = opt.peers.empty()
                        ? default_peer_dirs()
                        : std::vector<std::string>{std::filesystem::absolute(opt.peers).string()};
    for (const Role role : roles) {
        for (const auto& name : peers_of(role)) {
            if (find_peer(cfg, name).empty()) {
                throw SetupError{"our program \"" + name + "\" is not installed beside peercheck " +
                                 "nor on PATH; name its folder with --peers DIR"};
            }
        }
    }
    const bool ticket =
        std::ranges::any_of(roles, [](Role r) { return protocol_of(r) == Protocol::ticket; });
    if (ticket) {
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

// The machine's configuration with one implementation's command, checked to start.
Config implementation_config(Config cfg, Role role, const std::vector<std::string>& command) {
    cfg.role = role;
    if (command.empty()) {
        throw SetupError{"no command after \"--\": give the one that starts your " +
                         std::string(role_name(role))};
    }
    if (std::string p = program_problem(command[0]); !p.empty()) {
        throw SetupError{std::move(p)};
    }
    if (const std::string p = placeholder_problem(command, role); !p.empty()) {
        throw SetupError{p};
    }
    cfg.command = anchored_command(command);
    return cfg;
}

// Every report file the options name, checked before the first case.
void check_outputs(const Options& opt) {
    const std::pair<const char*, const std::string*> outputs[] = {{"--junit", &opt.junit},
                                                                  {"--json", &opt.json},
                                                                  {"--html", &opt.html},
                                                                  {"--markdown", &opt.markdown}};
    for (const auto& [option, path] : outputs) {
        if (path->empty()) continue;
        if (const std::string p = output_problem(option, *path); !p.empty()) throw SetupError{p};
    }
    if (!opt.pcap.empty()) {
        if (const std::string p = capture_folder_problem(opt.pcap); !p.empty()) throw SetupError{p};
    }
}

bool write_text(const std::string& path, const std::string& text) {
    if (path.empty()) return true;
    std::ofstream f(path, std::ios::binary);
    f << text;
    if (f) return true;
    std::cerr << "peercheck: cannot write " << path << "\n";
    return false;
}

int list_cases(const std::vector<const Case*>& cases) {
    for (const Case* c : cases) {
        std::cout << c->id << "  " << c->title
                  << (c->expect == Expect::observe ? "  (informational)" : "") << "\n";
    }
    return 0;
}

// The words of a selection that match no case, as one message; a word that looks like a command
// is most likely one that lost its "--".
std::string unmatched_message(Role role, const std::vector<std::string>& unmatched,
                              bool has_separator) {
    const std::string& word = unmatched.front();
    const std::string name(role_name(role));
    if (!has_separator) {
        return "\"" + word + "\" selects no case of " + name +
               ", and there is no \"--\": put \"--\" before the command that starts your " + name +
               " (peercheck " + name + " [options] [CASE...] -- COMMAND...)";
    }
    return "\"" + word + "\" selects no case of " + name + " (see peercheck " + name +
           " --list; an id selects that case, " + name + "/check/ or " + name +
           "/*digest* a family)";
}

void print_blocks(const RunReport& run, bool verbose) {
    for (const auto& c : run.cases) {
        if (report::fails_run(run, c) || c.verdict == Verdict::flaky || verbose) {
            std::cout << "\n" << report::case_details(c);
        } else if (!c.note.empty()) {
            std::cout << "\n" << report::case_note(c);
        }
    }
}

bool write_captures(const RunReport& run, const Options& opt) {
    if (opt.pcap.empty()) return true;
    bool written = true;
    for (const CaseResult& c : run.cases) {
        const bool failed = c.verdict == Verdict::fail || c.verdict == Verdict::flaky;
        if (failed || opt.pcap_all) {
            written = write_text(capture_path(opt.pcap, c.id), report::pcapng(c)) && written;
        }
    }
    return written;
}

int run_role(Role role, const std::vector<std::string>& command, bool has_separator,
             const Options& opt) {
    std::vector<std::string> unmatched;
    const auto cases = select_cases(role, opt.select, &unmatched);
    if (!unmatched.empty()) {
        return usage_error(unmatched_message(role, unmatched, has_separator || opt.list));
    }
    if (opt.list) return list_cases(cases);
    if (!has_separator) {
        return usage_error(
            "no \"--\" and no command: put \"--\" and the command that starts your " +
            std::string(role_name(role)) + " after the options (peercheck " +
            std::string(role_name(role)) + " [options] [CASE...] -- COMMAND...)");
    }
    Config cfg;
    try {
        check_outputs(opt);
        cfg = implementation_config(machine_config({role}, opt), role, command);
    } catch (const SetupError& e) {
        return usage_error(e.message);
    }
    const bool tty = ::isatty(STDOUT_FILENO) != 0;
    auto on_done = [&](const CaseResult& r, std::size_t done, std::size_t total) {
        if (tty) std::cout << "\r\033[K";
        std::cout << report::case_line(r) << "\n";
        if (tty && done < total) std::cout << "[" << done << "/" << total << "] running ...";
        std::cout.flush();
    };
    RunReport run = run_cases(cfg, cases, opt.repeat, opt.jobs, on_done);
    run.flaky_allowed = opt.allow_flaky;
    if (tty) std::cout << "\r\033[K";
    print_blocks(run, opt.verbose);
    bool written = write_text(opt.junit, report::junit(run));
    written = write_text(opt.json, report::json(run)) && written;
    written = write_text(opt.html, report::html(run)) && written;
    written = write_captures(run, opt) && written;
    std::cout << "\n";
    if (g_interrupted) {
        std::cout << "interrupted after " << run.cases.size() << " of " << cases.size()
                  << " cases\n";
    }
    std::cout << report::summary_line(run) << std::endl;
    if (g_interrupted) return kInterrupted;
    if (!written) return kUsageError;
    const bool failed = std::ranges::any_of(
        run.cases, [&](const CaseResult& c) { return report::fails_run(run, c); });
    return failed ? kFailed : 0;
}

struct MatrixEntry {
    std::string name;
    Role role;
    std::vector<std::string> command;
    std::size_t index = 0;  // among the file's entries
};

// One implementation a line: NAME ROLE COMMAND... Blank lines and lines from "#" are skipped.
// Names are unique: they head the columns, and a split of the file by name needs them so.
std::vector<MatrixEntry> read_matrix(const std::string& path) {
    std::ifstream f(path);
    if (!f) throw SetupError{"cannot read " + path};
    std::vector<MatrixEntry> entries;
    std::map<std::string, int> lines;
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
        if (const auto [at, fresh] = lines.emplace(e.name, number); !fresh) {
            throw SetupError{path + ":" + std::to_string(number) + ": the name \"" + e.name +
                             "\" is taken by line " + std::to_string(at->second)};
        }
        e.role = *r;
        e.index = entries.size();
        entries.push_back(std::move(e));
    }
    if (entries.empty()) throw SetupError{path + " names no implementation"};
    return entries;
}

std::optional<MatrixReport::Shard> parse_shard(const std::string& text) {
    MatrixReport::Shard s;
    char slash = 0;
    std::istringstream in(text);
    if (!(in >> s.index >> slash >> s.count) || slash != '/' || !in.eof()) return std::nullopt;
    if (s.count < 1 || s.index < 1 || s.index > s.count) return std::nullopt;
    return s;
}

// A matrix row for an implementation that cannot start: the reason, and the cases it would have
// run, each skipped.
RunReport unrunnable(const MatrixEntry& e, const std::string& why, const Options& opt) {
    RunReport run;
    run.implementation = e.name;
    run.role = e.role;
    run.command = command_line(e.command);
    run.setup_error = why;
    for (const Case* c : select_cases(e.role, opt.select)) {
        CaseResult r;
        r.id = std::string(c->id);
        r.title = std::string(c->title);
        r.role = e.role;
        r.verdict = Verdict::skipped;
        run.cases.push_back(std::move(r));
    }
    return run;
}

// The matrix's three files, or the Markdown printed when no file is named for it.
bool write_matrix(const MatrixReport& m, const Options& opt) {
    bool written = write_text(opt.html, report::matrix_html(m));
    written = write_text(opt.json, report::matrix_json(m)) && written;
    if (opt.markdown.empty()) {
        std::cout << "\n" << report::matrix_markdown(m);
    } else {
        written = write_text(opt.markdown, report::matrix_markdown(m)) && written;
    }
    return written;
}

int run_matrix(const std::string& file, const Options& opt) {
    MatrixReport m;
    std::vector<MatrixEntry> entries;
    Config machine;
    try {
        entries = read_matrix(file);
        if (!opt.shard.empty()) {
            const auto shard = parse_shard(opt.shard);
            if (!shard) {
                throw SetupError{"--shard " + opt.shard +
                                 ": give K/N, part K of N with 1 <= K <= N (e.g. 2/8)"};
            }
            m.shard = *shard;
        }
        std::set<Role> roles;
        for (const auto& e : entries) roles.insert(e.role);
        for (const std::string& word : opt.select) {
            const bool any = std::ranges::any_of(
                roles, [&](Role r) { return !select_cases(r, {word}).empty(); });
            if (!any) throw SetupError{"--cases " + word + " selects no case of any entry's role"};
        }
        std::erase_if(entries, [&](const MatrixEntry& e) {
            return report::shard_of(e.name, m.shard.count) != m.shard.index;
        });
        roles.clear();
        for (const auto& e : entries) roles.insert(e.role);
        check_outputs(opt);
        machine = machine_config(roles, opt);
    } catch (const SetupError& e) {
        return usage_error(e.message);
    }
    for (const auto& e : entries) {
        if (g_interrupted) break;
        RunReport run;
        try {
            const Config cfg = implementation_config(machine, e.role, e.command);
            run = run_cases(cfg, select_cases(e.role, opt.select), opt.repeat, opt.jobs,
                            [](const CaseResult&, std::size_t, std::size_t) {});
            run.implementation = e.name;
            std::cout << e.name << " (" << role_name(e.role) << "): " << report::summary_line(run)
                      << std::endl;
        } catch (const SetupError& err) {
            run = unrunnable(e, err.message, opt);
            std::cout << e.name << " (" << role_name(e.role) << "): set-up error: " << err.message
                      << std::endl;
        }
        run.entry = e.index;
        m.runs.push_back(std::move(run));
    }
    const bool written = write_matrix(m, opt);
    if (g_interrupted) return kInterrupted;
    return written ? 0 : kUsageError;
}

int run_merge(const std::vector<std::string>& files, const Options& opt) {
    std::vector<MatrixReport> parts;
    for (const std::string& file : files) {
        std::ifstream in(file, std::ios::binary);
        if (!in) return usage_error("cannot read " + file);
        std::ostringstream text;
        text << in.rdbuf();
        std::string error;
        auto part = report::matrix_from_json(text.str(), error);
        if (!part) return usage_error(file + ": " + error);
        parts.push_back(std::move(*part));
    }
    std::string error;
    const auto merged = report::merge_matrices(std::move(parts), files, error);
    if (!merged) return usage_error(error);
    try {
        check_outputs(opt);
    } catch (const SetupError& e) {
        return usage_error(e.message);
    }
    return write_matrix(*merged, opt) ? 0 : kUsageError;
}

// Options that only peercheck takes: after "--" they are the implementation's words, and one of
// these there is a misplaced option far more often than a word the implementation wants.
const std::set<std::string_view> kOwnOptions = {
    "-j",         "--jobs",  "--junit",    "--json",    "--html",
    "--markdown", "--pcap",  "--pcap-all", "--repeat",  "--allow-flaky",
    "--peers",    "--shard", "--list",     "--dry-run", "--cases"};

bool is_command(std::string_view word) {
    return word == "matrix" || word == "merge" || role_from_name(word).has_value();
}

// Options before the role or after "--", named before CLI11 would call them unexpected words.
std::optional<std::string> misplaced_option(int argc, char** argv, int split) {
    if (argc > 1 && argv[1][0] == '-' && std::strcmp(argv[1], "-h") != 0 &&
        std::strcmp(argv[1], "--help") != 0 && std::strcmp(argv[1], "--") != 0) {
        for (int i = 2; i < split; ++i) {
            if (is_command(argv[i])) {
                return std::string("\"") + argv[1] + "\" stands before \"" + argv[i] +
                       "\": options go after it (peercheck " + argv[i] + " " + argv[1] + " ...)";
            }
        }
    }
    for (int i = split + 1; i < argc; ++i) {
        std::string_view word = argv[i];
        word = word.substr(0, word.find('='));
        if (kOwnOptions.contains(word)) {
            return std::string("\"") + argv[i] +
                   "\" stands after \"--\", where the implementation's command begins; put "
                   "peercheck's options before \"--\"";
        }
    }
    return std::nullopt;
}

void add_common_options(CLI::App& sub, Options& opt) {
    sub.add_option("--timeout", opt.timeout, "longest wait for any one step, in seconds")
        ->capture_default_str()
        ->check(CLI::Range(0.1, 600.0));
    sub.add_option("-j,--jobs", opt.jobs, "cases run in parallel")
        ->capture_default_str()
        ->check(CLI::Range(1u, 64u));
    sub.add_option("--repeat", opt.repeat,
                   "run every selected case N times; one that passes and fails is flaky")
        ->capture_default_str()
        ->check(CLI::Range(1u, 1000u));
    sub.add_option("--peers", opt.peers,
                   "folder holding our programs (default: beside peercheck, "
                   "then PATH)")
        ->check(CLI::ExistingDirectory);
    sub.add_flag("--no-sandbox", opt.no_sandbox,
                 "run the implementation without namespaces and limits (its process group is "
                 "still ended with each case)");
}

void add_matrix_outputs(CLI::App& sub, Options& opt) {
    sub.add_option("--markdown", opt.markdown, "write the matrix as Markdown (default: printed)");
    sub.add_option("--html", opt.html, "write the matrix as HTML");
    sub.add_option("--json", opt.json, "write the matrix as JSON (what merge reads)");
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
    const bool has_separator = split < argc;
    const std::vector<std::string> command(argv + std::min(split + 1, argc), argv + argc);
    if (const auto message = misplaced_option(argc, argv, split)) return usage_error(*message);

    CLI::App app{
        "Conformance runner: tests another implementation of a role of either protocol "
        "against our programs.\n  " +
        std::string(kUsage)};
    app.require_subcommand(1);
    Options opt;
    std::string matrix_file;
    std::vector<std::string> parts;
    for (const Role role : kRoles) {
        auto* sub = app.add_subcommand(std::string(role_name(role)),
                                       "test an implementation of " + std::string(role_name(role)));
        sub->add_option("cases", opt.select,
                        "cases to run (default: all): an id runs that case alone; a prefix such "
                        "as " +
                            std::string(role_name(role)) +
                            "/check/ runs the family; *, ? and [...] match as in the shell");
        sub->add_flag("-l,--list,--dry-run", opt.list,
                      "list the selected cases with their titles; run nothing");
        sub->add_option("--junit", opt.junit, "write a JUnit XML report");
        sub->add_option("--json", opt.json, "write a JSON report");
        sub->add_option("--html", opt.html, "write a self-contained HTML report");
        sub->add_option("--pcap", opt.pcap,
                        "write each failed case's capture to DIR/<case id, / as ->.pcapng");
        sub->add_flag("--pcap-all", opt.pcap_all, "with --pcap: a capture of every case");
        sub->add_flag("--allow-flaky", opt.allow_flaky,
                      "flaky cases (with --repeat) do not fail the run");
        sub->add_flag("-v,--verbose", opt.verbose,
                      "show every case's exchange, not only failures'");
        add_common_options(*sub, opt);
    }
    auto* matrix = app.add_subcommand("matrix", "run every listed implementation's catalogue");
    matrix->add_option("file", matrix_file, "lines of NAME ROLE COMMAND...")->required();
    add_matrix_outputs(*matrix, opt);
    matrix->add_option("--cases", opt.select, "cases to run, as for a role (default: all)");
    matrix->add_option("--shard", opt.shard,
                       "run part K of N (K/N): the entries whose name hashes to K; merge the "
                       "parts' --json files with peercheck merge");
    add_common_options(*matrix, opt);
    auto* merge = app.add_subcommand(
        "merge", "join the --json files of every part of a matrix run with --shard");
    merge->add_option("parts", parts, "the parts' JSON files")->required();
    add_matrix_outputs(*merge, opt);
    try {
        app.parse(split, argv);
    } catch (const CLI::ParseError& e) {
        const int rc = app.exit(e);
        return rc == 0 ? 0 : kUsageError;
    }
    if ((matrix->parsed() || merge->parsed()) && has_separator) {
        return usage_error(std::string(matrix->parsed() ? "matrix" : "merge") +
                           " takes no command after \"--\": the commands are in the matrix file");
    }
    if (opt.pcap_all && opt.pcap.empty()) {
        return usage_error("--pcap-all goes with --pcap DIR, the folder for the captures");
    }
    // Decided while this process has one thread: no case has started yet. A merge runs none.
    if (!opt.list && !merge->parsed()) {
        const std::string notice = start_isolation(!opt.no_sandbox);
        if (!notice.empty()) std::cerr << "peercheck: " << notice << "\n";
    }
    if (matrix->parsed()) return run_matrix(matrix_file, opt);
    if (merge->parsed()) return run_merge(parts, opt);
    for (const Role role : kRoles) {
        if (app.got_subcommand(std::string(role_name(role)))) {
            return run_role(role, command, has_separator, opt);
        }
    }
    return kUsageError;
}

}  // namespace peercheck

int main(int argc, char** argv) { return peercheck::main_(argc, argv); }
