#pragma once
// What every scripted peer uses: the agreed keys and IDs as the protocol holds them, the words
// of a report, and the datagrams that take no building.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "catalogue.h"
#include "engine.h"
#include "exact.h"
#include "pass_msg.h"
#include "scripts.h"
#include "seal.h"
#include "ticket_msg.h"

namespace peercheck::kit {

std::uint32_t now32();
// Sleeps until a key valid until `validity` has run out; false when the run was interrupted.
bool wait_expired(std::uint32_t validity);
// A key given as 16 hexadecimal digits, as its schedule.
seal::Schedule schedule_of(std::string_view hex);
// An identifier field: the text, then zero bytes; 40 characters fill the whole field.
ticket::Id id_of(std::string_view text);
// "AS_REP", or "type 12" for a value no message has.
std::string ticket_type_text(std::uint16_t type);
std::string pass_type_text(std::uint16_t type);
// "nothing within 5.0 s"
std::string within(Millis wait);
Bytes as_bytes(std::span<const std::uint8_t> s);
// A password-protocol message without a body, of any type value.
Bytes bare(std::uint16_t type);
// The password messages as a conforming peer sends them: a PASS_RESP offering `word`, DATA
// `index` (from 0) of `file`, the TERMINATE carrying `digest`.
Bytes pass_resp(const std::string& word);
Bytes data_of(const Bytes& file, std::size_t index);
Bytes terminate_with(const pass::Digest& digest);

inline Reading refuses(std::string text, std::uint16_t reply = 0, bool result_line = true) {
    return Reading{kRefuses, std::move(text), reply, result_line};
}
// Whether the case compares the datagrams of this type, and its finding when it does.
inline bool wants_exact(const Case& c, std::uint16_t type) {
    return (c.checks & kExact) != 0 && c.exact == type;
}
inline void check_exact(Outcome& o, const Difference& d) {
    if (d) o.fail(d->expected, d->observed, d->cause);
}

}  // namespace peercheck::kit
