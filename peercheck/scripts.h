#pragma once
// The peers that peercheck plays itself. Each builds every datagram through common/, knows every
// key because the case chose them, logs what it sends and receives, and checks what the case
// asks of the implementation's answers (catalogue.h, Check). Every receive waits at most the
// case's time-out; "nothing more" is watched for a short silence period.

#include <netinet/in.h>

#include <memory>
#include <optional>
#include <string>

#include "catalogue.h"
#include "engine.h"

namespace peercheck {

// How long a case watches for datagrams that must not come, once the implementation has had
// its chance to answer. Loopback answers take microseconds; 0.4 s leaves room for a slow
// interpreter without making a catalogue slow.
inline constexpr Millis kSilence{400};

struct ScriptEnv {
    const Case& c;
    Log& log;
    Millis wait;                  // longest wait for one datagram
    std::string file_path;        // the file served (or expected at the receiving end)
    Bytes file;                   // its content
    std::optional<in_addr> host;  // the address a client puts into its Authenticator
    Process* impl = nullptr;      // once it has ended, no receive waits any longer
    std::string right_password = std::string(kPassword);
};

// What a scripted exchange saw: the first check that failed, and the step it last waited at.
struct Outcome {
    bool ok = true;
    std::string expected, observed;
    std::string waiting_at;  // the step a receive timed out at, if one did
    std::string notes;       // what an informational case reports
    void fail(std::string exp, std::string obs);
};

// peercheck as gatekeep and server, for a client under test.
class TicketServersScript {
public:
    TicketServersScript();
    std::uint16_t gatekeep_port() const { return gk_.port(); }
    std::uint16_t server_port() const { return srv_.port(); }
    Outcome play(const ScriptEnv& env);

private:
    Socket gk_, srv_;
};

// peercheck as client of a server under test (it also issues the Tickets itself).
Outcome play_ticket_client(const ScriptEnv& env, std::uint16_t server_port);
// peercheck as client of an authentication server under test.
Outcome play_as_client(const ScriptEnv& env, std::uint16_t gatekeep_port);
// peercheck as client of a password server under test.
Outcome play_pass_client(const ScriptEnv& env, std::uint16_t server_port);

// peercheck as password server, for a password client under test.
class PassServerScript {
public:
    PassServerScript();
    std::uint16_t port() const { return sock_.port(); }
    Outcome play(const ScriptEnv& env);

private:
    Socket sock_;
};

}  // namespace peercheck
