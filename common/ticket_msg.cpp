#include "ticket_msg.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace ticket {

namespace {

template <wire::Field F, std::size_t N>
void put_type(std::span<std::uint8_t, N> out, std::uint16_t type) noexcept {
    wire::store_be16(wire::at<F>(out), type);
}

template <wire::Field F, std::size_t N>
void put_id(std::span<std::uint8_t, N> out, std::span<const std::uint8_t, kIdSize> id) noexcept {
    std::ranges::copy(id, wire::at<F>(out).begin());
}

}  // namespace

std::optional<Id> make_id(const char* text) noexcept {
    const std::size_t n = std::strlen(text);
    if (n > kIdSize) return std::nullopt;
    Id id{};
    std::memcpy(id.data(), text, n);
    return id;
}

bool make_ids(const char* client_text, const char* server_text, Id& client, Id& server) noexcept {
    const auto c = make_id(client_text);
    const auto s = make_id(server_text);
    if (!c || !s) return false;
    client = *c;
    server = *s;
    return true;
}

void build_as_req(std::span<std::uint8_t, kAsReqSize> out, const Id& client,
                  const Id& server) noexcept {
    std::ranges::fill(out, 0);
    put_type<kType>(out, static_cast<std::uint16_t>(Type::AS_REQ));
    put_id<kAsReqClientId>(out, client);
    put_id<kAsReqServerId>(out, server);
}

void build_as_err(std::span<std::uint8_t, kAsErrSize> out,
                  std::span<const std::uint8_t, kIdSize> client_field) noexcept {
    std::ranges::fill(out, 0);
    put_type<kType>(out, static_cast<std::uint16_t>(Type::AS_ERR));
    put_id<kAsErrClientId>(out, client_field);
}

void build_ap_err(std::span<std::uint8_t, kApErrSize> out, const Id* client) noexcept {
    std::ranges::fill(out, 0);
    put_type<kType>(out, static_cast<std::uint16_t>(Type::AP_ERR));
    if (client != nullptr) put_id<kApErrClientId>(out, *client);
}

void build_ticket(std::span<std::uint8_t, kTicketPlainSize> t, const TicketFacts& facts) noexcept {
    std::ranges::fill(t, 0);
    std::ranges::copy(facts.session_key, wire::at<kTkSessionKey>(t).begin());
    std::ranges::copy(facts.client, wire::at<kTkClientId>(t).begin());
    std::ranges::copy(facts.client_addr, wire::at<kTkClientAddr>(t).begin());
    std::ranges::copy(facts.server, wire::at<kTkServerId>(t).begin());
    wire::store_le32(wire::at<kTkTimestamp>(t), facts.timestamp);
    wire::store_be16(wire::at<kTkLifetime>(t), kLifetime);
}

void build_body(std::span<std::uint8_t, kBodyPlainSize> body, const TicketFacts& facts,
                std::span<const std::uint8_t, kTicketPlainSize> ticket,
                const seal::Schedule& server_key) noexcept {
    std::ranges::fill(body, 0);
    seal::seal(ticket, kTicketPlainSize, server_key, wire::at<kBodyTicket>(body));
    std::ranges::copy(facts.session_key, wire::at<kBodySessionKey>(body).begin());
    std::ranges::copy(facts.server, wire::at<kBodyServerId>(body).begin());
    wire::store_le32(wire::at<kBodyTimestamp>(body), facts.timestamp);
    wire::store_be16(wire::at<kBodyLifetime>(body), kLifetime);
    wire::store_be16(wire::at<kBodyTicketLength>(body), seal::length_field(kTicketPlainSize));
}

void seal_as_rep(std::span<std::uint8_t, kAsRepSize> out,
                 std::span<const std::uint8_t, kBodyPlainSize> body,
                 const seal::Schedule& client_key) noexcept {
    std::ranges::fill(out, 0);
    put_type<kType>(out, static_cast<std::uint16_t>(Type::AS_REP));
    wire::store_be16(wire::at<kAsRepLength>(out), seal::length_field(kBodyPlainSize));
    seal::seal(body, kBodyPlainSize, client_key, wire::at<kAsRepBody>(out));
}

void build_as_rep(std::span<std::uint8_t, kAsRepSize> out, const TicketFacts& facts,
                  const seal::Schedule& server_key, const seal::Schedule& client_key) noexcept {
    std::array<std::uint8_t, kTicketPlainSize> ticket;
    build_ticket(ticket, facts);
    std::array<std::uint8_t, kBodyPlainSize> body;
    build_body(body, facts, ticket, server_key);
    seal_as_rep(out, body, client_key);
}

void build_authenticator(std::span<std::uint8_t, kAuthSize> out, const Id& client,
                         const Address& addr, std::uint32_t nonce) noexcept {
    std::ranges::fill(out, 0);
    std::ranges::copy(client, wire::at<kAuthClientId>(out).begin());
    std::ranges::copy(addr, wire::at<kAuthClientAddr>(out).begin());
    wire::store_le32(wire::at<kAuthNonce>(out), nonce);
}

void build_ap_req(std::span<std::uint8_t, kApReqSize> out,
                  std::span<const std::uint8_t, kBodySealedSize> body,
                  std::span<const std::uint8_t, kAuthSize> authenticator,
                  const seal::Schedule& session) noexcept {
    std::ranges::fill(out, 0);
    put_type<kType>(out, static_cast<std::uint16_t>(Type::AP_REQ));
    const auto length_bytes = wire::at<kBodyTicketLength>(body);
    std::ranges::copy(length_bytes, wire::at<kApReqTicketLength>(out).begin());
    wire::store_be16(wire::at<kApReqAuthLength>(out), seal::length_field(kAuthSize));
    // Never more than the Ticket area holds, whatever the field says.
    const std::size_t n = std::min<std::size_t>(wire::load_be16(length_bytes), kTicketSealedSize);
    std::copy_n(wire::at<kBodyTicket>(body).begin(), n, wire::at<kApReqTicket>(out).begin());
    seal::seal(authenticator, kAuthSize, session, wire::at<kApReqAuth>(out));
}

void build_ap_rep(std::span<std::uint8_t, kApRepSize> out, std::int32_t answer,
                  const seal::Schedule& session) noexcept {
    // "%d" of a 32-bit value is at most 11 characters; with the +4 rule it seals at most 16 bytes.
    std::array<std::uint8_t, kApRepSealed.size> text{};
    const int n = std::snprintf(reinterpret_cast<char*>(text.data()), text.size(), "%d", answer);
    const std::uint16_t length = seal::length_field(static_cast<std::size_t>(n));
    std::ranges::fill(out, 0);
    put_type<kType>(out, static_cast<std::uint16_t>(Type::AP_REP));
    wire::store_be16(wire::at<kApRepLength>(out), length);
    seal::seal(text, length, session, wire::at<kApRepSealed>(out));
}

void build_app_data_req(std::span<std::uint8_t, kInnerSize> inner) noexcept {
    std::ranges::fill(inner, 0);
    wire::store_be16(wire::at<kInnerType>(inner),
                     static_cast<std::uint16_t>(InnerType::APP_DATA_REQ));
}

void build_app_data(std::span<std::uint8_t, kInnerSize> inner, std::uint16_t packet_id,
                    std::span<const std::uint8_t> chunk) noexcept {
    const std::size_t n = std::min(chunk.size(), kChunkSize);
    std::ranges::fill(inner, 0);
    wire::store_be16(wire::at<kInnerType>(inner), static_cast<std::uint16_t>(InnerType::APP_DATA));
    wire::store_be16(wire::at<kInnerDataLength>(inner), static_cast<std::uint16_t>(n));
    wire::store_be16(wire::at<kInnerPid>(inner), packet_id);
    std::copy_n(chunk.begin(), n, wire::at<kInnerData>(inner).begin());
}

void build_app_terminate(std::span<std::uint8_t, kInnerSize> inner, const Digest& digest) noexcept {
    std::ranges::fill(inner, 0);
    wire::store_be16(wire::at<kInnerType>(inner),
                     static_cast<std::uint16_t>(InnerType::APP_TERMINATE));
    wire::store_be16(wire::at<kInnerDataLength>(inner), static_cast<std::uint16_t>(digest.size()));
    std::ranges::copy(digest, wire::at<kInnerDigest>(inner).begin());
}

void build_krb_prv(std::span<std::uint8_t, kPrvSize> out,
                   std::span<const std::uint8_t, kInnerSize> inner,
                   const seal::Schedule& session) noexcept {
    std::ranges::fill(wire::at<wire::Field{0, kPrvSealed.offset}>(out), 0);
    put_type<kType>(out, static_cast<std::uint16_t>(Type::KRB_PRV));
    wire::store_be16(wire::at<kPrvLength>(out), static_cast<std::uint16_t>(kInnerSize));
    seal::seal(inner, kInnerSize, session, wire::at<kPrvSealed>(out));
}

bool unseal_as_rep_body(RecvView rx, const seal::Schedule& client_key, BodyArea& body) noexcept {
    body.fill(0);
    const std::uint16_t length = wire::load_be16(wire::at<kAsRepLength>(rx));
    if (length > body.size()) return false;
    return seal::unseal(wire::at<kAsRepBody>(rx), length, client_key, body);
}

std::optional<ApReq> read_ap_req(RecvView rx) noexcept {
    const ApReq req{wire::load_be16(wire::at<kApReqTicketLength>(rx)),
                    wire::load_be16(wire::at<kApReqAuthLength>(rx))};
    if (req.ticket_length > kTicketSealedSize || req.auth_length > kAuthSize) return std::nullopt;
    return req;
}

void unseal_ticket(RecvView rx, const ApReq& req, const seal::Schedule& server_key,
                   TicketArea& ticket) noexcept {
    ticket.fill(0);
    seal::unseal(wire::at<kApReqTicket>(rx), req.ticket_length, server_key, ticket);
}

void unseal_authenticator(RecvView rx, const ApReq& req, const seal::Schedule& session,
                          AuthArea& auth) noexcept {
    auth.fill(0);
    seal::unseal(wire::at<kApReqAuth>(rx), req.auth_length, session, auth);
}

std::optional<std::int32_t> read_ap_rep_answer(RecvView rx,
                                               const seal::Schedule& session) noexcept {
    const std::uint16_t length = wire::load_be16(wire::at<kApRepLength>(rx));
    if (length > kAnswerAreaSize) return std::nullopt;
    // One byte more than the area, always zero, ends the text where the unsealed bytes end.
    std::array<std::uint8_t, kAnswerAreaSize + 1> text{};
    seal::unseal(wire::at<kApRepAnswerArea>(rx), length, session, text);
    const long value = std::strtol(reinterpret_cast<const char*>(text.data()), nullptr, 10);
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(value));
}

bool unseal_krb_prv(RecvView rx, const seal::Schedule& session, Inner& inner) noexcept {
    inner.fill(0);
    const std::uint16_t length = wire::load_be16(wire::at<kPrvLength>(rx));
    if (length > kInnerSize) return false;
    return seal::unseal(wire::at<kPrvSealed>(rx), length, session, inner);
}

}  // namespace ticket
