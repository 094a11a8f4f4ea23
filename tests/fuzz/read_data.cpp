// The header of any password-protocol datagram and the fields of a DATA.

#include "fuzz_support.h"
#include "pass_msg.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto rx = fuzz::receive_area<pass::kRecvSize>(data, size);
    const pass::Header h = pass::read_header(rx);
    fuzz::consume(h.length);
    if (!pass::is(h, pass::Type::DATA)) return 0;
    const pass::Data d = pass::read_data(rx);
    fuzz::consume(d.packet_id);
    fuzz::consume(d.data);
    return 0;
}
