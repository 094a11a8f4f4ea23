#include "harness.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "helpers.h"

namespace harness {

namespace {

using Clock = std::chrono::steady_clock;

void check(bool ok, const char* what) {
    if (!ok) throw std::runtime_error(std::string(what) + ": " + std::strerror(errno));
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
                // A parameterised test's name holds a '/', which a folder name cannot.
                std::string name = info.name();
                std::replace(name.begin(), name.end(), '/', '_');
                peercheck::Scratch kept("udpft-" + name + "-");
                kept.keep();
                const std::string& dir = kept.path();
                std::ofstream(dir + "/programs.txt") << programs_;
                std::printf("kept: %s/programs.txt (the programs this test started)\n",
                            dir.c_str());
            }
            std::fflush(stdout);
        } else {
            for (const auto& d : dirs_) peercheck::remove_folder(d);
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

}  // namespace

namespace {

// Programs a test starts run as the tests' peers: no sandbox, no limit on what they write (a
// transfer of 64 MiB and more is tested).
const peercheck::Confinement kUnconfined{
    false, peercheck::Limits{std::chrono::seconds{3600}, 0, 0, 0, ~std::uint64_t{0}}};

std::vector<std::string> argv_of(const std::string& path, std::vector<std::string> args) {
    args.insert(args.begin(), path);
    return args;
}

}  // namespace

Program::Program(const std::string& path, std::vector<std::string> args)
    : process_(argv_of(path, std::move(args)), folder_, "program", kUnconfined) {
    if (Keeper::in_test()) Keeper::get();  // listening before the test can end
}

Program::~Program() {
    // A program that ended by itself has its end already; one still running is killed here.
    const std::string end =
        process_.running() ? "killed at the end of its scope" : process_.describe_end();
    process_.kill_group();
    if (Keeper::in_test()) {
        const std::string err = process_.err();
        Keeper::get().record_program(process_.command(), end,
                                     process_.out() + (err.empty() ? "" : "[stderr]\n" + err));
    }
}

void Program::kill() { process_.kill_group(); }

const std::string& Program::output() {
    out_ = process_.out();
    return out_;
}

bool Program::running() { return process_.running(); }

bool Program::wait_bound(std::uint16_t port, std::chrono::milliseconds limit) {
    return peercheck::wait_bound(process_, port, limit);
}

std::optional<int> Program::wait_exit(std::chrono::milliseconds limit) {
    if (!process_.wait_exit(limit)) return std::nullopt;
    return process_.exit_code();
}

std::optional<int> Program::wait_exit_writing(const std::string& watched,
                                              std::chrono::milliseconds stall) {
    std::uintmax_t size = 0;
    std::size_t printed = 0;
    auto last_growth = Clock::now();
    while (running()) {
        std::error_code ec;
        const std::uintmax_t now_size = std::filesystem::file_size(watched, ec);
        const std::size_t now_printed = output().size();
        if ((!ec && now_size != size) || now_printed != printed) {
            size = ec ? 0 : now_size;
            printed = now_printed;
            last_growth = Clock::now();
        } else if (Clock::now() - last_growth >= stall) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(10ms);
    }
    return wait_exit(stall);
}

bool Program::wait_output(const std::string& text, std::chrono::milliseconds limit) {
    const auto end = Clock::now() + limit;
    for (;;) {
        const bool ended = !running();
        if (output().find(text) != std::string::npos) return true;
        if (ended || Clock::now() >= end) return false;
        std::this_thread::sleep_for(5ms);
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

TempDir::TempDir() {
    if (Keeper::in_test()) Keeper::get();  // listening before the test can end
}

TempDir::~TempDir() {
    if (Keeper::in_test()) {
        scratch_.keep();
        Keeper::get().hold_dir(path());  // removed or kept when the test ends
    }
}

std::string TempDir::write(const std::string& name, const Bytes& content) const {
    const std::string p = file(name);
    peercheck::write_file(p, content);
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
