// A KRB_PRV's inner message unsealed with the session key and its three header fields, read raw
// and with the sealed region sealed first.

#include "fuzz_support.h"
#include "ticket_msg.h"

namespace {

void decide(const ticket::RecvArea& rx, const seal::Schedule& session) {
    ticket::Inner inner{};
    if (!ticket::unseal_krb_prv(rx, session, inner)) return;
    const ticket::InnerView v = ticket::read_inner(inner);
    fuzz::consume(v.type);
    fuzz::consume(v.packet_id);
    fuzz::consume(wire::at<ticket::kInnerData>(inner));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const seal::Schedule session = fuzz::schedule(fuzz::kSessionKey);
    return fuzz::raw_then_sealed<ticket::kPrvSealed>(
        data, size, session, [](const ticket::RecvArea& rx) { decide(rx, session); });
}
