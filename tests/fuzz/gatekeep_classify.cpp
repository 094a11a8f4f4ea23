// gatekeep's decision on a received datagram: AS_REQ for its client and server, wrong IDs, or
// something else. The ID fields are also measured as the debug lines print them.

#include "fuzz_support.h"
#include "steps.h"
#include "ticket_msg.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const ticket::Id client = *ticket::make_id(fuzz::kClientId);
    static const ticket::Id server = *ticket::make_id(fuzz::kServerId);
    const auto rx = fuzz::receive_area<ticket::kRecvSize>(data, size);
    const gatekeep::Request r = gatekeep::classify(rx, client, server);
    if (r == gatekeep::Request::wrong_ids) {
        const auto got_client = wire::at<ticket::kAsReqClientId>(rx);
        const auto got_server = wire::at<ticket::kAsReqServerId>(rx);
        fuzz::consume(got_client.first(static_cast<std::size_t>(wire::text_length(got_client))));
        fuzz::consume(got_server.first(static_cast<std::size_t>(wire::text_length(got_server))));
    }
    fuzz::consume(static_cast<std::uint32_t>(r));
    return 0;
}
