// The application server: checks each AP_REQ's Ticket and Authenticator, answers the nonce, then
// sends the file in KRB_PRV envelopes and its digest, client after client.

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "helpers.h"
#include "out.h"
#include "standin.h"

namespace standin {

namespace {

using ticket::Type;
using wire::at;

constexpr const char* kUsage = "usage: server <serverport> <gatekeeperkey> <inputfile>\n";

class Server {
public:
    Server(const Variant& v, std::span<char* const> args)
        : v_(v), path_(args[2]), link_(v), sealer_(v) {
        read_switches(args);
        ticket::Key key{};
        common::to_hex(args[1], key);
        start_delay(v);
        if (!link_.valid() || !link_.bind(static_cast<std::uint16_t>(std::atoi(args[0])))) {
            abort_run(v);
        }
        if (v.fault == Fault::bind_and_wait) wait_forever();
        if (seal::make_schedule(key, server_key_) != 0) abort_run(v);
        if (v.fault == Fault::file_read_once) read_copy();
        if (v.fault == Fault::digest_once) common::mysha1(path_, digest_);
    }

    void serve_one() {
        check_ap_req();
        request_source_ = peer_;
        await_request();
        const sockaddr_in& to = v_.fault == Fault::file_to_ap_req_source ? request_source_ : peer_;
        send_file(to);
        send_terminate(to);
        out::say("OK\n");
    }

private:
    void read_switches(std::span<char* const> args);
    void read_copy();
    [[noreturn]] void fail() { abort_run(v_); }
    std::size_t bounded(std::size_t length, std::size_t limit) {
        if (length <= limit) return length;
        if (v_.fault == Fault::cut_lengths) return limit;
        fail();
    }
    void check_ap_req();
    void check_names(const ticket::TicketArea& tk, const ticket::AuthArea& auth);
    [[noreturn]] void refuse(const ticket::AuthArea& auth);
    void answer(const ticket::AuthArea& auth);
    void await_request();
    void send_file(const sockaddr_in& to);
    void send_chunk(ticket::Inner& inner, std::size_t n, const sockaddr_in& to);
    void send_terminate(const sockaddr_in& to);
    void send_envelope(const ticket::Inner& inner, const sockaddr_in& to);

    const Variant& v_;
    const char* path_;
    Link link_;
    Sealer sealer_;
    std::int32_t nonce_offset_ = 0;
    bool wrong_digest_ = false;
    seal::Schedule server_key_;
    seal::Schedule session_;
    std::uint32_t validity_ = 0;
    ticket::RecvArea rx_{};
    sockaddr_in peer_{};  // the source of the datagram received last
    sockaddr_in request_source_{};
    // The packet id of the chunk sent last; reset for every delivery.
    std::uint16_t pid_ = 0;
    std::vector<std::uint8_t> copy_;
    bool copy_read_ = false;
    ticket::Digest digest_{};
};

void Server::read_switches(std::span<char* const> args) {
    if (args.size() != 6 && args.size() != 8) return;
    const std::string_view sw = args[args.size() - 2];
    const char* value = args[args.size() - 1];
    if (sw == "-T1") nonce_offset_ = std::atoi(value);
    if (sw == "-T2") wrong_digest_ = true;
}

void Server::read_copy() {
    std::FILE* f = std::fopen(path_, "rb");
    if (f == nullptr) return;
    std::array<std::uint8_t, 65536> block;
    std::size_t n;
    while ((n = std::fread(block.data(), 1, block.size(), f)) > 0) {
        copy_.insert(copy_.end(), block.begin(), block.begin() + static_cast<std::ptrdiff_t>(n));
    }
    copy_read_ = !std::ferror(f);
    std::fclose(f);
}

void Server::check_ap_req() {
    rx_.fill(0);
    if (link_.receive(rx_, &peer_) < 0) fail();
    if (!ticket::is(ticket::read_type(rx_), Type::AP_REQ)) fail();
    const std::size_t ticket_length =
        bounded(wire::load_be16(at<ticket::kApReqTicketLength>(rx_)), ticket::kTicketSealedSize);
    const std::size_t auth_length =
        bounded(wire::load_be16(at<ticket::kApReqAuthLength>(rx_)), ticket::kAuthSize);

    ticket::TicketArea tk{};
    seal::unseal(at<ticket::kApReqTicket>(rx_), ticket_length, server_key_, tk);
    const int key_check = seal::make_schedule(at<ticket::kTkSessionKey>(tk), session_);
    if (key_check != 0) {
        out::say("key error %d\n", key_check);
        end(0);
    }
    const auto stamp = at<ticket::kTkTimestamp>(tk);
    const std::uint32_t timestamp = v_.fault == Fault::ticket_timestamp_network_order
                                        ? wire::load_be32(stamp)
                                        : wire::load_le32(stamp);
    validity_ = seal::validity_time(timestamp, wire::load_be16(at<ticket::kTkLifetime>(tk)));
    if (!still_valid(v_, validity_)) end(0);

    const std::size_t auth_at = v_.fault == Fault::auth_after_ticket
                                    ? ticket::kApReqTicket.offset + ticket_length
                                    : ticket::kApReqAuth.offset;
    ticket::AuthArea auth{};
    seal::unseal(std::span(rx_).subspan(auth_at, ticket::kAuthSize), auth_length, session_, auth);
    check_names(tk, auth);
    answer(auth);
}

void Server::check_names(const ticket::TicketArea& tk, const ticket::AuthArea& auth) {
    const auto expected = at<ticket::kTkClientId>(tk);
    const auto got = at<ticket::kAuthClientId>(auth);
    bool same = std::ranges::equal(expected, got);
    if (v_.fault == Fault::client_id_strncmp) {
        same = std::strncmp(reinterpret_cast<const char*>(expected.data()),
                            reinterpret_cast<const char*>(got.data()), expected.size()) == 0;
    }
    if (!same) refuse(auth);
    if (v_.fault != Fault::no_address_check &&
        !std::ranges::equal(at<ticket::kTkClientAddr>(tk), at<ticket::kAuthClientAddr>(auth))) {
        refuse(auth);
    }
}

void Server::refuse(const ticket::AuthArea& auth) {
    if (v_.fault != Fault::no_ap_err) {
        std::array<std::uint8_t, ticket::kApErrSize> err{};
        ticket::build_ap_err(err, nullptr);
        if (v_.fault == Fault::ap_err_with_id) {
            std::ranges::copy(at<ticket::kAuthClientId>(auth),
                              at<ticket::kApErrClientId>(err).begin());
        }
        link_.send(err, peer_);
    }
    fail();
}

void Server::answer(const ticket::AuthArea& auth) {
    const std::uint32_t nonce = wire::load_le32(at<ticket::kAuthNonce>(auth));
    const std::uint32_t plus = v_.fault == Fault::answer_is_nonce ? 0 : 1;
    const std::uint32_t reply = nonce + plus + static_cast<std::uint32_t>(nonce_offset_);
    std::array<std::uint8_t, ticket::kApRepSealed.size> text{};
    char* chars = reinterpret_cast<char*>(text.data());
    const int n = v_.fault == Fault::answer_unsigned
                      ? std::snprintf(chars, text.size(), "%u", reply)
                      : std::snprintf(chars, text.size(), "%d", static_cast<std::int32_t>(reply));
    const std::size_t length = seal::length_field(static_cast<std::size_t>(n));
    if (v_.fault == Fault::answer_padding) {
        for (std::size_t i = static_cast<std::size_t>(n) + 1; i < length; ++i) text[i] = 0x5A;
    }
    std::array<std::uint8_t, ticket::kApRepSize> rep{};
    wire::store_be16(at<ticket::kType>(rep), static_cast<std::uint16_t>(Type::AP_REP));
    wire::store_be16(
        at<ticket::kApRepLength>(rep),
        static_cast<std::uint16_t>(v_.fault == Fault::ap_rep_length_rounded ? seal::rounded(length)
                                                                            : length));
    sealer_.seal(text, length, session_, at<ticket::kApRepSealed>(rep));
    if (!link_.send(rep, peer_)) fail();
}

void Server::await_request() {
    rx_.fill(0);
    if (link_.receive(rx_, &peer_) < 0) fail();
    if (!ticket::is(ticket::read_type(rx_), Type::KRB_PRV)) fail();  // AP_ERR included
    if (v_.fault != Fault::no_expiry_at_request && !still_valid(v_, validity_)) end(0);
    const std::size_t length =
        bounded(wire::load_be16(at<ticket::kPrvLength>(rx_)), ticket::kInnerSize);
    ticket::Inner inner{};
    seal::unseal(at<ticket::kPrvSealed>(rx_), length, session_, inner);
    const std::uint16_t type = wire::load_be16(at<ticket::kInnerType>(inner));
    if (v_.fault != Fault::serves_any_inner_type &&
        !ticket::is(type, ticket::InnerType::APP_DATA_REQ)) {
        fail();
    }
}

void Server::send_file(const sockaddr_in& to) {
    std::FILE* f = nullptr;
    if (v_.fault == Fault::file_read_once) {
        static std::uint8_t nothing;  // a stream over no bytes still needs a buffer
        if (copy_read_) f = ::fmemopen(copy_.empty() ? &nothing : copy_.data(), copy_.size(), "rb");
    } else {
        f = std::fopen(path_, "rb");
    }
    if (f == nullptr) fail();
    if (v_.fault != Fault::ids_not_reset) pid_ = 0;
    ticket::Inner inner{};
    std::size_t n = 0;
    // EOF is tested before each read, so a file of 1944 bytes goes out as 972, 972 and 0.
    while (!std::feof(f)) {
        if (v_.fault != Fault::data_not_cleared) inner.fill(0);
        n = std::fread(at<ticket::kInnerData>(inner).data(), 1, ticket::kChunkSize, f);
        if (std::ferror(f)) {
            std::fclose(f);
            fail();
        }
        if (n == 0 && v_.fault == Fault::missing_empty_chunk) break;
        send_chunk(inner, n, to);
    }
    if (v_.fault != Fault::file_not_closed) std::fclose(f);
    if (n != 0 && v_.fault == Fault::extra_empty_chunk) {
        inner.fill(0);
        send_chunk(inner, 0, to);
    }
}

void Server::send_chunk(ticket::Inner& inner, std::size_t n, const sockaddr_in& to) {
    pid_ = v_.fault == Fault::id_8_bit ? static_cast<std::uint8_t>(pid_ + 1)
                                       : static_cast<std::uint16_t>(pid_ + 1);
    wire::store_be16(at<ticket::kInnerType>(inner),
                     static_cast<std::uint16_t>(ticket::InnerType::APP_DATA));
    wire::store_be16(at<ticket::kInnerDataLength>(inner), static_cast<std::uint16_t>(n));
    wire::store_be16(at<ticket::kInnerPid>(inner), pid_);
    send_envelope(inner, to);
}

void Server::send_terminate(const sockaddr_in& to) {
    if (v_.fault != Fault::digest_once) common::mysha1(path_, digest_);
    ticket::Digest sent = digest_;
    if (wrong_digest_) {
        // "Wrong Hash", its zero, and a zero twelfth byte; the last eight bytes stay true.
        std::ranges::fill(std::span(sent).first<12>(), 0);
        std::memcpy(sent.data(), "Wrong Hash", 10);
    }
    ticket::Inner inner{};
    ticket::build_app_terminate(inner, sent);
    if (v_.fault == Fault::terminate_fields) {
        wire::store_be16(at<ticket::kInnerDataLength>(inner), 0);
        wire::store_be16(at<ticket::kInnerPid>(inner), static_cast<std::uint16_t>(pid_ + 1));
    }
    send_envelope(inner, to);
}

void Server::send_envelope(const ticket::Inner& inner, const sockaddr_in& to) {
    std::array<std::uint8_t, ticket::kPrvSize> prv{};
    wire::store_be16(at<ticket::kType>(prv), static_cast<std::uint16_t>(Type::KRB_PRV));
    wire::store_be16(at<ticket::kPrvLength>(prv),
                     v_.fault == Fault::prv_length_984 ? 984 : ticket::kInnerSize);
    sealer_.seal(inner, ticket::kInnerSize, session_, at<ticket::kPrvSealed>(prv));
    if (!link_.send(prv, to)) fail();
}

}  // namespace

int run_server(const Variant& v, std::span<char* const> args) {
    if (args.size() < 3 || args.size() > 8) {
        out::say("%s", kUsage);
        return 0;
    }
    if (v.fault == Fault::exit_at_once) abort_run(v);
    Server s(v, args);
    for (;;) {
        s.serve_one();
        if (v.fault == Fault::stops_after_one) return 0;
    }
}

}  // namespace standin
