// latchkey's reading of each datagram of the file loop, after id 0, after the last id there is,
// and right after the id the input carries, so the in-sequence path and its length bound are
// reached whatever id the input holds. The bytes it hands back are what the driver writes.

#include "fuzz_support.h"
#include "steps.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto rx = fuzz::receive_area<pass::kRecvSize>(data, size);
    const std::uint32_t carried = wire::load_be32(wire::at<pass::kPacketId>(rx));
    for (const std::uint32_t last : {0U, 0xffff'ffffU, carried - 1U}) {
        const latchkey::Step step = latchkey::next_piece(rx, last);
        fuzz::consume(static_cast<std::uint32_t>(step.piece));
        fuzz::consume(step.bytes);
    }
    return 0;
}
