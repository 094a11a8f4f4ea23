// An implementation under test that misbehaves on purpose, for peercheck's isolation tests.
//
//   misbehaving-impl MODE MARKER DIR PORT [what peercheck appends for the role]
//
// MARKER is how the test finds the processes left behind; DIR and PORT are outside the case.
//   daemonise     two daemons (double fork, setsid) holding UDP ports, then exit 0
//   flood-client  60000-byte datagrams without end to the first address and port appended
//   flood-server  serve the first port appended; whoever sends a datagram gets 60000-byte
//                 ones without end
//   escape        write DIR/escaped, send a datagram to 127.0.0.1:PORT, leave a daemon, exit 0
//   read-only     leave ro/sub/file behind with ro/ at 0555 and ro/sub at 0, exit 0
//   grow          take 8 MiB more memory every 10 ms, and use it
//   open-files    open /dev/null until refused, then wait
//   fork-until-refused  start waiting children until refused, then wait
//   share         fill 40 MiB, start four children that share it, exit 0 half a second later

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr std::size_t kFloodSize = 60000;

sockaddr_in address(const char* host, const char* port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(std::atoi(port)));
    if (::inet_pton(AF_INET, host, &a.sin_addr) != 1) a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

int bound_socket(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    const sockaddr_in a = address("127.0.0.1", std::to_string(port).c_str());
    if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) std::exit(2);
    return fd;
}

[[noreturn]] void flood(int fd, const sockaddr_in& to) {
    const std::vector<char> datagram(kFloodSize, 'x');
    for (;;) {
        ::sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                 sizeof to);
    }
}

// Detaches a process that holds a UDP port until it is killed, and returns in the caller once
// the middle process has ended, as a daemonising program's foreground does.
void leave_daemon() {
    const pid_t middle = ::fork();
    if (middle == 0) {
        ::setsid();
        if (::fork() != 0) ::_exit(0);
        bound_socket(0);
        for (;;) ::pause();
    }
    ::waitpid(middle, nullptr, 0);
}

void leave_read_only_folder() {
    if (::mkdir("ro", 0700) != 0 || ::mkdir("ro/sub", 0700) != 0) std::exit(2);
    const int fd = ::open("ro/sub/file", O_WRONLY | O_CREAT, 0600);
    if (fd < 0 || ::write(fd, "x", 1) != 1) std::exit(2);
    ::close(fd);
    if (::chmod("ro/sub", 0) != 0 || ::chmod("ro", 0555) != 0) std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 5) return 2;
    const std::string mode = argv[1];
    if (mode == "daemonise") {
        leave_daemon();
        leave_daemon();
        return 0;
    }
    if (mode == "flood-client" && argc >= 7) flood(bound_socket(0), address(argv[5], argv[6]));
    if (mode == "flood-server" && argc >= 6) {
        const int fd = bound_socket(static_cast<std::uint16_t>(std::atoi(argv[5])));
        char buf[65536];
        sockaddr_in from{};
        socklen_t len = sizeof from;
        if (::recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len) < 0) {
            return 2;
        }
        flood(fd, from);
    }
    if (mode == "escape") {
        const std::string outside = std::string(argv[3]) + "/escaped";
        const int fd = ::open(outside.c_str(), O_WRONLY | O_CREAT, 0644);
        std::printf("writing %s: %s\n", outside.c_str(), fd >= 0 ? "done" : std::strerror(errno));
        const int s = bound_socket(0);
        const sockaddr_in to = address("127.0.0.1", argv[4]);
        ::sendto(s, "escaped", 7, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
        leave_daemon();
        return 0;
    }
    if (mode == "read-only") {
        leave_read_only_folder();
        return 0;
    }
    if (mode == "grow") {
        for (;;) {
            constexpr std::size_t kStep = 8u << 20;
            auto* p = static_cast<char*>(std::malloc(kStep));
            if (p == nullptr) return 3;
            std::memset(p, 1, kStep);
            ::usleep(10000);
        }
    }
    if (mode == "fork-until-refused") {
        for (pid_t p; (p = ::fork()) > 0;) {
        }
        for (;;) ::pause();
    }
    if (mode == "share") {
        std::vector<char> filled(40u << 20, 1);
        for (int i = 0; i < 4; ++i) {
            if (::fork() == 0) {
                for (;;) ::pause();
            }
        }
        ::usleep(500000);
        return filled[0] == 1 ? 0 : 3;
    }
    if (mode == "open-files") {
        while (::open("/dev/null", O_RDONLY) >= 0) {
        }
        for (;;) ::pause();
    }
    return 2;
}
