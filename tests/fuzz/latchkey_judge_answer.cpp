// latchkey's reading of the answer to each of its three PASS_RESPs.

#include "fuzz_support.h"
#include "steps.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto rx = fuzz::receive_area<pass::kRecvSize>(data, size);
    for (std::size_t offered = 1; offered <= latchkey::kPasswords; ++offered) {
        fuzz::consume(static_cast<std::uint32_t>(latchkey::judge_answer(rx, offered)));
    }
    return 0;
}
