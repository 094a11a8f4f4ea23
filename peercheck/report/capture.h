#pragma once
// A case's exchange as a capture file that Wireshark and tshark read: pcapng, one packet per
// datagram with real IPv4/UDP headers and the time it was seen.

#include <string>

#include "../result.h"

namespace peercheck::report {

// The whole pcapng file for one case, as bytes: one section whose comment names the case (id and
// title, and for a failure what was expected and observed), one raw-IPv4 interface with
// nanosecond timestamps, and one Enhanced Packet Block per kept datagram, stamped with the case's
// start plus the datagram's offset. The first packet's comment carries the long-term keys the
// case chose, in the form the dissector reads without any preference set:
//   "peercheck: tkxfer.client_key=0123456789abcdef tkxfer.server_key=fedcba9876543210"
// (each key only when the case chose one; no such comment when it chose none). Datagrams the log
// counted but did not keep are told in a comment on the packet that follows them (on the last
// packet when none follows). Endpoints of 0 (unknown) are written as 0.0.0.0 and port 0.
std::string pcapng(const CaseResult& c);

}  // namespace peercheck::report
