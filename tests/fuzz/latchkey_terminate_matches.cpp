// latchkey's comparison of a TERMINATE with the digest of the file it wrote.

#include "fuzz_support.h"
#include "steps.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const pass::Digest written = [] {
        pass::Digest d{};
        for (std::size_t i = 0; i < d.size(); ++i) d[i] = static_cast<std::uint8_t>(0x30 + i);
        return d;
    }();
    const auto rx = fuzz::receive_area<pass::kRecvSize>(data, size);
    fuzz::consume(latchkey::terminate_matches(rx, written) ? 1U : 0U);
    return 0;
}
