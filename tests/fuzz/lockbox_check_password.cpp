// lockbox's reading of a PASS_RESP, and the text its debug line shows, for a configured password,
// an empty one and one longer than any length field may name.

#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "steps.h"

namespace {

lockbox::Settings configured(const char* password) {
    const char* argv[] = {"lockbox", "9000", password, "file"};
    return *lockbox::parse_args(4, argv);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string long_password(60, 'p');
    static const lockbox::Settings settings[] = {configured(fuzz::kPassword), configured(""),
                                                 configured(long_password.c_str())};
    const auto rx = fuzz::receive_area<pass::kRecvSize>(data, size);
    for (const auto& s : settings) {
        fuzz::consume(static_cast<std::uint32_t>(lockbox::check_password(rx, s)));
    }
    fuzz::consume(lockbox::shown_password(rx));
    return 0;
}
