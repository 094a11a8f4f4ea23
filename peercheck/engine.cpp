#include "engine.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <set>
#include <sstream>

#include "helpers.h"

namespace peercheck {

std::atomic<bool> g_interrupted{false};

namespace {

extern "C" void on_interrupt(int) { g_interrupted = true; }

constexpr Millis kStep{5};

std::string read_whole(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

std::string bytes_before(std::uint64_t n) {
    return "[... " + std::to_string(n) + " bytes before ...]\n";
}

// As last_bytes(read_whole(path), max_bytes), reading only the end.
std::string file_tail(const std::string& path, std::size_t max_bytes) {
    std::ifstream f(path, std::ios::binary | std::ios::ate);
    if (!f) return {};
    const auto size = static_cast<std::uint64_t>(f.tellg());
    const std::uint64_t skip = size > max_bytes ? size - max_bytes : 0;
    f.seekg(static_cast<std::streamoff>(skip));
    std::string text(static_cast<std::size_t>(size - skip), '\0');
    f.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(f.gcount()));
    return skip > 0 ? bytes_before(skip) + text : text;
}

}  // namespace

void install_interrupt_handlers() {
    struct sigaction sa {};
    sa.sa_handler = on_interrupt;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
    // A peer that ends while a datagram is on its way must not end peercheck.
    ::signal(SIGPIPE, SIG_IGN);
}

bool nap(Millis d) {
    const auto until = Clock::now() + d;
    while (Clock::now() < until) {
        if (g_interrupted) return false;
        std::this_thread::sleep_for(std::min<Clock::duration>(kStep, until - Clock::now()));
    }
    return !g_interrupted;
}

Scratch::Scratch(std::string_view prefix) {
    const char* tmp = std::getenv("TMPDIR");
    std::string tmpl = std::string(tmp != nullptr && *tmp != 0 ? tmp : "/tmp") + "/" +
                       std::string(prefix) + "XXXXXX";
    if (::mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("cannot create " + tmpl);
    path_ = tmpl;
}

namespace {

// Removes path and everything below it. A folder is made writable (and readable) before its
// entries go, since a program may leave one read-only, which only root could empty as it is.
// What still cannot go is added to failed; a folder that is not empty for that is not.
bool remove_tree(const std::string& path, std::vector<std::string>& failed) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return errno == ENOENT;
    bool emptied = true;
    if (S_ISDIR(st.st_mode)) {
        ::chmod(path.c_str(), S_IRWXU);
        std::vector<std::string> names;
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator(path, ec)) {
            names.push_back(e.path().string());
        }
        for (const auto& n : names) emptied = remove_tree(n, failed) && emptied;
    }
    if (::remove(path.c_str()) == 0 || errno == ENOENT) return true;
    if (emptied) failed.push_back(path + ": " + std::strerror(errno));
    return false;
}

}  // namespace

bool remove_folder(const std::string& path) {
    std::vector<std::string> failed;
    remove_tree(path, failed);
    for (const auto& f : failed) std::cerr << "peercheck: cannot remove " << f << "\n";
    return failed.empty();
}

Scratch::~Scratch() {
    if (!kept_) remove_folder(path_);
}

bool write_file(const std::string& path, const Bytes& content) {
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char*>(content.data()),
            static_cast<std::streamsize>(content.size()));
    return static_cast<bool>(f);
}

std::optional<Bytes> read_file(const std::string& path, std::size_t limit) {
    std::ifstream f(path, std::ios::binary);
    if (!f) return std::nullopt;
    Bytes b(limit);
    f.read(reinterpret_cast<char*>(b.data()), static_cast<std::streamsize>(limit));
    b.resize(static_cast<std::size_t>(f.gcount()));
    return b;
}

Bytes pattern(std::size_t n, std::uint32_t seed) {
    Bytes b(n);
    std::uint32_t x = seed * 2654435761u + 1;
    for (auto& v : b) {
        x ^= x << 13;  // xorshift32: cheap, and no two chunks alike
        x ^= x >> 17;
        x ^= x << 5;
        v = static_cast<std::uint8_t>(x);
    }
    return b;
}

Process::Process(const std::vector<std::string>& argv, const Scratch& scratch,
                 const std::string& name, const Confinement& how)
    : limits_(how.limits),
      out_path_(scratch.file(name + ".out")),
      err_path_(scratch.file(name + ".err")) {
    command_ = command_line(argv);
    if (how.sandbox) {
        const SandboxStart s =
            start_sandboxed(SandboxPlan{argv, scratch.path(), out_path_, err_path_, how.limits});
        if (s.pid < 0) throw std::runtime_error("cannot start a sandbox");
        pid_ = s.pid;
        report_fd_ = s.report_fd;
        return;
    }
    // Made before the fork: a child of a process with threads must not allocate before exec.
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        ::setpgid(0, 0);
        // Should peercheck itself die without unwinding, its programs go with it.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) ::_exit(127);
        const int in = ::open("/dev/null", O_RDONLY);
        const int out = ::open(out_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = ::open(err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (in < 0 || out < 0 || err < 0) ::_exit(127);
        ::dup2(in, STDIN_FILENO);
        ::dup2(out, STDOUT_FILENO);
        ::dup2(err, STDERR_FILENO);
        // Files and sockets that other threads opened without close-on-exec stay here.
        ::close_range(3, ~0u, 0);
        // Outside the sandbox too: the size of what it writes, and its open files (a program
        // that keeps a descriptor per client runs out, as it would on a busy host); 0 files is
        // no limit.
        const rlimit fsize{how.limits.file_size, how.limits.file_size};
        ::setrlimit(RLIMIT_FSIZE, &fsize);
        const rlimit files{how.limits.files, how.limits.files};
        if (how.limits.files != 0) ::setrlimit(RLIMIT_NOFILE, &files);
        ::signal(SIGPIPE, SIG_DFL);
        ::signal(SIGINT, SIG_DFL);
        ::signal(SIGTERM, SIG_DFL);
        if (::chdir(scratch.path().c_str()) != 0) ::_exit(127);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    // Also from this side, so a kill right after fork reaches the group.
    ::setpgid(pid_, pid_);
}

Process::~Process() {
    kill_group();
    if (report_fd_ >= 0) ::close(report_fd_);
}

void Process::take_status(int status) {
    ended_ = true;
    if (WIFEXITED(status)) exit_code_ = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) signal_ = WTERMSIG(status);
}

void Process::read_report() {
    SandboxEnd end;
    if (::read(report_fd_, &end, sizeof end) != static_cast<ssize_t>(sizeof end)) return;
    limit_ = end.limit;
    if (end.step != 0) {
        setup_failure_ = sandbox_step_name(end.step) + ": " + std::strerror(end.error);
    }
    take_status(end.wait_status);
}

// Notes how the program ended but leaves the process a zombie: until kill_group its pid, which is
// also its group's number, cannot be given to another process that the group kill would then
// hit. A sandboxed program's end comes from its init, which lives on (keeping what the program
// left running) until it is killed; a plain one's from the process itself.
void Process::reap(bool block) {
    if (pid_ <= 0 || ended_) return;
    if (report_fd_ >= 0) {
        read_report();
        if (ended_) return;
    }
    siginfo_t info{};
    const int options = WEXITED | WNOWAIT | (block ? 0 : WNOHANG);
    if (::waitid(P_PID, static_cast<id_t>(pid_), &info, options) != 0 || info.si_pid != pid_) {
        return;
    }
    // An init that ended may have reported its program's end just before.
    if (report_fd_ >= 0) {
        read_report();
        if (ended_) return;
    }
    ended_ = true;
    if (info.si_code == CLD_EXITED) {
        exit_code_ = info.si_status;
    } else {
        signal_ = info.si_status;  // killed, or dumped core
    }
}

bool Process::running() {
    reap(false);
    return !ended_;
}

bool Process::wait_exit(Millis limit) {
    const auto until = Clock::now() + limit;
    while (running()) {
        if (Clock::now() >= until || !nap(kStep)) return false;
    }
    return true;
}

bool Process::wait_line(const std::string& line, std::size_t n, Millis limit) {
    const auto until = Clock::now() + limit;
    for (;;) {
        if (count_lines(line) >= n) return true;
        if (!running()) return count_lines(line) >= n;
        // The whole output is read at each look: look less often than the other waits do.
        if (Clock::now() >= until || !nap(4 * kStep)) return false;
    }
}

void Process::kill_group() {
    if (pid_ <= 0 || released_) return;
    // The group outlives its leader when the leader started children: kill it in any case. The
    // leader, running or a zombie, still holds the group's number, so no other group is hit. A
    // sandbox's init is the leader: its end ends everything in its namespace.
    ::kill(-pid_, SIGKILL);
    reap(true);
    ::waitpid(pid_, nullptr, 0);  // only now is the pid free
    released_ = true;
}

std::string Process::out() const { return read_whole(out_path_); }
std::string Process::err() const { return read_whole(err_path_); }
std::string Process::out_tail(std::size_t max_bytes) const {
    return file_tail(out_path_, max_bytes);
}
std::string Process::err_tail(std::size_t max_bytes) const {
    return file_tail(err_path_, max_bytes);
}

// Reads the output in blocks, so that one endless line costs no memory.
std::size_t Process::count_lines(const std::string& line) const {
    std::ifstream f(out_path_, std::ios::binary);
    std::array<char, 65536> block;
    std::size_t n = 0, at = 0;  // at: characters of the current line so far
    bool same = true;           // the current line begins as `line` does
    for (;;) {
        f.read(block.data(), block.size());
        const auto got = static_cast<std::size_t>(f.gcount());
        if (got == 0) break;
        for (std::size_t i = 0; i < got; ++i) {
            if (block[i] == '\n') {
                n += same && at == line.size();
                at = 0;
                same = true;
                continue;
            }
            same = same && at < line.size() && line[at] == block[i];
            ++at;
        }
    }
    // A last line without its newline counts as well.
    return n + (at > 0 && same && at == line.size());
}

std::string Process::describe_end() const {
    if (!setup_failure_.empty()) return "could not be started in its sandbox: " + setup_failure_;
    if (exit_code_) return "exited with status " + std::to_string(*exit_code_);
    if (!signal_) return "still running";
    const char* name = ::sigabbrev_np(*signal_);
    const std::string text =
        std::string("killed by SIG") + (name != nullptr ? name : std::to_string(*signal_));
    const auto mib = [](std::uint64_t bytes) { return std::to_string(bytes >> 20) + " MiB"; };
    switch (limit_) {
        case LimitReached::cpu:
            return text + ": it used more than " + std::to_string(limits_.cpu.count()) +
                   " s of CPU";
        case LimitReached::memory:
            return text + ": its processes used more than " + mib(limits_.memory) + " of memory";
        case LimitReached::processes:
            return text + ": it reached the limit of " + std::to_string(limits_.processes) +
                   " processes and threads";
        case LimitReached::files:
            return text + ": one of its processes reached the limit of " +
                   std::to_string(limits_.files) + " open files";
        case LimitReached::none:
            break;
    }
    if (*signal_ == SIGXFSZ) {
        return text + " (it wrote more than " + mib(limits_.file_size) + " to a file or output)";
    }
    return text;
}

std::string command_line(const std::vector<std::string>& words) {
    std::string line;
    for (const auto& w : words) line += (line.empty() ? "" : " ") + w;
    return line;
}

std::string find_executable(const std::string& argv0) {
    auto executable = [](const std::string& p) {
        struct stat st {};
        return ::stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(p.c_str(), X_OK) == 0;
    };
    if (argv0.empty()) return {};
    if (argv0.find('/') != std::string::npos) return executable(argv0) ? argv0 : std::string{};
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
    for (std::string dir; std::getline(dirs, dir, ':');) {
        const std::string p = (dir.empty() ? "." : dir) + "/" + argv0;
        if (executable(p)) return p;
    }
    return {};
}

bool udp_port_bound(std::uint16_t port) {
    char wanted[8];
    std::snprintf(wanted, sizeof wanted, ":%04X", port);
    // /proc/net is the network of the thread group's leader; a case's thread may have its own.
    for (const char* table : {"/proc/thread-self/net/udp", "/proc/thread-self/net/udp6"}) {
        std::ifstream f(table);
        std::string line;
        std::getline(f, line);
        while (std::getline(f, line)) {
            std::istringstream fields(line);
            std::string slot, local;
            fields >> slot >> local;
            if (local.size() >= 5 && local.compare(local.size() - 5, 5, wanted) == 0) return true;
        }
    }
    return false;
}

namespace {

// The lowest port the system hands out to sockets bound to port 0 (the relay's, the scripts'):
// ports below it are chosen here, so a port handed to a server is never taken by one of those
// before the server binds it.
std::uint16_t ephemeral_low() {
    std::ifstream f("/proc/sys/net/ipv4/ip_local_port_range");
    unsigned low = 32768;
    f >> low;
    return static_cast<std::uint16_t>(std::clamp(low, 12000u, 65535u));
}

// Ports are handed out from blocks that this process holds alone among the processes of its
// network that hand ports out here (the tests, the programs' peers, peercheck): two of them
// choosing at once could otherwise choose the same free port, and then the second server fails
// to bind while its case talks to the first one's. A block is held by binding an abstract Unix
// socket named for it, which the kernel lets go of when the process ends.
constexpr unsigned kBlock = 512;

bool hold_block(unsigned n) {
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    const std::string name = "peercheck-ports-" + std::to_string(n);  // after a zero byte
    std::memcpy(a.sun_path + 1, name.data(), name.size());
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), length) == 0) return true;  // kept open
    ::close(fd);
    return false;
}

}  // namespace

std::uint16_t free_udp_port() {
    static std::mutex mutex;
    static std::set<std::uint16_t> given;
    static std::vector<unsigned> blocks;  // held by this process
    static pid_t owner = 0;
    static std::uint32_t x = 0;
    const std::lock_guard lock(mutex);
    if (owner != ::getpid()) {  // a forked child holds nothing of its parent's
        owner = ::getpid();
        given.clear();
        blocks.clear();
        x = static_cast<std::uint32_t>(owner) * 2654435761u;
    }
    const std::uint16_t low = 10000, high = ephemeral_low();
    const unsigned count = (high - low) / kBlock;
    // Another block once three quarters of those held are handed out; when every block is
    // held elsewhere, ports come from the whole range, as free as the table says.
    if (given.size() >= blocks.size() * kBlock * 3 / 4) {
        for (unsigned i = 0; i < count; ++i) {
            const unsigned n = (x + i) % count;
            if (std::ranges::find(blocks, n) == blocks.end() && hold_block(n)) {
                blocks.push_back(n);
                break;
            }
        }
    }
    const bool own = !blocks.empty() && given.size() < blocks.size() * kBlock * 7 / 8;
    for (int attempt = 0; attempt < 1000; ++attempt) {
        x = x * 1664525u + 1013904223u;
        const auto port =
            own ? static_cast<std::uint16_t>(low + blocks[(x >> 8) % blocks.size()] * kBlock +
                                             (x >> 12) % kBlock)
                : static_cast<std::uint16_t>(low + (x >> 8) % (high - low));
        // Only the table is read. A trial bind would leave, for a moment, a socket on the port
        // in every process another thread forks meanwhile: until that child closes it, the port
        // reads as bound, and a server started on it would seem to have bound it already.
        if (given.count(port) != 0 || udp_port_bound(port)) continue;
        given.insert(port);
        return port;
    }
    throw std::runtime_error("no free UDP port");
}

bool wait_bound(Process& p, std::uint16_t port, Millis limit) {
    const auto until = Clock::now() + limit;
    for (;;) {
        if (udp_port_bound(port)) return p.running();
        if (!p.running() || Clock::now() >= until || !nap(kStep)) return false;
    }
}

std::optional<in_addr> host_address() {
    const auto a = common::my_addr();
    if (!a) return std::nullopt;
    in_addr r{};
    std::memcpy(&r.s_addr, a->data(), 4);
    return r;
}

std::string dotted(in_addr a) {
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &a, text, sizeof text);
    return text;
}

Log::Direction& Log::direction(const std::string& from, const std::string& to, double at) {
    for (auto& d : directions_) {
        if (d.from == from && d.to == to) return d;
    }
    Direction& d = directions_.emplace_back();
    d.from = from;
    d.to = to;
    d.first_at = at;
    d.gap.from = from;
    d.gap.to = to;
    return d;
}

void Log::note_flood(const Direction& last, double at) {
    std::size_t datagrams = 0;
    std::uint64_t bytes = 0;
    double first_at = at;
    for (const auto& d : directions_) {
        if (d.from != last.from) continue;
        datagrams += d.count;
        bytes += d.bytes;
        first_at = std::min(first_at, d.first_at);
    }
    if (datagrams > kFloodDatagrams || bytes > kFloodBytes) {
        flood_ = Flood{last.from, last.to, datagrams, bytes, at - first_at};
        flooded_ = true;
    }
}

void Log::add(const std::string& from, const std::string& to, std::span<const std::uint8_t> bytes,
              const sockaddr_in& src, const sockaddr_in& dst) {
    const double at = std::chrono::duration<double>(Clock::now() - start_).count();
    const std::lock_guard lock(mutex_);
    Direction& d = direction(from, to, at);
    ++d.count;
    d.bytes += bytes.size();
    if (!flood_) note_flood(d, at);
    Entry e{seq_++,
            {at, from, to, Bytes(bytes.begin(), bytes.end()), ntohl(src.sin_addr.s_addr),
             ntohl(dst.sin_addr.s_addr), ntohs(src.sin_port), ntohs(dst.sin_port)}};
    if (!d.spilled && first_.size() < kKeepFirst &&
        first_bytes_ + bytes.size() <= kKeepFirstBytes) {
        first_bytes_ += bytes.size();
        first_.push_back(std::move(e));
        return;
    }
    // From here on the direction keeps only its latest datagrams, so that what is left out of
    // it is one run between its first and its last ones.
    d.spilled = true;
    d.last_bytes += bytes.size();
    d.last.push_back(std::move(e));
    while (d.last.size() > kKeepLast || (d.last_bytes > kKeepLastBytes && d.last.size() > 1)) {
        const Datagram& out = d.last.front().d;
        if (d.gap.count == 0) d.gap.first_at = out.at;
        d.gap.last_at = out.at;
        ++d.gap.count;
        d.gap.bytes += out.bytes.size();
        d.last_bytes -= out.bytes.size();
        d.last.pop_front();
    }
}

std::vector<Datagram> Log::snapshot_locked() const {
    std::vector<const Entry*> all;
    for (const auto& e : first_) all.push_back(&e);
    for (const auto& d : directions_) {
        for (const auto& e : d.last) all.push_back(&e);
    }
    std::sort(all.begin(), all.end(),
              [](const Entry* a, const Entry* b) { return a->seq < b->seq; });
    std::vector<Datagram> out;
    out.reserve(all.size());
    for (const Entry* e : all) out.push_back(e->d);
    return out;
}

// Each direction's gap stands just before the first datagram it still keeps at its end: its
// index in the exchange is the number of kept datagrams seen before that one.
std::vector<Omitted> Log::omitted_locked() const {
    std::vector<Omitted> out;
    for (const auto& d : directions_) {
        if (d.gap.count == 0) continue;
        const std::uint64_t seq = d.last.front().seq;
        const auto earlier = [seq](const Entry& e) { return e.seq < seq; };
        std::size_t before =
            static_cast<std::size_t>(std::count_if(first_.begin(), first_.end(), earlier));
        for (const auto& other : directions_) {
            before += static_cast<std::size_t>(
                std::count_if(other.last.begin(), other.last.end(), earlier));
        }
        Omitted o = d.gap;
        o.before = before;
        out.push_back(std::move(o));
    }
    std::sort(out.begin(), out.end(),
              [](const Omitted& a, const Omitted& b) { return a.before < b.before; });
    return out;
}

std::vector<Datagram> Log::snapshot() const {
    const std::lock_guard lock(mutex_);
    return snapshot_locked();
}

std::pair<std::vector<Datagram>, std::vector<Omitted>> Log::contents() const {
    const std::lock_guard lock(mutex_);
    return {snapshot_locked(), omitted_locked()};
}

std::size_t Log::total() const {
    const std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(seq_);
}

std::size_t Log::count_from(const std::string& from) const {
    const std::lock_guard lock(mutex_);
    std::size_t n = 0;
    for (const auto& d : directions_) n += d.from == from ? d.count : 0;
    return n;
}

std::optional<Flood> Log::flood() const {
    const std::lock_guard lock(mutex_);
    return flood_;
}

std::string describe(const Flood& f) {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f s", f.seconds);
    return "flooded: " + std::to_string(f.datagrams) + " datagrams (" + std::to_string(f.bytes) +
           " bytes) from " + f.from + " to " + f.to + " in " + seconds +
           ", more than any case needs; the rest were not passed on";
}

Socket::Socket(in_addr addr, std::uint16_t port) {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr = addr;
    a.sin_port = htons(port);
    socklen_t len = sizeof a;
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        ::close(fd_);
        fd_ = -1;
        return;
    }
    port_ = ntohs(a.sin_port);
    local_ = a;
    // Our servers send a file back to back; a deep queue keeps the relay from dropping any.
    int size = 8 << 20;
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
}

Socket::~Socket() {
    if (fd_ >= 0) ::close(fd_);
}

bool Socket::send_to(const std::uint8_t* data, std::size_t size, const sockaddr_in& to) const {
    return ::sendto(fd_, data, size, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) ==
           static_cast<ssize_t>(size);
}

std::optional<Bytes> Socket::receive(Millis limit, sockaddr_in* from) const {
    const auto until = Clock::now() + limit;
    for (;;) {
        // Polled at least once, so a datagram already queued is taken even with no time left.
        const auto left = std::chrono::duration_cast<Millis>(until - Clock::now()).count();
        pollfd p{fd_, POLLIN, 0};
        const int r = ::poll(&p, 1, static_cast<int>(std::clamp<Millis::rep>(left, 0, 50)));
        if (r <= 0) {
            if (left <= 0 || g_interrupted) return std::nullopt;
            continue;
        }
        // Received into one area, then copied at its size: callers keep what a flood sends.
        std::array<std::uint8_t, 65535> area;
        sockaddr_in src{};
        socklen_t len = sizeof src;
        const ssize_t n =
            ::recvfrom(fd_, area.data(), area.size(), 0, reinterpret_cast<sockaddr*>(&src), &len);
        if (n < 0) continue;
        if (from != nullptr) *from = src;
        return Bytes(area.begin(), area.begin() + n);
    }
}

sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    return a;
}

Relay::~Relay() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
}

std::optional<std::uint16_t> Relay::add(const std::string& front_name, const std::string& peer_name,
                                        std::uint16_t peer_port, in_addr back_addr) {
    Link l{front_name,
           peer_name,
           peer_port,
           std::make_unique<Socket>(in_addr{htonl(INADDR_LOOPBACK)}, 0),
           std::make_unique<Socket>(back_addr, 0),
           std::nullopt};
    if (!l.front->valid() || !l.back->valid()) return std::nullopt;
    const std::uint16_t port = l.front->port();
    links_.push_back(std::move(l));
    return port;
}

void Relay::start() {
    thread_ = std::thread([this] { pump(); });
}

void Relay::pump() {
    std::vector<pollfd> fds;
    for (const auto& l : links_) {
        fds.push_back({l.front->fd(), POLLIN, 0});
        fds.push_back({l.back->fd(), POLLIN, 0});
    }
    Bytes buf(65535);
    while (!stop_) {
        if (::poll(fds.data(), fds.size(), 20) <= 0) continue;
        for (std::size_t i = 0; i < fds.size(); ++i) {
            if ((fds[i].revents & POLLIN) == 0) continue;
            Link& l = links_[i / 2];
            const bool from_front = i % 2 == 0;
            sockaddr_in src{};
            socklen_t len = sizeof src;
            const ssize_t n = ::recvfrom(fds[i].fd, buf.data(), buf.size(), MSG_DONTWAIT,
                                         reinterpret_cast<sockaddr*>(&src), &len);
            if (n < 0) continue;
            const auto size = static_cast<std::size_t>(n);
            const std::span<const std::uint8_t> bytes(buf.data(), size);
            if (from_front) {
                l.last_front = src;
                log_.add(l.front_name, l.peer_name, bytes, src, l.front->local());
                if (!log_.flooded()) l.back->send_to(buf.data(), size, loopback(l.peer_port));
            } else {
                log_.add(l.peer_name, l.front_name, bytes, src, l.back->local());
                if (l.last_front && !log_.flooded()) {
                    l.front->send_to(buf.data(), size, *l.last_front);
                }
            }
        }
    }
}

std::string last_bytes(const std::string& text, std::size_t max_bytes) {
    if (text.size() <= max_bytes) return text;
    return bytes_before(text.size() - max_bytes) + text.substr(text.size() - max_bytes);
}

}  // namespace peercheck
