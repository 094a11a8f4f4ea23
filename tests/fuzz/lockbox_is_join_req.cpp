// lockbox's reading of the datagram that opens a session.

#include "fuzz_support.h"
#include "steps.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto rx = fuzz::receive_area<pass::kRecvSize>(data, size);
    fuzz::consume(lockbox::is_join_req(rx) ? 1U : 0U);
    return 0;
}
