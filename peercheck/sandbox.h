#pragma once
// Isolation of the programs a case starts: each runs in namespaces of its own (its own
// processes, under a small init that ends them all; no network but the case's loopback; the
// file system read-only but for the case's folder) with limits on what it may use. Part of the
// engine: only engine.cpp starts processes through it.

#include <netinet/in.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace peercheck {

// What one sandboxed program may use, it and every process it starts together unless said.
struct Limits {
    std::chrono::seconds cpu{60};           // CPU time of each process
    std::uint64_t memory = 1ull << 30;      // anonymous memory of all its processes, in bytes
    unsigned processes = 128;               // processes and threads at a time
    unsigned files = 256;                   // open files of each process
    std::uint64_t file_size = 64ull << 20;  // each file written, standard output included
};

// How a case's programs run: sandboxed with limits, or (sandbox false) only in a process group
// of their own, with the file-size and open-files limits alone (files 0: no open-files limit).
struct Confinement {
    bool sandbox = false;
    Limits limits;
};

// Decides once how every case's programs run: sandboxed when wanted and this system allows it.
// Call it before any other thread starts: without privileges this process enters a user
// namespace of its own, which only a single-threaded process may. Returns the one line to print
// when a wanted sandbox cannot be had (what the system refused), else an empty string.
std::string start_isolation(bool wanted);
// What start_isolation chose; no sandbox before it is called.
const Confinement& confinement();

// Gives the calling thread a network of its own, loopback only, with one more address on it (the
// host-name address unless that is 127.0.0.1): every socket the thread opens and every thread or
// process it starts from then on is in it. Does nothing without a sandbox. One per case,
// constructed before the case opens a socket; the thread stays in that network afterwards.
class CaseNetwork {
public:
    explicit CaseNetwork(std::optional<in_addr> host);
    // False when the sandbox wanted one but the system refused (said once on standard error).
    bool own() const { return own_; }

private:
    bool own_ = false;
};

// Why a sandboxed program was ended, besides what it did itself.
enum class LimitReached : std::int32_t { none, cpu, memory, processes, files };

// What the sandbox's init reports once the program it started has ended.
struct SandboxEnd {
    int wait_status = 0;  // as waitpid gives it
    LimitReached limit = LimitReached::none;
    std::int32_t step = 0;   // non-zero: the sandbox could not be set up (sandbox_step_name)
    std::int32_t error = 0;  // errno of that step
};

// The set-up step a SandboxEnd names, e.g. "mounting /proc".
std::string sandbox_step_name(std::int32_t step);

// What a sandboxed start needs, prepared before the fork: the child allocates nothing.
struct SandboxPlan {
    std::vector<std::string> argv;
    std::string dir;                 // working folder: the only one writable
    std::string out_path, err_path;  // standard output and error (in dir)
    Limits limits;
};

// Starts plan.argv sandboxed, under an init of its own in a new process group. Returns the
// init's pid (it ends only when killed, after the program) and the read end of the pipe on which
// the init sends one SandboxEnd; pid -1 when it could not even be started.
struct SandboxStart {
    pid_t pid = -1;
    int report_fd = -1;
};
SandboxStart start_sandboxed(const SandboxPlan& plan);

}  // namespace peercheck
