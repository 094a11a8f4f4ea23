#pragma once
// The case catalogue. A case owns its behaviour: its record says which peers play against the
// implementation (our programs with their test switches, or peercheck itself by script), what it
// changes at a named receive point of the implementation, and what the implementation must do.
// Families that apply one idea at every receive point are generated from the table of receive
// points (points.h) and the protocol's field lists in common/.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "result.h"
#include "wire.h"

namespace peercheck {

// Who plays the implementation's peers.
enum class Peers {
    ours,    // our programs (with the switches below), reached through a logging relay
    script,  // peercheck itself, which builds every datagram and knows every key
};

// The receive points of the implementations under test, each named for what arrives there.
enum class At : std::uint8_t {
    none,
    // A ticket-protocol client receives:
    as_rep,
    ap_rep,
    app_data,  // KRB_PRV holding APP_DATA; nth counts the envelopes
    app_terminate,
    // A ticket-protocol server:
    ap_req,
    krb_prv,  // the KRB_PRV asking for the file
    // An authentication server:
    as_req,
    // A password server:
    join_req,
    pass_resp,  // nth counts the attempts of a session
    // A password client:
    pass_req,  // the first one, answering the opening
    answer,    // what follows a PASS_RESP: PASS_ACCEPT, PASS_REQ again or PASS_REJECT
    data,      // nth counts the DATA datagrams
    terminate,
};

// Which bytes a tamper changes: the datagram as sent, or a plain record before it is sealed.
enum class Part : std::uint8_t { datagram, body, ticket, authenticator, answer_text, inner };

enum class Op : std::uint8_t {
    none,
    cut,            // the datagram cut to `value` bytes
    extend,         // the datagram followed by noise up to `value` bytes in all
    noise,          // `value` bytes of fixed-seed noise whose type field names no message
    set,            // `field` set to `value`, most significant byte first (the field's width)
    set_le,         // `field` set to `value`, least significant byte first
    stamp,          // the timestamp fields set to now + `value` seconds
    stamp_aligned,  // the timestamps set to now rounded down to 256 s, plus `value`: with a
                    // small value still valid but long past when read in the other byte order,
                    // with a large one valid either way
    put,            // `bytes` written at `field`'s offset (the rest of the field unchanged)
    add_answer,     // the nonce answer: the right number plus `value`
    format,         // the nonce answer written with the printf format in `bytes` (default "%d")
    flip,           // `field`'s bytes each exclusive-or `value`
    mark,           // nothing changed: the datagram at this point is the one the case is about
};

// One change to one datagram. Scripts make one call per message part they build
// (`talk.tamper(At::ap_rep, bytes)`, `talk.tamper(At::ap_req, Part::ticket, plain)`); only the
// call that matches changes anything.
struct Tamper {
    At at = At::none;
    std::uint32_t nth = 1;  // the nth datagram at that point, from 1
    Part part = Part::datagram;
    Op op = Op::none;
    wire::Field field{};
    std::int64_t value = 0;
    std::string bytes{};
};

// What the implementation must do.
enum class Expect {
    complete,      // client: "OK", status 0, the file byte for byte, every step of the run taken
    refuse,        // client: reaches the changed step, refuses it: "ABORT" (never "OK"), status 0,
                   // nothing sent after it but the refusal the protocol asks for
    serve,         // server: every exchange right, "OK" for each client, still running after
    refuse_end,    // server: reaches the changed step, answers with nothing but the refusal the
                   // protocol asks for, never "OK", ends by itself with status 0
    reading,       // whatever a conforming receiver makes of the changed datagram, read from its
                   // zeroed area: decided as the datagram is built; where the protocol leaves a
                   // choice, each permitted reaction passes and the report says which was taken
    refuse_start,  // refuses what it was started with: "ABORT" (or the line the protocol
                   // prints there), status 0, no datagram, no port kept
    observe,       // informational: what it did is reported, never failed
};

// What a scripted exchange checks besides the run itself (bit set). Each is one family of
// statements about what the implementation sends; a case checks one, so one fault fails only its
// own cases.
enum Check : std::uint32_t {
    kNothing = 0,
    kExact = 1u << 0,      // every datagram of the kind in `exact` byte for byte
    kNonce = 1u << 1,      // AP_REP answers nonce + 1
    kDigest = 1u << 2,     // the closing digest is the file's SHA-1
    kIds = 1u << 3,        // packet ids 1, 2, 3 ... and full chunks before the last
    kFreshKeys = 1u << 4,  // a new session key for every AS_REQ
    kOutput = 1u << 5,     // standard output exactly the result lines, nothing on standard error
    kFileKept = 1u << 6,   // after a failure the output file holds exactly what was accepted
    kFileAlone = 1u << 7,  // a refusal before the transfer leaves an existing output file alone
    kReplyTo = 1u << 8,    // each answer goes to the source of the datagram it answers
    kNoFourth = 1u << 9,   // a password client offers no word beyond its three
    kChunks = 1u << 10,    // the number of chunks: size / chunk + 1
};

// The state a scripted peer changes between or during exchanges (a case's "story").
enum class Story : std::uint8_t {
    plain,
    other_port,          // the second request comes from another socket than the first
    file_changes,        // the served file is replaced by another between two clients
    attempts_spread,     // wrong passwords spread over several clients
    existing_output,     // the output file exists beforehand, longer than what arrives
    third_address,       // the request comes from another loopback address than the Ticket's
    ap_err_for_ap_rep,   // AP_ERR sent in place of AP_REP
    ap_err_for_data,     // AP_ERR sent in place of the first envelope
    as_err_for_as_rep,   // AS_ERR sent in place of AS_REP
    terminate_first,     // APP_TERMINATE as the first envelope
    empty_chunk_inside,  // an APP_DATA of data length 0 among the others
    fourth_pass_req,     // a PASS_REQ after the third PASS_RESP
    expire_during,       // the session key runs out between the request and the first envelope
    ticket_other_key,    // the Ticket sealed with a key the server does not hold
    digest_with_zero,    // the file's digest holds a zero byte early on
    slow_peer,           // the scripted peer waits 3 s before one answer: nothing is sent twice
    expire_at_ap_rep,    // the session key runs out between AS_REP and AP_REP
    expire_midway,       // the session key runs out between the first envelope and the second
    no_input_file,       // the file to serve does not exist when the server starts
    port_taken,          // the server's port is taken when it starts
    same_ticket,         // the second client presents the first one's Ticket again
    output_unopenable,   // the output file's folder does not exist: it cannot be created
};

struct Case {
    std::string id;
    std::string title;  // what the implementation must do, in one sentence
    Peers peers = Peers::script;
    Expect expect = Expect::complete;
    Tamper tamper{};
    Tamper also{};  // a second change to the same datagram (same point and nth)
    std::uint32_t checks = kNothing;
    std::uint16_t exact = 0;  // the message type that kExact compares
    Story story = Story::plain;
    std::size_t file_size = 2000;
    int clients = 1;
    // Words appended to our programs' command lines (test switches).
    std::string gatekeep_words{};
    std::string server_words{};
    std::string client_words{};
    // Which of our password programs plays the peer (Peers::ours), by file name.
    std::string password_peer{};
    // Where a refusal case with our programs as peers must have got: the receive point whose
    // datagram our peer must have delivered.
    At reached = At::none;
    // The datagram type a refusal with our programs as peers must send (AP_ERR after a wrong
    // nonce answer), 0 for none.
    std::uint16_t reply = 0;
    // With kOutput: standard output exactly (without -DDEBUG only result lines are printed).
    std::string output{};
    // Arguments the implementation is given instead of the agreed ones.
    std::string impl_client_id{};
    std::string impl_server_id{};
    std::string impl_key{};         // the client key (client and gatekeep)
    std::string impl_server_key{};  // the server key (server and gatekeep)
    bool upper_keys = false;        // every key given in upper-case hexadecimal
    std::string impl_host{};        // the name given for our servers, instead of 127.0.0.1
    std::vector<std::string> impl_passwords{};
    // Passwords a scripted password client offers, in order (empty: the right one).
    std::vector<std::string> offered{};
    std::uint32_t nonce = 0;  // a scripted client's nonce (0: the current time)
    // The likely cause to report when the implementation goes on with the changed datagram, or
    // refuses it, where the change is one that only this mistake would overlook or trip on. A
    // cause on refusal is given only when the role's plain scripted run passed in the same run.
    std::string cause_if_taken{};
    std::string cause_if_refused{};
    // The case whose pass the cause leans on: one that takes what is plainly wrong, or refuses
    // what is plainly right, tells nothing by taking or refusing this. Empty: the role's plain
    // scripted run.
    std::string control{};
};

// The agreed values of every case.
inline constexpr std::string_view kClientId = "alice";
inline constexpr std::string_view kServerId = "files";
inline constexpr std::string_view kClientKey = "0123456789abcdef";
inline constexpr std::string_view kServerKey = "fedcba9876543210";
inline constexpr std::string_view kOtherKey = "133457799bbcdff1";  // odd parity, not weak
inline constexpr std::string_view kPassword = "opensesame";

const std::vector<Case>& catalogue(Role role);

// Names for reports and titles: "AS_REP", "the KRB_PRV asking for the file", ...
std::string_view point_name(At at) noexcept;

}  // namespace peercheck
