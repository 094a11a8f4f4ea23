#include "points.h"

#include "pass_msg.h"
#include "ticket_msg.h"

namespace peercheck {

namespace {

constexpr auto t16(ticket::Type t) { return static_cast<std::uint16_t>(t); }
constexpr auto p16(pass::Type t) { return static_cast<std::uint16_t>(t); }

// A client may refuse a length beyond its area or beyond what arrived, or cut it and go on.
constexpr LengthRule kAsRepLengths[] = {
    {Part::datagram, ticket::kAsRepLength, "length", ticket::kBodySealedSize, Beyond::choice},
    {Part::body, ticket::kBodyTicketLength, "ticket length", ticket::kTicketSealedSize,
     Beyond::choice},
};
constexpr LengthRule kApRepLengths[] = {
    // 8 unseals eight digits of a ten-digit answer: a wrong number.
    {Part::datagram, ticket::kApRepLength, "length", ticket::kAnswerAreaSize, Beyond::choice, 8},
};
constexpr LengthRule kAppDataLengths[] = {
    {Part::datagram, ticket::kPrvLength, "length", ticket::kInnerSize, Beyond::choice},
    {Part::inner, ticket::kInnerDataLength, "data length", ticket::kChunkSize, Beyond::choice},
};
constexpr LengthRule kTerminateLengths[] = {
    {Part::datagram, ticket::kPrvLength, "length", ticket::kInnerSize, Beyond::choice},
    {Part::inner, ticket::kInnerDataLength, "data length", 20, Beyond::ignore},
};
// A server may refuse or cut as well; the Authenticator is always read from its own offset.
constexpr LengthRule kApReqLengths[] = {
    {Part::datagram, ticket::kApReqTicketLength, "ticket length", ticket::kTicketSealedSize,
     Beyond::choice, 100},
    {Part::datagram, ticket::kApReqAuthLength, "Authenticator length", ticket::kAuthSize,
     Beyond::choice, 40},
};
constexpr LengthRule kKrbPrvLengths[] = {
    {Part::datagram, ticket::kPrvLength, "length", ticket::kInnerSize, Beyond::choice},
};
// The password protocol's length fields are 32 bits: a value whose low half looks right must
// still be read whole.
constexpr LengthRule kBareLengths[] = {
    {Part::datagram, pass::kLength, "length", 0, Beyond::refuse, 0x10000},
};
constexpr LengthRule kPassRespLengths[] = {
    {Part::datagram, pass::kLength, "length", pass::kMaxPasswordLength, Beyond::refuse,
     0x10000 + 10},
};
constexpr LengthRule kDataLengths[] = {
    {Part::datagram, pass::kLength, "length", pass::kChunkSize, Beyond::choice},
};
constexpr LengthRule kTerminateLength[] = {
    {Part::datagram, pass::kLength, "length", 20, Beyond::refuse, 0x14000000},
};

// "alice" and "files" in AS_REQ; "opensesame" in PASS_RESP.
constexpr std::size_t kAsReqContent[] = {ticket::kAsReqClientId.offset + kClientId.size(),
                                         ticket::kAsReqServerId.offset + kServerId.size()};
constexpr std::size_t kPassRespContent[] = {pass::kPassword.offset + kPassword.size()};

const Point kPoints[] = {
    {At::as_rep, Role::client, "as-rep", "AS_REP", t16(ticket::Type::AS_REP), ticket::kAsRepSize,
     ticket::kAsRepFields, ticket::kAsRepBody.offset, ticket::kBodyFields, kAsRepLengths},
    {At::ap_rep,
     Role::client,
     "ap-rep",
     "AP_REP",
     t16(ticket::Type::AP_REP),
     ticket::kApRepSize,
     ticket::kApRepFields,
     0,
     {},
     kApRepLengths},
    {At::app_data, Role::client, "app-data", "KRB_PRV holding APP_DATA", t16(ticket::Type::KRB_PRV),
     ticket::kPrvSize, ticket::kPrvFields, ticket::kPrvSealed.offset, ticket::kInnerFields,
     kAppDataLengths},
    {At::app_terminate, Role::client, "app-terminate", "KRB_PRV holding APP_TERMINATE",
     t16(ticket::Type::KRB_PRV), ticket::kPrvSize, ticket::kPrvFields, ticket::kPrvSealed.offset,
     ticket::kInnerFields, kTerminateLengths},
    {At::ap_req, Role::server, "ap-req", "AP_REQ", t16(ticket::Type::AP_REQ), ticket::kApReqSize,
     ticket::kApReqFields, ticket::kApReqAuth.offset, ticket::kAuthFields, kApReqLengths},
    {At::krb_prv, Role::server, "krb-prv", "the KRB_PRV asking for the file",
     t16(ticket::Type::KRB_PRV), ticket::kPrvSize, ticket::kPrvFields, ticket::kPrvSealed.offset,
     ticket::kInnerFields, kKrbPrvLengths},
    {At::as_req,
     Role::gatekeep,
     "as-req",
     "AS_REQ",
     t16(ticket::Type::AS_REQ),
     ticket::kAsReqSize,
     ticket::kAsReqFields,
     0,
     {},
     {},
     false,
     kAsReqContent},
    {At::join_req,
     Role::lockbox,
     "join-req",
     "JOIN_REQ",
     p16(pass::Type::JOIN_REQ),
     pass::kHeaderSize,
     pass::kBareFields,
     0,
     {},
     kBareLengths},
    {At::pass_resp,
     Role::lockbox,
     "pass-resp",
     "PASS_RESP",
     p16(pass::Type::PASS_RESP),
     pass::kPassRespSize,
     pass::kPassRespFields,
     0,
     {},
     kPassRespLengths,
     true,
     kPassRespContent},
    {At::pass_req,
     Role::latchkey,
     "pass-req",
     "PASS_REQ",
     p16(pass::Type::PASS_REQ),
     pass::kHeaderSize,
     pass::kBareFields,
     0,
     {},
     kBareLengths},
    {At::answer,
     Role::latchkey,
     "pass-accept",
     "PASS_ACCEPT",
     p16(pass::Type::PASS_ACCEPT),
     pass::kHeaderSize,
     pass::kBareFields,
     0,
     {},
     kBareLengths},
    {At::data,
     Role::latchkey,
     "data",
     "DATA",
     p16(pass::Type::DATA),
     pass::kDataSize,
     pass::kDataFields,
     0,
     {},
     kDataLengths,
     true},
    {At::terminate,
     Role::latchkey,
     "terminate",
     "TERMINATE",
     p16(pass::Type::TERMINATE),
     pass::kTerminateSize,
     pass::kTerminateFields,
     0,
     {},
     kTerminateLength},
};

}  // namespace

std::span<const Point> points_of(Role role) noexcept {
    const std::span<const Point> all(kPoints);
    std::size_t first = 0;
    while (first < all.size() && all[first].role != role) ++first;
    std::size_t last = first;
    while (last < all.size() && all[last].role == role) ++last;
    return all.subspan(first, last - first);
}

const Point& point(At at) noexcept {
    for (const Point& p : kPoints) {
        if (p.at == at) return p;
    }
    return kPoints[0];
}

std::string_view point_name(At at) noexcept {
    return at == At::none ? std::string_view{} : point(at).message;
}

}  // namespace peercheck
