// latchkey's reading of the first datagram after PASS_ACCEPT.

#include "fuzz_support.h"
#include "steps.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto rx = fuzz::receive_area<pass::kRecvSize>(data, size);
    fuzz::consume(latchkey::is_data(rx) ? 1U : 0U);
    return 0;
}
