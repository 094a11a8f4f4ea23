#include "out.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace out {

namespace {
bool g_debug = false;
}

void init() noexcept { std::setvbuf(stdout, nullptr, _IOLBF, 0); }

void set_debug(bool on) noexcept { g_debug = on; }

bool debugging() noexcept { return g_debug; }

void say(const char* fmt, ...) noexcept {
    va_list args;
    va_start(args, fmt);
    std::vprintf(fmt, args);
    va_end(args);
    std::fflush(stdout);
}

void debug(const char* fmt, ...) noexcept {
    if (!g_debug) return;
    va_list args;
    va_start(args, fmt);
    std::vprintf(fmt, args);
    va_end(args);
    std::fflush(stdout);
}

void debug_repeat(const char* line, std::size_t times) noexcept {
    if (!g_debug || times == 0) return;
    // Standard output is line-buffered, so the copies are gathered here and handed over at once.
    char text[4096];
    const std::size_t n = std::strlen(line);
    if (n > sizeof text) {
        for (; times > 0; --times) std::fputs(line, stdout);
        std::fflush(stdout);
        return;
    }
    if (n == 0) return;
    const std::size_t per_write = sizeof text / n;
    for (std::size_t copies = 0; times > 0; times -= copies) {
        copies = std::min(times, per_write);
        for (std::size_t i = 0; i < copies; ++i) std::memcpy(text + i * n, line, n);
        std::fwrite(text, 1, copies * n, stdout);
    }
    std::fflush(stdout);
}

void debug_bytes(std::span<const std::uint8_t> bytes) noexcept {
    if (!g_debug) return;
    for (const std::uint8_t b : bytes) std::printf("%x", b);
    std::fflush(stdout);
}

void fail(const char* debug_line) noexcept {
    if (debug_line != nullptr) debug("%s", debug_line);
    say("ABORT\n");
    std::exit(0);
}

void quit() noexcept {
    std::fflush(stdout);
    std::exit(0);
}

}  // namespace out
