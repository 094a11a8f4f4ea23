#pragma once
// The engine of the conformance runner: the one place that knows about processes, ports,
// scratch folders, time-outs and captured datagrams. The catalogue says what a case does; the
// runner (runner.cpp) combines these pieces for each role; nothing here knows a protocol.

#include <netinet/in.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "result.h"
#include "sandbox.h"

namespace peercheck {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;
using Millis = std::chrono::milliseconds;

// Set by SIGINT and SIGTERM; every wait below returns early once it is set, so each case
// unwinds and its destructors end its processes and remove its scratch folder.
extern std::atomic<bool> g_interrupted;
void install_interrupt_handlers();

// Sleeps up to d in short steps; false when interrupted.
bool nap(Millis d);

// A private folder under $TMPDIR (or /tmp), removed with everything in it at scope end, folders
// a program left read-only included; what still cannot be removed is named on standard error.
class Scratch {
public:
    explicit Scratch(std::string_view prefix = "peercheck.");
    ~Scratch();
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    // Leaves the folder where it is at scope end (someone else removes it, or keeps it).
    void keep() { kept_ = true; }

private:
    std::string path_;
    bool kept_ = false;
};

// Removes a folder and everything in it, folders left read-only included; names on standard
// error what cannot be removed. False when something stays.
bool remove_folder(const std::string& path);

// Whole-file helpers for the files served and received.
bool write_file(const std::string& path, const Bytes& content);
std::optional<Bytes> read_file(const std::string& path, std::size_t limit);
// Deterministic content of n bytes (not one repeated value, so a misplaced chunk shows).
Bytes pattern(std::size_t n, std::uint32_t seed);

// A program started in a process group of its own, standard input empty, standard output and
// error written to files in a scratch folder, working in that folder. A process that writes
// without end is stopped by the file-size limit (it gets SIGXFSZ), so neither memory nor disk
// runs out; the open-files limit holds too. Sandboxed (see sandbox.h), it also runs under the
// other limits, and everything it starts ends when it is killed, whatever process group it moved
// to.
class Process {
public:
    Process(const std::vector<std::string>& argv, const Scratch& scratch, const std::string& name,
            const Confinement& how = confinement());
    ~Process();  // kills the whole group (sandboxed: every process it started)
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    bool running();
    // Waits for the process to end, at most limit; true when it ended.
    bool wait_exit(Millis limit);
    // Waits until standard output holds at least n lines equal to line; false on time-out, or
    // when the process ended first.
    bool wait_line(const std::string& line, std::size_t n, Millis limit);
    void kill_group();

    pid_t pid() const { return pid_; }
    std::optional<int> exit_code() const { return exit_code_; }
    std::optional<int> signal() const { return signal_; }
    // The limit whose reaching ended it (sandboxed only).
    LimitReached limit_reached() const { return limit_; }
    std::string out() const;  // whole standard output (bounded by the confinement's file size)
    std::string err() const;
    // The end of standard output or error, at most max_bytes of it, as last_bytes gives it;
    // read from the end of the file, whatever its size.
    std::string out_tail(std::size_t max_bytes) const;
    std::string err_tail(std::size_t max_bytes) const;
    std::size_t count_lines(const std::string& line) const;
    // "exited with status 0", "killed by SIGSEGV", "killed by SIGXCPU: it used more than 60 s of
    // CPU", ...
    std::string describe_end() const;
    const std::string& command() const { return command_; }

private:
    void reap(bool block);
    void read_report();
    void take_status(int status);
    pid_t pid_ = -1;
    int report_fd_ = -1;     // sandboxed: where its init reports the program's end
    bool ended_ = false;     // it ended (a zombie until kill_group)
    bool released_ = false;  // kill_group reaped it: its pid may belong to another process now
    std::optional<int> exit_code_;
    std::optional<int> signal_;
    LimitReached limit_ = LimitReached::none;
    std::string setup_failure_;
    Limits limits_;
    std::string out_path_, err_path_, command_;
};

// Finds argv0 the way execvp would; empty when it names nothing executable.
std::string find_executable(const std::string& argv0);
// A command's words as one line, a space between each two, for reports.
std::string command_line(const std::vector<std::string>& words);

// A UDP port that no socket of this machine is bound to and that this process has not handed
// out before, so parallel cases never share one; below the range the system picks from.
std::uint16_t free_udp_port();
// Whether some socket is bound to the UDP port (procfs net/udp and net/udp6) in the calling
// thread's network, which may be a case's own.
bool udp_port_bound(std::uint16_t port);
// Waits until the port is bound while the process runs; false on time-out or when it ended.
bool wait_bound(Process& p, std::uint16_t port, Millis limit);

// The first IPv4 address of this host's name, as a client puts it into its Authenticator.
std::optional<in_addr> host_address();
std::string dotted(in_addr a);

// A sender that went past what any case needs (Log::kFloodDatagrams, Log::kFloodBytes).
struct Flood {
    std::string from, to;  // the sender, and where its last datagram went
    std::size_t datagrams = 0;
    std::uint64_t bytes = 0;
    double seconds = 0;  // from its first datagram to the one that went past
};
// "flooded: 33001 datagrams (1980060000 bytes) from implementation to gatekeep in 0.4 s, ..."
std::string describe(const Flood& f);

// Every datagram of a case, stamped with the time since the case started. Memory stays bounded
// whatever arrives: each direction keeps its first datagrams while the log holds fewer than
// kKeepFirst (kKeepFirstBytes), which every ordinary case stays within, then only its last
// kKeepLast (kKeepLastBytes); the ones between are counted as one Omitted record.
class Log {
public:
    static constexpr std::size_t kKeepFirst = 16384;
    static constexpr std::size_t kKeepFirstBytes = 16u << 20;
    static constexpr std::size_t kKeepLast = 64;
    static constexpr std::size_t kKeepLastBytes = 1u << 20;
    // The largest file a case sends takes about 3300 datagrams and 3.3 MB: a sender past ten
    // times that is flooding.
    static constexpr std::size_t kFloodDatagrams = 33000;
    static constexpr std::uint64_t kFloodBytes = 32u << 20;

    explicit Log(Clock::time_point start) : start_(start) {}
    // One datagram from `from` (its socket src) to `to` (dst), as it crossed.
    void add(const std::string& from, const std::string& to, std::span<const std::uint8_t> bytes,
             const sockaddr_in& src, const sockaddr_in& dst);
    // The datagrams kept, in the order seen.
    std::vector<Datagram> snapshot() const;
    // Both at one moment, so that each Omitted's `before` indexes that exchange.
    std::pair<std::vector<Datagram>, std::vector<Omitted>> contents() const;
    std::size_t total() const;
    // Datagrams sent by from so far.
    std::size_t count_from(const std::string& from) const;
    // The first sender that flooded, once one has; relays and scripts stop passing datagrams on.
    std::optional<Flood> flood() const;
    bool flooded() const { return flooded_; }

private:
    struct Entry {
        std::uint64_t seq;
        Datagram d;
    };
    struct Direction {
        std::string from, to;
        std::size_t count = 0;
        std::uint64_t bytes = 0;
        double first_at = 0;
        bool spilled = false;    // its datagrams now go to `last`
        std::deque<Entry> last;  // its latest datagrams once spilled
        std::uint64_t last_bytes = 0;
        Omitted gap;  // what fell out of `last` (before is worked out when asked)
    };
    Direction& direction(const std::string& from, const std::string& to, double at);
    void note_flood(const Direction& d, double at);
    std::vector<Datagram> snapshot_locked() const;
    std::vector<Omitted> omitted_locked() const;

    Clock::time_point start_;
    mutable std::mutex mutex_;
    std::vector<Entry> first_;  // in order seen
    std::uint64_t first_bytes_ = 0;
    std::vector<Direction> directions_;
    std::uint64_t seq_ = 0;
    std::optional<Flood> flood_;
    std::atomic<bool> flooded_{false};
};

// A bound UDP socket on an IPv4 address (port 0: the system's choice) whose receives wait at
// most a given time. Used by the relay and by the peers that peercheck plays itself.
class Socket {
public:
    Socket(in_addr addr, std::uint16_t port);
    ~Socket();
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    bool valid() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    std::uint16_t port() const { return port_; }
    const sockaddr_in& local() const { return local_; }
    bool send_to(const std::uint8_t* data, std::size_t size, const sockaddr_in& to) const;
    // One datagram of up to 65535 bytes (the vector holds just its size), or nullopt after
    // limit (or on interruption).
    std::optional<Bytes> receive(Millis limit, sockaddr_in* from = nullptr) const;

private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
    sockaddr_in local_{};
};

sockaddr_in loopback(std::uint16_t port);

// Forwards datagrams between a program and one of its peers and logs each one. The program
// sends to the front port; the relay sends on from its back socket, bound to back_addr, so the
// peer sees back_addr as the source (the host-name address, when a Ticket must carry it).
// Replies are returned to wherever the front last heard from. Once the log has seen a flood,
// datagrams are still logged (counted) but no longer passed on.
class Relay {
public:
    explicit Relay(Log& log) : log_(log) {}
    ~Relay();
    Relay(const Relay&) = delete;
    Relay& operator=(const Relay&) = delete;
    // Returns the front port, or nullopt when a socket cannot be bound (back_addr not local).
    std::optional<std::uint16_t> add(const std::string& front_name, const std::string& peer_name,
                                     std::uint16_t peer_port, in_addr back_addr);
    void start();

private:
    struct Link {
        std::string front_name, peer_name;
        std::uint16_t peer_port;
        std::unique_ptr<Socket> front, back;
        std::optional<sockaddr_in> last_front;
    };
    void pump();
    Log& log_;
    std::vector<Link> links_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// The end of a text, at most max_bytes of it, after a note of how many bytes came before.
std::string last_bytes(const std::string& text, std::size_t max_bytes = 2000);

}  // namespace peercheck
