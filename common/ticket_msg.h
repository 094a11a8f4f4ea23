#pragma once
// The ticket protocol's datagrams and sealed records: every offset, size and type code, with the
// builders and decoders that are the only code indexing them. Type, length and packet-id fields
// travel in network order; timestamps and nonces travel least significant byte first.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "seal.h"
#include "wire.h"

namespace ticket {

enum class Type : std::uint16_t {
    AS_REQ = 1,
    AS_REP = 2,
    AS_ERR = 3,
    AP_REQ = 4,
    AP_REP = 5,
    AP_ERR = 6,
    KRB_PRV = 7,
};
enum class InnerType : std::uint16_t {
    APP_DATA_REQ = 14,
    APP_DATA = 15,
    APP_TERMINATE = 16,
};

// The protocol's own spelling of a type, or an empty view for a value no message has.
constexpr std::string_view type_name(std::uint16_t type) noexcept {
    constexpr std::string_view kNames[] = {"AS_REQ", "AS_REP", "AS_ERR", "AP_REQ",
                                           "AP_REP", "AP_ERR", "KRB_PRV"};
    return type >= 1 && type <= 7 ? kNames[type - 1] : std::string_view{};
}
constexpr std::string_view inner_type_name(std::uint16_t type) noexcept {
    constexpr std::string_view kNames[] = {"APP_DATA_REQ", "APP_DATA", "APP_TERMINATE"};
    return type >= 14 && type <= 16 ? kNames[type - 14] : std::string_view{};
}

inline constexpr std::size_t kIdSize = 40;
using Id = std::array<std::uint8_t, kIdSize>;  // identifier text, then zero bytes
using Key = seal::Key;
using Address = std::array<std::uint8_t, 4>;  // IPv4 address bytes in network order
using Digest = std::array<std::uint8_t, 20>;
inline constexpr std::uint16_t kLifetime = 3600;

// Every receiver reads each datagram into a zeroed area of this size; a longer one is cut.
inline constexpr std::size_t kRecvSize = 1010;
using RecvArea = std::array<std::uint8_t, kRecvSize>;
using RecvView = std::span<const std::uint8_t, kRecvSize>;
// Any datagram as a receiver holds it: zeroed area, cut at kRecvSize.
constexpr RecvArea receive_area(std::span<const std::uint8_t> datagram) noexcept {
    return wire::zeroed_copy<kRecvSize>(datagram);
}

inline constexpr wire::Field kType{0, 2};

// AS_REQ, client to gatekeep.
inline constexpr wire::Field kAsReqClientId{2, kIdSize};
inline constexpr wire::Field kAsReqServerId{42, kIdSize};
inline constexpr std::size_t kAsReqSize = 88;

// AS_REP, gatekeep to client: the body sealed with the client key.
inline constexpr wire::Field kAsRepLength{2, 2};
inline constexpr wire::Field kAsRepBody{4, 168};
inline constexpr std::size_t kAsRepSize = kAsRepBody.end();

// AS_ERR, gatekeep to client: the client ID field of the refused AS_REQ.
inline constexpr wire::Field kAsErrClientId{2, kIdSize};
inline constexpr std::size_t kAsErrSize = kAsErrClientId.end();

// AP_REQ, client to server.
inline constexpr wire::Field kApReqTicketLength{2, 2};
inline constexpr wire::Field kApReqAuthLength{4, 2};
inline constexpr wire::Field kApReqTicket{6, 104};
inline constexpr wire::Field kApReqAuth{110, 48};
inline constexpr std::size_t kApReqSize = kApReqAuth.end();

// AP_REP, server to client: the answer text sealed with the session key. The sender seals at
// most 16 bytes; a receiver unseals at most kAnswerAreaSize.
inline constexpr wire::Field kApRepLength{2, 2};
inline constexpr wire::Field kApRepSealed{4, 16};
inline constexpr std::size_t kApRepSize = 24;
inline constexpr std::size_t kAnswerAreaSize = 32;
inline constexpr wire::Field kApRepAnswerArea{4, kAnswerAreaSize};

// AP_ERR, either way: the client's ID field from the client, all zero from the server.
inline constexpr wire::Field kApErrClientId{2, kIdSize};
inline constexpr std::size_t kApErrSize = kApErrClientId.end();

// KRB_PRV, either way: the inner message sealed with the session key. The length field always
// carries 978 while 984 sealed bytes travel.
inline constexpr wire::Field kPrvLength{2, 2};
inline constexpr wire::Field kPrvSealed{4, 984};
inline constexpr std::size_t kPrvSize = kPrvSealed.end();

// The inner message inside KRB_PRV.
inline constexpr std::size_t kInnerSize = 978;
inline constexpr wire::Field kInnerType{0, 2};
inline constexpr wire::Field kInnerDataLength{2, 2};
inline constexpr wire::Field kInnerPid{4, 2};
inline constexpr wire::Field kInnerData{6, 972};
inline constexpr std::size_t kChunkSize = kInnerData.size;
inline constexpr wire::Field kInnerDigest{6, 20};
using Inner = std::array<std::uint8_t, kInnerSize>;

// The Ticket: 100 plain bytes, 104 sealed.
inline constexpr std::size_t kTicketPlainSize = 100;
inline constexpr std::size_t kTicketSealedSize = 104;
inline constexpr wire::Field kTkSessionKey{0, 8};
inline constexpr wire::Field kTkClientId{8, kIdSize};
inline constexpr wire::Field kTkClientAddr{48, 4};
inline constexpr wire::Field kTkServerId{52, kIdSize};
inline constexpr wire::Field kTkTimestamp{92, 4};
inline constexpr wire::Field kTkLifetime{96, 2};
using TicketArea = std::array<std::uint8_t, kTicketSealedSize>;  // room for the unsealed length

// The AS_REP body: 164 plain bytes, 168 sealed.
inline constexpr std::size_t kBodyPlainSize = 164;
inline constexpr std::size_t kBodySealedSize = 168;
inline constexpr wire::Field kBodySessionKey{0, 8};
inline constexpr wire::Field kBodyServerId{8, kIdSize};
inline constexpr wire::Field kBodyTimestamp{48, 4};
inline constexpr wire::Field kBodyLifetime{52, 2};
inline constexpr wire::Field kBodyTicketLength{56, 2};
inline constexpr wire::Field kBodyTicket{60, kTicketSealedSize};
using BodyArea = std::array<std::uint8_t, kBodySealedSize>;

// The Authenticator: 48 bytes, sealed to 48.
inline constexpr std::size_t kAuthSize = 48;
inline constexpr wire::Field kAuthClientId{0, kIdSize};
inline constexpr wire::Field kAuthClientAddr{40, 4};
inline constexpr wire::Field kAuthNonce{44, 4};
using AuthArea = std::array<std::uint8_t, kAuthSize>;

// Each message's and each plain record's named fields, in order; the bytes between and after them
// are zero. AP_ERR from the server leaves its client ID field zero.
inline constexpr wire::Named kAsReqFields[] = {
    {"type", kType}, {"client ID", kAsReqClientId}, {"server ID", kAsReqServerId}};
inline constexpr wire::Named kAsRepFields[] = {
    {"type", kType}, {"length", kAsRepLength}, {"sealed body", kAsRepBody}};
inline constexpr wire::Named kErrFields[] = {{"type", kType}, {"client ID", kAsErrClientId}};
inline constexpr wire::Named kApReqFields[] = {{"type", kType},
                                               {"ticket length", kApReqTicketLength},
                                               {"Authenticator length", kApReqAuthLength},
                                               {"sealed Ticket", kApReqTicket},
                                               {"sealed Authenticator", kApReqAuth}};
inline constexpr wire::Named kApRepFields[] = {
    {"type", kType}, {"length", kApRepLength}, {"sealed answer", kApRepSealed}};
inline constexpr wire::Named kPrvFields[] = {
    {"type", kType}, {"length", kPrvLength}, {"sealed inner message", kPrvSealed}};
inline constexpr wire::Named kBodyFields[] = {
    {"session key", kBodySessionKey},     {"server ID", kBodyServerId},
    {"timestamp", kBodyTimestamp},        {"lifetime", kBodyLifetime},
    {"ticket length", kBodyTicketLength}, {"sealed Ticket", kBodyTicket}};
inline constexpr wire::Named kTicketFields[] = {
    {"session key", kTkSessionKey}, {"client ID", kTkClientId},  {"client address", kTkClientAddr},
    {"server ID", kTkServerId},     {"timestamp", kTkTimestamp}, {"lifetime", kTkLifetime}};
inline constexpr wire::Named kAuthFields[] = {
    {"client ID", kAuthClientId}, {"client address", kAuthClientAddr}, {"nonce", kAuthNonce}};
inline constexpr wire::Named kInnerFields[] = {{"inner type", kInnerType},
                                               {"data length", kInnerDataLength},
                                               {"packet id", kInnerPid},
                                               {"data", kInnerData}};

static_assert(kAsReqServerId.end() + 6 == kAsReqSize && kAsRepSize == 172 && kApReqSize == 158);
static_assert(kPrvSize == 988 && kInnerData.end() == kInnerSize && kBodyTicket.end() == 164);
static_assert(kPrvSize <= kRecvSize && kApRepAnswerArea.end() <= kRecvSize);

// The message type of any datagram (first two bytes, network order).
constexpr std::uint16_t read_type(RecvView rx) noexcept {
    return wire::load_be16(wire::at<kType>(rx));
}
constexpr bool is(std::uint16_t type, Type t) noexcept {
    return type == static_cast<std::uint16_t>(t);
}
constexpr bool is(std::uint16_t type, InnerType t) noexcept {
    return type == static_cast<std::uint16_t>(t);
}

// An identifier argument as a 40-byte field: the text, then zero bytes. A text of exactly 40
// characters fills the field with no zero byte, as other peers send it; a longer one does not fit:
// nullopt, and the caller refuses it.
std::optional<Id> make_id(const char* text) noexcept;
// Both IDs of an exchange from their arguments; false, with neither set, when either is too long.
bool make_ids(const char* client_text, const char* server_text, Id& client, Id& server) noexcept;

// ---- Builders. Each zeroes its whole output area first, so every unnamed byte is zero. ----

void build_as_req(std::span<std::uint8_t, kAsReqSize> out, const Id& client,
                  const Id& server) noexcept;
void build_as_err(std::span<std::uint8_t, kAsErrSize> out,
                  std::span<const std::uint8_t, kIdSize> client_field) noexcept;
// From the server: all zero after the type. From the client: its command-line ID field.
void build_ap_err(std::span<std::uint8_t, kApErrSize> out, const Id* client) noexcept;

struct TicketFacts {
    Key session_key;
    Id client;
    Address client_addr;
    Id server;
    std::uint32_t timestamp;
};
// The whole AS_REP: the Ticket sealed with the server key inside the body sealed with the client
// key. The three steps below make it, each plain record open to a change before it is sealed.
void build_as_rep(std::span<std::uint8_t, kAsRepSize> out, const TicketFacts& facts,
                  const seal::Schedule& server_key, const seal::Schedule& client_key) noexcept;
// The Ticket's plain record.
void build_ticket(std::span<std::uint8_t, kTicketPlainSize> out, const TicketFacts& facts) noexcept;
// The body's plain record around the plain Ticket, sealed with the server key.
void build_body(std::span<std::uint8_t, kBodyPlainSize> out, const TicketFacts& facts,
                std::span<const std::uint8_t, kTicketPlainSize> ticket,
                const seal::Schedule& server_key) noexcept;
// The AS_REP around the plain body, sealed with the client key.
void seal_as_rep(std::span<std::uint8_t, kAsRepSize> out,
                 std::span<const std::uint8_t, kBodyPlainSize> body,
                 const seal::Schedule& client_key) noexcept;

void build_authenticator(std::span<std::uint8_t, kAuthSize> out, const Id& client,
                         const Address& addr, std::uint32_t nonce) noexcept;
// The Ticket travels exactly as the body holds it: its length field copied as two raw bytes, and
// as many sealed bytes as that field says. The caller has checked the field against
// kTicketSealedSize.
void build_ap_req(std::span<std::uint8_t, kApReqSize> out,
                  std::span<const std::uint8_t, kBodySealedSize> body,
                  std::span<const std::uint8_t, kAuthSize> authenticator,
                  const seal::Schedule& session) noexcept;

// The nonce answer as "%d" text with its terminating zero; the length field follows the sealed
// length rule (a ten-character answer announces 14 and fills 16 sealed bytes).
void build_ap_rep(std::span<std::uint8_t, kApRepSize> out, std::int32_t answer,
                  const seal::Schedule& session) noexcept;

void build_app_data_req(std::span<std::uint8_t, kInnerSize> inner) noexcept;
// Data bytes beyond kChunkSize are not taken.
void build_app_data(std::span<std::uint8_t, kInnerSize> inner, std::uint16_t packet_id,
                    std::span<const std::uint8_t> chunk) noexcept;
void build_app_terminate(std::span<std::uint8_t, kInnerSize> inner, const Digest& digest) noexcept;
void build_krb_prv(std::span<std::uint8_t, kPrvSize> out,
                   std::span<const std::uint8_t, kInnerSize> inner,
                   const seal::Schedule& session) noexcept;

// ---- Decoders: pure functions of the zeroed receive area. ----

// AS_REP: unseals the body with the client key into a zeroed body area. A length field above 168
// does not fit the body area: false, and the client refuses the datagram as a wrong packet.
bool unseal_as_rep_body(RecvView rx, const seal::Schedule& client_key, BodyArea& body) noexcept;

struct ApReq {
    std::uint16_t ticket_length;
    std::uint16_t auth_length;
};
// The two length fields of an AP_REQ, or nullopt when either exceeds its area (104 and 48).
std::optional<ApReq> read_ap_req(RecvView rx) noexcept;
// Unseals the Ticket (server key) and the Authenticator (session key) of a checked AP_REQ into
// zeroed areas. The Authenticator is always taken from offset 110, whatever the ticket length.
void unseal_ticket(RecvView rx, const ApReq& req, const seal::Schedule& server_key,
                   TicketArea& ticket) noexcept;
void unseal_authenticator(RecvView rx, const ApReq& req, const seal::Schedule& session,
                          AuthArea& auth) noexcept;

// The number in an AP_REP answer: decimal text after optional white space and sign, read up to
// the first byte that is not a digit or the end of the unsealed length. nullopt when the length
// field exceeds the 32-byte answer area.
std::optional<std::int32_t> read_ap_rep_answer(RecvView rx, const seal::Schedule& session) noexcept;

// Unseals a KRB_PRV's inner message into a zeroed inner area. false when the length field
// exceeds 978, the size of the inner message.
bool unseal_krb_prv(RecvView rx, const seal::Schedule& session, Inner& inner) noexcept;

struct InnerView {
    std::uint16_t type;
    std::uint16_t data_length;
    std::uint16_t packet_id;
};
constexpr InnerView read_inner(const Inner& inner) noexcept {
    return {wire::load_be16(wire::at<kInnerType>(inner)),
            wire::load_be16(wire::at<kInnerDataLength>(inner)),
            wire::load_be16(wire::at<kInnerPid>(inner))};
}

}  // namespace ticket
