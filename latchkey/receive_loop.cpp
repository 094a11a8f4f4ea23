#include "receive_loop.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>

#include "out.h"
#include "steps.h"

namespace latchkey {

namespace {

// Received bytes wait in blocks of this size until they are written. A client that keeps up
// fills and empties one block over and over.
constexpr std::size_t kBlockBytes = 1 << 20;
// Datagrams asked for in one receive call.
constexpr std::size_t kBatch = 256;
// The fewest bytes written at once while the socket is idle; smaller rests wait for more data or
// for the end of the loop.
constexpr std::size_t kWriteBytes = 512 << 10;
// The process holds a backlog of up to this share (1/2) of the machine's memory; beyond it, bytes
// are written even while datagrams wait, so a disk slower than the network cannot exhaust it.
constexpr std::size_t kMemoryShare = 2;
// Blocks kept mapped after their bytes were written, for the next ones to arrive.
constexpr std::size_t kSpareBlocks = 1;

// Received file bytes not written yet, oldest first, in blocks of private memory mapped while
// they are needed and returned to the system when written.
class Backlog {
public:
    Backlog() noexcept {
        const long pages = ::sysconf(_SC_PHYS_PAGES), page = ::sysconf(_SC_PAGESIZE);
        const std::size_t memory =
            pages > 0 && page > 0 ? static_cast<std::size_t>(pages) * static_cast<std::size_t>(page)
                                  : 0;
        max_blocks_ = std::max<std::size_t>(2, memory / kMemoryShare / kBlockBytes);
    }
    ~Backlog() {
        for (const Block& b : blocks_) ::munmap(b.base, kBlockBytes);
        for (std::size_t i = 0; i < spares_; ++i) ::munmap(spare_[i], kBlockBytes);
    }
    Backlog(const Backlog&) = delete;
    Backlog& operator=(const Backlog&) = delete;

    // Free room after the newest byte, enough for at least one data area; a further block when the
    // newest is full. Empty when the backlog is at its limit or no memory is left.
    std::span<std::uint8_t> room() noexcept {
        if (!blocks_.empty()) {
            Block& b = blocks_.back();
            if (kBlockBytes - b.filled >= pass::kChunkSize) {
                return {b.base + b.filled, kBlockBytes - b.filled};
            }
        }
        if (blocks_.size() >= max_blocks_) return {};
        std::uint8_t* base = spares_ > 0 ? spare_[--spares_] : map_block();
        if (base == nullptr) return {};
        blocks_.push_back({base, 0, 0});
        return {base, kBlockBytes};
    }
    // n bytes at the start of the last room() are now file bytes.
    void add(std::size_t n) noexcept {
        blocks_.back().filled += n;
        pending_ += n;
    }
    std::size_t pending() const noexcept { return pending_; }
    // The oldest bytes not written yet, all from one block.
    std::span<const std::uint8_t> oldest() const noexcept {
        if (blocks_.empty()) return {};
        const Block& b = blocks_.front();
        return {b.base + b.written, b.filled - b.written};
    }
    // The first n bytes of oldest() are in the file.
    void written(std::size_t n) noexcept {
        Block& b = blocks_.front();
        b.written += n;
        pending_ -= n;
        if (b.written < b.filled) return;
        if (blocks_.size() == 1) {
            b.filled = b.written = 0;  // the only block: filled again from its start
            return;
        }
        if (spares_ < kSpareBlocks) {
            spare_[spares_++] = b.base;
        } else {
            ::munmap(b.base, kBlockBytes);
        }
        blocks_.pop_front();
    }

private:
    struct Block {
        std::uint8_t* base;
        std::size_t filled;   // bytes received into it
        std::size_t written;  // of those, bytes in the file
    };
    static std::uint8_t* map_block() noexcept {
        // Populated at once: one call instead of a fault for every page while datagrams queue.
        void* p = ::mmap(nullptr, kBlockBytes, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
        return p == MAP_FAILED ? nullptr : static_cast<std::uint8_t*>(p);
    }

    std::deque<Block> blocks_;
    std::array<std::uint8_t*, kSpareBlocks> spare_{};
    std::size_t spares_ = 0;
    std::size_t max_blocks_ = 2;
    std::size_t pending_ = 0;
};

class Receiver {
public:
    Receiver(const udp::UdpSocket& sock, const OutputFile& file, const char* piece_line) noexcept
        : sock_(sock), file_(file), piece_line_(piece_line) {
        for (std::size_t i = 0; i < kBatch; ++i) {
            iov_[i][0] = {arrivals_[i].head.data(), pass::kHeadSize};
            msgs_[i].msg_hdr.msg_iov = iov_[i].data();
            msgs_[i].msg_hdr.msg_iovlen = iov_[i].size();
        }
    }

    LoopEnd run(pass::RecvArea& rx) noexcept {
        for (;;) {
            const std::span<std::uint8_t> room = backlog_.room();
            if (room.empty()) {  // at the limit: the backlog now waits in the socket instead
                // With nothing to write, no memory at all is left to receive into.
                if (backlog_.pending() == 0 || !write_oldest())
                    return finish(LoopEnd::write_failed);
                continue;
            }
            const bool write_due = backlog_.pending() >= kWriteBytes;
            const int n = receive(room, write_due);
            if (n < 0) {
                if (write_due && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                    if (!write_oldest()) return finish(LoopEnd::write_failed);
                    continue;
                }
                return finish(LoopEnd::receive_failed);
            }
            const auto arrivals = std::span(arrivals_).first(static_cast<std::size_t>(n));
            const Settled s = settle_batch(arrivals, room, state_, rx);
            backlog_.add(s.bytes);
            if (piece_line_ != nullptr) out::debug_repeat(piece_line_, s.pieces);
            if (s.end) return finish(*s.end);
        }
    }

private:
    // One batch into the room, the data area of each datagram at its 1000-byte place. Waits for
    // the first datagram unless a write is due, in which case an empty socket gives EAGAIN.
    int receive(std::span<std::uint8_t> room, bool write_due) noexcept {
        const std::size_t slots = std::min(kBatch, room.size() / pass::kChunkSize);
        for (std::size_t i = 0; i < slots; ++i) {
            iov_[i][1] = {room.data() + i * pass::kChunkSize, pass::kChunkSize};
        }
        const int n = ::recvmmsg(sock_.fd(), msgs_.data(), static_cast<unsigned>(slots),
                                 write_due ? MSG_DONTWAIT : MSG_WAITFORONE, nullptr);
        for (int i = 0; i < n; ++i) {
            Arrival& a = arrivals_[static_cast<std::size_t>(i)];
            a.size =
                std::min<std::size_t>(msgs_[static_cast<std::size_t>(i)].msg_len, pass::kRecvSize);
            if (a.size < a.head.size()) std::fill(a.head.begin() + a.size, a.head.end(), 0);
        }
        return n;
    }

    // Writes the oldest bytes of the backlog (at most one block's) to the file.
    bool write_oldest() noexcept {
        const std::span<const std::uint8_t> oldest = backlog_.oldest();
        std::size_t done = 0;
        while (done < oldest.size()) {
            const ssize_t n = ::write(file_.fd(), oldest.data() + done, oldest.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            done += static_cast<std::size_t>(n);
        }
        offset_ += oldest.size();
        backlog_.written(oldest.size());
        return true;
    }

    // The bytes accepted go to the file, which is then cut to them: a file that existed may have
    // been longer. A failure to do so turns a TERMINATE into a write failure; after another
    // failure the file keeps what could be written.
    LoopEnd finish(LoopEnd end) noexcept {
        bool ok = true;
        if (end != LoopEnd::write_failed) {
            while (ok && backlog_.pending() > 0) ok = write_oldest();
        }
        struct stat st {};
        if (ok && ::fstat(file_.fd(), &st) == 0 && S_ISREG(st.st_mode)) {
            ok = ::ftruncate(file_.fd(), static_cast<off_t>(offset_)) == 0;
        }
        return end == LoopEnd::terminate && !ok ? LoopEnd::write_failed : end;
    }

    const udp::UdpSocket& sock_;
    const OutputFile& file_;
    const char* piece_line_;
    Backlog backlog_;
    FileState state_;
    std::uint64_t offset_ = 0;  // bytes in the file
    std::array<Arrival, kBatch> arrivals_{};
    std::array<std::array<iovec, 2>, kBatch> iov_{};
    std::array<mmsghdr, kBatch> msgs_{};
};

}  // namespace

OutputFile::OutputFile(const char* path) noexcept
    : fd_(::open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0666)) {}

OutputFile::~OutputFile() {
    if (fd_ >= 0) ::close(fd_);
}

const char* failure_line(LoopEnd end) noexcept {
    switch (end) {
        case LoopEnd::terminate:
            return nullptr;
        case LoopEnd::not_data:
            return "Expecting DATA\n";
        case LoopEnd::bad_id:
            return "transmission error\n";
        case LoopEnd::not_terminate:
            return "Expecting TERMINATE\n";
        case LoopEnd::receive_failed:
            return "error receiving packet\n";
        case LoopEnd::write_failed:
            return "error writing file\n";
    }
    return nullptr;
}

Settled settle_batch(std::span<Arrival> arrivals, std::span<std::uint8_t> room, FileState& state,
                     pass::RecvArea& rx) noexcept {
    Settled s;
    for (std::size_t i = 0; i < arrivals.size(); ++i) {
        const Arrival& a = arrivals[i];
        const auto area = room.subspan(i * pass::kChunkSize, pass::kChunkSize);
        const std::size_t got =
            std::min(a.size, pass::kRecvSize) - std::min(a.size, pass::kHeadSize);
        const PieceHead p = judge_piece(a.head, state.last_id);
        const bool is_data = p.piece == Piece::data || p.piece == Piece::bad_id;
        if (!state.started && !is_data) {  // only the type of the first datagram is tested
            s.end = LoopEnd::not_data;
            return s;
        }
        state.started = true;
        switch (p.piece) {
            case Piece::data: {
                const auto piece = area.first(p.length);
                if (got < piece.size()) std::ranges::fill(piece.subspan(got), 0);
                // In place unless an earlier DATA of the batch was short.
                if (room.data() + s.bytes != piece.data()) {
                    std::memmove(room.data() + s.bytes, piece.data(), piece.size());
                }
                s.bytes += piece.size();
                ++s.pieces;
                state.last_id = p.packet_id;
                break;
            }
            case Piece::terminate:
                rx.fill(0);
                std::ranges::copy(a.head, rx.begin());
                std::copy_n(area.begin(), std::min(got, area.size()), rx.begin() + pass::kHeadSize);
                s.end = LoopEnd::terminate;
                return s;
            case Piece::bad_id:
                s.end = LoopEnd::bad_id;
                return s;
            case Piece::other:
                s.end = LoopEnd::not_terminate;
                return s;
        }
    }
    return s;
}

LoopEnd receive_file(const udp::UdpSocket& sock, const OutputFile& file, pass::RecvArea& rx,
                     const char* piece_line) noexcept {
    Receiver r(sock, file, piece_line);
    return r.run(rx);
}

void receive_file_or_fail(const udp::UdpSocket& sock, const OutputFile& file, pass::RecvArea& rx,
                          const char* piece_line) noexcept {
    const LoopEnd end = receive_file(sock, file, rx, piece_line);
    if (end != LoopEnd::terminate) out::fail(failure_line(end));
    out::debug("TERMINATE received\n");
}

}  // namespace latchkey
