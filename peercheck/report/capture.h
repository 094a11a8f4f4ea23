#pragma once
// A case's exchange as a capture file that Wireshark and tshark read: pcapng, one packet per
// datagram with real IPv4/UDP headers and the time it was seen.

#include <string>

#include "../result.h"

namespace peercheck::report {

// The whole pcapng file for one case, as bytes.
std::string pcapng(const CaseResult& c);

}  // namespace peercheck::report
