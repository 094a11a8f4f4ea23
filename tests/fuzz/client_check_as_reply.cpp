// The client's reading of the reply to its AS_REQ, raw and with the body region sealed first, at
// a time inside the seeds' validity and at the last second of 32-bit time.

#include "fuzz_support.h"
#include "steps.h"

namespace {

void decide(const ticket::RecvArea& rx, const seal::Schedule& client_key,
            const ticket::Id& server) {
    for (const std::uint32_t now : {fuzz::kNow, 0xffff'ffffU}) {
        ticket::BodyArea area{};
        const client::AsReply r = client::check_as_reply(rx, client_key, server, now, area);
        const ticket::BodyArea& body = area;
        fuzz::consume(static_cast<std::uint32_t>(r.verdict));
        if (r.verdict == client::AsVerdict::wrong_server_id) {
            const auto id = wire::at<ticket::kBodyServerId>(body);
            fuzz::consume(id.first(static_cast<std::size_t>(wire::text_length(id))));
        }
        if (r.verdict == client::AsVerdict::accepted) {
            // What the AP_REQ then carries: the ticket length field's count of sealed bytes.
            const auto n = wire::load_be16(wire::at<ticket::kBodyTicketLength>(body));
            fuzz::consume(wire::at<ticket::kBodyTicket>(body).first(n));
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const seal::Schedule client_key = fuzz::schedule(fuzz::kClientKey);
    static const ticket::Id server = *ticket::make_id(fuzz::kServerId);
    return fuzz::raw_then_sealed<ticket::kAsRepBody>(
        data, size, client_key, [](const ticket::RecvArea& rx) { decide(rx, client_key, server); });
}
