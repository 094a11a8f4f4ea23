// The table of variants: what each one does differently from a careful implementation of its
// role. `standin --list` prints it as it stands here.

#include <algorithm>
#include <array>

#include "standin.h"

namespace standin {

namespace {

using enum Role;
using enum Kind;
using F = Fault;

constexpr Variant kVariants[] = {
    // ---- client ----
    {"conforming", client, conforming, F::none,
     "reference: refuses a length field beyond its area, refuses an ID over 40 characters"},
    {"slow-start", client, conforming, F::slow_start, "waits 2 s before it sends anything"},
    {"paced", client, conforming, F::paced, "waits 30 ms before every datagram it sends"},
    {"cut-lengths", client, conforming, F::cut_lengths,
     "cuts a length field beyond its area (AS_REP 168, ticket 104, AP_REP 32 or what arrived, "
     "KRB_PRV 978, data 972) to the area and goes on"},
    {"refuse-lengths", client, conforming, F::refuse_lengths,
     "refuses a datagram whose length field goes beyond its area: ABORT"},
    {"long-id-cut", client, conforming, F::long_id_cut,
     "cuts an ID argument longer than 40 characters to 40"},
    {"long-id-refused", client, conforming, F::long_id_refused,
     "refuses an ID argument longer than 40 characters at start-up: ABORT, nothing sent"},
    {"buffered-output", client, conforming, F::buffered_output,
     "keeps the data in memory and writes the output file when the transfer ends or fails"},
    {"abort-at-once", client, inert, F::abort_at_once, "prints ABORT and exits, sends nothing"},
    {"ok-empty-file", client, inert, F::ok_empty_file,
     "creates an empty output file, prints OK, sends nothing"},
    {"silent", client, inert, F::silent, "sends AS_REQ, then exits printing nothing"},
    {"crash-short-as-rep", client, fault, F::crash_short_as_rep,
     "reads 172 bytes of a shorter AS_REP from a buffer of the received size: exit status 1, "
     "no result line"},
    {"no-server-id-check", client, fault, F::no_server_id_check,
     "does not compare the AS_REP body's server ID"},
    {"server-id-strncmp", client, fault, F::server_id_strncmp,
     "compares the server ID only up to its first zero byte"},
    {"expiry-off-by-one", client, fault, F::expiry_off_by_one,
     "takes a key whose timestamp + lifetime equals now as still valid"},
    {"timestamp-network-order", client, fault, F::timestamp_network_order,
     "reads the AS_REP body's timestamp most significant byte first"},
    {"nonce-big-endian", client, fault, F::nonce_big_endian,
     "writes the nonce most significant byte first"},
    {"address-reversed", client, fault, F::address_reversed,
     "writes the Authenticator's address bytes in reverse order"},
    {"auth-id-not-cleared", client, fault, F::auth_id_not_cleared,
     "builds the Authenticator over the received AS_REP: the ID field keeps stale bytes after "
     "the ID's zero"},
    {"iv-chained", client, fault, F::iv_chained,
     "carries the CBC state of one seal into the next instead of starting from the protocol IV"},
    {"auth-length-rounded", client, fault, F::auth_length_rounded,
     "announces the Authenticator with length field 52"},
    {"prv-length-984", client, fault, F::prv_length_984, "writes KRB_PRV length field 984"},
    {"accepts-any-answer", client, fault, F::accepts_any_answer, "does not check the nonce answer"},
    {"answer-compared-to-nonce", client, fault, F::answer_compared_to_nonce,
     "accepts an answer of the nonce itself as well as nonce + 1"},
    {"no-ap-err", client, fault, F::no_ap_err,
     "ends on a wrong nonce answer without sending AP_ERR"},
    {"ap-err-auth-id", client, fault, F::ap_err_auth_id,
     "puts the Authenticator's client ID (as -T2 sets it) in AP_ERR, not the command-line one"},
    {"accepts-repeated-id", client, fault, F::accepts_repeated_id,
     "accepts a packet id that is not below the last one (a repeat, a gap, a first 0)"},
    {"no-id-check", client, fault, F::no_id_check, "does not check packet ids"},
    {"id-counter-8-bit", client, fault, F::id_counter_8_bit,
     "keeps the last packet id in 8 bits: refuses id 257"},
    {"no-envelope-expiry", client, fault, F::no_envelope_expiry,
     "checks the session key's validity at AS_REP and AP_REP only, not on envelopes"},
    {"data-length-unbounded", client, fault, F::data_length_unbounded,
     "writes as many bytes as the data length says, beyond the 972-byte data area"},
    {"output-not-truncated", client, fault, F::output_not_truncated,
     "opens the output file without emptying it: a longer old file keeps its tail"},
    {"output-unchecked", client, fault, F::output_unchecked,
     "does not check that the output file opened: the first chunk written through nothing crashes"},
    {"output-opened-early", client, fault, F::output_opened_early,
     "creates or empties the output file at start-up, before AS_REQ"},
    {"digest-strcmp", client, fault, F::digest_strcmp,
     "compares the digests only up to a zero byte"},
    {"ok-on-mismatch", client, fault, F::ok_on_mismatch, "prints OK after a digest mismatch"},
    {"plain-abort-on-mismatch", client, fault, F::plain_abort_on_mismatch,
     "prints ABORT without the empty line after a digest mismatch"},
    {"exit-1-on-failure", client, fault, F::exit_1_on_failure, "exits with status 1 after ABORT"},
    {"as-req-82-bytes", client, fault, F::as_req_82_bytes,
     "sends AS_REQ without its six trailing zero bytes"},
    {"answer-unsigned", client, fault, F::answer_unsigned,
     "reads the nonce answer as unsigned 64-bit: a negative answer never matches"},
    {"ticket-fixed-104", client, fault, F::ticket_fixed_104,
     "copies 104 Ticket bytes and writes ticket length 104 whatever the body says"},

    // ---- server ----
    {"conforming", server, conforming, F::none,
     "reference: refuses a length field beyond its area"},
    {"slow-start", server, conforming, F::slow_start, "waits 2 s before it binds its port"},
    {"paced", server, conforming, F::paced, "waits 30 ms before every datagram it sends"},
    {"cut-lengths", server, conforming, F::cut_lengths,
     "cuts a length field beyond its area (ticket 104, Authenticator 48, KRB_PRV 978) to the "
     "area and goes on"},
    {"refuse-lengths", server, conforming, F::refuse_lengths,
     "refuses a datagram whose length field goes beyond its area: ABORT"},
    {"answer-padding", server, conforming, F::answer_padding,
     "fills the sealed bytes after the nonce answer's terminating zero with 0x5A"},
    {"bind-and-wait", server, inert, F::bind_and_wait, "binds its port and never answers"},
    {"exit-at-once", server, inert, F::exit_at_once, "prints ABORT and exits"},
    {"ap-rep-length-rounded", server, fault, F::ap_rep_length_rounded,
     "writes the sealed size as AP_REP length field (16 for a ten-digit answer)"},
    {"answer-is-nonce", server, fault, F::answer_is_nonce, "answers the nonce without + 1"},
    {"answer-unsigned", server, fault, F::answer_unsigned, "writes the answer with %u"},
    {"file-to-ap-req-source", server, fault, F::file_to_ap_req_source,
     "sends the file and APP_TERMINATE to the AP_REQ's source, not the KRB_PRV's"},
    {"ids-not-reset", server, fault, F::ids_not_reset,
     "does not restart packet ids at 1 for the next client"},
    {"file-read-once", server, fault, F::file_read_once,
     "reads the file into memory at start-up and serves that copy to every client"},
    {"digest-once", server, fault, F::digest_once, "computes the file's digest at start-up"},
    {"file-not-closed", server, fault, F::file_not_closed,
     "never closes the file it serves: it runs out of descriptors after some hundred clients"},
    {"client-id-strncmp", server, fault, F::client_id_strncmp,
     "compares the client IDs only up to the first zero byte"},
    {"no-address-check", server, fault, F::no_address_check,
     "does not compare the Ticket's and the Authenticator's addresses"},
    {"ticket-timestamp-network-order", server, fault, F::ticket_timestamp_network_order,
     "reads the Ticket's timestamp most significant byte first"},
    {"expiry-off-by-one", server, fault, F::expiry_off_by_one,
     "takes a key whose timestamp + lifetime equals now as still valid"},
    {"iv-chained", server, fault, F::iv_chained,
     "carries the CBC state of one seal into the next instead of starting from the protocol IV"},
    {"prv-length-984", server, fault, F::prv_length_984, "writes KRB_PRV length field 984"},
    {"data-not-cleared", server, fault, F::data_not_cleared,
     "does not clear the inner message between chunks: a short last chunk carries old bytes"},
    {"terminate-fields", server, fault, F::terminate_fields,
     "sends APP_TERMINATE with packet id last + 1 and data length 0"},
    {"no-expiry-at-request", server, fault, F::no_expiry_at_request,
     "does not check the session key's validity again when KRB_PRV arrives"},
    {"serves-any-inner-type", server, fault, F::serves_any_inner_type,
     "sends the file whatever the KRB_PRV's inner type"},
    {"stops-after-one", server, fault, F::stops_after_one, "exits after the first client"},
    {"auth-after-ticket", server, fault, F::auth_after_ticket,
     "takes the Authenticator from offset 6 + ticket length instead of 110"},
    {"ap-err-with-id", server, fault, F::ap_err_with_id,
     "puts the Authenticator's client ID in its AP_ERR"},
    {"no-ap-err", server, fault, F::no_ap_err, "refuses a client without sending AP_ERR"},
    {"extra-empty-chunk", server, fault, F::extra_empty_chunk,
     "always ends the file with an empty APP_DATA, whatever its size"},
    {"missing-empty-chunk", server, fault, F::missing_empty_chunk,
     "sends no empty APP_DATA when the file's size is a multiple of 972 (an empty file: none)"},
    {"id-8-bit", server, fault, F::id_8_bit,
     "keeps the packet id in 8 bits: the 256th chunk goes out with id 0"},

    // ---- gatekeep ----
    {"conforming", gatekeep, conforming, F::none,
     "reference: refuses an ID over 40 characters at start-up"},
    {"slow-start", gatekeep, conforming, F::slow_start, "waits 2 s before it binds its port"},
    {"paced", gatekeep, conforming, F::paced, "waits 30 ms before every datagram it sends"},
    {"long-id-cut", gatekeep, conforming, F::long_id_cut,
     "cuts an ID argument longer than 40 characters to 40"},
    {"long-id-refused", gatekeep, conforming, F::long_id_refused,
     "refuses an ID argument longer than 40 characters at start-up: ABORT"},
    {"ticket-holds-received-id", gatekeep, conforming, F::ticket_holds_received_id,
     "puts the AS_REQ's client ID field in the Ticket (once checked, the same 40 bytes)"},
    {"bind-and-wait", gatekeep, inert, F::bind_and_wait, "binds its port and never answers"},
    {"exit-at-once", gatekeep, inert, F::exit_at_once, "prints ABORT and exits"},
    {"reply-to-fixed-port", gatekeep, fault, F::reply_to_fixed_port,
     "answers every AS_REQ to the source of the first one"},
    {"same-session-key", gatekeep, fault, F::same_session_key,
     "makes one session key at start-up and hands it out every time"},
    {"ticket-address-fixed", gatekeep, fault, F::ticket_address_fixed,
     "puts 127.0.0.1 in every Ticket, not the AS_REQ's source address"},
    {"ticket-address-reversed", gatekeep, fault, F::ticket_address_reversed,
     "puts the source address in the Ticket with its bytes reversed"},
    {"timestamp-network-order", gatekeep, fault, F::timestamp_network_order,
     "writes the timestamps most significant byte first"},
    {"lifetime-little-endian", gatekeep, fault, F::lifetime_little_endian,
     "writes the lifetime least significant byte first"},
    {"ticket-length-rounded", gatekeep, fault, F::ticket_length_rounded,
     "writes ticket length 108 in the AS_REP body"},
    {"as-rep-length-164", gatekeep, fault, F::as_rep_length_164,
     "writes AS_REP length field 164 (the plain length)"},
    {"id-strncmp", gatekeep, fault, F::id_strncmp,
     "compares the IDs only up to the first zero byte"},
    {"as-err-configured-id", gatekeep, fault, F::as_err_configured_id,
     "puts its own client ID in AS_ERR, not the received field"},
    {"as-err-short", gatekeep, fault, F::as_err_short, "sends AS_ERR of 40 bytes"},
    {"keeps-serving-after-as-err", gatekeep, fault, F::keeps_serving_after_as_err,
     "goes on serving after AS_ERR, printing nothing"},
    {"iv-chained", gatekeep, fault, F::iv_chained,
     "carries the CBC state of one seal into the next instead of starting from the protocol IV"},
    {"keys-swapped", gatekeep, fault, F::keys_swapped,
     "seals the Ticket with the client key and the body with the server key"},
    {"accepts-any-type", gatekeep, fault, F::accepts_any_type, "answers any datagram as an AS_REQ"},

    // ---- lockbox ----
    {"conforming", lockbox, conforming, F::none,
     "reference: receives a repeated PASS_RESP into a cleared area"},
    {"slow-start", lockbox, conforming, F::slow_start, "waits 2 s before it binds its port"},
    {"paced", lockbox, conforming, F::paced, "waits 30 ms before every datagram it sends"},
    {"cleared-repeat", lockbox, conforming, F::cleared_repeat,
     "clears its receive area before a repeated PASS_RESP"},
    {"uncleared-repeat", lockbox, conforming, F::uncleared_repeat,
     "receives a repeated PASS_RESP over the previous one, uncleared"},
    {"bind-and-wait", lockbox, inert, F::bind_and_wait, "binds its port and never answers"},
    {"exit-at-once", lockbox, inert, F::exit_at_once, "prints ABORT and exits"},
    {"prefix-password", lockbox, fault, F::prefix_password,
     "compares as many bytes as the received length says: every prefix, the empty one too, "
     "is accepted"},
    {"ignores-length", lockbox, fault, F::ignores_length,
     "compares the password's bytes but not the length field"},
    {"case-insensitive", lockbox, fault, F::case_insensitive,
     "compares passwords regardless of case"},
    {"attempts-not-reset", lockbox, fault, F::attempts_not_reset,
     "counts wrong passwords across sessions"},
    {"four-attempts", lockbox, fault, F::four_attempts,
     "rejects only after the fourth wrong password"},
    {"two-attempts", lockbox, fault, F::two_attempts, "rejects after the second wrong password"},
    {"no-pass-reject", lockbox, fault, F::no_pass_reject,
     "ends after the third wrong password without PASS_REJECT"},
    {"data-not-cleared", lockbox, fault, F::data_not_cleared,
     "does not clear the DATA buffer between sends: a short last DATA carries old bytes"},
    {"data-length-little-endian", lockbox, fault, F::data_length_little_endian,
     "writes DATA length fields least significant byte first"},
    {"id-16-bit", lockbox, fault, F::id_16_bit,
     "converts the packet id with 16-bit htons into the 32-bit field: id 1 reads 65536"},
    {"terminate-length-28", lockbox, fault, F::terminate_length_28,
     "writes TERMINATE length field 28"},
    {"file-opened-once", lockbox, fault, F::file_opened_once,
     "opens the file at start-up and reuses the stream: a second client gets no data"},
    {"digest-once", lockbox, fault, F::digest_once, "computes the file's digest at start-up"},
    {"file-not-closed", lockbox, fault, F::file_not_closed,
     "never closes the file it serves: it runs out of descriptors after some hundred clients"},
    {"reply-to-join-source", lockbox, fault, F::reply_to_join_source,
     "sends everything to the JOIN_REQ's source, not the last datagram's"},
    {"join-length-ignored", lockbox, fault, F::join_length_ignored,
     "accepts a JOIN_REQ with a non-zero length field"},
    {"join-type-unchecked", lockbox, fault, F::join_type_unchecked,
     "accepts an opening of any type with length field 0 (type 12 too)"},
    {"long-length-accepted", lockbox, fault, F::long_length_accepted,
     "takes a PASS_RESP with a length field above 50 as a wrong password"},
    {"stops-after-one", lockbox, fault, F::stops_after_one, "exits after the first client"},
    {"extra-empty-data", lockbox, fault, F::extra_empty_data,
     "always ends the file with an empty DATA, whatever its size"},
    {"missing-empty-data", lockbox, fault, F::missing_empty_data,
     "sends no empty DATA when the file's size is a multiple of 1000 (an empty file: none)"},

    // ---- latchkey ----
    {"conforming", latchkey, conforming, F::none,
     "reference: clears its receive area before every receive, refuses a DATA length over "
     "1000, ABORT on a fourth PASS_REQ"},
    {"slow-start", latchkey, conforming, F::slow_start, "waits 2 s before it sends anything"},
    {"paced", latchkey, conforming, F::paced, "waits 30 ms before every datagram it sends"},
    {"cut-lengths", latchkey, conforming, F::cut_lengths,
     "cuts a DATA length field over 1000 to 1000 and goes on"},
    {"refuse-lengths", latchkey, conforming, F::refuse_lengths,
     "refuses a DATA length field over 1000: ABORT"},
    {"cleared-area", latchkey, conforming, F::cleared_area,
     "clears its receive area before every receive"},
    {"uncleared-area", latchkey, conforming, F::uncleared_area,
     "clears its receive area only once, after PASS_ACCEPT"},
    {"fourth-req-waits", latchkey, conforming, F::fourth_req_waits,
     "on a PASS_REQ after the third password offers nothing and keeps waiting"},
    {"buffered-output", latchkey, conforming, F::buffered_output,
     "keeps the data in memory and writes the output file when the transfer ends or fails"},
    {"abort-at-once", latchkey, inert, F::abort_at_once, "prints ABORT and exits, sends nothing"},
    {"ok-empty-file", latchkey, inert, F::ok_empty_file,
     "creates an empty output file, prints OK, sends nothing"},
    {"silent", latchkey, inert, F::silent, "sends JOIN_REQ, then exits printing nothing"},
    {"first-req-length-ignored", latchkey, fault, F::first_req_length_ignored,
     "accepts a first PASS_REQ with a non-zero length field"},
    {"pass-req-type-unchecked", latchkey, fault, F::pass_req_type_unchecked,
     "takes any first reply with length field 0 as PASS_REQ (type 12 too)"},
    {"resp-length-52", latchkey, fault, F::resp_length_52, "writes PASS_RESP length field 52"},
    {"resp-with-zero", latchkey, fault, F::resp_with_zero,
     "counts a terminating zero in the PASS_RESP length"},
    {"resp-not-cleared", latchkey, fault, F::resp_not_cleared,
     "does not clear PASS_RESP between passwords: a longer earlier one's bytes stay behind"},
    {"passwords-out-of-order", latchkey, fault, F::passwords_out_of_order,
     "offers the passwords last first"},
    {"fourth-password", latchkey, fault, F::fourth_password,
     "offers the first password again after the third"},
    {"accepts-repeated-id", latchkey, fault, F::accepts_repeated_id,
     "accepts a packet id that is not below the last one (a repeat, a gap, a first 0)"},
    {"no-id-check", latchkey, fault, F::no_id_check, "does not check packet ids"},
    {"id-16-bit", latchkey, fault, F::id_16_bit,
     "keeps the last packet id in 16 bits: refuses id 65537"},
    {"terminate-length-ignored", latchkey, fault, F::terminate_length_ignored,
     "does not check TERMINATE's length field"},
    {"digest-strcmp", latchkey, fault, F::digest_strcmp,
     "compares the digests only up to a zero byte"},
    {"ok-on-mismatch", latchkey, fault, F::ok_on_mismatch, "prints OK after a digest mismatch"},
    {"output-not-truncated", latchkey, fault, F::output_not_truncated,
     "opens the output file without emptying it: a longer old file keeps its tail"},
    {"output-unchecked", latchkey, fault, F::output_unchecked,
     "does not check that the output file opened: the first chunk written through nothing crashes"},
    {"output-opened-early", latchkey, fault, F::output_opened_early,
     "creates or empties the output file at start-up, before JOIN_REQ"},
    {"data-length-unbounded", latchkey, fault, F::data_length_unbounded,
     "writes as many bytes as the length field says, beyond the 1000-byte data area"},
    {"exit-1-on-failure", latchkey, fault, F::exit_1_on_failure, "exits with status 1 after ABORT"},
    {"join-type-12", latchkey, fault, F::join_type_12, "opens with type 12 instead of JOIN_REQ"},
};

constexpr std::array<std::string_view, 5> kRoleNames = {"client", "server", "gatekeep", "lockbox",
                                                        "latchkey"};

}  // namespace

std::span<const Variant> variants() noexcept { return kVariants; }

std::string_view role_name(Role role) noexcept {
    return kRoleNames[static_cast<std::size_t>(role)];
}

std::string_view kind_name(Kind kind) noexcept {
    switch (kind) {
        case Kind::conforming:
            return "conforming";
        case Kind::inert:
            return "inert";
        case Kind::fault:
            return "fault";
    }
    return "";
}

std::optional<Role> parse_role(std::string_view name) noexcept {
    const auto* it = std::ranges::find(kRoleNames, name);
    if (it == kRoleNames.end()) return std::nullopt;
    return static_cast<Role>(it - kRoleNames.begin());
}

const Variant* find_variant(Role role, std::string_view name) noexcept {
    const auto* it = std::ranges::find_if(
        kVariants, [&](const Variant& v) { return v.role == role && v.name == name; });
    return it == std::end(kVariants) ? nullptr : it;
}

}  // namespace standin
