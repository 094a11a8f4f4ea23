// The client's reading of each datagram of the transfer, raw and with the sealed region sealed
// first. Each reading is judged after id 0 and again right after the id it carries, so that the
// in-sequence path and its data-length bound are reached whatever id the input holds.

#include "fuzz_support.h"
#include "steps.h"

namespace {

void judge(const ticket::RecvArea& rx, const seal::Schedule& session, std::uint16_t last_id) {
    ticket::Inner inner{};
    const client::Envelope e =
        client::check_envelope(rx, session, fuzz::kNow + 3600, fuzz::kNow, last_id, inner);
    fuzz::consume(static_cast<std::uint32_t>(e.verdict));
    // What the driver writes for an APP_DATA and compares for an APP_TERMINATE.
    if (e.verdict == client::EnvelopeVerdict::app_data) {
        fuzz::consume(wire::at<ticket::kInnerData>(inner).first(e.data_length));
    }
    if (e.verdict == client::EnvelopeVerdict::app_terminate) {
        fuzz::consume(wire::at<ticket::kInnerDigest>(inner));
    }
}

void decide(const ticket::RecvArea& rx, const seal::Schedule& session) {
    judge(rx, session, 0);
    ticket::Inner inner{};
    const client::Envelope e =
        client::check_envelope(rx, session, fuzz::kNow + 3600, fuzz::kNow, 0, inner);
    if (e.verdict == client::EnvelopeVerdict::out_of_sequence) {
        judge(rx, session, static_cast<std::uint16_t>(e.packet_id - 1U));
    }
    // An expired session key is judged before anything is unsealed.
    const client::Envelope late =
        client::check_envelope(rx, session, fuzz::kNow, fuzz::kNow, 0, inner);
    fuzz::consume(static_cast<std::uint32_t>(late.verdict));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const seal::Schedule session = fuzz::schedule(fuzz::kSessionKey);
    return fuzz::raw_then_sealed<ticket::kPrvSealed>(
        data, size, session, [](const ticket::RecvArea& rx) { decide(rx, session); });
}
