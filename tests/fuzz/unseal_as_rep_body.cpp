// The AS_REP body unsealed with the client key, read raw and with the body region sealed first.

#include "fuzz_support.h"
#include "ticket_msg.h"

namespace {

void decide(const ticket::RecvArea& rx, const seal::Schedule& client_key) {
    ticket::BodyArea area{};
    if (!ticket::unseal_as_rep_body(rx, client_key, area)) return;
    const ticket::BodyArea& body = area;
    seal::Schedule session;
    fuzz::consume(static_cast<std::uint32_t>(
        seal::make_schedule(wire::at<ticket::kBodySessionKey>(body), session)));
    const auto server = wire::at<ticket::kBodyServerId>(body);
    fuzz::consume(server.first(static_cast<std::size_t>(wire::text_length(server))));
    fuzz::consume(wire::load_le32(wire::at<ticket::kBodyTimestamp>(body)));
    fuzz::consume(wire::load_be16(wire::at<ticket::kBodyTicketLength>(body)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const seal::Schedule client_key = fuzz::schedule(fuzz::kClientKey);
    return fuzz::raw_then_sealed<ticket::kAsRepBody>(
        data, size, client_key, [](const ticket::RecvArea& rx) { decide(rx, client_key); });
}
