#pragma once
// The file loop of the password clients (latchkey-badjoin and peercheck-pass-client): DATA after
// DATA until TERMINATE, written to the output file. A "piece" is one DATA as judged.
//
// A password server sends back to back and never repeats a datagram, so the loop must keep up
// with it. While datagrams are queued it only receives, many per call, each data area landing
// straight in memory where it is later written from; it writes to the file, half a megabyte or
// more at once, only when the socket has nothing waiting. A backlog thus costs its size once in the
// process rather than more than twice in the socket queue, and its memory is returned once it is
// written.

#include <sys/socket.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "pass_msg.h"
#include "udp.h"

namespace latchkey {

// The received file. Created when missing, but not emptied on opening: cutting a large file that
// exists takes long enough for DATA to pile up, so the loop cuts the file to what it wrote when
// it ends instead. The descriptor is closed with the object (or by the system at exit).
class OutputFile {
public:
    explicit OutputFile(const char* path) noexcept;
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    bool valid() const noexcept { return fd_ >= 0; }
    int fd() const noexcept { return fd_; }

private:
    int fd_ = -1;
};

// How the file loop ended: TERMINATE (left in rx for the digest check), or a failure.
enum class LoopEnd { terminate, not_data, bad_id, not_terminate, receive_failed, write_failed };
// The debug line of each failure; nullptr for terminate.
const char* failure_line(LoopEnd end) noexcept;

// ---- One batch, decided without I/O (the receive loop below feeds it). ----

// One datagram of a batch: the 12 bytes in front of its data area (zero where none arrived) and
// how many bytes arrived in all, at most the 1012 of a receive area.
struct Arrival {
    std::array<std::uint8_t, pass::kHeadSize> head{};
    std::size_t size = 0;
};
struct FileState {
    std::uint32_t last_id = 0;
    bool started = false;  // a first datagram was judged; it must be DATA
};
struct Settled {
    std::size_t bytes = 0;       // accepted file bytes, packed in order at the start of the room
    std::size_t pieces = 0;      // DATA accepted
    std::optional<LoopEnd> end;  // the datagram that ended the loop, if one did
};
// Datagram i's data area was received at room[1000 i, 1000 i + 1000). Judges the arrivals in
// order with judge_piece; each accepted DATA's bytes are moved up to follow the previous ones, the
// bytes its length field names beyond what arrived reading as zero (as from a cleared area). The
// walk stops at the first datagram that ends the loop; a TERMINATE is rebuilt whole in rx. The
// room must hold 1000 bytes for every arrival.
Settled settle_batch(std::span<Arrival> arrivals, std::span<std::uint8_t> room, FileState& state,
                     pass::RecvArea& rx) noexcept;

// ---- The loop. ----

// Receives the file from sock and writes it to file, printing piece_line (with -DDEBUG, nullptr
// for none) for every DATA accepted. On every ending the bytes accepted are written first and the
// file is cut to them; TERMINATE stays in rx.
LoopEnd receive_file(const udp::UdpSocket& sock, const OutputFile& file, pass::RecvArea& rx,
                     const char* piece_line) noexcept;
// receive_file, then on a failure its debug line and "ABORT"; "TERMINATE received" (debug) when
// the loop ended well.
void receive_file_or_fail(const udp::UdpSocket& sock, const OutputFile& file, pass::RecvArea& rx,
                          const char* piece_line) noexcept;

}  // namespace latchkey
