#include "setup.h"

#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "engine.h"
#include "runner.h"

namespace peercheck {

namespace {

namespace fs = std::filesystem;

bool is_pattern(const std::string& word) { return word.find_first_of("*?[") != std::string::npos; }

bool selects(const std::string& word, std::string_view id, bool names_a_case) {
    if (is_pattern(word)) return ::fnmatch(word.c_str(), std::string(id).c_str(), 0) == 0;
    return names_a_case ? id == word : id.starts_with(word);
}

// The words execve gives the interpreter of a script: its #! line, cut at 255 bytes as Linux
// reads it, split into the interpreter and at most one argument (the rest of the line).
struct Shebang {
    std::string interpreter;
    std::string argument;
};

std::optional<Shebang> read_shebang(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    char head[256] = {};
    f.read(head, sizeof head - 1);
    const std::string line(head, static_cast<std::size_t>(f.gcount()));
    if (!line.starts_with("#!")) return std::nullopt;
    const std::string rest = line.substr(2, line.find('\n') - 2);
    const auto blank = [](char c) { return c == ' ' || c == '\t'; };
    std::size_t at = 0;
    while (at < rest.size() && blank(rest[at])) ++at;
    std::size_t end = at;
    while (end < rest.size() && !blank(rest[end])) ++end;
    Shebang s{rest.substr(at, end - at), {}};
    while (end < rest.size() && blank(rest[end])) ++end;
    std::size_t last = rest.size();
    while (last > end && (blank(rest[last - 1]) || rest[last - 1] == '\r')) --last;
    s.argument = rest.substr(end, last - end);
    return s;
}

// The program that "env ARG" runs, as env reads its one argument (split only after -S); empty
// when the argument starts with an option this check does not follow.
std::string env_program(const std::string& argument) {
    std::vector<std::string> words;
    if (argument.starts_with("-S")) {
        std::istringstream in(argument.substr(2));
        for (std::string w; in >> w;) words.push_back(w);
    } else if (!argument.empty()) {
        words.push_back(argument);
    }
    for (const std::string& w : words) {
        if (w.starts_with("-")) return {};
        if (w.find('=') == std::string::npos) return w;
    }
    return {};
}

// Why the file at path, which execve would run, cannot start; scripts are followed to their
// interpreter, as the kernel does, a few levels deep.
std::string start_problem(const std::string& shown, const std::string& path, int depth) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return "no such file";
    if (S_ISDIR(st.st_mode)) return "it is a folder";
    if (!S_ISREG(st.st_mode)) return "it is no regular file";
    if (::access(path.c_str(), X_OK) != 0) {
        return "it has no run bit (chmod +x " + shown + ", or name its interpreter: -- sh " +
               shown + ")";
    }
    const auto shebang = read_shebang(path);
    if (!shebang) return {};
    const std::string& interpreter = shebang->interpreter;
    if (interpreter.empty()) return "its #! line names no interpreter";
    if (!interpreter.starts_with("/")) {
        return "its #! line names \"" + interpreter + "\", which is no absolute path";
    }
    if (depth >= 4) return "its #! lines lead from interpreter to interpreter too deep";
    if (const std::string p = start_problem(interpreter, interpreter, depth + 1); !p.empty()) {
        const std::string head = "the interpreter \"" + interpreter + "\" named on its #! line";
        return p == "no such file" ? head + " does not exist" : head + ": " + p;
    }
    if (fs::path(interpreter).filename() == "env") {
        const std::string program = env_program(shebang->argument);
        if (!program.empty() && find_executable(program).empty()) {
            return "its #! line runs \"" + program +
                   "\" through env, and no such program is on PATH";
        }
    }
    return {};
}

// The length of the shortest edit from a to b, for suggesting the placeholder meant.
std::size_t edit_distance(std::string_view a, std::string_view b) {
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
            diagonal = above;
        }
    }
    return row[b.size()];
}

// Creates and removes a file in dir; the reason when that fails.
std::string probe_folder(const std::string& dir) {
    std::string name = (fs::path(dir) / ".peercheck-probe-XXXXXX").string();
    const int fd = ::mkstemp(name.data());
    if (fd < 0) return std::strerror(errno);
    ::close(fd);
    ::unlink(name.c_str());
    return {};
}

}  // namespace

std::vector<const Case*> select_cases(Role role, const std::vector<std::string>& words,
                                      std::vector<std::string>* unmatched) {
    const auto& cases = catalogue(role);
    std::vector<bool> chosen(cases.size(), words.empty());
    for (const std::string& word : words) {
        const bool names_a_case =
            std::ranges::any_of(cases, [&](const Case& c) { return c.id == word; });
        bool any = false;
        for (std::size_t i = 0; i < cases.size(); ++i) {
            if (selects(word, cases[i].id, names_a_case)) chosen[i] = any = true;
        }
        if (!any && unmatched != nullptr) unmatched->push_back(word);
    }
    std::vector<const Case*> selected;
    for (std::size_t i = 0; i < cases.size(); ++i) {
        if (chosen[i]) selected.push_back(&cases[i]);
    }
    return selected;
}

std::string program_problem(const std::string& argv0) {
    if (argv0.empty()) return "the command is an empty word";
    std::string path = argv0;
    if (argv0.find('/') == std::string::npos) {
        path = find_executable(argv0);
        if (path.empty()) {
            std::string hint;
            if (fs::is_regular_file(argv0))
                hint = " (for the file in this folder, write ./" + argv0 + ")";
            return "cannot start \"" + argv0 + "\": not found on PATH" + hint;
        }
    }
    if (std::string p = start_problem(argv0, path, 0); !p.empty()) {
        return "cannot start \"" + argv0 + "\": " + p;
    }
    return {};
}

std::string placeholder_problem(const std::vector<std::string>& command, Role role) {
    const auto known = placeholders(role);
    std::vector<std::string> unknown;
    for (const std::string& word : command) {
        for (std::size_t open = word.find('{'); open != std::string::npos;
             open = word.find('{', open + 1)) {
            const std::size_t close = word.find('}', open);
            if (close == std::string::npos) break;
            const std::string name = word.substr(open + 1, close - open - 1);
            const bool identifier = !name.empty() && std::ranges::all_of(name, [](char c) {
                return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
            });
            if (identifier && std::ranges::find(known, name) == known.end() &&
                std::ranges::find(unknown, name) == unknown.end()) {
                unknown.push_back(name);
            }
        }
    }
    if (unknown.empty()) return {};
    std::string text = "unknown placeholder";
    text += unknown.size() == 1 ? " " : "s ";
    for (std::size_t i = 0; i < unknown.size(); ++i) {
        text += (i == 0 ? "{" : ", {") + unknown[i] + "}";
        const auto near = std::ranges::min_element(
            known, {}, [&](const std::string& k) { return edit_distance(unknown[i], k); });
        if (near != known.end() && edit_distance(unknown[i], *near) <= 2) {
            text += " (did you mean {" + *near + "}?)";
        }
    }
    text += "; the " + std::string(role_name(role)) + "'s placeholders are";
    for (const std::string& k : known) text += " {" + k + "}";
    return text;
}

std::vector<std::string> anchored_command(const std::vector<std::string>& command) {
    std::vector<std::string> out = command;
    for (std::size_t i = 0; i < out.size(); ++i) {
        const std::string& w = out[i];
        if (w.empty() || w.starts_with("/") || w.starts_with("-")) continue;
        const bool program_path = i == 0 && w.find('/') != std::string::npos;
        std::error_code ec;
        if (program_path || (i > 0 && fs::is_regular_file(w, ec))) {
            out[i] = fs::absolute(w, ec).lexically_normal().string();
        }
    }
    return out;
}

std::string output_problem(const std::string& option, const std::string& path) {
    const fs::path target(path);
    const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
    std::error_code ec;
    if (path.empty()) return option + " needs a file name";
    if (fs::is_directory(target, ec)) return option + " " + path + ": it is a folder";
    if (!fs::is_directory(folder, ec)) {
        return option + " " + path + ": the folder " + folder.string() + " does not exist";
    }
    if (const std::string why = probe_folder(folder.string()); !why.empty()) {
        return option + " " + path + ": cannot write in " + folder.string() + " (" + why + ")";
    }
    if (fs::exists(target, ec) && ::access(path.c_str(), W_OK) != 0) {
        return option + " " + path + ": cannot write it (" + std::strerror(errno) + ")";
    }
    return {};
}

std::string capture_folder_problem(const std::string& dir) {
    if (dir.empty()) return "--pcap needs a folder";
    std::error_code made, ec;
    fs::create_directories(dir, made);
    if (!fs::is_directory(dir, ec)) {
        return "--pcap " + dir + ": cannot make the folder" +
               (made ? " (" + made.message() + ")" : "");
    }
    if (const std::string why = probe_folder(dir); !why.empty()) {
        return "--pcap " + dir + ": cannot write in it (" + why + ")";
    }
    return {};
}

std::string capture_path(const std::string& dir, const std::string& id) {
    std::string name = id;
    std::ranges::replace(name, '/', '-');
    return (fs::path(dir) / (name + ".pcapng")).string();
}

}  // namespace peercheck
