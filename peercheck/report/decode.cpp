// Decoding of a case's exchange for a person: every datagram read the way our peers read it (a
// zeroed receive area, cut at its size), through the builders' and decoders' own layouts in
// common/, and unsealed with every key the case chose or the exchange revealed. The datagrams
// come from the implementation under test, so nothing here trusts a length or a type.

#include <fmt/format.h>

#include <algorithm>
#include <ctime>
#include <limits>
#include <optional>

#include "pass_msg.h"
#include "report.h"
#include "seal.h"
#include "ticket_msg.h"
#include "util.h"

namespace peercheck::report {
namespace {

// A run of this many like datagrams or more (same kind, same ends) becomes one line.
constexpr std::size_t kFoldRun = 4;
// Bytes shown of a datagram that fits no message.
constexpr std::size_t kShownBytes = 16;

struct Entry {
    Line line;
    std::string kind;                 // what folds: "APP_DATA", "DATA", "AS_REQ", "unknown"
    std::optional<std::uint32_t> id;  // packet id of a transfer datagram
    std::size_t data_bytes = 0;       // file bytes it carries, as far as its area holds them
};

Entry entry_of(const Datagram& d) {
    Entry e;
    e.line = Line{d.at, d.from, d.to, d.bytes.size(), 1, {}, {}};
    return e;
}

std::string spaced_hex(std::span<const std::uint8_t> bytes) {
    std::string out;
    for (const std::uint8_t b : bytes) out += fmt::format("{}{:02x}", out.empty() ? "" : " ", b);
    return out;
}

std::string first_bytes(std::span<const std::uint8_t> bytes) {
    const std::size_t n = std::min(bytes.size(), kShownBytes);
    return fmt::format("first bytes {}{}", spaced_hex(bytes.first(n)),
                       bytes.size() > n ? " ..." : "");
}

// Text held in a fixed field: up to its first zero byte, quoted and cleaned.
std::string field_text(std::span<const std::uint8_t> field) {
    const auto end = std::find(field.begin(), field.end(), std::uint8_t{0});
    std::string text = "\"" + clean(std::string(field.begin(), end)) + "\"";
    if (std::any_of(end, field.end(), [](std::uint8_t b) { return b != 0; })) {
        text += " (non-zero bytes after its end)";
    }
    return text;
}

std::string address_text(std::span<const std::uint8_t, 4> a) {
    return fmt::format("{}.{}.{}.{}", a[0], a[1], a[2], a[3]);
}

// "2 h 5 min before the case started"
std::string relative(std::uint32_t t, std::uint32_t started) {
    const std::int64_t d = std::int64_t{t} - std::int64_t{started};
    const std::int64_t a = d < 0 ? -d : d;
    if (a < 2) return "as the case started";
    const std::string span = a < 120    ? fmt::format("{} s", a)
                             : a < 7200 ? fmt::format("{} min", a / 60)
                                        : fmt::format("{} h {} min", a / 3600, a % 3600 / 60);
    return fmt::format("{} {} the case started", span, d < 0 ? "before" : "after");
}

std::string timestamp_text(std::uint32_t t) {
    const std::time_t when = t;
    std::tm tm{};
    gmtime_r(&when, &tm);
    char text[32] = "";
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
    return fmt::format("{} ({} UTC)", t, text);
}

// A digest in hexadecimal; one that begins with text (a peer's fault may put words there) also
// shows that text.
std::string digest_text(std::span<const std::uint8_t, 20> digest) {
    constexpr std::size_t kMinText = 4;
    std::size_t n = 0;
    while (n < digest.size() && digest[n] >= 0x20 && digest[n] < 0x7f) ++n;
    std::string text = "digest " + hex_bytes(digest);
    if (n >= kMinText) {
        text += fmt::format(
            " (begins with the text \"{}\")",
            std::string(digest.begin(), digest.begin() + static_cast<std::ptrdiff_t>(n)));
    }
    return text;
}

void note_size(Entry& e, std::size_t expected, std::size_t area) {
    const std::size_t size = e.line.size;
    if (size == expected) return;
    if (size > area) {
        e.line.details.push_back(
            fmt::format("{} bytes where the message has {}: a receiver reads the first {}", size,
                        expected, area));
    } else if (size > expected) {
        e.line.details.push_back(
            fmt::format("{} bytes where the message has {}: the rest is ignored", size, expected));
    } else {
        e.line.details.push_back(fmt::format(
            "{} bytes where the message has {}: the missing bytes read as zero", size, expected));
    }
}

// The head of a ticket message with one length field: its kind, "KIND len=N" and its size.
std::uint16_t head_with_length(Entry& e, const char* kind, std::uint16_t length, std::size_t size) {
    e.kind = kind;
    e.line.summary = fmt::format("{} len={}", kind, length);
    note_size(e, size, ticket::kRecvSize);
    return length;
}

void describe_unknown(Entry& e, std::uint16_t type, std::span<const std::uint8_t> bytes) {
    e.kind = "unknown";
    if (bytes.empty()) {
        e.line.summary = "empty datagram";
        return;
    }
    e.line.summary = fmt::format("unknown type {}", type);
    e.line.details.push_back(fmt::format("fits no message of this protocol; {} bytes, {}",
                                         bytes.size(), first_bytes(bytes)));
}

// ---------------------------------------------------------------------------------------------
// Ticket protocol.

std::optional<seal::Schedule> schedule_of(const std::optional<std::array<std::uint8_t, 8>>& key) {
    seal::Schedule s;
    if (!key || seal::make_schedule(*key, s) != 0) return std::nullopt;
    return s;
}

class TicketDecoder {
public:
    TicketDecoder(const Keys& keys, std::uint32_t started)
        : client_(schedule_of(keys.client_key)),
          server_(schedule_of(keys.server_key)),
          started_(started) {}

    Entry decode(const Datagram& d) {
        Entry e = entry_of(d);
        const auto rx = ticket::receive_area(d.bytes);
        const ticket::RecvView v(rx);
        const std::uint16_t type = ticket::read_type(v);
        if (d.bytes.empty()) {
            describe_unknown(e, type, d.bytes);
            return e;
        }
        using T = ticket::Type;
        if (ticket::is(type, T::AS_REQ)) {
            as_req(v, e);
        } else if (ticket::is(type, T::AS_REP)) {
            as_rep(v, e);
        } else if (ticket::is(type, T::AS_ERR) || ticket::is(type, T::AP_ERR)) {
            error(v, ticket::is(type, T::AS_ERR), e);
        } else if (ticket::is(type, T::AP_REQ)) {
            ap_req(v, e);
        } else if (ticket::is(type, T::AP_REP)) {
            ap_rep(v, e);
        } else if (ticket::is(type, T::KRB_PRV)) {
            krb_prv(v, e);
        } else {
            describe_unknown(e, type, d.bytes);
        }
        return e;
    }

private:
    struct Session {
        seal::Key key;
        seal::Schedule schedule;
    };

    // Takes a session key seen in a record; says whether it is usable. Returns its index.
    std::optional<std::size_t> learn(std::span<const std::uint8_t, 8> key, Entry& e,
                                     std::string_view where) {
        seal::Key k;
        std::copy(key.begin(), key.end(), k.begin());
        Session s{k, {}};
        const int status = seal::make_schedule(k, s.schedule);
        if (status != 0) {
            e.line.details.push_back(fmt::format(
                "{}session key {} refused by the key check ({}): wrong key or damaged record",
                where, hex_bytes(k), status == -2 ? "weak key" : "wrong parity"));
            return std::nullopt;
        }
        e.line.details.push_back(fmt::format("{}session key {}", where, hex_bytes(k)));
        for (std::size_t i = 0; i < sessions_.size(); ++i) {
            if (sessions_[i].key == k) return i;
        }
        sessions_.push_back(s);
        return sessions_.size() - 1;
    }

    // A timestamp, and where it lies from the start of the case when that is known.
    std::string when(std::uint32_t t) const {
        std::string text = timestamp_text(t);
        if (started_ != 0) text += fmt::format(", {}", relative(t, started_));
        return text;
    }

    // The lifetime, the end of validity it gives, and whether the key was still valid when the
    // case started, by the peers' own rule.
    std::string validity(std::uint32_t timestamp, std::uint16_t lifetime) const {
        const std::uint32_t until = seal::validity_time(timestamp, lifetime);
        std::string text =
            fmt::format("lifetime {} s: valid until {}", lifetime, timestamp_text(until));
        if (started_ != 0) {
            text += seal::still_valid(started_, until) ? ", valid when the case started"
                                                       : ", EXPIRED when the case started";
        }
        return text;
    }

    void as_req(ticket::RecvView rx, Entry& e) {
        e.kind = "AS_REQ";
        e.line.summary = fmt::format("AS_REQ client={} server={}",
                                     field_text(wire::at<ticket::kAsReqClientId>(rx)),
                                     field_text(wire::at<ticket::kAsReqServerId>(rx)));
        note_size(e, ticket::kAsReqSize, ticket::kRecvSize);
    }

    void error(ticket::RecvView rx, bool as_err, Entry& e) {
        e.kind = as_err ? "AS_ERR" : "AP_ERR";
        e.line.summary =
            fmt::format("{} client={}", e.kind, field_text(wire::at<ticket::kAsErrClientId>(rx)));
        note_size(e, as_err ? ticket::kAsErrSize : ticket::kApErrSize, ticket::kRecvSize);
    }

    // The fields of an unsealed Ticket, each line starting with where; the index of its session
    // key when that key is usable.
    std::optional<std::size_t> ticket_fields(const ticket::TicketArea& t, Entry& e,
                                             std::string_view where) {
        const auto session = learn(wire::at<ticket::kTkSessionKey>(t), e, where);
        auto& d = e.line.details;
        d.push_back(
            fmt::format("{}client ID {}", where, field_text(wire::at<ticket::kTkClientId>(t))));
        d.push_back(fmt::format("{}client address {}", where,
                                address_text(wire::at<ticket::kTkClientAddr>(t))));
        d.push_back(
            fmt::format("{}server ID {}", where, field_text(wire::at<ticket::kTkServerId>(t))));
        const std::uint32_t timestamp = wire::load_le32(wire::at<ticket::kTkTimestamp>(t));
        d.push_back(fmt::format("{}timestamp {}", where, when(timestamp)));
        d.push_back(fmt::format(
            "{}{}", where, validity(timestamp, wire::load_be16(wire::at<ticket::kTkLifetime>(t)))));
        return session;
    }

    void as_rep(ticket::RecvView rx, Entry& e) {
        const std::uint16_t length = head_with_length(
            e, "AS_REP", wire::load_be16(wire::at<ticket::kAsRepLength>(rx)), ticket::kAsRepSize);
        auto& d = e.line.details;
        if (!client_) {
            d.push_back("body sealed with a client key this case does not know");
            return;
        }
        ticket::BodyArea body;
        if (!ticket::unseal_as_rep_body(rx, *client_, body)) {
            d.push_back(fmt::format("length field {} beyond the {}-byte body: not unsealed", length,
                                    ticket::kBodySealedSize));
            return;
        }
        learn(wire::at<ticket::kBodySessionKey>(body), e, "");
        d.push_back(fmt::format("server ID {}", field_text(wire::at<ticket::kBodyServerId>(body))));
        const std::uint32_t timestamp = wire::load_le32(wire::at<ticket::kBodyTimestamp>(body));
        d.push_back(fmt::format("timestamp {}", when(timestamp)));
        d.push_back(validity(timestamp, wire::load_be16(wire::at<ticket::kBodyLifetime>(body))));
        const std::uint16_t ticket_length =
            wire::load_be16(wire::at<ticket::kBodyTicketLength>(body));
        d.push_back(fmt::format("ticket length {}", ticket_length));
        if (!server_) return;
        if (ticket_length > ticket::kTicketSealedSize) {
            d.push_back("ticket length beyond the ticket's area: ticket not unsealed");
            return;
        }
        ticket::TicketArea t{};
        seal::unseal(wire::at<ticket::kBodyTicket>(body), ticket_length, *server_, t);
        ticket_fields(t, e, "ticket: ");
    }

    void ap_req(ticket::RecvView rx, Entry& e) {
        e.kind = "AP_REQ";
        const std::uint16_t ticket_length =
            wire::load_be16(wire::at<ticket::kApReqTicketLength>(rx));
        const std::uint16_t auth_length = wire::load_be16(wire::at<ticket::kApReqAuthLength>(rx));
        e.line.summary = fmt::format("AP_REQ ticket={} auth={}", ticket_length, auth_length);
        note_size(e, ticket::kApReqSize, ticket::kRecvSize);
        auto& d = e.line.details;
        const auto req = ticket::read_ap_req(rx);
        if (!req) {
            d.push_back(fmt::format("length fields beyond their areas ({} and {}): not unsealed",
                                    ticket::kTicketSealedSize, ticket::kAuthSize));
            return;
        }
        std::optional<std::size_t> session;
        std::optional<ticket::TicketArea> t;
        if (server_) {
            t.emplace();
            ticket::unseal_ticket(rx, *req, *server_, *t);
            session = ticket_fields(*t, e, "ticket: ");
        }
        if (!session && !sessions_.empty()) session = sessions_.size() - 1;
        if (!session) {
            d.push_back("authenticator not unsealed: no session key known");
            return;
        }
        ticket::AuthArea a;
        ticket::unseal_authenticator(rx, *req, sessions_[*session].schedule, a);
        d.push_back(fmt::format("authenticator: client ID {}",
                                field_text(wire::at<ticket::kAuthClientId>(a))));
        d.push_back(fmt::format("authenticator: client address {}",
                                address_text(wire::at<ticket::kAuthClientAddr>(a))));
        nonce_ = wire::load_le32(wire::at<ticket::kAuthNonce>(a));
        d.push_back(fmt::format("authenticator: nonce {}", when(*nonce_)));
        // A server compares exactly these two pairs; a mismatch is the first thing to see.
        if (t && !std::ranges::equal(wire::at<ticket::kTkClientId>(*t),
                                     wire::at<ticket::kAuthClientId>(a))) {
            d.push_back("the client IDs of ticket and authenticator differ");
        }
        if (t && !std::ranges::equal(wire::at<ticket::kTkClientAddr>(*t),
                                     wire::at<ticket::kAuthClientAddr>(a))) {
            d.push_back("the client addresses of ticket and authenticator differ");
        }
    }

    void ap_rep(ticket::RecvView rx, Entry& e) {
        head_with_length(e, "AP_REP", wire::load_be16(wire::at<ticket::kApRepLength>(rx)),
                         ticket::kApRepSize);
        if (sessions_.empty()) {
            e.line.details.push_back("answer not unsealed: no session key known");
            return;
        }
        const auto answer = ticket::read_ap_rep_answer(rx, sessions_.back().schedule);
        if (!answer) {
            e.line.details.push_back(
                fmt::format("length field beyond the {}-byte answer area: not unsealed",
                            ticket::kAnswerAreaSize));
            return;
        }
        e.line.summary += fmt::format(" answer={}", *answer);
        if (nonce_) {
            // The answer is the nonce plus one written as a signed 32-bit number.
            const auto want = static_cast<std::int32_t>(*nonce_ + 1u);
            e.line.details.push_back(fmt::format("nonce + 1 = {}: the answer {}", want,
                                                 *answer == want ? "matches" : "differs"));
        }
    }

    void krb_prv(ticket::RecvView rx, Entry& e) {
        const std::uint16_t length = head_with_length(
            e, "KRB_PRV", wire::load_be16(wire::at<ticket::kPrvLength>(rx)), ticket::kPrvSize);
        auto& d = e.line.details;
        if (length > ticket::kInnerSize) {
            d.push_back(fmt::format("length field beyond the {}-byte inner message: not unsealed",
                                    ticket::kInnerSize));
            return;
        }
        if (sessions_.empty()) {
            d.push_back("not unsealed: no session key known");
            return;
        }
        // Several clients in one case bring several session keys: the newest that yields an
        // inner type of this protocol is the one, else the newest.
        ticket::Inner inner;
        ticket::InnerView v{};
        bool known = false;
        for (auto s = sessions_.rbegin(); s != sessions_.rend() && !known; ++s) {
            ticket::unseal_krb_prv(rx, s->schedule, inner);
            v = ticket::read_inner(inner);
            known = v.type >= static_cast<std::uint16_t>(ticket::InnerType::APP_DATA_REQ) &&
                    v.type <= static_cast<std::uint16_t>(ticket::InnerType::APP_TERMINATE);
        }
        if (!known) {
            ticket::unseal_krb_prv(rx, sessions_.back().schedule, inner);
            v = ticket::read_inner(inner);
            e.line.summary += fmt::format(" inner type {}", v.type);
            d.push_back("no inner message of this protocol: sealed with another key, or damaged");
            return;
        }
        using I = ticket::InnerType;
        if (ticket::is(v.type, I::APP_DATA)) {
            e.kind = "APP_DATA";
            e.id = v.packet_id;
            e.data_bytes = std::min<std::size_t>(v.data_length, ticket::kChunkSize);
            e.line.summary =
                fmt::format("KRB_PRV APP_DATA id={} len={}", v.packet_id, v.data_length);
            if (v.data_length > ticket::kChunkSize) {
                d.push_back(
                    fmt::format("data length beyond the {}-byte data area", ticket::kChunkSize));
            }
        } else if (ticket::is(v.type, I::APP_TERMINATE)) {
            e.kind = "APP_TERMINATE";
            e.line.summary = "KRB_PRV APP_TERMINATE";
            d.push_back(digest_text(wire::at<ticket::kInnerDigest>(inner)));
            if (v.data_length != ticket::kInnerDigest.size || v.packet_id != 0) {
                d.push_back(
                    fmt::format("data length {}, packet id {}", v.data_length, v.packet_id));
            }
        } else {
            e.kind = "APP_DATA_REQ";
            e.line.summary = "KRB_PRV APP_DATA_REQ";
            if (v.data_length != 0 || v.packet_id != 0) {
                d.push_back(
                    fmt::format("data length {}, packet id {}", v.data_length, v.packet_id));
            }
        }
    }

    std::optional<seal::Schedule> client_;
    std::optional<seal::Schedule> server_;
    std::vector<Session> sessions_;  // in the order learned
    std::optional<std::uint32_t> nonce_;
    std::uint32_t started_;  // 0: unknown
};

// ---------------------------------------------------------------------------------------------
// Password protocol.

Entry decode_password(const Datagram& d) {
    Entry e = entry_of(d);
    const auto rx = pass::receive_area(d.bytes);
    const pass::RecvView v(rx);
    const pass::Header h = pass::read_header(v);
    auto& details = e.line.details;
    const auto bare = [&](std::string_view name) {
        e.kind = name;
        e.line.summary = name;
        if (h.length != 0) {
            e.line.summary += fmt::format(" len={}", h.length);
            details.push_back("length field should be 0");
        }
        note_size(e, pass::kHeaderSize, pass::kRecvSize);
    };
    using T = pass::Type;
    if (d.bytes.empty()) {
        describe_unknown(e, h.type, d.bytes);
    } else if (pass::is(h, T::JOIN_REQ)) {
        bare("JOIN_REQ");
    } else if (pass::is(h, T::PASS_REQ)) {
        bare("PASS_REQ");
    } else if (pass::is(h, T::PASS_ACCEPT)) {
        bare("PASS_ACCEPT");
    } else if (pass::is(h, T::PASS_REJECT)) {
        bare("PASS_REJECT");
    } else if (h.type == pass::kWrongType) {
        bare(fmt::format("type {}", pass::kWrongType));
        details.push_back(fmt::format("{} is no message type of this protocol", pass::kWrongType));
    } else if (pass::is(h, T::PASS_RESP)) {
        e.kind = "PASS_RESP";
        const auto field = wire::at<pass::kPassword>(v);
        // The password as a server compares it: as many bytes as the length field says, within
        // the field; zero bytes that end it are padding, not text.
        std::size_t shown = std::min<std::size_t>(h.length, field.size());
        while (shown > 0 && field[shown - 1] == 0) --shown;
        e.line.summary = fmt::format("PASS_RESP len={} password=\"{}\"", h.length,
                                     clean(std::string(field.begin(), field.begin() + shown)));
        if (!pass::decode_pass_resp(v)) {
            details.push_back(fmt::format("length field beyond {}: refused by a server",
                                          pass::kMaxPasswordLength));
        }
        if (std::any_of(field.begin() + static_cast<std::ptrdiff_t>(shown), field.end(),
                        [](std::uint8_t b) { return b != 0; })) {
            details.push_back("non-zero bytes after the password");
        }
        note_size(e, pass::kPassRespSize, pass::kRecvSize);
    } else if (pass::is(h, T::DATA)) {
        e.kind = "DATA";
        const pass::Data data = pass::read_data(v);
        e.id = data.packet_id;
        e.data_bytes = std::min<std::size_t>(data.length, pass::kChunkSize);
        e.line.summary = fmt::format("DATA id={} len={}", data.packet_id, data.length);
        if (data.length > pass::kChunkSize) {
            details.push_back(fmt::format("length beyond the {}-byte data area", pass::kChunkSize));
        }
        note_size(e, pass::kDataSize, pass::kRecvSize);
    } else if (pass::is(h, T::TERMINATE)) {
        e.kind = "TERMINATE";
        e.line.summary = "TERMINATE";
        details.push_back(digest_text(wire::at<pass::kDigest>(v)));
        if (h.length != pass::kDigest.size)
            details.push_back(fmt::format("length field {}", h.length));
        note_size(e, pass::kTerminateSize, pass::kRecvSize);
    } else {
        describe_unknown(e, h.type, d.bytes);
    }
    return e;
}

// ---------------------------------------------------------------------------------------------
// Folding of long runs.

std::string starts_at(std::uint32_t id) {
    return fmt::format("the transfer starts at id {}, not 1", id);
}

Line fold(std::span<const Entry> run) {
    const Entry& first = run.front();
    Line l{first.line.at, first.line.from, first.line.to, 0, run.size(), {}, {}};
    std::size_t data_bytes = 0;
    for (const Entry& e : run) {
        l.size += e.line.size;
        data_bytes += e.data_bytes;
    }
    l.summary = fmt::format("{} x {}", first.kind, run.size());
    if (first.id) {
        std::size_t breaks = 0;
        std::string first_break;
        for (std::size_t i = 1; i < run.size(); ++i) {
            // Ids are compared as the wire carries them, so a 16-bit id that wraps is a break.
            if (*run[i].id != *run[i - 1].id + 1) {
                if (breaks++ == 0) {
                    first_break = fmt::format("id {} follows {}", *run[i].id, *run[i - 1].id);
                }
            }
        }
        l.summary += fmt::format(", ids {}..{}", *first.id, *run.back().id);
        if (breaks != 0) {
            l.summary += " (not consecutive)";
            l.details.push_back(fmt::format("ids break {} time{}; first: {}", breaks,
                                            breaks == 1 ? "" : "s", first_break));
        }
        l.details.push_back(fmt::format("{} data bytes in all", data_bytes));
    }
    l.details.push_back(fmt::format("{} bytes in {} datagrams, the last at {:.3f} s", l.size,
                                    run.size(), run.back().line.at));
    // What stood out in a single datagram must not vanish in the fold.
    constexpr std::size_t kNotes = 5;
    std::size_t notes = 0;
    for (std::size_t i = 0; i < run.size(); ++i) {
        for (const std::string& note : run[i].line.details) {
            if (notes++ < kNotes) l.details.push_back(fmt::format("#{}: {}", i + 1, note));
        }
    }
    if (notes > kNotes) l.details.push_back(fmt::format("... {} more notes", notes - kNotes));
    return l;
}

// The place of datagrams that a flood made the log count instead of keep.
Line left_out(const Omitted& o) {
    Line l{o.first_at, o.from, o.to, static_cast<std::size_t>(o.bytes), o.count, {}, {}, true};
    l.summary = fmt::format("... {} datagram{} ({} bytes) from {} to {} left out ...", o.count,
                            o.count == 1 ? "" : "s", o.bytes, o.from, o.to);
    l.details.push_back(
        fmt::format("seen from {:.3f} s to {:.3f} s, counted but not kept", o.first_at, o.last_at));
    return l;
}

}  // namespace

std::vector<Line> decode_case(const CaseResult& c) {
    return decode_exchange(protocol_of(c.role), c.keys, c.exchange, c.started, c.omitted);
}

std::vector<Line> decode_exchange(Protocol protocol, const Keys& keys,
                                  const std::vector<Datagram>& exchange, std::uint32_t started,
                                  const std::vector<Omitted>& omitted) {
    std::vector<Entry> entries;
    entries.reserve(exchange.size());
    TicketDecoder ticket_decoder(keys, started);
    for (const Datagram& d : exchange) {
        entries.push_back(protocol == Protocol::ticket ? ticket_decoder.decode(d)
                                                       : decode_password(d));
    }
    std::vector<Line> lines;
    auto gap = omitted.begin();
    // The left-out datagrams that stand before datagram `at`; a fold ends at the next of them.
    const auto emit_gaps = [&](std::size_t at) {
        for (; gap != omitted.end() && gap->before <= at; ++gap) lines.push_back(left_out(*gap));
        return gap == omitted.end() ? entries.size() : gap->before;
    };
    for (std::size_t i = 0; i < entries.size();) {
        const std::size_t next_gap = emit_gaps(i);
        std::size_t j = i + 1;
        while (j < entries.size() && j < next_gap && entries[j].kind == entries[i].kind &&
               entries[j].line.from == entries[i].line.from &&
               entries[j].line.to == entries[i].line.to) {
            ++j;
        }
        const auto run = std::span(entries).subspan(i, j - i);
        const bool numbered = run.front().id.has_value();
        if (run.size() >= kFoldRun) {
            lines.push_back(fold(run));
            if (numbered && *run.front().id != 1) {
                lines.back().details.push_back(starts_at(*run.front().id));
            }
        } else {
            // Short runs show each id; a break in them would otherwise pass unremarked.
            for (std::size_t k = 0; k < run.size(); ++k) {
                auto& details = run[k].line.details;
                if (numbered && k == 0 && *run[k].id != 1) details.push_back(starts_at(*run[k].id));
                if (numbered && k > 0 && *run[k].id != *run[k - 1].id + 1) {
                    details.push_back(fmt::format("id {} follows {}", *run[k].id, *run[k - 1].id));
                }
                lines.push_back(std::move(run[k].line));
            }
        }
        i = j;
    }
    emit_gaps(std::numeric_limits<std::size_t>::max());
    return lines;
}

}  // namespace peercheck::report
