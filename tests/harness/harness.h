#pragma once
// Integration-test harness: start a built program, capture its standard output, and play its
// peer over 127.0.0.1 with a UDP socket whose every receive has a time-out. A Program is killed
// when it goes out of scope, whatever the test's outcome.
//
// What a test saw outlives a failure: the TempDirs made during a GoogleTest test are removed when
// that test ends, or kept when it has failed, and the command line, exit and whole output of every
// Program it started are then written to a folder of their own; the paths are printed.

#include <netinet/in.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "engine.h"

namespace harness {

using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

// Ports, processes and folders are the conformance runner's own helpers (peercheck/engine.h):
// a fix to port probing, starting or removing is made once.
// A UDP port that nothing is bound to, below the range the system hands out to sockets bound
// to port 0, never the same twice in one test program.
inline std::uint16_t free_udp_port() { return peercheck::free_udp_port(); }

class Program {
public:
    // Starts path with args (argv[0] is path) in a process group and a working folder of its
    // own, standard output and error captured, standard input empty.
    Program(const std::string& path, std::vector<std::string> args);
    ~Program();
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    pid_t pid() const { return process_.pid(); }
    // Waits until the program has bound port; false on time-out or when it exited first.
    bool wait_bound(std::uint16_t port, std::chrono::milliseconds limit = 5s);
    // Waits for the program to exit; its exit status, or nullopt on time-out or a signal.
    std::optional<int> wait_exit(std::chrono::milliseconds limit = 5s);
    // Waits for a program that writes the file at watched to exit: as long as it takes while
    // that file or the program's output grows, nullopt once neither has grown for stall.
    std::optional<int> wait_exit_writing(const std::string& watched,
                                         std::chrono::milliseconds stall = 3s);
    bool running();
    // Everything printed so far (reads what is pending without blocking).
    const std::string& output();
    // Waits until the output contains text; false on time-out.
    bool wait_output(const std::string& text, std::chrono::milliseconds limit = 5s);
    void kill();

private:
    peercheck::Scratch folder_{"udpft-program."};  // its working folder and output files
    peercheck::Process process_;
    std::string out_;
};

// Runs a program to its end (it must exit within limit); returns its whole output.
struct Finished {
    std::optional<int> status;
    std::string output;
};
Finished run(const std::string& path, std::vector<std::string> args,
             std::chrono::milliseconds limit = 5s);
// Runs a program that writes the file at watched to its end, given up once it stalls (see
// Program::wait_exit_writing): a transfer may take its time, a stuck one fails within seconds.
Finished run_writing(const std::string& path, std::vector<std::string> args,
                     const std::string& watched, std::chrono::milliseconds stall = 3s);

// The address the ticket client puts in its Authenticator: the first IPv4 address of this host's
// name (uname -n), found with the client's own lookup; nullopt where the name does not resolve.
// It is 127.0.1.1 on a stock Debian host, whose datagrams to 127.0.0.1 still leave from 127.0.0.1.
std::optional<Bytes> client_address();

class Peer {
public:
    // Bound to 127.0.0.1 on a port of the system's choice; receives time out after recv_timeout.
    explicit Peer(std::chrono::milliseconds recv_timeout = 2s);
    ~Peer();
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    std::uint16_t port() const { return port_; }
    int fd() const { return fd_; }
    void send(const Bytes& datagram, std::uint16_t to_port);
    // Sends to the source of the datagram received last.
    void reply(const Bytes& datagram);
    // One datagram (up to 65535 bytes), or nullopt on time-out.
    std::optional<Bytes> receive();
    std::optional<Bytes> receive(std::chrono::milliseconds limit);
    // Source port of the datagram received last.
    std::uint16_t last_from_port() const { return ntohs(last_from_.sin_port); }
    void set_recv_buffer(int bytes);

private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
    std::chrono::milliseconds timeout_;
    sockaddr_in last_from_{};
};

// ---- Byte helpers for writing expected datagrams. ----
Bytes bytes(std::initializer_list<int> values);
Bytes text_field(const std::string& text, std::size_t size);  // text then zero bytes
Bytes concat(std::initializer_list<Bytes> parts);
Bytes be16(std::uint16_t v);
Bytes be32(std::uint32_t v);
Bytes le32(std::uint32_t v);
Bytes zeros(std::size_t n);
std::string hex(const Bytes& b);

// Temporary directory for files served and written by the programs. Made during a test, it is
// removed when the test ends, or kept with its path printed when the test has failed (so that a
// helper's folder survives an assertion its caller makes later); made outside a test, it is
// removed at scope end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return scratch_.path(); }
    std::string file(const std::string& name) const { return scratch_.file(name); }
    std::string write(const std::string& name, const Bytes& content) const;
    static Bytes read(const std::string& path);

private:
    peercheck::Scratch scratch_{"udpft-"};
};

// Deterministic file content of n bytes (not all one value, so misplaced chunks show).
Bytes pattern(std::size_t n, std::uint32_t seed = 1);
// SHA-1 of bytes, computed independently of the programs' own helper.
Bytes sha1(const Bytes& data);

}  // namespace harness
