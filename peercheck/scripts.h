#pragma once
// The peers that peercheck plays itself. Each builds every datagram through common/, knows every
// key because the case chose them, logs what it sends and receives, applies the case's change
// where the case names it, and records what the implementation did with the changed datagram.
// Every receive waits at most the case's time-out, and returns at once when the implementation
// has ended (what it sent before ending is still read).

#include <netinet/in.h>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "catalogue.h"
#include "engine.h"

namespace peercheck {

// How long a case watches for datagrams that must not come while the implementation is still
// running (a client that may wait for ever at a choice). Loopback answers take microseconds; a
// slow interpreter answers within a few hundred milliseconds.
inline constexpr Millis kSilence{400};

// What the implementation may do with a datagram it received (bit set).
enum Reaction : unsigned {
    kProceeds = 1u << 0,  // takes it as the message it stands for and goes on with the run
    kRetries = 1u << 1,   // a password server asks again; a password client offers its next word
    kRefuses = 1u << 2,   // ends the exchange: "ABORT", no further datagram but its refusal
    kWaits = 1u << 3,     // a client keeps waiting and sends nothing
};
std::string reaction_text(unsigned reactions);

// What a conforming receiver makes of one datagram, read from its zeroed area.
struct Reading {
    unsigned allowed = kProceeds;
    std::string text;         // "reads as an AS_REP whose session key fails the key check"
    std::uint16_t reply = 0;  // the datagram type a refusal must send (AP_ERR, AS_ERR, ...)
    bool result_line = true;  // whether a refusal prints "ABORT" (a server refusing a session
                              // key ends without one)
    // The refusal may also come without its reply: the datagram may be refused as a wrong
    // packet before its content is judged.
    bool reply_optional = false;
};

struct ScriptEnv {
    const Case& c;
    Log& log;
    Millis wait;                  // longest wait for one datagram
    std::string file_path;        // the file served (or expected at the receiving end)
    Bytes file;                   // its content
    std::optional<in_addr> host;  // the address a client puts into its Authenticator
    Process* impl = nullptr;      // once it has ended, no receive waits any longer
};

// What a scripted exchange saw.
struct Outcome {
    bool ok = true;
    std::string expected, observed, likely_cause;
    std::string waiting_at;  // the step a receive timed out at, if one did
    std::string notes;       // what an informational case reports
    // The changed datagram: whether it was delivered, what a conforming receiver makes of it,
    // what the implementation sent after it, and (for servers) what it did.
    bool delivered = false;
    Reading reading;
    std::vector<Bytes> after;  // the first datagrams the implementation sent after it
    std::optional<unsigned> reaction;
    std::string reaction_text;  // what the server answered, in words
    // The run reached its end (a client was sent its last datagram; a server's client got its
    // file), and what a conforming client has written by then.
    bool finished = false;
    Bytes written;
    // What a client's output file may hold when it refuses during the transfer: what it had
    // accepted before the changed datagram, or, when it took that one, all it accepted.
    std::vector<Bytes> kept_on_refusal;
    std::size_t served = 0;  // clients a server under test served completely

    void fail(std::string exp, std::string obs, std::string cause = {});
};

// What a scripted peer keeps for the whole case: its sockets, open until the case has been
// judged so that whatever the implementation sends late is still logged, and what it saw.
struct Scripted {
    std::vector<std::unique_ptr<Socket>> sockets;
    Outcome o;
    // A new socket bound to addr on a port of the system's choice.
    const Socket& open(in_addr addr);
    const Socket& open();  // on 127.0.0.1
    // Logs every datagram still queued on the sockets.
    void drain(const ScriptEnv& env);
};

// One scripted exchange: the case's change, the deliveries and the receives, the log.
class Talk {
public:
    Talk(const ScriptEnv& env, Scripted& s) : env_(env), o_(s.o) {}
    const Case& c() const { return env_.c; }
    const ScriptEnv& env() const { return env_; }
    Outcome& outcome() { return o_; }

    // Whether the next datagram delivered at `at` is the one the case changes.
    bool changes(At at) const;
    // The case's change to a plain record or to the datagram, when it is this one's.
    void tamper(At at, Part part, std::span<std::uint8_t> plain) const;
    Bytes tamper(At at, Bytes datagram) const;
    // The timestamp a case moves (Op::stamp at this point), else now.
    std::uint32_t stamp(At at, std::uint32_t now) const;
    // The number a case adds to the nonce answer, and the format it is written with.
    std::int32_t answer_offset(At at) const;
    std::string answer_format(At at) const;

    // Sends the datagram for the receive point `at`. When it is the changed one, records that it
    // was delivered and what a conforming receiver makes of it.
    void deliver(At at, const Socket& s, const Bytes& d, const sockaddr_in& to,
                 const Reading& r = {});
    // Sends without counting a receive point (a second client's datagrams, stories).
    void send(const Socket& s, const Bytes& d, const sockaddr_in& to);
    // One datagram, or nullopt after the wait or once the implementation has ended (then
    // waiting_at says where).
    std::optional<Bytes> receive(const Socket& s, const std::string& step,
                                 sockaddr_in* from = nullptr);
    // Every datagram arriving within the silence period (shorter once the implementation ended).
    std::vector<Bytes> watch(const Socket& s);
    // What a server did with the changed datagram (clients are judged by how they end).
    void react(unsigned reaction, std::string text);
    // A server that answered the changed datagram with nothing: it refused it by ending, or
    // kept running without a word.
    void react_to_silence();
    // Whether the implementation under test has ended.
    bool ended() const;
    std::uint32_t delivered(At at) const;

private:
    static Bytes change(const Tamper& t, Bytes d);
    const ScriptEnv& env_;
    Outcome& o_;
    std::map<At, std::uint32_t> delivered_;
};

// How long the slow-peer story keeps the implementation waiting for one answer: a peer that
// retransmits or gives up after a time-out of its own shows it within this.
inline constexpr Millis kSlowAnswer{3000};
// Waits kSlowAnswer, then fails o when the implementation sent anything meanwhile (the protocol
// never retransmits, and nothing else is due).
void wait_slowly(Talk& talk, const Socket& s, const std::string& what);

// Records a datagram the implementation sent, as the scripts and the final drain see it.
void note_received(const ScriptEnv& env, Outcome& o, const Bytes& b, const sockaddr_in& src,
                   const Socket& on);

// peercheck as gatekeep and server for a client under test: s holds two sockets, the first
// gatekeep's, the second the server's, opened before the client started.
void play_ticket_servers(Scripted& s, const ScriptEnv& env);
// peercheck as client of a server under test (it also issues the Tickets itself).
void play_ticket_client(Scripted& s, const ScriptEnv& env, std::uint16_t server_port);
// peercheck as client of an authentication server under test.
void play_as_client(Scripted& s, const ScriptEnv& env, std::uint16_t gatekeep_port);
// peercheck as client of a password server under test.
void play_pass_client(Scripted& s, const ScriptEnv& env, std::uint16_t server_port);
// peercheck as password server for a password client under test: s holds its socket.
void play_pass_server(Scripted& s, const ScriptEnv& env);

}  // namespace peercheck
