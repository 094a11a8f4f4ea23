// A PASS_RESP as the password server accepts it: the password bytes its length field names, and
// the field's text up to its first zero byte, as the debug line prints it.

#include "fuzz_support.h"
#include "pass_msg.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto rx = fuzz::receive_area<pass::kRecvSize>(data, size);
    const auto r = pass::decode_pass_resp(rx);
    if (!r) return 0;
    fuzz::consume(r->password.first(r->length));
    fuzz::consume(r->password.first(static_cast<std::size_t>(wire::text_length(r->password))));
    return 0;
}
