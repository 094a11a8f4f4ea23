#pragma once
// The only code that prints. Everything goes to standard output, one flushed line at a time, so
// a server's "OK" reaches a pipe or log as it happens. Nothing goes to standard error.

#include <cstddef>
#include <cstdint>
#include <span>

namespace out {

// Line-buffers standard output; every program calls it first.
void init() noexcept;
void set_debug(bool on) noexcept;
bool debugging() noexcept;

[[gnu::format(printf, 1, 2)]] void say(const char* fmt, ...) noexcept;    // always
[[gnu::format(printf, 1, 2)]] void debug(const char* fmt, ...) noexcept;  // with -DDEBUG only

// With -DDEBUG only: line, times over, in a few writes rather than one for each line (a loop's
// line for every datagram of a batch).
void debug_repeat(const char* line, std::size_t times) noexcept;

// Each byte with "%x": lowercase, no leading zero, no separator (key and digest dumps).
void debug_bytes(std::span<const std::uint8_t> bytes) noexcept;

// Prints the debug line (if any, with -DDEBUG only), then "ABORT\n", then exits with status 0.
[[noreturn]] void fail(const char* debug_line = nullptr) noexcept;
// Exits with status 0 without a result line (the server's silent endings).
[[noreturn]] void quit() noexcept;

}  // namespace out
