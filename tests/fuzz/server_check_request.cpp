// The server's reading of the datagram after its AP_REP, raw and with the sealed region sealed
// first, with a valid and an expired session key.

#include "fuzz_support.h"
#include "steps.h"

namespace {

void decide(const ticket::RecvArea& rx, const seal::Schedule& session) {
    for (const std::uint32_t validity : {fuzz::kNow + 3600, fuzz::kNow}) {
        ticket::Inner inner{};
        const server::RequestCheck c =
            server::check_request(rx, session, validity, fuzz::kNow, inner);
        fuzz::consume(static_cast<std::uint32_t>(c.verdict));
        fuzz::consume(c.type);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const seal::Schedule session = fuzz::schedule(fuzz::kSessionKey);
    return fuzz::raw_then_sealed<ticket::kPrvSealed>(
        data, size, session, [](const ticket::RecvArea& rx) { decide(rx, session); });
}
