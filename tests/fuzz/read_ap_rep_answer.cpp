// The number in an AP_REP answer, unsealed with the session key, read raw and with the answer
// region sealed first.

#include "fuzz_support.h"
#include "ticket_msg.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const seal::Schedule session = fuzz::schedule(fuzz::kSessionKey);
    return fuzz::raw_then_sealed<ticket::kApRepAnswerArea>(
        data, size, session, [](const ticket::RecvArea& rx) {
            if (const auto n = ticket::read_ap_rep_answer(rx, session))
                fuzz::consume(static_cast<std::uint32_t>(*n));
        });
}
