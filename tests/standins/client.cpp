// The ticket client: AS_REQ to gatekeep, AP_REQ to the server, the nonce answer, then the file in
// KRB_PRV envelopes and its digest. One run; every failure prints ABORT.

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

constexpr const char* kUsage =
    "usage: client <gatekeepername> <gatekeeperport> <gatekeeperkey> <servername> <serverport> "
    "<output file> <clientID> <serverID>\n";

class Client {
public:
    Client(const Variant& v, std::span<char* const> args)
        : v_(v), as_link_(v), sv_link_(v), sealer_(v), output_(v, args[5]), out_path_(args[5]) {
        read_switches(args);
        const auto client = id_field(v, args[6]);
        const auto server = id_field(v, args[7]);
        if (!client || !server) fail();
        client_id_ = *client;
        server_id_ = *server;
        auth_id_ = client_id_;
        if (replacement_ != nullptr) {
            auth_id_.fill(0);
            std::memcpy(auth_id_.data(), replacement_,
                        std::min<std::size_t>(4, std::strlen(replacement_)));
        }
        ticket::Key key{};
        common::to_hex(args[2], key);
        const auto gk = udp::resolve(args[0], port(args[1]));
        if (!gk || !as_link_.valid()) fail();
        const auto sv = udp::resolve(args[3], port(args[4]));
        if (!sv || !sv_link_.valid()) fail();
        gatekeep_ = *gk;
        server_ = *sv;
        if (seal::make_schedule(key, client_key_) != 0) fail();
        sv_link_.raise_buffer();
        if (v.fault == Fault::output_opened_early && !output_.open()) fail();
    }

    void authenticate();
    void send_ap_req();
    // The nonce answer; a wrong one is refused with AP_ERR.
    void check_answer();
    void request();
    void receive_file();
    [[noreturn]] void check_digest();

private:
    static std::uint16_t port(const char* text) {
        return static_cast<std::uint16_t>(std::atoi(text));
    }
    void read_switches(std::span<char* const> args);
    [[noreturn]] void fail() {
        output_.keep_on_failure();
        abort_run(v_);
    }
    void check_validity() {
        if (!still_valid(v_, validity_)) fail();
    }
    // Brings a length field within limit, as the variant chooses: cut, or refuse the datagram.
    std::size_t bounded(std::size_t length, std::size_t limit) {
        if (length <= limit) return length;
        if (v_.fault == Fault::cut_lengths) return limit;
        fail();
    }
    void read_as_rep_as_received(long received);
    ticket::AuthArea build_authenticator();
    bool answer_right(const char* text) const;
    bool in_order(std::uint16_t pid) const;

    const Variant& v_;
    Link as_link_;
    Link sv_link_;
    Sealer sealer_;
    Output output_;
    const char* out_path_;
    sockaddr_in gatekeep_{};
    sockaddr_in server_{};
    std::int32_t address_offset_ = 0;
    const char* replacement_ = nullptr;  // -T2: the Authenticator's client ID
    std::uint32_t backdate_ = 0;
    ticket::Id client_id_{};
    ticket::Id server_id_{};
    ticket::Id auth_id_{};
    seal::Schedule client_key_;
    seal::Schedule session_;
    ticket::RecvArea rx_{};
    ticket::BodyArea body_{};
    std::uint32_t validity_ = 0;
    std::uint32_t nonce_ = 0;
    std::uint16_t last_id_ = 0;
    // The inner message at the front; see kWorkSize.
    std::array<std::uint8_t, kWorkSize> work_{};
    ticket::Digest received_digest_{};
};

void Client::read_switches(std::span<char* const> args) {
    if (args.size() != 11) return;
    const std::string_view sw = args[9];
    if (sw == "-T1") address_offset_ = std::atoi(args[10]);
    if (sw == "-T2") replacement_ = args[10];
    if (sw == "-T3") backdate_ = static_cast<std::uint32_t>(std::atoi(args[10])) * 3600u;
}

void Client::authenticate() {
    std::array<std::uint8_t, ticket::kAsReqSize> req{};
    ticket::build_as_req(req, client_id_, server_id_);
    const std::size_t size =
        v_.fault == Fault::as_req_82_bytes ? ticket::kAsReqServerId.end() : req.size();
    if (!as_link_.send(std::span(req).first(size), gatekeep_)) fail();
    if (v_.fault == Fault::silent) end(0);

    rx_.fill(0);
    const long received = as_link_.receive(rx_);
    if (received < 0 || !ticket::is(ticket::read_type(rx_), Type::AS_REP)) fail();
    if (v_.fault == Fault::crash_short_as_rep) read_as_rep_as_received(received);
    const std::size_t length =
        bounded(wire::load_be16(at<ticket::kAsRepLength>(rx_)), ticket::kBodySealedSize);
    body_.fill(0);
    seal::unseal(at<ticket::kAsRepBody>(rx_), length, client_key_, body_);

    if (seal::make_schedule(at<ticket::kBodySessionKey>(body_), session_) != 0) fail();
    const auto server = at<ticket::kBodyServerId>(body_);
    bool same = std::ranges::equal(server, server_id_);
    if (v_.fault == Fault::no_server_id_check) same = true;
    if (v_.fault == Fault::server_id_strncmp) {
        same = std::strncmp(reinterpret_cast<const char*>(server.data()),
                            reinterpret_cast<const char*>(server_id_.data()), server.size()) == 0;
    }
    if (!same) fail();
    const auto stamp = at<ticket::kBodyTimestamp>(body_);
    const std::uint32_t timestamp = v_.fault == Fault::timestamp_network_order
                                        ? wire::load_be32(stamp)
                                        : wire::load_le32(stamp);
    validity_ = seal::validity_time(timestamp, wire::load_be16(at<ticket::kBodyLifetime>(body_)));
    check_validity();
}

// The AS_REP copied into a vector of the size that arrived and read back with bounds checks, as
// if it were always 172 bytes: a shorter one throws out of the run.
void Client::read_as_rep_as_received(long received) {
    const std::vector<std::uint8_t> got(rx_.begin(), rx_.begin() + received);
    for (std::size_t i = 0; i < ticket::kAsRepSize; ++i) rx_[i] = got.at(i);
}

ticket::AuthArea Client::build_authenticator() {
    ticket::AuthArea auth{};
    if (v_.fault == Fault::auth_id_not_cleared) {
        // Assembled in the receive area, which still holds the AS_REP: the ID goes in up to its
        // zero byte like a string, and the AS_REP's bytes stay behind it.
        std::copy_n(rx_.begin(), auth.size(), auth.begin());
        const auto id_end = std::ranges::find(auth_id_, 0);
        const auto zero = std::copy(auth_id_.begin(), id_end, auth.begin());
        if (id_end != auth_id_.end()) *zero = 0;
    } else {
        std::ranges::copy(auth_id_, at<ticket::kAuthClientId>(auth).begin());
    }
    const auto mine = common::my_addr();
    if (!mine) fail();
    const auto addr = at<ticket::kAuthClientAddr>(auth);
    wire::store_le32(addr, wire::load_le32(*mine) + static_cast<std::uint32_t>(address_offset_));
    if (v_.fault == Fault::address_reversed) std::ranges::reverse(addr);
    nonce_ = now() - backdate_;
    if (v_.fault == Fault::nonce_big_endian) {
        wire::store_be32(at<ticket::kAuthNonce>(auth), nonce_);
    } else {
        wire::store_le32(at<ticket::kAuthNonce>(auth), nonce_);
    }
    return auth;
}

void Client::send_ap_req() {
    const ticket::AuthArea auth = build_authenticator();
    std::array<std::uint8_t, ticket::kApReqSize> req{};
    wire::store_be16(at<ticket::kType>(req), static_cast<std::uint16_t>(Type::AP_REQ));
    const auto length_bytes = at<ticket::kBodyTicketLength>(body_);
    std::size_t ticket_bytes = wire::load_be16(length_bytes);
    if (v_.fault == Fault::ticket_fixed_104) {
        ticket_bytes = ticket::kTicketSealedSize;
        wire::store_be16(at<ticket::kApReqTicketLength>(req), ticket::kTicketSealedSize);
    } else {
        // The field travels as the body holds it; only the bytes copied are bounded.
        std::ranges::copy(length_bytes, at<ticket::kApReqTicketLength>(req).begin());
        ticket_bytes = bounded(ticket_bytes, ticket::kTicketSealedSize);
    }
    wire::store_be16(at<ticket::kApReqAuthLength>(req),
                     v_.fault == Fault::auth_length_rounded ? 52 : ticket::kAuthSize);
    std::copy_n(at<ticket::kBodyTicket>(body_).begin(), ticket_bytes,
                at<ticket::kApReqTicket>(req).begin());
    sealer_.seal(auth, ticket::kAuthSize, session_, at<ticket::kApReqAuth>(req));
    if (!sv_link_.send(req, server_)) fail();
}

void Client::check_answer() {
    rx_.fill(0);
    const long received = sv_link_.receive(rx_);
    if (received < 0 || !ticket::is(ticket::read_type(rx_), Type::AP_REP)) fail();
    check_validity();
    // The answer area holds 32 bytes, and a datagram holds no more sealed bytes than arrived
    // after its length field.
    const std::size_t arrived = received > 4 ? static_cast<std::size_t>(received - 4) / 8 * 8 : 0;
    const std::size_t room = std::min(ticket::kAnswerAreaSize, arrived);
    const std::size_t length = bounded(wire::load_be16(at<ticket::kApRepLength>(rx_)), room);
    std::array<std::uint8_t, ticket::kAnswerAreaSize + 1> text{};  // always ends in a zero
    seal::unseal(at<ticket::kApRepAnswerArea>(rx_), length, session_, text);
    if (answer_right(reinterpret_cast<const char*>(text.data()))) return;

    if (v_.fault != Fault::no_ap_err) {
        std::array<std::uint8_t, ticket::kApErrSize> err{};
        ticket::build_ap_err(err, v_.fault == Fault::ap_err_auth_id ? &auth_id_ : &client_id_);
        sv_link_.send(err, server_);
    }
    fail();
}

bool Client::answer_right(const char* text) const {
    const std::uint32_t expected = nonce_ + 1;
    switch (v_.fault) {
        case Fault::accepts_any_answer:
            return true;
        case Fault::answer_unsigned:
            return std::strtoul(text, nullptr, 10) == std::uint64_t{expected};
        case Fault::answer_compared_to_nonce:
            // Meant as "no further off than one": the nonce itself passes as well.
            return static_cast<std::uint32_t>(std::strtol(text, nullptr, 10)) - nonce_ <= 1;
        default:
            return static_cast<std::uint32_t>(std::strtol(text, nullptr, 10)) == expected;
    }
}

void Client::request() {
    ticket::Inner inner{};
    ticket::build_app_data_req(inner);
    std::array<std::uint8_t, ticket::kPrvSize> prv{};
    wire::store_be16(at<ticket::kType>(prv), static_cast<std::uint16_t>(Type::KRB_PRV));
    wire::store_be16(at<ticket::kPrvLength>(prv),
                     v_.fault == Fault::prv_length_984 ? 984 : ticket::kInnerSize);
    sealer_.seal(inner, ticket::kInnerSize, session_, at<ticket::kPrvSealed>(prv));
    if (!sv_link_.send(prv, server_)) fail();
    if (!output_.is_open() && !output_.open()) fail();
}

bool Client::in_order(std::uint16_t pid) const {
    switch (v_.fault) {
        case Fault::no_id_check:
            return true;
        case Fault::accepts_repeated_id:
            return pid >= last_id_;
        default:
            // After 65535 comes 0, as the server's 16-bit counter wraps.
            return pid == static_cast<std::uint16_t>(last_id_ + 1);
    }
}

void Client::receive_file() {
    const auto inner = std::span(work_).first<ticket::kInnerSize>();
    for (;;) {
        rx_.fill(0);
        if (sv_link_.receive(rx_) < 0) fail();
        if (!ticket::is(ticket::read_type(rx_), Type::KRB_PRV)) fail();  // AP_ERR included
        if (v_.fault != Fault::no_envelope_expiry) check_validity();
        const std::size_t length =
            bounded(wire::load_be16(at<ticket::kPrvLength>(rx_)), ticket::kInnerSize);
        std::ranges::fill(inner, 0);
        seal::unseal(at<ticket::kPrvSealed>(rx_), length, session_, inner);
        const std::uint16_t type = wire::load_be16(at<ticket::kInnerType>(inner));
        if (ticket::is(type, ticket::InnerType::APP_TERMINATE)) {
            std::ranges::copy(at<ticket::kInnerDigest>(inner), received_digest_.begin());
            return;
        }
        if (!ticket::is(type, ticket::InnerType::APP_DATA)) fail();
        const std::uint16_t pid = wire::load_be16(at<ticket::kInnerPid>(inner));
        if (!in_order(pid)) fail();
        last_id_ = v_.fault == Fault::id_counter_8_bit ? static_cast<std::uint8_t>(pid) : pid;
        std::size_t count = wire::load_be16(at<ticket::kInnerDataLength>(inner));
        if (v_.fault != Fault::data_length_unbounded) count = bounded(count, ticket::kChunkSize);
        if (!output_.write(std::span(work_).subspan(ticket::kInnerData.offset, count))) fail();
    }
}

void Client::check_digest() {
    if (!output_.close()) fail();
    ticket::Digest mine{};
    common::mysha1(out_path_, mine);
    bool same = mine == received_digest_;
    if (v_.fault == Fault::digest_strcmp) {
        same =
            std::strncmp(reinterpret_cast<const char*>(mine.data()),
                         reinterpret_cast<const char*>(received_digest_.data()), mine.size()) == 0;
    }
    if (same || v_.fault == Fault::ok_on_mismatch) {
        out::say("OK\n");
        end(0);
    }
    out::say(v_.fault == Fault::plain_abort_on_mismatch ? "ABORT\n" : "\nABORT\n");
    end(v_.fault == Fault::exit_1_on_failure ? 1 : 0);
}

}  // namespace

int run_client(const Variant& v, std::span<char* const> args) {
    if (args.size() < 8 || args.size() > 11) {
        out::say("%s", kUsage);
        return 0;
    }
    end_if_inert_client(v, args[5]);
    start_delay(v);
    Client c(v, args);
    c.authenticate();
    c.send_ap_req();
    c.check_answer();
    c.request();
    c.receive_file();
    c.check_digest();
}

}  // namespace standin
