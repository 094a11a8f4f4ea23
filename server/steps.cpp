#include "steps.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "helpers.h"

namespace server {

namespace {

bool same(const char* a, const char* b) noexcept { return std::strcmp(a, b) == 0; }

// Decimal text as the C library reads it; the value is then cut to 32 bits.
std::int32_t decimal(const char* text) noexcept {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(std::strtol(text, nullptr, 10)));
}

void apply_switch(Settings& s, const char* name, const char* value) noexcept {
    if (same(name, "-T1")) s.nonce_offset = decimal(value);
    if (same(name, "-T2")) s.wrong_digest = true;
}

}  // namespace

std::optional<Settings> parse_args(int argc, const char* const* argv) noexcept {
    const int words = argc - 1;
    if (words < 3 || words > 8) return std::nullopt;
    Settings s;
    s.port = static_cast<std::uint16_t>(decimal(argv[1]));
    common::to_hex(argv[2], s.server_key);
    s.path = argv[3];
    if (words == 4 || words == 6 || words == 8) s.debug = same(argv[4], "-DDEBUG");
    if (words == 6) apply_switch(s, argv[5], argv[6]);
    if (words == 8) apply_switch(s, argv[7], argv[8]);
    return s;
}

ApReqCheck check_ap_req(ticket::RecvView rx, const seal::Schedule& server_key,
                        std::uint32_t now) noexcept {
    ApReqCheck c;
    c.type = ticket::read_type(rx);
    if (!ticket::is(c.type, ticket::Type::AP_REQ)) return c;
    // Both length fields become unseal lengths; a value beyond its area (104, 48) is refused as a
    // wrong packet rather than cut, so nothing is unsealed from outside the Ticket or into past
    // the Authenticator.
    const auto lengths = ticket::read_ap_req(rx);
    if (!lengths) {
        c.lengths = {wire::load_be16(wire::at<ticket::kApReqTicketLength>(rx)),
                     wire::load_be16(wire::at<ticket::kApReqAuthLength>(rx))};
        c.verdict = ApReqVerdict::bad_lengths;
        return c;
    }
    c.lengths = *lengths;
    ticket::unseal_ticket(rx, c.lengths, server_key, c.ticket);
    c.key_result = seal::make_schedule(wire::at<ticket::kTkSessionKey>(c.ticket), c.session);
    if (c.key_result != 0) {
        c.verdict = ApReqVerdict::key_error;
        return c;
    }
    c.validity = seal::validity_time(wire::load_le32(wire::at<ticket::kTkTimestamp>(c.ticket)),
                                     wire::load_be16(wire::at<ticket::kTkLifetime>(c.ticket)));
    if (!seal::still_valid(now, c.validity)) {
        c.verdict = ApReqVerdict::expired;
        return c;
    }
    ticket::unseal_authenticator(rx, c.lengths, c.session, c.auth);
    if (!std::ranges::equal(wire::at<ticket::kTkClientId>(c.ticket),
                            wire::at<ticket::kAuthClientId>(c.auth))) {
        c.verdict = ApReqVerdict::wrong_client;
        return c;
    }
    if (!std::ranges::equal(wire::at<ticket::kTkClientAddr>(c.ticket),
                            wire::at<ticket::kAuthClientAddr>(c.auth))) {
        c.verdict = ApReqVerdict::wrong_address;
        return c;
    }
    c.nonce = static_cast<std::int32_t>(wire::load_le32(wire::at<ticket::kAuthNonce>(c.auth)));
    c.verdict = ApReqVerdict::accepted;
    return c;
}

RequestCheck check_request(ticket::RecvView rx, const seal::Schedule& session,
                           std::uint32_t validity, std::uint32_t now,
                           ticket::Inner& inner) noexcept {
    RequestCheck c;
    c.type = ticket::read_type(rx);
    if (ticket::is(c.type, ticket::Type::AP_ERR)) {
        c.verdict = RequestVerdict::ap_err;
        return c;
    }
    if (!ticket::is(c.type, ticket::Type::KRB_PRV)) return c;
    if (!seal::still_valid(now, validity)) {
        c.verdict = RequestVerdict::expired;
        return c;
    }
    // The length field is the unseal length; beyond the 978-byte inner message it is refused.
    if (!ticket::unseal_krb_prv(rx, session, inner)) {
        c.verdict = RequestVerdict::bad_length;
        return c;
    }
    c.type = ticket::read_inner(inner).type;
    c.verdict = ticket::is(c.type, ticket::InnerType::APP_DATA_REQ)
                    ? RequestVerdict::app_data_req
                    : RequestVerdict::unexpected_inner;
    return c;
}

}  // namespace server
