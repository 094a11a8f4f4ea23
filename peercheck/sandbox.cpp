#include "sandbox.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <mutex>

#include "engine.h"

namespace peercheck {

namespace {

Confinement g_confinement;

std::string error_text(const std::string& what, int error) {
    return what + ": " + std::strerror(error);
}

// ---------------------------------------------------------------- inside the sandbox
//
// The init and the program's process are copies of a process that may have other threads, made
// by a bare clone: only system calls happen there, on prepared data, so no lock another thread
// held and no allocator state matters.

enum Step : std::int32_t {
    kStdio = 1,
    kMaps,
    kPrivate,
    kBindFolder,
    kProc,
    kReadOnly,
    kWritableFolder,
    kStartProgram,
};

constexpr int kReportFd = 3;
constexpr int kSampleMillis = 20;

// The descriptors the init starts with: the write end of the report pipe, and standard output
// and error.
struct Opened {
    int report = -1, out = -1, err = -1;
};

// The lines that map this process's user and group to themselves in a new user namespace, made
// before a fork: the child only writes them.
struct IdMaps {
    std::string uid = self_map(::geteuid());
    std::string gid = self_map(::getegid());
    static std::string self_map(unsigned id) {
        return std::to_string(id) + " " + std::to_string(id) + " 1\n";
    }
};

// Everything the init and the program need, built before the clone.
struct Prepared {
    std::vector<char*> argv;
    IdMaps maps;
    const SandboxPlan& plan;

    explicit Prepared(const SandboxPlan& p) : plan(p) {
        for (const auto& a : p.argv) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
    }
};

bool write_text_file(const char* path, const std::string& text) {
    const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ::close(fd);
    return ok;
}

[[noreturn]] void report_and_exit(const SandboxEnd& end) {
    [[maybe_unused]] const ssize_t n = ::write(kReportFd, &end, sizeof end);
    ::_exit(127);
}

[[noreturn]] void fail_setup(Step step) {
    SandboxEnd end;
    end.wait_status = 127 << 8;
    end.step = step;
    end.error = errno;
    report_and_exit(end);
}

// Standard input empty, output and error to the files opened before the clone, the report pipe
// at kReportFd, and no other descriptor: another thread's sockets and files stay out. The files
// were opened outside this mount namespace: opened here, they would keep the mounts they are on
// from being made read-only.
void set_up_descriptors(const Opened& files) {
    if (::dup2(files.out, STDOUT_FILENO) < 0 || ::dup2(files.err, STDERR_FILENO) < 0 ||
        ::dup2(files.report, kReportFd) < 0 || ::fcntl(kReportFd, F_SETFD, FD_CLOEXEC) != 0) {
        // Without the report pipe nothing can be said: the status alone tells.
        ::_exit(127);
    }
    const int in = ::open("/dev/null", O_RDONLY);
    if (in < 0 || ::dup2(in, STDIN_FILENO) < 0) fail_setup(kStdio);
    ::close_range(kReportFd + 1, ~0u, 0);
}

// A new user namespace maps this user to itself, so files in the case folder keep their owner.
bool write_maps(const IdMaps& m) {
    return write_text_file("/proc/self/setgroups", "deny") &&
           write_text_file("/proc/self/uid_map", m.uid) &&
           write_text_file("/proc/self/gid_map", m.gid);
}

// Every mount read-only but the case folder, and a /proc that shows this namespace's processes.
// The mounts copied from outside are locked to this namespace: the program cannot unmount them
// to reach what they cover, nor make them writable again.
void set_up_mounts(const std::string& dir) {
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) fail_setup(kPrivate);
    if (::mount(dir.c_str(), dir.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0) {
        fail_setup(kBindFolder);
    }
    if (::mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0) {
        fail_setup(kProc);
    }
    mount_attr ro{};
    ro.attr_set = MOUNT_ATTR_RDONLY;
    if (::mount_setattr(AT_FDCWD, "/", AT_RECURSIVE, &ro, sizeof ro) != 0) fail_setup(kReadOnly);
    mount_attr rw{};
    rw.attr_clr = MOUNT_ATTR_RDONLY;
    if (::mount_setattr(AT_FDCWD, dir.c_str(), 0, &rw, sizeof rw) != 0) {
        fail_setup(kWritableFolder);
    }
}

void drop_capabilities() {
    for (unsigned long cap = 0; cap < 64; ++cap) ::prctl(PR_CAPBSET_DROP, cap, 0, 0, 0);
    ::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    ::syscall(SYS_capset, &header, data);
    ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
}

void set_limit(int resource, rlim_t soft, rlim_t hard) {
    const rlimit r{soft, hard};
    ::setrlimit(resource, &r);
}

// The program itself: limits, no privileges, the case folder as working directory.
[[noreturn]] void exec_program(const Prepared& p) {
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::signal(SIGPIPE, SIG_DFL);
    ::signal(SIGINT, SIG_DFL);
    ::signal(SIGTERM, SIG_DFL);
    const Limits& l = p.plan.limits;
    const auto cpu = static_cast<rlim_t>(l.cpu.count());
    // SIGXCPU at the limit; SIGKILL a second later for a program that ignores it.
    set_limit(RLIMIT_CPU, cpu, cpu + 1);
    set_limit(RLIMIT_NPROC, l.processes, l.processes);
    set_limit(RLIMIT_NOFILE, l.files, l.files);
    set_limit(RLIMIT_FSIZE, l.file_size, l.file_size);
    set_limit(RLIMIT_CORE, 0, 0);
    if (::chdir(p.plan.dir.c_str()) != 0) ::_exit(127);
    drop_capabilities();
    ::execvp(p.argv[0], p.argv.data());
    ::_exit(127);
}

struct Usage {
    std::uint64_t anon_bytes = 0;
    unsigned tasks = 0;
    unsigned most_files = 0;
};

std::uint64_t field_value(const char* text, const char* name) {
    const char* at = std::strstr(text, name);
    return at == nullptr ? 0 : std::strtoull(at + std::strlen(name), nullptr, 10);
}

// Reads /proc/PID/file (at most size - 1 bytes) as a string.
bool read_proc(int proc, const char* pid, const char* file, char* text, std::size_t size) {
    char path[64];
    std::strcpy(path, pid);
    std::strcat(path, file);
    const int fd = ::openat(proc, path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const ssize_t n = ::read(fd, text, size - 1);
    ::close(fd);
    if (n <= 0) return false;
    text[n] = 0;
    return true;
}

unsigned count_entries(int dir_fd) {
    alignas(dirent64) char buf[4096];
    unsigned n = 0;
    for (;;) {
        const ssize_t got = ::getdents64(dir_fd, buf, sizeof buf);
        if (got <= 0) return n;
        for (ssize_t at = 0; at < got;) {
            const auto* e = reinterpret_cast<const dirent64*>(buf + at);
            n += e->d_name[0] != '.';
            at += e->d_reclen;
        }
    }
}

// What every process of this namespace uses, read from its own /proc.
Usage sample() {
    Usage u;
    const int proc = ::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (proc < 0) return u;
    alignas(dirent64) char buf[4096];
    for (;;) {
        const ssize_t got = ::getdents64(proc, buf, sizeof buf);
        if (got <= 0) break;
        for (ssize_t at = 0; at < got;) {
            const auto* e = reinterpret_cast<const dirent64*>(buf + at);
            at += e->d_reclen;
            if (e->d_name[0] < '1' || e->d_name[0] > '9') continue;
            char text[4096];
            std::uint64_t anon_kib = 0;
            if (read_proc(proc, e->d_name, "/status", text, sizeof text)) {
                u.tasks += static_cast<unsigned>(field_value(text, "\nThreads:"));
                anon_kib = field_value(text, "\nRssAnon:");
            }
            // A page that forked processes share counts once in all, not once in each: the
            // proportional figure, where the kernel gives it, replaces the resident one.
            if (read_proc(proc, e->d_name, "/smaps_rollup", text, sizeof text) &&
                std::strstr(text, "\nPss_Anon:") != nullptr) {
                anon_kib = field_value(text, "\nPss_Anon:");
            }
            // The init's pages are peercheck's own, shared since the clone: not the program's
            // to answer for.
            if (std::strcmp(e->d_name, "1") != 0) u.anon_bytes += anon_kib * 1024;
            char path[64];
            std::strcpy(path, e->d_name);
            std::strcat(path, "/fd");
            const int fds = ::openat(proc, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (fds >= 0) {
                u.most_files = std::max(u.most_files, count_entries(fds));
                ::close(fds);
            }
        }
    }
    ::close(proc);
    return u;
}

// The count of processes is looked at first. As root the kernel does not hold a program to its
// process limit, so a fork loop is stopped only by these samples, and between two of them it can
// start hundreds of processes whose own pages pass the memory limit too: that is their number's
// doing, not memory the program asked for.
LimitReached over_limit(const Usage& u, const Limits& l) {
    if (u.tasks >= l.processes) return LimitReached::processes;
    if (u.anon_bytes > l.memory) return LimitReached::memory;
    if (u.most_files >= l.files) return LimitReached::files;
    return LimitReached::none;
}

// PID 1 of the namespace: sets it up, starts the program, and reports its end. It goes on
// reaping what the program left and keeping it within the limits until the case kills it; then
// the kernel ends every process of the namespace, daemons included.
[[noreturn]] void run_init(const Prepared& p, const Opened& files) {
    ::setpgid(0, 0);
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    ::signal(SIGINT, SIG_DFL);
    ::signal(SIGTERM, SIG_DFL);
    set_up_descriptors(files);
    if (!write_maps(p.maps)) fail_setup(kMaps);
    set_up_mounts(p.plan.dir);
    sigset_t child;
    sigemptyset(&child);
    sigaddset(&child, SIGCHLD);
    ::sigprocmask(SIG_BLOCK, &child, nullptr);
    // Until its exec the program's process holds a copy of this one's memory, which is
    // peercheck's: the init waits for the exec (a vfork without sharing memory) before it looks.
    const long program = ::syscall(SYS_clone, CLONE_VFORK | SIGCHLD, 0, nullptr, nullptr, 0);
    if (program == 0) exec_program(p);
    if (program < 0) fail_setup(kStartProgram);

    SandboxEnd end;
    bool reported = false;
    const timespec nap{0, kSampleMillis * 1000000L};
    for (;;) {
        int status = 0;
        rusage used{};
        for (pid_t r; (r = ::wait4(-1, &status, WNOHANG, &used)) > 0;) {
            if (r != program || reported) continue;
            const auto cpu = used.ru_utime.tv_sec + used.ru_stime.tv_sec;
            if (end.limit == LimitReached::none && WIFSIGNALED(status) &&
                (WTERMSIG(status) == SIGXCPU || cpu >= p.plan.limits.cpu.count())) {
                end.limit = LimitReached::cpu;
            }
            end.wait_status = status;
            [[maybe_unused]] const ssize_t n = ::write(kReportFd, &end, sizeof end);
            reported = true;
        }
        if (const LimitReached l = over_limit(sample(), p.plan.limits); l != LimitReached::none) {
            if (end.limit == LimitReached::none) end.limit = l;
            ::kill(-1, SIGKILL);
        }
        ::sigtimedwait(&child, nullptr, &nap);
    }
}

// ---------------------------------------------------------------- this side

bool has_sys_admin() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    if (::syscall(SYS_capget, &header, data) != 0) return false;
    return (data[CAP_SYS_ADMIN / 32].effective & (1u << (CAP_SYS_ADMIN % 32))) != 0;
}

// Without privileges, a user namespace of this process's own, where it may create the networks
// of its cases; it maps this user to itself, so nothing else changes.
std::string enter_user_namespace() {
    const IdMaps maps;
    if (::unshare(CLONE_NEWUSER) != 0) return error_text("creating a user namespace", errno);
    if (!write_maps(maps)) return error_text("mapping the user into its namespace", errno);
    return {};
}

bool add_address(int sock, in_addr address) {
    ifreq r{};
    std::strcpy(r.ifr_name, "lo:case");
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr = address;
    std::memcpy(&r.ifr_addr, &sin, sizeof sin);
    if (::ioctl(sock, SIOCSIFADDR, &r) != 0) return false;
    sin.sin_addr.s_addr = INADDR_NONE;  // a /32: the address alone
    std::memcpy(&r.ifr_netmask, &sin, sizeof sin);
    return ::ioctl(sock, SIOCSIFNETMASK, &r) == 0;
}

std::string enter_case_network(std::optional<in_addr> host) {
    if (::unshare(CLONE_NEWNET) != 0) return error_text("creating a network namespace", errno);
    const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) return error_text("opening a socket", errno);
    ifreq lo{};
    std::strcpy(lo.ifr_name, "lo");
    std::string why;
    bool up = ::ioctl(s, SIOCGIFFLAGS, &lo) == 0;
    if (up) {
        lo.ifr_flags = static_cast<short>(lo.ifr_flags | IFF_UP | IFF_RUNNING);
        up = ::ioctl(s, SIOCSIFFLAGS, &lo) == 0;
    }
    if (!up) {
        why = error_text("bringing loopback up", errno);
    } else {
        // One address besides 127.0.0.1, as a host on a network has one: name lookups that ask
        // for configured addresses only (AI_ADDRCONFIG) see none on loopback alone. The
        // host-name address where it is another one, so that the relay can send from it.
        in_addr extra{htonl(0x7f000002)};  // 127.0.0.2
        if (host && host->s_addr != htonl(INADDR_LOOPBACK)) extra = *host;
        if (!add_address(s, extra)) why = error_text("putting an address on loopback", errno);
    }
    ::close(s);
    return why;
}

// A trial case in a forked copy of this process: a network of its own where the host name
// resolves as outside, and a sandboxed program that starts and ends well.
std::string trial() {
    const auto outside = host_address();
    if (auto why = enter_case_network(outside); !why.empty()) return why;
    const auto inside = host_address();
    if (outside && (!inside || inside->s_addr != outside->s_addr)) {
        return "the host name resolves to " + dotted(*outside) + ", but to " +
               (inside ? dotted(*inside) : std::string("nothing")) + " without the network";
    }
    const Confinement on{true, Limits{}};
    const Scratch scratch;
    Process p({"/bin/true"}, scratch, "trial", on);
    if (!p.wait_exit(Millis{10000})) return "a trial program did not end";
    if (p.exit_code() != 0) return "a trial program " + p.describe_end();
    return {};
}

std::string run_trial() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return error_text("opening a pipe", errno);
    const pid_t pid = ::fork();
    if (pid < 0) return error_text("forking", errno);
    if (pid == 0) {
        ::close(fds[0]);
        const std::string why = trial();
        [[maybe_unused]] const ssize_t n =
            ::write(fds[1], why.data(), std::min<std::size_t>(why.size(), 400));
        ::_exit(0);
    }
    ::close(fds[1]);
    std::string why;
    pollfd pfd{fds[0], POLLIN, 0};
    char buf[400];
    for (ssize_t n; ::poll(&pfd, 1, 20000) > 0 && (n = ::read(fds[0], buf, sizeof buf)) > 0;) {
        why.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fds[0]);
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (why.empty() && !(WIFEXITED(status) && WEXITSTATUS(status) == 0)) {
        why = "the trial case ended badly";
    }
    return why;
}

}  // namespace

std::string start_isolation(bool wanted) {
    g_confinement = Confinement{};
    if (!wanted) return {};
    std::string why;
    if (!has_sys_admin()) why = enter_user_namespace();
    if (why.empty()) why = run_trial();
    if (!why.empty()) {
        return "no sandbox here (" + why +
               "): the implementation runs in a process group of its own only, without limits";
    }
    g_confinement.sandbox = true;
    return {};
}

const Confinement& confinement() { return g_confinement; }

CaseNetwork::CaseNetwork(std::optional<in_addr> host) {
    const Confinement& how = confinement();
    if (!how.sandbox) return;
    const std::string why = enter_case_network(host);
    own_ = why.empty();
    static std::once_flag said;
    if (!own_) {
        std::call_once(
            said, [&] { std::cerr << "peercheck: cases share one network (" << why << ")\n"; });
    }
}

std::string sandbox_step_name(std::int32_t step) {
    switch (step) {
        case kStdio:
            return "opening standard input, output and error";
        case kMaps:
            return "mapping the user into its namespace";
        case kPrivate:
            return "making the mounts private";
        case kBindFolder:
            return "binding the case folder";
        case kProc:
            return "mounting /proc";
        case kReadOnly:
            return "making the file system read-only";
        case kWritableFolder:
            return "making the case folder writable";
        case kStartProgram:
            return "starting the program";
    }
    return "step " + std::to_string(step);
}

SandboxStart start_sandboxed(const SandboxPlan& plan) {
    const Prepared prepared(plan);
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return {};
    constexpr int kCreate = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC;
    const Opened files{fds[1], ::open(plan.out_path.c_str(), kCreate, 0600),
                       ::open(plan.err_path.c_str(), kCreate, 0600)};
    long pid = -1;
    if (files.out >= 0 && files.err >= 0) {
        pid = ::syscall(SYS_clone,
                        CLONE_NEWUSER | CLONE_NEWNS | CLONE_NEWPID | CLONE_NEWIPC | SIGCHLD, 0,
                        nullptr, nullptr, 0);
        if (pid == 0) run_init(prepared, files);
    }
    for (const int fd : {files.report, files.out, files.err}) {
        if (fd >= 0) ::close(fd);
    }
    if (pid < 0) {
        ::close(fds[0]);
        return {};
    }
    ::fcntl(fds[0], F_SETFL, O_NONBLOCK);
    // Also from this side, so a kill right after the clone reaches the group.
    ::setpgid(static_cast<pid_t>(pid), static_cast<pid_t>(pid));
    return {static_cast<pid_t>(pid), fds[0]};
}

}  // namespace peercheck
