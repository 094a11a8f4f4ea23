// server against hostile datagrams at both of its receive points: the AP_REQ that opens a visit
// and the KRB_PRV that follows the AP_REP. A datagram that reads as a valid request is served and
// the same server takes the next one; every other ends the run as its failure handling says
// (AP_ERR and "ABORT", "ABORT" alone, "key error %d" or the expiry lines without a result line),
// always with exit status 0 and never with a sanitizer report.

#include <gtest/gtest.h>

#include <memory>

#include "harness.h"
#include "hostile_datagrams.h"
#include "ticket_peers.h"

namespace {

using harness::Bytes;
using namespace std::chrono_literals;

constexpr std::size_t kFileSize = 2000;  // three APP_DATA envelopes

struct Server {
    harness::TempDir dir;
    std::uint16_t port = harness::free_udp_port();
    std::unique_ptr<harness::Program> program;
    Server() {
        const std::string file = dir.write("served.bin", harness::pattern(kFileSize));
        program = std::make_unique<harness::Program>(
            SERVER_BIN,
            std::vector<std::string>{std::to_string(port), peers::kServerKey, file, "-DDEBUG"});
    }
};

const std::uint32_t kIssued = peers::now();
const Bytes kAuthPlain = peers::authenticator("alice", peers::kLoopback, 1000);

// The AP_REQ with its Ticket and Authenticator still plain; sealing takes the session key from
// the plain Ticket, as the Ticket it stands for would name it.
Bytes ap_req_plain() {
    peers::TicketPlain t;
    t.timestamp = kIssued;
    const Bytes ticket100 =
        harness::concat({t.session_key, harness::text_field(t.client, 40), t.address,
                         harness::text_field(t.server, 40), harness::le32(t.timestamp),
                         harness::be16(t.lifetime), harness::zeros(2)});
    return harness::concat({harness::be16(4), harness::be16(104), harness::be16(48), ticket100,
                            harness::zeros(4), kAuthPlain});
}

using peers::seal_region;
using peers::unseal_area;

Bytes seal_ap_req(const Bytes& plain) {
    Bytes key = peers::slice(plain, 6, 8);
    seal::Schedule unused;
    if (seal::make_schedule(std::span<const std::uint8_t, 8>(key.data(), 8), unused) != 0) {
        key = peers::kSessionKey;
    }
    return seal_region(seal_region(plain, 6, 104, peers::kServerKeyBytes), 110, 48, key);
}

Bytes krb_prv_plain() {
    return harness::concat(
        {harness::be16(7), harness::be16(978), peers::inner(14, 0, 0, {}), harness::zeros(6)});
}
Bytes seal_krb_prv(const Bytes& plain) { return seal_region(plain, 4, 984, peers::kSessionKey); }

enum class End { served, ap_err, abort, key_error, expired };
struct Expect {
    End end;
    int key_result = 0;
    std::uint32_t nonce = 0;
    std::string tail = "ABORT\n";  // how the output ends when the run ends with "ABORT"
};

std::string type_line(std::uint32_t type) {
    return "I'm receiving packet type = " + std::to_string(type) + "\nABORT\n";
}

// What the server must make of a datagram at the AP_REQ: type, length fields within their areas,
// the Ticket's session key, its validity, then client ID and address of the two records.
Expect model_ap_req(const Bytes& datagram) {
    const Bytes rx = hostile::view<1010>(datagram);
    if (hostile::be_at(rx, 0, 2) != 4)
        return {End::abort, 0, 0, type_line(hostile::be_at(rx, 0, 2))};
    const std::uint32_t tl = hostile::be_at(rx, 2, 2), al = hostile::be_at(rx, 4, 2);
    if (tl > 104 || al > 48) return {End::abort};
    const Bytes tk = unseal_area(rx, 6, tl, peers::kServerKeyBytes, 104);
    Bytes key(tk.begin(), tk.begin() + 8);
    seal::Schedule unused;
    const int r = seal::make_schedule(std::span<const std::uint8_t, 8>(key.data(), 8), unused);
    if (r != 0) return {End::key_error, r};
    const std::uint32_t validity =
        wire::load_le32(std::span<const std::uint8_t, 4>(tk.data() + 92, 4)) +
        hostile::be_at(tk, 96, 2);
    if (peers::now() >= validity) return {End::expired};
    const Bytes auth = unseal_area(rx, 110, al, key, 48);
    if (!std::equal(tk.begin() + 8, tk.begin() + 48, auth.begin())) {
        return {End::ap_err, 0, 0, "Sending AP_ERR back to client\nABORT\n"};
    }
    if (!std::equal(tk.begin() + 48, tk.begin() + 52, auth.begin() + 40)) return {End::ap_err};
    return {End::served, 0, wire::load_le32(std::span<const std::uint8_t, 4>(auth.data() + 44, 4))};
}

// At the KRB_PRV: AP_ERR or another type ends it; a length field within the inner message and an
// APP_DATA_REQ inside are served.
Expect model_request(const Bytes& datagram) {
    const Bytes rx = hostile::view<1010>(datagram);
    const std::uint32_t type = hostile::be_at(rx, 0, 2);
    if (type == 6) return {End::abort, 0, 0, "AP_ERR received - aborting\nABORT\n"};
    if (type != 7) return {End::abort, 0, 0, type_line(type)};
    const std::uint32_t length = hostile::be_at(rx, 2, 2);
    if (length > 978) return {End::abort};
    const Bytes inner = unseal_area(rx, 4, length, peers::kSessionKey, 978);
    const std::uint32_t inner_type = hostile::be_at(inner, 0, 2);
    if (inner_type == 14) return {End::served};
    return {End::abort, 0, 0, type_line(inner_type)};
}

// Checks how the server ended after a datagram the model refuses.
void expect_end(Server& sv, harness::Peer& client, const Expect& e) {
    auto& p = *sv.program;
    if (e.end == End::ap_err) {
        const auto err = client.receive();
        ASSERT_TRUE(err) << p.output();
        EXPECT_EQ(*err, harness::concat({harness::be16(6), harness::zeros(40)}));
    } else {
        EXPECT_FALSE(client.receive(20ms));
    }
    EXPECT_EQ(p.wait_exit(), 0) << p.output();
    const std::string last = hostile::last_line(p.output());
    switch (e.end) {
        case End::key_error:
            EXPECT_EQ(last, "key error " + std::to_string(e.key_result));
            break;
        case End::expired:
            EXPECT_EQ(last.rfind("currtime = ", 0), 0u) << last;
            break;
        default:
            EXPECT_TRUE(hostile::ends_with(p.output(), e.tail)) << p.output();
    }
}

// Sends a valid AP_REQ and checks the AP_REP: the server then waits for the KRB_PRV.
void open_visit(Server& sv, harness::Peer& client) {
    client.send(seal_ap_req(ap_req_plain()), sv.port);
    const auto rep = client.receive();
    ASSERT_TRUE(rep) << sv.program->output();
    EXPECT_EQ(hostile::be_at(*rep, 0, 2), 5u);
}

// After an accepted APP_DATA_REQ: the whole file, the digest and "OK"; the server goes on.
void expect_delivery(Server& sv, harness::Peer& client, int visits) {
    for (int i = 0; i < 3; ++i) {
        const auto env = client.receive();
        ASSERT_TRUE(env) << sv.program->output();
        EXPECT_EQ(hostile::be_at(peers::open_krb_prv(*env), 0, 2), 15u);
    }
    const auto last = client.receive();
    ASSERT_TRUE(last);
    EXPECT_EQ(hostile::be_at(peers::open_krb_prv(*last), 0, 2), 16u);
    auto& p = *sv.program;
    EXPECT_TRUE(hostile::wait_count(p, "file digest sent!\nOK\n", visits)) << p.output();
    EXPECT_TRUE(p.running());
}

hostile::Tally g_tally;

// The server under test across a list of datagrams, started afresh whenever the last one ended.
struct Rig {
    std::unique_ptr<Server> sv;
    harness::Peer client;
    int visits = 0;

    // Counts the next datagram as tried and has a bound server wait for it.
    bool ready() {
        ++g_tally.tried;
        if (sv) return true;
        sv = std::make_unique<Server>();
        visits = 0;
        const bool bound = sv->program->wait_bound(sv->port);
        EXPECT_TRUE(bound) << sv->program->output();
        return bound;
    }
    // The datagram was served: the whole file follows, and the server takes the next visit.
    void served() {
        expect_delivery(*sv, client, ++visits);
        g_tally.went_on();
    }
    // The datagram was refused as e says, and the server ended.
    void ended(const Expect& e) {
        expect_end(*sv, client, e);
        g_tally.ended(sv->program->output());
        sv.reset();
    }
};

TEST(HostileServer, ApReqReceivePoint) {
    hostile::Shape shape;
    shape.plain = ap_req_plain();
    shape.finish = seal_ap_req;
    shape.boundaries = {2, 4, 6, 14, 54, 58, 98, 102, 110, 150, 154};
    shape.lengths = {{2, 2, 104, "ticket_length"}, {4, 2, 48, "auth_length"}};
    auto list = hostile::datagrams(shape, 21);
    // Records that disagree, and a Ticket that expired or was sealed with another key.
    Bytes other_client = ap_req_plain();
    other_client[110 + 39] = 'x';
    list.push_back({"client_id_differs_after_zero", seal_ap_req(other_client)});
    Bytes other_addr = ap_req_plain();
    other_addr[110 + 40] = 10;
    list.push_back({"address_differs", seal_ap_req(other_addr)});
    Bytes expired = ap_req_plain();
    const Bytes old = harness::le32(kIssued - 3600);
    std::copy(old.begin(), old.end(), expired.begin() + 6 + 92);
    list.push_back({"ticket_expired", seal_ap_req(expired)});
    Bytes foreign = seal_ap_req(ap_req_plain());
    const Bytes reseal = seal_region(ap_req_plain(), 6, 104, peers::kClientKeyBytes);
    std::copy(reseal.begin() + 6, reseal.begin() + 110, foreign.begin() + 6);
    list.push_back({"ticket_of_another_key", foreign});

    Rig rig;
    for (const auto& d : list) {
        SCOPED_TRACE(d.name);
        ASSERT_TRUE(rig.ready());
        const Expect e = model_ap_req(d.bytes);
        rig.client.send(d.bytes, rig.sv->port);
        if (e.end == End::served) {
            const auto rep = rig.client.receive();
            ASSERT_TRUE(rep) << rig.sv->program->output();
            ASSERT_EQ(rep->size(), 24u);
            ticket::RecvArea rx = peers::area(*rep);
            EXPECT_EQ(ticket::read_ap_rep_answer(rx, peers::schedule(peers::kSessionKey)),
                      static_cast<std::int32_t>(e.nonce + 1));
            rig.client.send(seal_krb_prv(krb_prv_plain()), rig.sv->port);
            rig.served();
            continue;
        }
        rig.ended(e);
    }
}

TEST(HostileServer, KrbPrvReceivePoint) {
    hostile::Shape shape;
    shape.plain = krb_prv_plain();
    shape.finish = seal_krb_prv;
    shape.boundaries = {2, 4, 12, 500, 980};
    shape.lengths = {{2, 2, 978, "length"}, {6, 2, 972, "data_length"}};
    auto list = hostile::datagrams(shape, 22);
    list.push_back({"ap_err", harness::concat({harness::be16(6), harness::zeros(40)})});
    for (const int inner_type : {15, 16, 0}) {
        list.push_back(
            {"inner_type_" + std::to_string(inner_type),
             peers::krb_prv(peers::inner(static_cast<std::uint16_t>(inner_type), 0, 0, {}))});
    }

    Rig rig;
    for (const auto& d : list) {
        SCOPED_TRACE(d.name);
        ASSERT_TRUE(rig.ready());
        open_visit(*rig.sv, rig.client);
        const Expect e = model_request(d.bytes);
        rig.client.send(d.bytes, rig.sv->port);
        if (e.end == End::served) {
            rig.served();
            continue;
        }
        rig.ended(e);
    }
    g_tally.print("server");
}

}  // namespace
