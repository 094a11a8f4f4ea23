// lockbox-badreq's reading of any datagram in its loop, and the text its debug line shows.

#include "fuzz_support.h"
#include "steps.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const char* argv[] = {"lockbox", "9000", fuzz::kPassword, "file"};
    static const lockbox::Settings s = *lockbox::parse_args(4, argv);
    const auto rx = fuzz::receive_area<pass::kRecvSize>(data, size);
    const lockbox::Datagram d = lockbox::classify_any(rx, s);
    fuzz::consume(static_cast<std::uint32_t>(d));
    if (d == lockbox::Datagram::right_password || d == lockbox::Datagram::wrong_password) {
        fuzz::consume(lockbox::shown_password(rx));
    }
    return 0;
}
