#include "harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "helpers.h"

namespace harness {

namespace {

using Clock = std::chrono::steady_clock;

void check(bool ok, const char* what) {
    if (!ok) throw std::runtime_error(std::string(what) + ": " + std::strerror(errno));
}

std::string make_temp_dir(const std::string& prefix) {
    std::string tmpl = (std::filesystem::temp_directory_path() / (prefix + "XXXXXX")).string();
    check(::mkdtemp(tmpl.data()) != nullptr, "mkdtemp");
    return tmpl;
}

// Holds what the running test made or saw until it ends: removes its folders when it passed;
// keeps them when it failed, writes the outputs of its programs beside them, and says where.
class Keeper : public testing::EmptyTestEventListener {
public:
    // The one Keeper, listening to GoogleTest's events from its first use on.
    static Keeper& get() {
        static Keeper* const keeper = [] {
            auto* k = new Keeper;  // owned by GoogleTest's listener list from here on
            testing::UnitTest::GetInstance()->listeners().Append(k);
            return k;
        }();
        return *keeper;
    }
    static bool in_test() {
        return testing::UnitTest::GetInstance()->current_test_info() != nullptr;
    }

    void hold_dir(std::string path) {
        const std::lock_guard lock(mutex_);
        dirs_.push_back(std::move(path));
    }
    void record_program(const std::string& command, const std::string& end,
                        const std::string& output) {
        const std::lock_guard lock(mutex_);
        programs_ += "$ " + command + "\n" + output;
        if (!output.empty() && output.back() != '\n') programs_ += "\n";
        programs_ += "[" + end + "]\n\n";
    }

    void OnTestEnd(const testing::TestInfo& info) override {
        const std::lock_guard lock(mutex_);
        if (info.result()->Failed()) {
            for (const auto& d : dirs_) std::printf("kept: %s\n", d.c_str());
            if (!programs_.empty()) {
                const std::string dir = make_temp_dir(std::string("udpft-") + info.name() + "-");
                std::ofstream(dir + "/programs.txt") << programs_;
                std::printf("kept: %s/programs.txt (the programs this test started)\n",
                            dir.c_str());
            }
            std::fflush(stdout);
        } else {
            for (const auto& d : dirs_) {
                std::error_code ec;
                std::filesystem::remove_all(d, ec);
            }
        }
        dirs_.clear();
        programs_.clear();
    }

private:
    Keeper() = default;
    std::mutex mutex_;
    std::vector<std::string> dirs_;
    std::string programs_;
};

std::string describe_end(bool exited, int status) {
    if (!exited) return "running";
    if (WIFEXITED(status)) return "exit " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) return "signal " + std::to_string(WTERMSIG(status));
    return "ended";
}

}  // namespace

std::uint16_t free_udp_port() {
    for (int attempt = 0; attempt < 50; ++attempt) {
        const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        check(fd >= 0, "socket");
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        check(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0, "bind");
        socklen_t len = sizeof a;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        ::close(fd);
        const std::uint16_t port = ntohs(a.sin_port);
        if (port >= 1024 && !udp_port_bound(port)) return port;
    }
    throw std::runtime_error("no free UDP port");
}

bool udp_port_bound(std::uint16_t port) {
    std::ifstream f("/proc/net/udp");
    std::string line;
    std::getline(f, line);  // header
    char wanted[8];
    std::snprintf(wanted, sizeof wanted, ":%04X", port);
    while (std::getline(f, line)) {
        std::istringstream fields(line);
        std::string slot, local;
        fields >> slot >> local;
        if (local.size() >= 5 && local.compare(local.size() - 5, 5, wanted) == 0) return true;
    }
    return false;
}

Program::Program(const std::string& path, std::vector<std::string> args, const std::string& cwd) {
    command_ = path;
    for (const auto& a : args) command_ += " " + a;
    if (Keeper::in_test()) Keeper::get();  // listening before the test can end
    int fds[2];
    check(::pipe2(fds, O_CLOEXEC) == 0, "pipe");
    pid_ = ::fork();
    check(pid_ >= 0, "fork");
    if (pid_ == 0) {
        ::setpgid(0, 0);
        ::dup2(fds[1], STDOUT_FILENO);
        const int devnull = ::open("/dev/null", O_RDWR);
        ::dup2(devnull, STDIN_FILENO);
        if (!cwd.empty() && ::chdir(cwd.c_str()) != 0) ::_exit(127);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(path.c_str()));
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv(path.c_str(), argv.data());
        ::_exit(127);
    }
    ::close(fds[1]);
    out_fd_ = fds[0];
    ::fcntl(out_fd_, F_SETFL, O_NONBLOCK);
}

Program::~Program() {
    // A program that ended by itself has its status already; one still running is killed here.
    const std::string end =
        running() ? "killed at the end of its scope" : describe_end(true, status_);
    kill();
    drain(0);
    if (out_fd_ >= 0) ::close(out_fd_);
    if (Keeper::in_test()) Keeper::get().record_program(command_, end, out_);
}

void Program::kill() {
    if (pid_ > 0 && !exited_) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status_, 0);
        exited_ = true;
    }
}

void Program::drain(int timeout_ms) {
    if (out_fd_ < 0) return;
    pollfd p{out_fd_, POLLIN, 0};
    if (::poll(&p, 1, timeout_ms) <= 0) return;
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(out_fd_, buf, sizeof buf);
        if (n > 0) {
            out_.append(buf, static_cast<std::size_t>(n));
            continue;
        }
        if (n == 0) {  // every writer has gone
            ::close(out_fd_);
            out_fd_ = -1;
        }
        return;
    }
}

const std::string& Program::output() {
    drain(0);
    return out_;
}

bool Program::running() {
    if (exited_) return false;
    if (::waitpid(pid_, &status_, WNOHANG) == pid_) exited_ = true;
    return !exited_;
}

bool Program::wait_bound(std::uint16_t port, std::chrono::milliseconds limit) {
    const auto end = Clock::now() + limit;
    while (Clock::now() < end) {
        if (udp_port_bound(port)) return true;
        if (!running()) return false;
        std::this_thread::sleep_for(5ms);
    }
    return false;
}

std::optional<int> Program::wait_exit(std::chrono::milliseconds limit) {
    const auto end = Clock::now() + limit;
    while (running()) {
        if (Clock::now() >= end) return std::nullopt;
        drain(10);
    }
    // Read what is left in the pipe; the program and any child holding it have ended.
    while (out_fd_ >= 0 && Clock::now() < end + 1s) drain(50);
    if (!WIFEXITED(status_)) return std::nullopt;
    return WEXITSTATUS(status_);
}

std::optional<int> Program::wait_exit_writing(const std::string& watched,
                                              std::chrono::milliseconds stall) {
    std::uintmax_t size = 0;
    std::size_t printed = out_.size();
    auto last_growth = Clock::now();
    while (running()) {
        std::error_code ec;
        const std::uintmax_t now_size = std::filesystem::file_size(watched, ec);
        if ((!ec && now_size != size) || out_.size() != printed) {
            size = ec ? 0 : now_size;
            printed = out_.size();
            last_growth = Clock::now();
        } else if (Clock::now() - last_growth >= stall) {
            return std::nullopt;
        }
        drain(10);
    }
    return wait_exit(stall);  // collects what is left in the pipe and the exit status
}

bool Program::wait_output(const std::string& text, std::chrono::milliseconds limit) {
    const auto end = Clock::now() + limit;
    for (;;) {
        if (output().find(text) != std::string::npos) return true;
        if (Clock::now() >= end) return false;
        if (!running()) {
            drain(50);
            return out_.find(text) != std::string::npos;
        }
        drain(10);
    }
}

Finished run(const std::string& path, std::vector<std::string> args,
             std::chrono::milliseconds limit) {
    Program p(path, std::move(args));
    Finished f;
    f.status = p.wait_exit(limit);
    f.output = p.output();
    return f;
}

Finished run_writing(const std::string& path, std::vector<std::string> args,
                     const std::string& watched, std::chrono::milliseconds stall) {
    Program p(path, std::move(args));
    Finished f;
    f.status = p.wait_exit_writing(watched, stall);
    f.output = p.output();
    return f;
}

std::optional<Bytes> client_address() {
    const auto addr = common::my_addr();
    if (!addr) return std::nullopt;
    return Bytes(addr->begin(), addr->end());
}

Peer::Peer(std::chrono::milliseconds recv_timeout) : timeout_(recv_timeout) {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    check(fd_ >= 0, "socket");
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    check(::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0, "bind");
    socklen_t len = sizeof a;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
}

Peer::~Peer() {
    if (fd_ >= 0) ::close(fd_);
}

void Peer::set_recv_buffer(int bytes) {
    if (::setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0) {
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    }
}

void Peer::send(const Bytes& datagram, std::uint16_t to_port) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(to_port);
    const ssize_t n = ::sendto(fd_, datagram.data(), datagram.size(), 0,
                               reinterpret_cast<sockaddr*>(&to), sizeof to);
    check(n == static_cast<ssize_t>(datagram.size()), "sendto");
}

void Peer::reply(const Bytes& datagram) { send(datagram, last_from_port()); }

std::optional<Bytes> Peer::receive() { return receive(timeout_); }

std::optional<Bytes> Peer::receive(std::chrono::milliseconds limit) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(limit.count())) <= 0) return std::nullopt;
    Bytes buf(65536);
    socklen_t len = sizeof last_from_;
    const ssize_t n =
        ::recvfrom(fd_, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&last_from_), &len);
    if (n < 0) return std::nullopt;
    buf.resize(static_cast<std::size_t>(n));
    return buf;
}

Bytes bytes(std::initializer_list<int> values) {
    Bytes b;
    for (int v : values) b.push_back(static_cast<std::uint8_t>(v));
    return b;
}

Bytes text_field(const std::string& text, std::size_t size) {
    Bytes b(size, 0);
    std::memcpy(b.data(), text.data(), std::min(size, text.size()));
    return b;
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes b;
    for (const auto& p : parts) b.insert(b.end(), p.begin(), p.end());
    return b;
}

Bytes be16(std::uint16_t v) {
    return {static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)};
}
Bytes be32(std::uint32_t v) {
    return {static_cast<std::uint8_t>(v >> 24), static_cast<std::uint8_t>(v >> 16),
            static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)};
}
Bytes le32(std::uint32_t v) {
    return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
            static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
}
Bytes zeros(std::size_t n) { return Bytes(n, 0); }

std::string hex(const Bytes& b) {
    std::string s;
    char two[3];
    for (auto v : b) {
        std::snprintf(two, sizeof two, "%02x", v);
        s += two;
    }
    return s;
}

TempDir::TempDir() : path_(make_temp_dir("udpft-")) {
    if (Keeper::in_test()) Keeper::get();  // listening before the test can end
}

TempDir::~TempDir() {
    if (Keeper::in_test()) {
        Keeper::get().hold_dir(path_);  // removed or kept when the test ends
        return;
    }
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string TempDir::write(const std::string& name, const Bytes& content) const {
    const std::string p = file(name);
    std::ofstream f(p, std::ios::binary);
    f.write(reinterpret_cast<const char*>(content.data()),
            static_cast<std::streamsize>(content.size()));
    return p;
}

Bytes TempDir::read(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

Bytes pattern(std::size_t n, std::uint32_t seed) {
    Bytes b(n);
    std::uint32_t x = seed * 2654435761U + 12345U;
    for (auto& v : b) {
        x = x * 1103515245U + 12345U;
        v = static_cast<std::uint8_t>(x >> 16);
    }
    return b;
}

Bytes sha1(const Bytes& data) {
    Bytes md(20);
    unsigned int len = 0;
    EVP_Digest(data.data(), data.size(), md.data(), &len, EVP_sha1(), nullptr);
    return md;
}

}  // namespace harness
