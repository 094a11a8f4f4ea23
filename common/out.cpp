#include "out.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

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
