// The password clients' file loop: one batch decided in memory (settle_batch), then the whole loop
// over real sockets with a backlog queued before it starts, a sender it must keep pace with, a
// failure in the middle of a batch and a file that cannot be written.

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "harness.h"
#include "receive_loop.h"

namespace {

using harness::Bytes;
using latchkey::LoopEnd;

Bytes data(std::uint32_t id, const Bytes& piece, std::uint32_t length) {
    return harness::concat(
        {harness::be16(5), harness::zeros(2), harness::be32(length), harness::be32(id), piece});
}
Bytes data(std::uint32_t id, const Bytes& piece) {
    return data(id, piece, static_cast<std::uint32_t>(piece.size()));
}
Bytes terminate(const Bytes& digest) {
    return harness::concat({harness::be16(6), harness::zeros(2), harness::be32(20), digest});
}
Bytes other(std::uint16_t type) {
    return harness::concat({harness::be16(type), harness::zeros(6)});
}

// What a receive call leaves for a batch: each datagram's first 12 bytes apart, its data area at
// its 1000-byte place in the room. The room starts out full of 0xee, as memory used before would.
struct Batch {
    std::vector<latchkey::Arrival> arrivals;
    Bytes room;
    explicit Batch(const std::vector<Bytes>& datagrams)
        : arrivals(datagrams.size()), room(datagrams.size() * 1000, 0xee) {
        for (std::size_t i = 0; i < datagrams.size(); ++i) {
            const Bytes& d = datagrams[i];
            const std::size_t n = std::min<std::size_t>(d.size(), 1012);
            arrivals[i].size = n;
            std::copy_n(d.begin(), std::min<std::size_t>(n, 12), arrivals[i].head.begin());
            if (n > 12) std::copy(&d[12], d.data() + n, &room[1000 * i]);
        }
    }
};

TEST(LatchkeyLoop, OneBatchDecidedInOrder) {
    const Bytes a = harness::pattern(1000, 1), b = harness::pattern(1000, 2);
    const Bytes s = harness::pattern(300, 3), d = harness::pattern(20, 4);
    struct Case {
        const char* name;
        std::vector<Bytes> datagrams;
        std::optional<LoopEnd> end;
        Bytes file;  // packed at the start of the room
    };
    const std::vector<Case> cases{
        {"in order, in place", {data(1, a), data(2, b)}, std::nullopt, harness::concat({a, b})},
        {"a short piece moves the next ones up",
         {data(1, s), data(2, a), data(3, s)},
         std::nullopt,
         harness::concat({s, a, s})},
        {"a gap in the middle",
         {data(1, a), data(2, s), data(4, b), data(5, b)},
         LoopEnd::bad_id,
         harness::concat({a, s})},
        {"TERMINATE with the last DATA",
         {data(1, a), data(2, s), terminate(d), data(3, b)},
         LoopEnd::terminate,
         harness::concat({a, s})},
        {"cut after the id: the stated bytes read as zero",
         {data(1, a), data(2, {}, 10), data(3, Bytes(5, 7), 8)},
         std::nullopt,
         harness::concat({a, harness::zeros(10), Bytes(5, 7), harness::zeros(3)})},
        {"more than the data area", {data(1, a), data(2, s, 1001)}, LoopEnd::bad_id, a},
        {"neither DATA nor TERMINATE", {data(1, a), other(4)}, LoopEnd::not_terminate, a},
        {"first datagram not DATA", {terminate(d)}, LoopEnd::not_data, {}},
        {"first datagram cut inside its type", {Bytes{0}}, LoopEnd::not_data, {}},
        {"first DATA with a wrong id", {data(2, a)}, LoopEnd::bad_id, {}},
    };
    for (const Case& k : cases) {
        Batch batch(k.datagrams);
        latchkey::FileState state;
        pass::RecvArea rx{};
        const latchkey::Settled r = latchkey::settle_batch(batch.arrivals, batch.room, state, rx);
        EXPECT_EQ(r.end, k.end) << k.name;
        ASSERT_EQ(r.bytes, k.file.size()) << k.name;
        EXPECT_TRUE(std::equal(k.file.begin(), k.file.end(), batch.room.begin())) << k.name;
        if (k.end == LoopEnd::terminate) {
            // Rebuilt whole, though its body arrived in the room.
            const Bytes t = terminate(d);
            EXPECT_TRUE(std::equal(t.begin(), t.end(), rx.begin())) << k.name;
            EXPECT_TRUE(std::all_of(rx.begin() + 28, rx.end(), [](auto v) { return v == 0; }));
        }
    }
}

TEST(LatchkeyLoop, StateCarriesAcrossBatches) {
    latchkey::FileState state;
    pass::RecvArea rx{};
    Batch first({data(1, harness::pattern(10)), data(2, harness::pattern(10))});
    EXPECT_FALSE(latchkey::settle_batch(first.arrivals, first.room, state, rx).end);
    EXPECT_EQ(state.last_id, 2u);
    // A TERMINATE cut inside its digest: the missing bytes are zero, not what the room held.
    const Bytes cut = terminate(harness::pattern(20));
    Batch next({data(3, harness::pattern(10)), Bytes(cut.begin(), cut.begin() + 20)});
    const auto r = latchkey::settle_batch(next.arrivals, next.room, state, rx);
    EXPECT_EQ(r.end, LoopEnd::terminate);  // not "Expecting DATA": the loop has started
    EXPECT_EQ(r.pieces, 1u);
    EXPECT_TRUE(std::equal(cut.begin(), cut.begin() + 20, rx.begin()));
    EXPECT_TRUE(std::all_of(rx.begin() + 20, rx.end(), [](auto v) { return v == 0; }));
}

// The loop's socket on 127.0.0.1 with a receive time-out, so that a lost datagram fails the test
// ("error receiving packet") instead of leaving it waiting.
struct Loopback {
    udp::UdpSocket rx = udp::open_socket();
    udp::UdpSocket tx = udp::open_socket();
    sockaddr_in to{};
    int granted = 0;
    Loopback() {
        EXPECT_TRUE(udp::bind_any(rx, 0));
        socklen_t len = sizeof to;
        ::getsockname(rx.fd(), reinterpret_cast<sockaddr*>(&to), &len);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        granted = udp::raise_receive_buffer(rx, 16 << 20);
        timeval limit{2, 0};
        ::setsockopt(rx.fd(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    }
    void send(const Bytes& d) { EXPECT_TRUE(udp::send_to(tx, d, to)); }
};

std::vector<Bytes> file_as_data(const Bytes& file, std::uint32_t first_id = 1) {
    std::vector<Bytes> out;
    for (std::size_t at = 0; at < file.size(); at += 1000) {
        const auto from = file.begin() + static_cast<std::ptrdiff_t>(at);
        out.push_back(data(first_id++,
                           Bytes(from, from + std::min<std::ptrdiff_t>(1000, file.end() - from))));
    }
    return out;
}

// Every datagram is queued before the loop starts, so it meets a backlog as after a stall.
TEST(LatchkeyLoop, QueuedBeforeTheLoopStarts) {
    const Bytes big = harness::pattern(700 * 1000 - 766, 8);  // 700 DATA, more than two batches
    const Bytes old_content = harness::pattern(1 << 20, 9);   // longer than anything received
    std::vector<Bytes> gap = file_as_data(harness::pattern(300 * 1000, 10));
    gap.push_back(data(302, harness::pattern(1000)));
    gap.push_back(data(303, harness::pattern(1000)));
    std::vector<Bytes> whole = file_as_data(big);
    whole.push_back(terminate(harness::sha1(big)));
    std::vector<Bytes> no_end = file_as_data(harness::pattern(600 * 1000));
    struct Case {
        const char* name;
        std::vector<Bytes> datagrams;
        bool unwritable;
        LoopEnd end;
        Bytes file;  // as the loop leaves it, from old_content before
    };
    const std::vector<Case> cases{
        {"backlog, then TERMINATE in the last batch", whole, false, LoopEnd::terminate, big},
        {"gap after 300 DATA", gap, false, LoopEnd::bad_id, harness::pattern(300 * 1000, 10)},
        {"TERMINATE first", {terminate(harness::sha1({}))}, false, LoopEnd::not_data, {}},
        {"write fails at the end", whole, true, LoopEnd::write_failed, {}},
        {"write fails while the socket is idle", no_end, true, LoopEnd::write_failed, {}},
    };
    for (const Case& k : cases) {
        Loopback lb;
        if (lb.granted < (8 << 20)) GTEST_SKIP() << "receive buffer too small to queue 700 DATA";
        harness::TempDir dir;
        const std::string path = k.unwritable ? "/dev/full" : dir.write("out", old_content);
        for (const Bytes& d : k.datagrams) lb.send(d);
        const latchkey::OutputFile f(path.c_str());
        ASSERT_TRUE(f.valid());
        pass::RecvArea rx{};
        EXPECT_EQ(latchkey::receive_file(lb.rx, f, rx, nullptr), k.end) << k.name;
        if (!k.unwritable) {
            EXPECT_EQ(harness::TempDir::read(path), k.file) << k.name;
        }
        if (k.end == LoopEnd::terminate) {
            EXPECT_TRUE(
                std::equal(k.datagrams.back().begin(), k.datagrams.back().end(), rx.begin()));
        }
    }
}

// A sender that is held back only by the socket (a datagram socket pair waits for room instead
// of dropping): several blocks of the backlog pass, written whenever the socket runs empty.
TEST(LatchkeyLoop, KeepsPaceWithASenderOverSeveralBlocks) {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_DGRAM, 0, fds), 0);
    const udp::UdpSocket receiving(fds[0]), sending(fds[1]);
    const Bytes file = harness::pattern(3'500'000 + 123, 11);
    std::vector<Bytes> datagrams = file_as_data(file);
    datagrams.push_back(terminate(harness::sha1(file)));
    std::thread sender([&] {
        for (const Bytes& d : datagrams) {
            if (::send(sending.fd(), d.data(), d.size(), 0) < 0) return;
        }
    });
    harness::TempDir dir;
    const std::string path = dir.file("out");
    LoopEnd end;
    {
        const latchkey::OutputFile f(path.c_str());
        pass::RecvArea rx{};
        end = latchkey::receive_file(receiving, f, rx, nullptr);
    }
    ::shutdown(fds[0], SHUT_RDWR);  // a sender still waiting would never end otherwise
    sender.join();
    EXPECT_EQ(end, LoopEnd::terminate);
    EXPECT_EQ(harness::TempDir::read(path), file);
}

}  // namespace
