// The AP_REQ's length fields, then the Ticket (server key) and the Authenticator (the Ticket's
// session key), read raw and with both sealed regions sealed first.

#include "fuzz_support.h"
#include "ticket_msg.h"

namespace {

void decide(const ticket::RecvArea& rx, const seal::Schedule& server_key) {
    const auto req = ticket::read_ap_req(rx);
    if (!req) return;
    ticket::TicketArea tk{};
    ticket::unseal_ticket(rx, *req, server_key, tk);
    seal::Schedule session;
    if (seal::make_schedule(wire::at<ticket::kTkSessionKey>(tk), session) != 0) return;
    ticket::AuthArea auth{};
    ticket::unseal_authenticator(rx, *req, session, auth);
    fuzz::consume(auth);
    fuzz::consume(tk);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const seal::Schedule server_key = fuzz::schedule(fuzz::kServerKey);
    return fuzz::raw_then_sealed_ap_req(data, size, server_key,
                                        [](const ticket::RecvArea& rx) { decide(rx, server_key); });
}
