#include "helpers.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <openssl/sha.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "out.h"

namespace common {

std::span<std::uint8_t, 8> to_hex(const char* text, std::span<std::uint8_t, 8> key) noexcept {
    bool ended = false;  // once the terminating zero is met, nothing after it is read
    for (std::size_t i = 0; i < key.size(); ++i) {
        char pair[3] = {0, 0, 0};
        for (std::size_t j = 0; j < 2 && !ended; ++j) {
            pair[j] = text[2 * i + j];
            ended = pair[j] == '\0';
        }
        const long value = std::strtol(pair, nullptr, 16);
        key[i] = static_cast<std::uint8_t>(static_cast<unsigned long>(value) & 0xffU);
    }
    return key;
}

bool mysha1(const char* path, std::span<std::uint8_t, 20> digest) noexcept {
    std::ranges::fill(digest, 0);
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        out::say("\nerror opening file1\n");
        return false;
    }
    SHA_CTX ctx;
    SHA1_Init(&ctx);
    // Large blocks: the digest is the same as for any piece size, at a fraction of the calls.
    static constexpr std::size_t kBlock = 1 << 16;
    alignas(64) static thread_local std::uint8_t block[kBlock];
    bool whole = true;
    for (;;) {
        const ssize_t n = ::read(fd, block, kBlock);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            whole = false;
            break;
        }
        SHA1_Update(&ctx, block, static_cast<std::size_t>(n));
    }
    ::close(fd);
    std::array<std::uint8_t, 20> result{};
    SHA1_Final(result.data(), &ctx);
    if (whole) std::ranges::copy(result, digest.begin());
    return whole;
}

std::optional<std::array<std::uint8_t, 4>> my_addr() noexcept {
    utsname names{};
    if (::uname(&names) < 0) return std::nullopt;
    const hostent* host = ::gethostbyname(names.nodename);
    if (host == nullptr || host->h_addrtype != AF_INET || host->h_length != 4 ||
        host->h_addr_list == nullptr || host->h_addr_list[0] == nullptr) {
        return std::nullopt;
    }
    std::array<std::uint8_t, 4> addr{};
    std::memcpy(addr.data(), host->h_addr_list[0], addr.size());
    return addr;
}

std::uint16_t to_num(const char* text) noexcept {
    const std::size_t n = std::strlen(text);
    std::uint16_t sum = 0;  // wraps modulo 65536 by intent
    for (std::size_t i = 0; i < n; ++i) {
        const auto digit = static_cast<std::uint16_t>(static_cast<unsigned char>(text[i]) - 48U);
        const double term = digit * std::pow(10.0, static_cast<double>(n - 1 - i));
        // A term of 2^31 or more does not fit a signed 32-bit integer and adds nothing.
        if (term >= 2147483648.0) continue;
        sum = static_cast<std::uint16_t>(
            sum + static_cast<std::uint32_t>(static_cast<std::int32_t>(term)));
    }
    return sum;
}

std::uint16_t size(const char* text) noexcept {
    return static_cast<std::uint16_t>(std::strlen(text));
}

}  // namespace common
