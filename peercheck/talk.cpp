// The scripted peers' common ground: the case's change applied where the case names it, the
// deliveries and receives, each logged.

#include <fmt/format.h>

#include <algorithm>
#include <utility>

#include "pass_msg.h"
#include "scripts.h"
#include "ticket_msg.h"
#include "wire.h"

namespace peercheck {

namespace {

const std::string kImpl = "implementation";
const std::string kUs = "peercheck";

// Noise is built from a fixed seed, so a case sends the same bytes on every run; its type field
// (where both protocols keep it) holds a type no message has.
constexpr std::uint16_t kNoType = 0xEEEE;
static_assert(ticket::kType.offset == pass::kType.offset && ticket::kType.size == pass::kType.size);

void store(std::span<std::uint8_t> bytes, wire::Field f, std::uint64_t v, bool little_endian) {
    if (f.end() > bytes.size()) return;
    for (std::size_t i = 0; i < f.size; ++i) {
        const std::size_t shift = 8 * (little_endian ? i : f.size - 1 - i);
        bytes[f.offset + i] = static_cast<std::uint8_t>(v >> shift);
    }
}

}  // namespace

std::string reaction_text(unsigned reactions) {
    std::string s;
    const auto add = [&](unsigned bit, const char* words) {
        if ((reactions & bit) == 0) return;
        s += (s.empty() ? "" : " or ") + std::string(words);
    };
    add(kProceeds, "goes on");
    add(kRetries, "asks again");
    add(kRefuses, "refuses");
    add(kWaits, "waits");
    return s.empty() ? "nothing" : s;
}

void Outcome::fail(std::string exp, std::string obs, std::string cause) {
    if (!ok) return;
    ok = false;
    expected = std::move(exp);
    observed = std::move(obs);
    likely_cause = std::move(cause);
}

bool Talk::changes(At at) const {
    const Tamper& t = c().tamper;
    return t.at == at && t.op != Op::none && delivered(at) + 1 == t.nth;
}

namespace {

void write_change(const Tamper& t, std::span<std::uint8_t> plain) {
    switch (t.op) {
        case Op::set:
            store(plain, t.field, static_cast<std::uint64_t>(t.value), false);
            break;
        case Op::set_le:
            store(plain, t.field, static_cast<std::uint64_t>(t.value), true);
            break;
        case Op::put:
            for (std::size_t i = 0; i < t.bytes.size() && t.field.offset + i < plain.size(); ++i) {
                plain[t.field.offset + i] = static_cast<std::uint8_t>(t.bytes[i]);
            }
            break;
        case Op::flip:
            for (std::size_t i = t.field.offset; i < t.field.end() && i < plain.size(); ++i) {
                plain[i] ^= static_cast<std::uint8_t>(t.value);
            }
            break;
        default:
            break;
    }
}

}  // namespace

void Talk::tamper(At at, Part part, std::span<std::uint8_t> plain) const {
    if (!changes(at)) return;
    for (const Tamper* t : {&c().tamper, &c().also}) {
        if (t->op != Op::none && t->part == part) write_change(*t, plain);
    }
}

Bytes Talk::tamper(At at, Bytes d) const {
    if (!changes(at)) return d;
    for (const Tamper* t : {&c().tamper, &c().also}) {
        if (t->op != Op::none && t->part == Part::datagram) d = change(*t, std::move(d));
    }
    return d;
}

Bytes Talk::change(const Tamper& t, Bytes d) {
    const auto n = static_cast<std::size_t>(std::max<std::int64_t>(t.value, 0));
    switch (t.op) {
        case Op::cut:
            d.resize(std::min(d.size(), n));
            break;
        case Op::extend: {
            const Bytes tail = pattern(n > d.size() ? n - d.size() : 0, 11);
            d.insert(d.end(), tail.begin(), tail.end());
            break;
        }
        case Op::noise:
            d = pattern(n, 7);
            store(d, ticket::kType, kNoType, false);
            break;
        default:
            write_change(t, d);
            break;
    }
    return d;
}

std::uint32_t Talk::stamp(At at, std::uint32_t now) const {
    const Tamper& t = c().tamper;
    if (t.at != at) return now;
    if (t.op == Op::stamp) return static_cast<std::uint32_t>(now + t.value);
    if (t.op == Op::stamp_aligned) {
        return (now & ~std::uint32_t{0xFF}) + static_cast<std::uint32_t>(t.value);
    }
    return now;
}

std::int32_t Talk::answer_offset(At at) const {
    const Tamper& t = c().tamper;
    return t.at == at && t.op == Op::add_answer ? static_cast<std::int32_t>(t.value) : 0;
}

std::string Talk::answer_format(At at) const {
    const Tamper& t = c().tamper;
    return t.at == at && t.op == Op::format ? t.bytes : std::string("%d");
}

void Talk::deliver(At at, const Socket& s, const Bytes& d, const sockaddr_in& to,
                   const Reading& r) {
    if (changes(at) && !o_.delivered) {
        o_.delivered = true;
        o_.reading = r;
    }
    ++delivered_[at];
    send(s, d, to);
}

std::uint32_t Talk::delivered(At at) const {
    const auto it = delivered_.find(at);
    return it == delivered_.end() ? 0 : it->second;
}

void Talk::send(const Socket& s, const Bytes& d, const sockaddr_in& to) {
    s.send_to(d.data(), d.size(), to);
    env_.log.add(kUs, kImpl, d, s.local(), to);
}

// Waits in short slices, so that a wait ends soon after the implementation has: what it sent
// before ending is still queued and is read first.
std::optional<Bytes> Talk::receive(const Socket& s, const std::string& step, sockaddr_in* from) {
    const auto until = Clock::now() + env_.wait;
    for (;;) {
        // A flood has been judged already: nothing more it sends is worth reading.
        if (env_.log.flooded()) return std::nullopt;
        const bool gone = ended();
        const auto left = std::chrono::duration_cast<Millis>(until - Clock::now());
        sockaddr_in src{};
        auto b = s.receive(gone ? Millis{1} : std::min(left, Millis{20}), &src);
        if (b) {
            note_received(env_, o_, *b, src, s);
            if (from != nullptr) *from = src;
            return b;
        }
        if (gone || Clock::now() >= until || g_interrupted) {
            o_.waiting_at = step;
            return std::nullopt;
        }
    }
}

std::vector<Bytes> Talk::watch(const Socket& s) {
    std::vector<Bytes> got;
    const auto until = Clock::now() + kSilence;
    while (Clock::now() < until && !g_interrupted && !env_.log.flooded()) {
        sockaddr_in src{};
        auto b = s.receive(Millis{20}, &src);
        if (b) {
            note_received(env_, o_, *b, src, s);
            got.push_back(std::move(*b));
        } else if (ended()) {
            break;
        }
    }
    return got;
}

void note_received(const ScriptEnv& env, Outcome& o, const Bytes& b, const sockaddr_in& src,
                   const Socket& on) {
    env.log.add(kImpl, kUs, b, src, on.local());
    if (!o.delivered) return;
    // Enough to judge a refusal and show what followed it; the log keeps the rest.
    constexpr std::size_t kKeptAfter = 16;
    if (o.after.size() < kKeptAfter) o.after.push_back(b);
}

void wait_slowly(Talk& talk, const Socket& s, const std::string& what) {
    if (!nap(kSlowAnswer)) return;
    sockaddr_in src{};
    if (auto b = s.receive(Millis{0}, &src)) {
        note_received(talk.env(), talk.outcome(), *b, src, s);
        talk.outcome().fail(
            fmt::format("nothing more while its peer takes {:.0f} s to answer {}: nothing is ever "
                        "retransmitted",
                        static_cast<double>(kSlowAnswer.count()) / 1000, what),
            fmt::format("another datagram of {} bytes", b->size()),
            "a retransmission time-out: the protocol has none, a receive waits for ever");
    }
}

const Socket& Scripted::open(in_addr addr) {
    sockets.push_back(std::make_unique<Socket>(addr, 0));
    return *sockets.back();
}

const Socket& Scripted::open() { return open(in_addr{htonl(INADDR_LOOPBACK)}); }

void Scripted::drain(const ScriptEnv& env) {
    for (const auto& sock : sockets) {
        sockaddr_in src{};
        while (!env.log.flooded()) {
            auto b = sock->receive(Millis{0}, &src);
            if (!b) break;
            note_received(env, o, *b, src, *sock);
        }
    }
}

void Talk::react(unsigned reaction, std::string text) {
    if (!o_.delivered || o_.reaction) return;
    o_.reaction = reaction;
    o_.reaction_text = std::move(text);
}

void Talk::react_to_silence() {
    const bool gone = ended();
    react(gone ? kRefuses : 0u,
          gone ? "answered nothing and ended" : "answered nothing and kept running");
}

bool Talk::ended() const { return env_.impl != nullptr && !env_.impl->running(); }

}  // namespace peercheck
