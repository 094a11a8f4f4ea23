#include "exact.h"

#include <fmt/format.h>
#include <fmt/ranges.h>
#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <cstring>

namespace peercheck {

namespace {

using Span = std::span<const std::uint8_t>;

const char* const kIvCause =
    "the CBC chain carried from one seal to the next: the IV must be set again before every seal "
    "(only the first block of this part is wrong)";
const char* const kUncleared =
    "an area reused without clearing: the bytes after the content are those of the datagram "
    "before";

// The name of what byte i of a layout holds: a named field, or the zero bytes after one.
std::string field_at(std::span<const wire::Named> fields, std::size_t i) {
    const wire::Named* before = nullptr;
    for (const wire::Named& f : fields) {
        if (i >= f.field.offset && i < f.field.end()) return f.name;
        if (f.field.end() <= i) before = &f;
    }
    return before != nullptr ? fmt::format("the zero bytes after the {}", before->name)
                             : std::string("a zero byte");
}

std::string byte_text(Span b, std::size_t i) {
    return i < b.size() ? fmt::format("0x{:02x}", b[i]) : std::string("missing");
}

// A sealed part of `length` plain bytes at `sealed`, unsealed alone (from the protocol IV).
template <std::size_t N>
std::array<std::uint8_t, N> unsealed(Span sealed, std::size_t length, const seal::Schedule& key) {
    std::array<std::uint8_t, N> plain{};
    const std::size_t need = seal::rounded(length);
    std::array<std::uint8_t, seal::rounded(N)> in{};
    std::copy_n(sealed.begin(), std::min({sealed.size(), need, in.size()}), in.begin());
    seal::unseal(in, std::min(length, N), key, plain);
    return plain;
}

// A part decrypted from another IV than the one it was sealed from has only its first block
// wrong, and that block is off by exactly the two IVs' difference: the part was sealed from
// the CBC state left by an earlier operation when that IV is one of the chain's blocks.
bool chained(Span want, Span got, const Chain& chain) {
    if (want.size() <= 8 || got.size() < want.size()) return false;
    if (std::equal(want.begin(), want.begin() + 8, got.begin()) ||
        !std::equal(want.begin() + 8, want.end(), got.begin() + 8)) {
        return false;
    }
    Block iv{};
    for (std::size_t i = 0; i < 8; ++i) {
        iv[i] = static_cast<std::uint8_t>(got[i] ^ want[i] ^ seal::kProtocolIv[i]);
    }
    return std::find(chain.begin(), chain.end(), iv) != chain.end();
}

Difference sealed_difference(Span want, Span got, std::span<const wire::Named> fields,
                             const std::string& what, const Chain& chain) {
    auto d = compare(want, got, fields, what);
    if (d && chained(want, got, chain)) d->cause = kIvCause;
    return d;
}

std::uint16_t be16_at(Span b, std::size_t offset) {
    return offset + 2 <= b.size() ? static_cast<std::uint16_t>(b[offset] << 8 | b[offset + 1])
                                  : std::uint16_t{0};
}

// A KRB_PRV's type, length field and size against the one a conforming sender sends (`want`);
// the sealed size in the length field is named as the cause.
Difference prv_head_difference(Span want, Span got, const std::string& what) {
    const std::size_t head = ticket::kPrvSealed.offset;
    if (auto diff = compare(want.first(head), got.first(std::min(got.size(), head)),
                            ticket::kPrvFields, what)) {
        if (be16_at(got, ticket::kPrvLength.offset) == ticket::kPrvSealed.size) {
            diff->cause =
                "the sealed size (984) in the KRB_PRV length field, which carries the "
                "plain length 978";
        }
        return diff;
    }
    if (got.size() != want.size()) {
        return Finding{"KRB_PRV of 988 bytes", fmt::format("{} bytes", got.size()), {}};
    }
    return std::nullopt;
}

// The two length-field mistakes: the plain length where the rule adds 4, and the sealed size.
std::string length_cause(std::uint32_t got, std::size_t plain) {
    if (got == seal::rounded(plain) && got != seal::length_field(plain)) {
        return "the length field rounded up to the seal block; it carries the plain length, plus "
               "4 when that is not a multiple of 8";
    }
    if (got == plain && got != seal::length_field(plain)) {
        return "the length field without the 4 added to a plain length that is not a multiple "
               "of 8";
    }
    if (plain % 8 == 0 && got == plain + 4) {
        return "4 added to a plain length that is already a multiple of 8";
    }
    if (got == seal::rounded(plain) + 4 && got != seal::length_field(plain)) {
        return "4 added to the sealed size rather than to the plain length";
    }
    return {};
}

std::string answer_text(std::int64_t v) { return fmt::format("{}", v); }

// Two mistakes leave the body unreadable from its first byte: the keys of the two seals swapped
// (the body then unseals with the server key), and the CBC state of the Ticket's seal carried
// into the body's (its first block then decrypts right from the Ticket's last cipher block).
std::string as_rep_cause(Span sealed_body, const std::array<std::uint8_t, 168>& body,
                         const AsFacts& f) {
    const auto sid = wire::at<ticket::kBodyServerId>(body);
    const auto other =
        unsealed<ticket::kBodySealedSize>(sealed_body, ticket::kBodySealedSize, f.server_key);
    const auto other_sid = wire::at<ticket::kBodyServerId>(other);
    if (!std::equal(sid.begin(), sid.end(), f.server.begin()) &&
        std::equal(other_sid.begin(), other_sid.end(), f.server.begin())) {
        return "the Ticket and the body sealed with each other's key: the Ticket with the server "
               "key, the body with the client key";
    }
    Chain chain;
    add_last_block(chain, body, ticket::kBodyTicket.offset, ticket::kTicketPlainSize);
    Block first{};
    for (std::size_t i = 0; i < 8; ++i) {
        first[i] = static_cast<std::uint8_t>(body[i] ^ seal::kProtocolIv[i] ^ chain.front()[i]);
    }
    const auto tk = unsealed<ticket::kTicketSealedSize>(
        Span(body).subspan(ticket::kBodyTicket.offset), ticket::kTicketSealedSize, f.server_key);
    seal::Schedule s;
    if (!std::equal(first.begin(), first.end(), body.begin()) &&
        std::equal(first.begin(), first.end(), tk.begin()) && seal::make_schedule(first, s) == 0) {
        return kIvCause;
    }
    return {};
}

}  // namespace

void add_last_block(Chain& chain, std::span<const std::uint8_t> d, std::size_t offset,
                    std::size_t length) {
    const std::size_t end = offset + seal::rounded(length);
    if (length == 0 || end > d.size()) return;
    Block b{};
    std::copy_n(d.begin() + static_cast<std::ptrdiff_t>(end - 8), 8, b.begin());
    chain.push_back(b);
}

std::array<std::uint8_t, 20> sha1_of(std::span<const std::uint8_t> bytes) {
    std::array<std::uint8_t, 20> digest{};
    unsigned int n = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest.data(), &n, EVP_sha1(), nullptr);
    return digest;
}

Difference compare(Span want, Span got, std::span<const wire::Named> fields,
                   const std::string& what) {
    const std::size_t n = std::min(want.size(), got.size());
    const auto m =
        std::mismatch(want.begin(), want.begin() + static_cast<std::ptrdiff_t>(n), got.begin());
    const auto i = static_cast<std::size_t>(m.first - want.begin());
    if (i < n) {
        return Finding{
            fmt::format("{}: byte {} ({}) {}", what, i, field_at(fields, i), byte_text(want, i)),
            fmt::format("{}", byte_text(got, i)),
            {}};
    }
    if (want.size() != got.size()) {
        return Finding{fmt::format("{} of {} bytes", what, want.size()),
                       fmt::format("{} bytes", got.size()),
                       {}};
    }
    return std::nullopt;
}

Difference exact_as_req(const Bytes& d, const ticket::Id& client, const ticket::Id& server) {
    std::array<std::uint8_t, ticket::kAsReqSize> want;
    ticket::build_as_req(want, client, server);
    return compare(want, d, ticket::kAsReqFields, "AS_REQ");
}

Difference exact_ap_req(const Bytes& d, const ticket::BodyArea& body, const ticket::Id& client,
                        in_addr host, const seal::Schedule& session, std::uint32_t now,
                        const Chain& chain) {
    std::array<std::uint8_t, ticket::kApReqSize> want;
    const ticket::AuthArea no_auth{};
    ticket::build_ap_req(want, body, no_auth, session);
    const Span got(d);
    // Everything before the Authenticator, then the size.
    if (auto diff = compare(Span(want).first(ticket::kApReqAuth.offset),
                            got.first(std::min(got.size(), ticket::kApReqAuth.offset)),
                            ticket::kApReqFields, "AP_REQ")) {
        const std::uint16_t auth_length = be16_at(got, ticket::kApReqAuthLength.offset);
        if (auth_length != ticket::kAuthSize) diff->cause = length_cause(auth_length, 48);
        return diff;
    }
    if (got.size() != want.size()) {
        return Finding{"AP_REQ of 158 bytes", fmt::format("{} bytes", got.size()), {}};
    }
    const auto auth = unsealed<ticket::kAuthSize>(got.subspan(ticket::kApReqAuth.offset),
                                                  ticket::kAuthSize, session);
    const std::uint32_t nonce = wire::load_le32(wire::at<ticket::kAuthNonce>(auth));
    ticket::Address addr{};
    std::memcpy(addr.data(), &host.s_addr, 4);
    // The nonce is the client's clock; the check takes it as sent when it is near this one.
    ticket::AuthArea expected;
    ticket::build_authenticator(expected, client, addr, near(nonce, now) ? nonce : now);
    auto diff = sealed_difference(expected, auth, ticket::kAuthFields,
                                  "Authenticator (unsealed alone with the session key)", chain);
    if (!diff) return std::nullopt;
    const auto got_addr = wire::at<ticket::kAuthClientAddr>(auth);
    const auto got_id = wire::at<ticket::kAuthClientId>(auth);
    if (diff->cause.empty()) {
        if (!near(nonce, now) && near(swapped(nonce), now)) {
            diff->cause =
                "the nonce written in network byte order; it travels least significant "
                "byte first";
        } else if (std::equal(addr.rbegin(), addr.rend(), got_addr.begin()) && addr[0] != addr[3]) {
            diff->cause = "the address written in the other byte order";
        } else if (std::equal(got_id.begin(), got_id.begin() + wire::text_length(std::span(client)),
                              client.begin()) &&
                   wire::text_length(got_id) == wire::text_length(std::span(client))) {
            diff->cause = "the client ID field not cleared before the ID was copied in";
        }
    }
    if (!near(nonce, now) && diff->expected.find("nonce") != std::string::npos) {
        diff->expected += fmt::format(" (a nonce near the current time {})", now);
    }
    return diff;
}

Difference exact_request(const Bytes& d, const seal::Schedule& session, const Chain& chain) {
    ticket::Inner inner;
    ticket::build_app_data_req(inner);
    std::array<std::uint8_t, ticket::kPrvSize> want;
    ticket::build_krb_prv(want, inner, session);
    const Span got(d);
    if (auto diff = prv_head_difference(want, got, "KRB_PRV")) return diff;
    const auto plain = unsealed<ticket::kInnerSize>(got.subspan(ticket::kPrvSealed.offset),
                                                    ticket::kInnerSize, session);
    return sealed_difference(inner, plain, ticket::kInnerFields,
                             "APP_DATA_REQ (unsealed alone with the session key)", chain);
}

Difference exact_client_ap_err(const Bytes& d, const ticket::Id& client) {
    std::array<std::uint8_t, ticket::kApErrSize> want;
    ticket::build_ap_err(want, &client);
    return compare(want, d, ticket::kErrFields, "AP_ERR");
}

Difference exact_as_rep(const Bytes& d, const AsFacts& f) {
    const Span got(d);
    std::array<std::uint8_t, ticket::kAsRepBody.offset> want_head{};
    wire::store_be16(wire::at<ticket::kType>(want_head),
                     static_cast<std::uint16_t>(ticket::Type::AS_REP));
    wire::store_be16(wire::at<ticket::kAsRepLength>(want_head), ticket::kBodySealedSize);
    if (auto diff = compare(want_head, got.first(std::min(got.size(), want_head.size())),
                            ticket::kAsRepFields, "AS_REP")) {
        diff->cause =
            length_cause(be16_at(got, ticket::kAsRepLength.offset), ticket::kBodyPlainSize);
        return diff;
    }
    if (got.size() != ticket::kAsRepSize) {
        return Finding{"AS_REP of 172 bytes", fmt::format("{} bytes", got.size()), {}};
    }
    const Span sealed_body = got.subspan(ticket::kAsRepBody.offset);
    const auto body =
        unsealed<ticket::kBodySealedSize>(sealed_body, ticket::kBodySealedSize, f.client_key);
    if (const std::string cause = as_rep_cause(sealed_body, body, f); !cause.empty()) {
        // The session key cannot be read from such a body: the mistake is named at once.
        return Finding{"an AS_REP body sealed alone with the client key, from the protocol IV",
                       "a body that does not unseal so", cause};
    }
    // The expected body, with what cannot be foreseen (the session key, the time) taken from
    // what was sent when it is plausible.
    seal::Key key{};
    std::ranges::copy(wire::at<ticket::kBodySessionKey>(body), key.begin());
    seal::Schedule session;
    const int key_status = seal::make_schedule(key, session);
    const std::uint32_t stamp = wire::load_le32(wire::at<ticket::kBodyTimestamp>(body));
    const std::uint32_t want_stamp = near(stamp, f.now) ? stamp : f.now;
    std::array<std::uint8_t, ticket::kAsRepSize> want;
    const ticket::TicketFacts facts{key, f.client, f.source, f.server, want_stamp};
    ticket::build_as_rep(want, facts, f.server_key, f.client_key);
    const auto want_body = unsealed<ticket::kBodySealedSize>(
        Span(want).subspan(ticket::kAsRepBody.offset), ticket::kBodySealedSize, f.client_key);
    // Everything but the sealed Ticket, which is compared unsealed below.
    const auto upto_ticket = Span(want_body).first(ticket::kBodyTicket.offset);
    // The body is sealed after the Ticket, whose last block it carries.
    Chain body_chain;
    add_last_block(body_chain, body, ticket::kBodyTicket.offset, ticket::kTicketPlainSize);
    if (auto diff = sealed_difference(
            upto_ticket, Span(body).first(ticket::kBodyTicket.offset), ticket::kBodyFields,
            "AS_REP body (unsealed alone with the client key)", body_chain)) {
        const auto life = wire::at<ticket::kBodyLifetime>(body);
        const std::uint16_t ticket_length =
            wire::load_be16(wire::at<ticket::kBodyTicketLength>(body));
        if (!diff->cause.empty()) return diff;
        if (key_status != 0 && diff->expected.find("session key") != std::string::npos) {
            const auto other = unsealed<8>(sealed_body, 8, f.server_key);
            diff->observed += fmt::format(" (a key the key check refuses: {})",
                                          key_status == -2 ? "weak" : "wrong parity");
            if (seal::Schedule s; seal::make_schedule(other, s) == 0) {
                diff->cause =
                    "the body sealed with the server key; the Ticket is sealed with the "
                    "server key, the body with the client key";
            }
        } else if (!near(stamp, f.now) && near(swapped(stamp), f.now)) {
            diff->cause =
                "the timestamp written in network byte order; it travels least "
                "significant byte first";
        } else if (life[0] == 0x10 && life[1] == 0x0E) {
            diff->cause =
                "the lifetime written least significant byte first; it travels in "
                "network byte order";
        } else if (ticket_length != ticket::kTicketSealedSize) {
            diff->cause = length_cause(ticket_length, ticket::kTicketPlainSize);
        }
        if (!near(stamp, f.now) && diff->expected.find("timestamp") != std::string::npos) {
            diff->expected += fmt::format(" (a timestamp near the current time {})", f.now);
        }
        return diff;
    }
    if (auto diff = compare(Span(want_body).subspan(ticket::kBodyPlainSize),
                            Span(body).subspan(ticket::kBodyPlainSize), {},
                            "AS_REP body after its 164 bytes")) {
        return diff;
    }
    const auto tk = unsealed<ticket::kTicketSealedSize>(
        Span(body).subspan(ticket::kBodyTicket.offset), ticket::kTicketSealedSize, f.server_key);
    const auto want_tk =
        unsealed<ticket::kTicketSealedSize>(Span(want_body).subspan(ticket::kBodyTicket.offset),
                                            ticket::kTicketSealedSize, f.server_key);
    auto diff = sealed_difference(want_tk, tk, ticket::kTicketFields,
                                  "Ticket (unsealed alone with the server key)", {});
    if (!diff || !diff->cause.empty()) return diff;
    const auto addr = wire::at<ticket::kTkClientAddr>(tk);
    const std::uint32_t tk_stamp = wire::load_le32(wire::at<ticket::kTkTimestamp>(tk));
    const auto life = wire::at<ticket::kTkLifetime>(tk);
    if (std::equal(f.source.rbegin(), f.source.rend(), addr.begin())) {
        diff->cause = "the client address written in the other byte order";
    } else if (tk_stamp != stamp && swapped(tk_stamp) == stamp) {
        diff->cause =
            "the Ticket's timestamp written in network byte order; it travels least "
            "significant byte first";
    } else if (life[0] == 0x10 && life[1] == 0x0E) {
        diff->cause = "the Ticket's lifetime written least significant byte first";
    } else {
        const auto sealed_tk = Span(body).subspan(ticket::kBodyTicket.offset);
        const auto other = unsealed<8>(sealed_tk, 8, f.client_key);
        if (seal::Schedule s; seal::make_schedule(other, s) == 0 &&
                              std::equal(other.begin(), other.end(), key.begin())) {
            diff->cause = "the Ticket sealed with the client key; it is sealed with the server key";
        }
    }
    return diff;
}

Difference exact_as_err(const Bytes& d, std::span<const std::uint8_t, ticket::kIdSize> received) {
    std::array<std::uint8_t, ticket::kAsErrSize> want;
    ticket::build_as_err(want, received);
    auto diff = compare(want, d, ticket::kErrFields, "AS_ERR");
    if (diff && d.size() == want.size() - 2) {
        diff->cause = "the type and the 40-byte field make 42 bytes";
    } else if (diff && d.size() == want.size()) {
        diff->cause = "the AS_ERR carries another client ID field than the one it refuses";
    }
    return diff;
}

Difference exact_ap_rep(const Bytes& d, const seal::Schedule& session, std::uint32_t nonce,
                        const Chain& chain) {
    const auto answer = static_cast<std::int32_t>(nonce + 1);
    const std::string text = answer_text(answer);
    const std::uint16_t length = seal::length_field(text.size());
    std::array<std::uint8_t, ticket::kApRepSize> want;
    ticket::build_ap_rep(want, answer, session);
    const Span got(d);
    // The text as sent, read under the length field sent (within the sealed bytes): it tells
    // the mistakes in the number apart from those in the length field.
    const std::uint16_t got_length = be16_at(got, ticket::kApRepLength.offset);
    const auto read = unsealed<ticket::kApRepSealed.size>(
        got.subspan(std::min<std::size_t>(got.size(), 4)),
        std::min<std::size_t>(got_length, ticket::kApRepSealed.size), session);
    const std::string seen(
        read.begin(), std::find(read.begin(), read.begin() + std::min<std::size_t>(got_length, 16),
                                std::uint8_t{0}));
    const auto number_cause = [&]() -> std::string {
        if (seen == fmt::format("{}", nonce + 1) && answer < 0) {
            return "the answer written as an unsigned number; it is the signed decimal text "
                   "(\"%d\")";
        }
        if (seen == fmt::format("{}", static_cast<std::int32_t>(nonce))) {
            return "the nonce itself, not the nonce plus one";
        }
        return {};
    };
    if (auto diff = compare(Span(want).first(4), got.first(std::min<std::size_t>(got.size(), 4)),
                            ticket::kApRepFields,
                            fmt::format("AP_REP answering {} with \"{}\"", nonce, text))) {
        diff->observed += fmt::format(" (the text reads \"{}\")", seen);
        diff->cause = number_cause();
        if (diff->cause.empty()) diff->cause = length_cause(got_length, text.size());
        return diff;
    }
    if (got.size() != want.size()) {
        return Finding{"AP_REP of 24 bytes", fmt::format("{} bytes", got.size()), {}};
    }
    // The text and its terminating zero (when the length holds it); the bytes after the zero
    // carry no meaning. After the sealed bytes, zero.
    const auto plain = unsealed<ticket::kApRepSealed.size>(got.subspan(4), length, session);
    const std::size_t meant = std::min<std::size_t>(length, text.size() + 1);
    std::array<std::uint8_t, ticket::kApRepSealed.size> want_plain{};
    std::copy(text.begin(), text.end(), want_plain.begin());
    if (auto diff = compare(Span(want_plain).first(meant), Span(plain).first(meant), {},
                            fmt::format("the answer \"{}\" (unsealed alone)", text))) {
        diff->observed += fmt::format(" (the text reads \"{}\")", seen);
        diff->cause = chained(Span(want_plain).first(std::max<std::size_t>(meant, 9)),
                              Span(plain).first(std::max<std::size_t>(meant, 9)), chain)
                          ? std::string(kIvCause)
                          : number_cause();
        return diff;
    }
    const std::size_t end = 4 + seal::rounded(length);
    return compare(Span(want).subspan(end), got.subspan(end), {}, "AP_REP after the sealed answer");
}

Difference exact_envelope(const Bytes& d, const seal::Schedule& session, const ticket::Inner& want,
                          const ticket::Inner* previous, const Chain& chain) {
    const Span got(d);
    std::array<std::uint8_t, ticket::kPrvSize> want_prv;
    ticket::build_krb_prv(want_prv, want, session);
    const auto inner_type = wire::load_be16(wire::at<ticket::kInnerType>(want));
    const std::string what = fmt::format("{} id {}", ticket::inner_type_name(inner_type),
                                         wire::load_be16(wire::at<ticket::kInnerPid>(want)));
    if (auto diff = prv_head_difference(want_prv, got, "KRB_PRV holding " + what)) return diff;
    const auto plain = unsealed<ticket::kInnerSize>(got.subspan(ticket::kPrvSealed.offset),
                                                    ticket::kInnerSize, session);
    auto diff = sealed_difference(want, plain, ticket::kInnerFields,
                                  what + " (unsealed alone with the session key)", chain);
    if (diff && diff->cause.empty() && previous != nullptr) {
        const std::size_t from =
            ticket::kInnerData.offset + wire::load_be16(wire::at<ticket::kInnerDataLength>(want));
        const bool stale =
            std::any_of(plain.begin() + static_cast<std::ptrdiff_t>(from), plain.end(),
                        [](std::uint8_t b) { return b != 0; }) &&
            std::equal(plain.begin() + static_cast<std::ptrdiff_t>(from), plain.end(),
                       previous->begin() + static_cast<std::ptrdiff_t>(from));
        if (stale && std::equal(plain.begin(), plain.begin() + static_cast<std::ptrdiff_t>(from),
                                want.begin())) {
            diff->cause = kUncleared;
        }
    }
    return diff;
}

Difference exact_server_ap_err(const Bytes& d) {
    std::array<std::uint8_t, ticket::kApErrSize> want;
    ticket::build_ap_err(want, nullptr);
    auto diff = compare(want, d, ticket::kErrFields, "AP_ERR from the server (all zero)");
    if (diff && d.size() == want.size() && diff->expected.find("client ID") != std::string::npos) {
        diff->cause = "a client ID in the server's AP_ERR, which is all zero after its type";
    }
    return diff;
}

Difference exact_password(const Bytes& d, const Bytes& want, const Bytes* previous) {
    const auto type = wire::load_be16(wire::at<pass::kType>(wire::zeroed_copy<8>(want)));
    const auto t = static_cast<pass::Type>(type);
    const std::string name(pass::type_name(type).empty() ? "datagram" : pass::type_name(type));
    auto diff = compare(want, d, pass::fields_of(t), name);
    if (!diff) return diff;
    const auto w = pass::receive_area(want), g = pass::receive_area(d);
    const std::uint32_t want_length = wire::load_be32(wire::at<pass::kLength>(w));
    const std::uint32_t got_length = wire::load_be32(wire::at<pass::kLength>(g));
    const std::uint32_t want_id = wire::load_be32(wire::at<pass::kPacketId>(w));
    const std::uint32_t got_id = wire::load_be32(wire::at<pass::kPacketId>(g));
    if (got_length != want_length && got_length == want_length << 16) {
        diff->cause = "the length field converted as a 16-bit number into its 32-bit field";
    } else if (t == pass::Type::DATA && got_id != want_id && got_id == want_id << 16) {
        diff->cause = "the packet id converted as a 16-bit number into its 32-bit field";
    } else if (got_length != want_length && got_length == swapped(want_length)) {
        diff->cause =
            "the length field written least significant byte first; it travels in "
            "network byte order";
    } else if (t == pass::Type::PASS_RESP && got_length == want_length + 1) {
        diff->cause = "a terminating zero counted in the password's length";
    } else if (t == pass::Type::PASS_RESP && got_length == pass::kPassword.size) {
        diff->cause =
            "the size of the password field in the length field, not the password's "
            "length";
    } else if (t == pass::Type::DATA &&
               wire::load_be32(wire::at<pass::kPacketId>(g)) !=
                   wire::load_be32(wire::at<pass::kPacketId>(w)) &&
               wire::load_be32(wire::at<pass::kPacketId>(g)) ==
                   swapped(wire::load_be32(wire::at<pass::kPacketId>(w)))) {
        diff->cause = "the packet id written least significant byte first";
    } else if (previous != nullptr && got_length == want_length && d.size() == want.size()) {
        // The bytes after the content: stale when they repeat the previous datagram's.
        const std::size_t from = t == pass::Type::PASS_RESP ? pass::kPassword.offset + want_length
                                 : t == pass::Type::DATA    ? pass::kData.offset + want_length
                                                            : want.size();
        const auto p = pass::receive_area(*previous);
        if (from < want.size() &&
            std::equal(g.begin() + static_cast<std::ptrdiff_t>(from),
                       g.begin() + static_cast<std::ptrdiff_t>(want.size()),
                       p.begin() + static_cast<std::ptrdiff_t>(from)) &&
            std::any_of(g.begin() + static_cast<std::ptrdiff_t>(from),
                        g.begin() + static_cast<std::ptrdiff_t>(want.size()),
                        [](std::uint8_t b) { return b != 0; })) {
            diff->cause = kUncleared;
        }
    }
    return diff;
}

}  // namespace peercheck
