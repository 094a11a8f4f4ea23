// The server's reading of an AP_REQ, raw and with both sealed regions sealed first (the plain
// Ticket names the session key the plain Authenticator is sealed with), at a time inside the
// seeds' validity and at the last second of 32-bit time.

#include "fuzz_support.h"
#include "steps.h"

namespace {

void decide(const ticket::RecvArea& rx, const seal::Schedule& server_key) {
    for (const std::uint32_t now : {fuzz::kNow, 0xffff'ffffU}) {
        const server::ApReqCheck c = server::check_ap_req(rx, server_key, now);
        fuzz::consume(static_cast<std::uint32_t>(c.verdict));
        if (c.verdict == server::ApReqVerdict::wrong_client) {
            // The debug line prints both IDs as text.
            const auto expected = wire::at<ticket::kTkClientId>(c.ticket);
            const auto got = wire::at<ticket::kAuthClientId>(c.auth);
            fuzz::consume(expected.first(static_cast<std::size_t>(wire::text_length(expected))));
            fuzz::consume(got.first(static_cast<std::size_t>(wire::text_length(got))));
        }
        if (c.verdict == server::ApReqVerdict::accepted) {
            fuzz::consume(static_cast<std::uint32_t>(server::nonce_answer(c.nonce, -2)));
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const seal::Schedule server_key = fuzz::schedule(fuzz::kServerKey);
    return fuzz::raw_then_sealed_ap_req(data, size, server_key,
                                        [](const ticket::RecvArea& rx) { decide(rx, server_key); });
}
