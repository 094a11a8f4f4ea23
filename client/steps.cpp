#include "steps.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "helpers.h"

namespace client {

namespace {

bool same(const char* a, const char* b) noexcept { return std::strcmp(a, b) == 0; }

// Decimal text as the C library reads it (white space, sign, digits; 0 without digits), then cut
// to 32 bits.
std::uint32_t decimal(const char* text) noexcept {
    return static_cast<std::uint32_t>(std::strtol(text, nullptr, 10));
}

void apply_switch(Settings& s, const char* name, const char* value) noexcept {
    if (same(name, "-T1")) s.address_offset = static_cast<std::int32_t>(decimal(value));
    if (same(name, "-T2")) s.replacement = value;
    if (same(name, "-T3")) s.back_dating = static_cast<std::int32_t>(decimal(value) * 3600U);
}

}  // namespace

ParsedArgs parse_args(int argc, const char* const* argv) noexcept {
    ParsedArgs parsed;
    const int words = argc - 1;
    if (words < 8 || words > 11) return parsed;
    Settings s;
    s.debug = (words == 9 || words == 11) && same(argv[9], "-DDEBUG");
    if (words == 11) apply_switch(s, argv[10], argv[11]);
    parsed.debug = s.debug;
    if (!ticket::make_ids(argv[7], argv[8], s.client, s.server)) {
        parsed.error = ArgsError::id_too_long;
        return parsed;
    }
    common::to_hex(argv[3], s.client_key);
    s.gatekeep_name = argv[1];
    s.gatekeep_port = static_cast<std::uint16_t>(decimal(argv[2]));
    s.server_name = argv[4];
    s.server_port = static_cast<std::uint16_t>(decimal(argv[5]));
    s.out_path = argv[6];
    parsed.settings = s;
    return parsed;
}

ticket::Id auth_client_id(const Settings& s) noexcept {
    if (s.replacement == nullptr) return s.client;
    ticket::Id id{};
    std::memcpy(id.data(), s.replacement, ::strnlen(s.replacement, 4));
    return id;
}

AuthFields make_auth_fields(const Settings& s, const ticket::Address& my_addr,
                            std::uint32_t now) noexcept {
    AuthFields f;
    f.client = auth_client_id(s);
    // The offset works on the address read first byte least significant, so +1 raises the first
    // number of the dotted address (10.0.0.5 becomes 11.0.0.5), carrying into the second.
    f.address_before = wire::load_le32(my_addr);
    f.address_after = f.address_before + static_cast<std::uint32_t>(s.address_offset);
    wire::store_le32(f.address, f.address_after);
    f.nonce = now - static_cast<std::uint32_t>(s.back_dating);
    return f;
}

AsReply check_as_reply(ticket::RecvView rx, const seal::Schedule& client_key,
                       const ticket::Id& server, std::uint32_t now,
                       ticket::BodyArea& body) noexcept {
    AsReply r;
    r.type = ticket::read_type(rx);
    if (ticket::is(r.type, ticket::Type::AS_ERR)) {
        r.verdict = AsVerdict::as_err;
        return r;
    }
    if (!ticket::is(r.type, ticket::Type::AS_REP)) return r;
    // The length field is the unseal length; beyond the 168-byte body area it is refused.
    if (!ticket::unseal_as_rep_body(rx, client_key, body)) {
        r.verdict = AsVerdict::bad_length;
        return r;
    }
    if (seal::make_schedule(wire::at<ticket::kBodySessionKey>(body), r.session) != 0) {
        r.verdict = AsVerdict::key_rejected;
        return r;
    }
    if (!std::ranges::equal(wire::at<ticket::kBodyServerId>(body), server)) {
        r.verdict = AsVerdict::wrong_server_id;
        return r;
    }
    // The ticket length says how many sealed bytes the AP_REQ carries; its Ticket area holds 104.
    if (wire::load_be16(wire::at<ticket::kBodyTicketLength>(body)) > ticket::kTicketSealedSize) {
        r.verdict = AsVerdict::bad_ticket_length;
        return r;
    }
    r.timestamp = wire::load_le32(wire::at<ticket::kBodyTimestamp>(body));
    r.lifetime = wire::load_be16(wire::at<ticket::kBodyLifetime>(body));
    r.validity = seal::validity_time(r.timestamp, r.lifetime);
    r.verdict = seal::still_valid(now, r.validity) ? AsVerdict::accepted : AsVerdict::expired;
    return r;
}

ApReply check_ap_reply(ticket::RecvView rx, const seal::Schedule& session, std::uint32_t nonce,
                       std::uint32_t validity, std::uint32_t now) noexcept {
    ApReply r;
    r.type = ticket::read_type(rx);
    r.expected = nonce + 1U;
    if (!ticket::is(r.type, ticket::Type::AP_REP)) return r;
    if (!seal::still_valid(now, validity)) {
        r.verdict = ApVerdict::expired;
        return r;
    }
    // The length field is the unseal length; beyond the 32-byte answer area it is refused.
    const auto answer = ticket::read_ap_rep_answer(rx, session);
    if (!answer) {
        r.verdict = ApVerdict::bad_length;
        return r;
    }
    r.answer = static_cast<std::uint32_t>(*answer);
    r.verdict = r.answer == r.expected ? ApVerdict::accepted : ApVerdict::wrong_answer;
    return r;
}

Envelope check_envelope(ticket::RecvView rx, const seal::Schedule& session, std::uint32_t validity,
                        std::uint32_t now, std::uint16_t last_id, ticket::Inner& inner) noexcept {
    Envelope e;
    e.type = ticket::read_type(rx);
    if (ticket::is(e.type, ticket::Type::AP_ERR)) {
        e.verdict = EnvelopeVerdict::ap_err;
        return e;
    }
    if (!ticket::is(e.type, ticket::Type::KRB_PRV)) return e;
    if (!seal::still_valid(now, validity)) {
        e.verdict = EnvelopeVerdict::expired;
        return e;
    }
    // The length field is the unseal length; beyond the 978-byte inner message it is refused.
    if (!ticket::unseal_krb_prv(rx, session, inner)) {
        e.verdict = EnvelopeVerdict::bad_length;
        return e;
    }
    const ticket::InnerView v = ticket::read_inner(inner);
    e.type = v.type;
    e.packet_id = v.packet_id;
    e.data_length = v.data_length;
    if (ticket::is(v.type, ticket::InnerType::APP_TERMINATE)) {
        e.verdict = EnvelopeVerdict::app_terminate;
    } else if (!ticket::is(v.type, ticket::InnerType::APP_DATA)) {
        e.verdict = EnvelopeVerdict::unexpected_inner;
    } else if (v.packet_id != next_packet_id(last_id)) {
        e.verdict = EnvelopeVerdict::out_of_sequence;
    } else if (v.data_length > ticket::kChunkSize) {
        // The data length counts bytes written from the 972-byte data field: more is refused.
        e.verdict = EnvelopeVerdict::bad_data_length;
    } else {
        e.verdict = EnvelopeVerdict::app_data;
    }
    return e;
}

}  // namespace client
