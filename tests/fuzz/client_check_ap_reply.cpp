// The client's reading of the reply to its AP_REQ, raw and with the answer region sealed first,
// for the seeds' nonce and for an expired session key.

#include "fuzz_support.h"
#include "steps.h"

namespace {

void decide(const ticket::RecvArea& rx, const seal::Schedule& session) {
    for (const std::uint32_t validity : {fuzz::kNow + 3600, fuzz::kNow}) {
        const client::ApReply r =
            client::check_ap_reply(rx, session, fuzz::kNonce, validity, fuzz::kNow);
        fuzz::consume(static_cast<std::uint32_t>(r.verdict));
        fuzz::consume(r.answer);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const seal::Schedule session = fuzz::schedule(fuzz::kSessionKey);
    return fuzz::raw_then_sealed<ticket::kApRepAnswerArea>(
        data, size, session, [](const ticket::RecvArea& rx) { decide(rx, session); });
}
