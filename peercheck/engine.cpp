#include "engine.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
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

Scratch::Scratch() {
    const char* tmp = std::getenv("TMPDIR");
    std::string tmpl =
        std::string(tmp != nullptr && *tmp != 0 ? tmp : "/tmp") + "/peercheck.XXXXXX";
    if (::mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("cannot create " + tmpl);
    path_ = tmpl;
}

Scratch::~Scratch() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
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
                 const std::string& name)
    : out_path_(scratch.file(name + ".out")), err_path_(scratch.file(name + ".err")) {
    for (const auto& a : argv) command_ += (command_.empty() ? "" : " ") + a;
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
        const rlimit fsize{kOutputLimit, kOutputLimit};
        ::setrlimit(RLIMIT_FSIZE, &fsize);
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

Process::~Process() { kill_group(); }

// Notes how the program ended but leaves it a zombie: until kill_group, its pid, which is also
// its group's number, cannot be given to another process that the group kill would then hit.
void Process::reap(bool block) {
    if (ended_ || pid_ <= 0) return;
    siginfo_t info{};
    const int options = WEXITED | WNOWAIT | (block ? 0 : WNOHANG);
    if (::waitid(P_PID, static_cast<id_t>(pid_), &info, options) != 0 || info.si_pid != pid_) {
        return;
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
    // leader, running or a zombie, still holds the group's number, so no other group is hit.
    ::kill(-pid_, SIGKILL);
    reap(true);
    ::waitpid(pid_, nullptr, 0);  // only now is the pid free
    released_ = true;
}

std::string Process::out() const { return read_whole(out_path_); }
std::string Process::err() const { return read_whole(err_path_); }

std::size_t Process::count_lines(const std::string& line) const {
    std::istringstream s(out());
    std::size_t n = 0;
    for (std::string l; std::getline(s, l);) n += l == line;
    return n;
}

std::string Process::describe_end() const {
    if (exit_code_) return "exited with status " + std::to_string(*exit_code_);
    if (signal_) {
        const char* name = ::sigabbrev_np(*signal_);
        const std::string text =
            std::string("killed by SIG") + (name != nullptr ? name : std::to_string(*signal_));
        if (*signal_ == SIGXFSZ) return text + " (it wrote more than 64 MiB to a file or output)";
        return text;
    }
    return "still running";
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
    for (const char* table : {"/proc/net/udp", "/proc/net/udp6"}) {
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

}  // namespace

std::uint16_t free_udp_port() {
    static std::mutex mutex;
    static std::set<std::uint16_t> given;
    static std::uint32_t x = static_cast<std::uint32_t>(::getpid()) * 2654435761u;
    const std::lock_guard lock(mutex);
    const std::uint16_t low = 10000, high = ephemeral_low();
    for (int attempt = 0; attempt < 1000; ++attempt) {
        x = x * 1664525u + 1013904223u;
        const auto port = static_cast<std::uint16_t>(low + (x >> 8) % (high - low));
        if (given.count(port) != 0 || udp_port_bound(port)) continue;
        if (!Socket(in_addr{htonl(INADDR_ANY)}, port).valid()) continue;
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

void Log::add(const std::string& from, const std::string& to, std::span<const std::uint8_t> bytes,
              const sockaddr_in& src, const sockaddr_in& dst) {
    const double at = std::chrono::duration<double>(Clock::now() - start_).count();
    const std::lock_guard lock(mutex_);
    ++total_;
    if (kept_.size() < kMaxKept && kept_bytes_ + bytes.size() <= kMaxKeptBytes) {
        kept_.push_back({at, from, to, Bytes(bytes.begin(), bytes.end()),
                         ntohl(src.sin_addr.s_addr), ntohl(dst.sin_addr.s_addr),
                         ntohs(src.sin_port), ntohs(dst.sin_port)});
        kept_bytes_ += bytes.size();
    }
}

std::vector<Omitted> Log::omitted() const {
    const std::lock_guard lock(mutex_);
    if (total_ == kept_.size()) return {};
    return {Omitted{kept_.size(), "", "", total_ - kept_.size(), 0, 0, 0}};
}

std::vector<Datagram> Log::snapshot() const {
    const std::lock_guard lock(mutex_);
    return kept_;
}

std::size_t Log::total() const {
    const std::lock_guard lock(mutex_);
    return total_;
}

std::size_t Log::count_from(const std::string& from) const {
    const std::lock_guard lock(mutex_);
    std::size_t n = 0;
    for (const auto& d : kept_) n += d.from == from;
    return n;
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
        Bytes b(65535);
        sockaddr_in src{};
        socklen_t len = sizeof src;
        const ssize_t n =
            ::recvfrom(fd_, b.data(), b.size(), 0, reinterpret_cast<sockaddr*>(&src), &len);
        if (n < 0) continue;
        b.resize(static_cast<std::size_t>(n));
        if (from != nullptr) *from = src;
        return b;
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
                l.back->send_to(buf.data(), size, loopback(l.peer_port));
            } else {
                log_.add(l.peer_name, l.front_name, bytes, src, l.back->local());
                if (l.last_front) l.front->send_to(buf.data(), size, *l.last_front);
            }
        }
    }
}

std::string tail(const std::string& text, std::size_t max_bytes) {
    if (text.size() <= max_bytes) return text;
    return "[... " + std::to_string(text.size() - max_bytes) + " bytes before ...]\n" +
           text.substr(text.size() - max_bytes);
}

}  // namespace peercheck
