// The authentication server: for every AS_REQ naming its one client and its one server, a fresh
// session key, a Ticket sealed with the server key inside an AS_REP body sealed with the client
// key. Wrong IDs bring AS_ERR and the end.

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
    "usage: gatekeep <gatekeeperport> <clientID> <clientkey> <serverID> <serverkey>\n";

// Fed once to the random generator at start-up.
constexpr std::string_view kSeed =
    "standing in for the authentication server, one session key each";
static_assert(kSeed.size() == 63);

class Gatekeep {
public:
    Gatekeep(const Variant& v, std::span<char* const> args) : v_(v), link_(v), sealer_(v) {
        read_switches(args);
        const auto client = id_field(v, args[1]);
        const auto server = id_field(v, args[3]);
        if (!client || !server) abort_run(v);
        client_id_ = *client;
        server_id_ = *server;
        ticket::Key client_key{};
        ticket::Key server_key{};
        common::to_hex(args[2], client_key);
        common::to_hex(args[4], server_key);
        start_delay(v);
        if (!link_.valid() || !link_.bind(static_cast<std::uint16_t>(std::atoi(args[0])))) {
            abort_run(v);
        }
        if (v.fault == Fault::bind_and_wait) wait_forever();
        if (seal::make_schedule(server_key, server_key_) != 0) abort_run(v);
        if (seal::make_schedule(client_key, client_key_) != 0) abort_run(v);
        seal::seed_random(
            std::span(reinterpret_cast<const std::uint8_t*>(kSeed.data()), kSeed.size() + 1));
        fixed_key_ = seal::random_key();
    }

    void serve_one();

private:
    void read_switches(std::span<char* const> args);
    [[noreturn]] void fail() { abort_run(v_); }
    bool ids_match() const;
    void refuse();
    std::array<std::uint8_t, ticket::kTicketPlainSize> make_ticket(const ticket::Key& key,
                                                                   std::uint32_t timestamp) const;
    void put_times(std::span<std::uint8_t, 4> stamp, std::span<std::uint8_t, 2> lifetime,
                   std::uint32_t timestamp) const;

    const Variant& v_;
    Link link_;
    Sealer sealer_;
    ticket::Id client_id_{};
    ticket::Id server_id_{};
    seal::Schedule client_key_;
    seal::Schedule server_key_;
    std::uint32_t backdate_ = 0;  // -T1 hours in seconds
    ticket::Key fixed_key_{};
    ticket::RecvArea rx_{};
    sockaddr_in peer_{};
    std::optional<sockaddr_in> first_peer_;
};

void Gatekeep::read_switches(std::span<char* const> args) {
    if (args.size() < 7) return;
    if (std::string_view(args[5]) != "-T1" && std::string_view(args[6]) != "-T1") return;
    backdate_ = static_cast<std::uint32_t>(std::atoi(args[args.size() - 1])) * 3600u;
}

bool Gatekeep::ids_match() const {
    const auto client = at<ticket::kAsReqClientId>(rx_);
    const auto server = at<ticket::kAsReqServerId>(rx_);
    if (v_.fault == Fault::id_strncmp) {
        const auto text = [](const auto& field) {
            return reinterpret_cast<const char*>(field.data());
        };
        return std::strncmp(text(client), text(client_id_), ticket::kIdSize) == 0 &&
               std::strncmp(text(server), text(server_id_), ticket::kIdSize) == 0;
    }
    return std::ranges::equal(client, client_id_) && std::ranges::equal(server, server_id_);
}

void Gatekeep::refuse() {
    std::array<std::uint8_t, ticket::kAsErrSize> err{};
    if (v_.fault == Fault::as_err_configured_id) {
        ticket::build_as_err(err, client_id_);
    } else {
        ticket::build_as_err(err, at<ticket::kAsReqClientId>(rx_));
    }
    const std::size_t size = v_.fault == Fault::as_err_short ? 40 : err.size();
    link_.send(std::span(err).first(size), peer_);
    if (v_.fault != Fault::keeps_serving_after_as_err) fail();
}

void Gatekeep::put_times(std::span<std::uint8_t, 4> stamp, std::span<std::uint8_t, 2> lifetime,
                         std::uint32_t timestamp) const {
    if (v_.fault == Fault::timestamp_network_order) {
        wire::store_be32(stamp, timestamp);
    } else {
        wire::store_le32(stamp, timestamp);
    }
    if (v_.fault == Fault::lifetime_little_endian) {
        lifetime[0] = static_cast<std::uint8_t>(ticket::kLifetime);
        lifetime[1] = static_cast<std::uint8_t>(ticket::kLifetime >> 8);
    } else {
        wire::store_be16(lifetime, ticket::kLifetime);
    }
}

std::array<std::uint8_t, ticket::kTicketPlainSize> Gatekeep::make_ticket(
    const ticket::Key& key, std::uint32_t timestamp) const {
    std::array<std::uint8_t, ticket::kTicketPlainSize> tk{};
    std::ranges::copy(key, at<ticket::kTkSessionKey>(tk).begin());
    if (v_.fault == Fault::ticket_holds_received_id) {
        std::ranges::copy(at<ticket::kAsReqClientId>(rx_), at<ticket::kTkClientId>(tk).begin());
    } else {
        std::ranges::copy(client_id_, at<ticket::kTkClientId>(tk).begin());
    }
    const auto addr = at<ticket::kTkClientAddr>(tk);
    if (v_.fault == Fault::ticket_address_fixed) {
        std::ranges::copy(std::array<std::uint8_t, 4>{127, 0, 0, 1}, addr.begin());
    } else {
        std::memcpy(addr.data(), &peer_.sin_addr.s_addr, addr.size());
    }
    if (v_.fault == Fault::ticket_address_reversed) std::ranges::reverse(addr);
    std::ranges::copy(server_id_, at<ticket::kTkServerId>(tk).begin());
    put_times(at<ticket::kTkTimestamp>(tk), at<ticket::kTkLifetime>(tk), timestamp);
    return tk;
}

void Gatekeep::serve_one() {
    rx_.fill(0);
    if (link_.receive(rx_, &peer_) < 0) fail();
    if (!first_peer_) first_peer_ = peer_;
    if (v_.fault != Fault::accepts_any_type && !ticket::is(ticket::read_type(rx_), Type::AS_REQ)) {
        fail();
    }
    if (!ids_match()) return refuse();

    const ticket::Key key = v_.fault == Fault::same_session_key ? fixed_key_ : seal::random_key();
    seal::Schedule session;
    if (seal::make_schedule(key, session) != 0) fail();
    const std::uint32_t timestamp = now() - backdate_;
    const auto tk = make_ticket(key, timestamp);
    const bool swapped = v_.fault == Fault::keys_swapped;

    std::array<std::uint8_t, ticket::kBodyPlainSize> body{};
    sealer_.seal(tk, tk.size(), swapped ? client_key_ : server_key_, at<ticket::kBodyTicket>(body));
    std::ranges::copy(key, at<ticket::kBodySessionKey>(body).begin());
    std::ranges::copy(server_id_, at<ticket::kBodyServerId>(body).begin());
    put_times(at<ticket::kBodyTimestamp>(body), at<ticket::kBodyLifetime>(body), timestamp);
    wire::store_be16(at<ticket::kBodyTicketLength>(body),
                     v_.fault == Fault::ticket_length_rounded ? 108 : ticket::kTicketSealedSize);

    std::array<std::uint8_t, ticket::kAsRepSize> rep{};
    wire::store_be16(at<ticket::kType>(rep), static_cast<std::uint16_t>(Type::AS_REP));
    wire::store_be16(at<ticket::kAsRepLength>(rep),
                     v_.fault == Fault::as_rep_length_164 ? 164 : ticket::kBodySealedSize);
    sealer_.seal(body, body.size(), swapped ? server_key_ : client_key_,
                 at<ticket::kAsRepBody>(rep));
    const sockaddr_in& to = v_.fault == Fault::reply_to_fixed_port ? *first_peer_ : peer_;
    if (!link_.send(rep, to)) fail();
    out::say("OK\n");
}

}  // namespace

int run_gatekeep(const Variant& v, std::span<char* const> args) {
    if (args.size() < 5 || args.size() > 8) {
        out::say("%s", kUsage);
        return 0;
    }
    if (v.fault == Fault::exit_at_once) abort_run(v);
    Gatekeep g(v, args);
    for (;;) g.serve_one();
}

}  // namespace standin
