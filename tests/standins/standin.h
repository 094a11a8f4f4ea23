#pragma once
// Implementations of every role, each wrong in one realistic way or conforming in a way of its
// own, for testing the conformance runner: a runner that passes a faulty one has missed a fault,
// and a runner that fails a conforming one blames a choice the protocol allows.
//
//   standin ROLE VARIANT ARGS...   ARGS as the ordinary program of that role takes them
//   standin --list                 every variant: name, role, kind, what it does differently
//
// Each role is written once (client.cpp, server.cpp, gatekeep.cpp, lockbox.cpp, latchkey.cpp).
// A variant is a switch consulted at the one place where its fault or its choice lives. None of
// them prints debug lines; the result lines are exact.

#include <netinet/in.h>
#include <openssl/des.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "seal.h"
#include "ticket_msg.h"
#include "udp.h"

namespace standin {

enum class Role { client, server, gatekeep, lockbox, latchkey };
enum class Kind { conforming, inert, fault };

// One enumerator per behaviour; a name that several roles share means the same mistake made at
// each role's own place.
enum class Fault {
    none,
    // Conforming choices and pacing.
    slow_start,
    paced,
    cut_lengths,
    refuse_lengths,
    long_id_cut,
    long_id_refused,
    buffered_output,
    cleared_area,
    uncleared_area,
    fourth_req_waits,
    cleared_repeat,
    uncleared_repeat,
    answer_padding,
    ticket_holds_received_id,
    // Inert.
    abort_at_once,
    ok_empty_file,
    silent,
    bind_and_wait,
    exit_at_once,
    // Faults, ticket protocol.
    crash_short_as_rep,
    no_server_id_check,
    server_id_strncmp,
    expiry_off_by_one,
    timestamp_network_order,
    nonce_big_endian,
    address_reversed,
    auth_id_not_cleared,
    iv_chained,
    auth_length_rounded,
    prv_length_984,
    accepts_any_answer,
    answer_compared_to_nonce,
    no_ap_err,
    ap_err_auth_id,
    accepts_repeated_id,
    no_id_check,
    id_counter_8_bit,
    no_envelope_expiry,
    data_length_unbounded,
    output_not_truncated,
    output_opened_early,
    output_unchecked,
    digest_strcmp,
    ok_on_mismatch,
    plain_abort_on_mismatch,
    exit_1_on_failure,
    as_req_82_bytes,
    answer_unsigned,
    ticket_fixed_104,
    ap_rep_length_rounded,
    answer_is_nonce,
    file_to_ap_req_source,
    ids_not_reset,
    file_read_once,
    digest_once,
    client_id_strncmp,
    no_address_check,
    ticket_timestamp_network_order,
    data_not_cleared,
    terminate_fields,
    no_expiry_at_request,
    serves_any_inner_type,
    stops_after_one,
    auth_after_ticket,
    ap_err_with_id,
    extra_empty_chunk,
    missing_empty_chunk,
    id_8_bit,
    reply_to_fixed_port,
    same_session_key,
    ticket_address_fixed,
    ticket_address_reversed,
    lifetime_little_endian,
    ticket_length_rounded,
    as_rep_length_164,
    id_strncmp,
    as_err_configured_id,
    as_err_short,
    keeps_serving_after_as_err,
    keys_swapped,
    accepts_any_type,
    // Faults, password protocol.
    prefix_password,
    ignores_length,
    case_insensitive,
    attempts_not_reset,
    four_attempts,
    two_attempts,
    no_pass_reject,
    data_length_little_endian,
    id_16_bit,
    terminate_length_28,
    file_opened_once,
    file_not_closed,
    reply_to_join_source,
    join_length_ignored,
    join_type_unchecked,
    long_length_accepted,
    extra_empty_data,
    missing_empty_data,
    first_req_length_ignored,
    pass_req_type_unchecked,
    resp_length_52,
    resp_with_zero,
    resp_not_cleared,
    passwords_out_of_order,
    fourth_password,
    terminate_length_ignored,
    join_type_12,
};

struct Variant {
    std::string_view name;
    Role role;
    Kind kind;
    Fault fault;
    std::string_view description;
};

// ---- The table (variants.cpp). ----

std::span<const Variant> variants() noexcept;
std::string_view role_name(Role role) noexcept;
std::string_view kind_name(Kind kind) noexcept;
std::optional<Role> parse_role(std::string_view name) noexcept;
const Variant* find_variant(Role role, std::string_view name) noexcept;

// ---- The roles. args are the role's own words, without the program name. ----

int run_client(const Variant& v, std::span<char* const> args);
int run_server(const Variant& v, std::span<char* const> args);
int run_gatekeep(const Variant& v, std::span<char* const> args);
int run_lockbox(const Variant& v, std::span<char* const> args);
int run_latchkey(const Variant& v, std::span<char* const> args);

// ---- What the roles share (runtime.cpp). ----

std::uint32_t now() noexcept;

// The slow-start variant's wait before its first bind or send; nothing for the others.
void start_delay(const Variant& v) noexcept;

// Flushes standard output and ends the process with status.
[[noreturn]] void end(int status) noexcept;
// "ABORT", then the end: status 0, or 1 for the variant that gets its exit status wrong.
[[noreturn]] void abort_run(const Variant& v) noexcept;
// The clients' inert variants end here, sending nothing: ABORT, or an empty output file and OK.
void end_if_inert_client(const Variant& v, const char* out_path) noexcept;
// The bind-and-wait variant's life after its bind.
[[noreturn]] void wait_forever() noexcept;

// One UDP socket; the paced variant waits before every datagram it sends.
class Link {
public:
    explicit Link(const Variant& v) noexcept;
    bool valid() const noexcept { return sock_.valid(); }
    bool bind(std::uint16_t port) const noexcept;
    // A client's socket: a large receive buffer, since servers send chunk after chunk unpaced.
    void raise_buffer() const noexcept;
    bool send(std::span<const std::uint8_t> bytes, const sockaddr_in& to) const noexcept;
    // One datagram into area (the caller decides whether it is cleared first), cut to its size;
    // the number of bytes that arrived, or -1 when the receive call fails.
    long receive(std::span<std::uint8_t> area, sockaddr_in* from = nullptr) const noexcept;

private:
    bool paced_;
    udp::UdpSocket sock_;
};

// Seals as common/seal does, except in the variant whose CBC state carries from one seal into the
// next: it keeps one IV for its whole run and lets the library update it.
class Sealer {
public:
    explicit Sealer(const Variant& v) noexcept;
    void seal(std::span<const std::uint8_t> plain, std::size_t length,
              const seal::Schedule& schedule, std::span<std::uint8_t> out) noexcept;

private:
    bool chained_;
    DES_cblock iv_;
};

// A session key is valid while now < validity; one variant lets it live one second longer.
bool still_valid(const Variant& v, std::uint32_t validity) noexcept;

// An identifier argument as a 40-byte field. Longer than 40 characters: cut to 40 by the
// long-id-cut variant, refused (nullopt) by every other.
std::optional<ticket::Id> id_field(const Variant& v, const char* text) noexcept;

// Room behind a receiver's area, so that a variant which believes a 16-bit length field reads
// whatever lies there instead of beyond its memory.
inline constexpr std::size_t kWorkSize = 6 + 65535 + 11;

// The received file of a client. Opened when the transfer starts (or at start-up, by the variant
// that opens it early); the buffered-output variant keeps the data in memory and writes the file
// when the transfer ends or fails.
class Output {
public:
    Output(const Variant& v, const char* path) noexcept : v_(v), path_(path) {}
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;
    ~Output();
    bool is_open() const noexcept { return started_; }
    // Creates the file or empties it (one variant leaves an existing file's bytes in place).
    bool open() noexcept;
    bool write(std::span<const std::uint8_t> bytes) noexcept;
    // Everything is in the file afterwards.
    bool close() noexcept;
    // Before a failure ends the process: what was accepted goes to the file.
    void keep_on_failure() noexcept;

private:
    const Variant& v_;
    const char* path_;
    bool started_ = false;
    std::FILE* file_ = nullptr;
    std::vector<std::uint8_t> held_;
};

}  // namespace standin
