// client against hostile datagrams at each of its receive points: the reply to AS_REQ, the reply
// to AP_REQ, the first envelope of the transfer and one after an accepted chunk. The scripted
// gatekeep and server drive a fresh client to the point, send one hostile datagram and check the
// ending: the next datagram the client sends when it goes on, otherwise "ABORT" as the last line
// and exit status 0. The output file holds exactly the chunks accepted, nothing of a refused one.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>

#include "harness.h"
#include "hostile_datagrams.h"
#include "ticket_peers.h"

namespace {

using harness::Bytes;
using namespace std::chrono_literals;

using peers::seal_region;
using peers::unseal_area;

const Bytes kTicket = peers::sealed_ticket({});

Bytes as_rep_plain() {
    const Bytes body = harness::concat(
        {peers::kSessionKey, harness::text_field("files", 40), harness::le32(peers::now()),
         harness::be16(3600), harness::zeros(2), harness::be16(104), harness::zeros(2), kTicket});
    return harness::concat({harness::be16(2), harness::be16(168), body, harness::zeros(4)});
}
Bytes seal_as_rep(const Bytes& plain) { return seal_region(plain, 4, 168, peers::kClientKeyBytes); }

Bytes ap_rep_plain(std::uint32_t nonce) {
    const std::string text = std::to_string(static_cast<std::int32_t>(nonce + 1));
    Bytes out = harness::concat({harness::be16(5), harness::be16(seal::length_field(text.size())),
                                 Bytes(text.begin(), text.end())});
    out.resize(ticket::kApRepSize, 0);
    return out;
}
Bytes seal_ap_rep(const Bytes& plain) { return seal_region(plain, 4, 16, peers::kSessionKey); }

const Bytes kFirstChunk = harness::pattern(100, 3);
Bytes envelope_plain(std::uint16_t pid) {
    return harness::concat({harness::be16(7), harness::be16(978),
                            peers::inner(15, 100, pid, kFirstChunk), harness::zeros(6)});
}
Bytes seal_envelope(const Bytes& plain) { return seal_region(plain, 4, 984, peers::kSessionKey); }

struct Expect {
    bool goes_on = false;
    Bytes written = {};            // for an accepted APP_DATA: the bytes it appends
    std::string tail = "ABORT\n";  // how the output ends when the run ends
};

Expect refused(std::string tail) { return {false, {}, std::move(tail)}; }
std::string type_line(std::uint32_t type) {
    return "I'm receiving packet type = " + std::to_string(type) + "\nABORT\n";
}

Expect model_as_reply(const Bytes& datagram) {
    const Bytes rx = hostile::view<1010>(datagram);
    const std::uint32_t type = hostile::be_at(rx, 0, 2);
    if (type == 3) return refused("AS_ERR received - from Authentication Server\nABORT\n");
    if (type != 2) return refused(type_line(type));
    const std::uint32_t length = hostile::be_at(rx, 2, 2);
    if (length > 168) return {};
    const Bytes body = unseal_area(rx, 4, length, peers::kClientKeyBytes, 168);
    seal::Schedule unused;
    if (seal::make_schedule(std::span<const std::uint8_t, 8>(body.data(), 8), unused) != 0)
        return {};
    if (peers::slice(body, 8, 40) != harness::text_field("files", 40)) {
        const auto id = peers::slice(body, 8, 40);
        const std::string text(id.begin(), std::find(id.begin(), id.end(), 0));
        return refused("Server ID of application server is worng = " + text + "\nABORT\n");
    }
    if (hostile::be_at(body, 56, 2) > 104) return {};
    const std::uint32_t validity =
        wire::load_le32(std::span<const std::uint8_t, 4>(body.data() + 48, 4)) +
        hostile::be_at(body, 52, 2);
    if (peers::now() < validity) return {true};
    return refused(" \nABORT\n");  // the line of the three times ends with a blank
}

Expect model_ap_reply(const Bytes& datagram, std::uint32_t nonce) {
    const Bytes rx = hostile::view<1010>(datagram);
    if (hostile::be_at(rx, 0, 2) != 5) return refused(type_line(hostile::be_at(rx, 0, 2)));
    const std::uint32_t length = hostile::be_at(rx, 2, 2);
    if (length > 32) return {};
    Bytes text = unseal_area(rx, 4, length, peers::kSessionKey, 33);
    text.back() = 0;
    const long n = std::strtol(reinterpret_cast<const char*>(text.data()), nullptr, 10);
    if (static_cast<std::uint32_t>(n) == nonce + 1) return {true};
    return refused(", but expecting " + std::to_string(nonce + 1) + "\nABORT\n");
}

Expect model_envelope(const Bytes& datagram, std::uint16_t last_id) {
    const Bytes rx = hostile::view<1010>(datagram);
    const std::uint32_t type = hostile::be_at(rx, 0, 2);
    if (type == 6) return refused("AP_ERR received - aborting\nABORT\n");
    if (type != 7) return refused(type_line(type));
    const std::uint32_t length = hostile::be_at(rx, 2, 2);
    if (length > 978) return {};
    const Bytes inner = unseal_area(rx, 4, length, peers::kSessionKey, 978);
    const std::uint32_t n = hostile::be_at(inner, 2, 2);
    if (hostile::be_at(inner, 0, 2) != 15 || hostile::be_at(inner, 4, 2) != last_id + 1U ||
        n > 972) {
        return {};  // a TERMINATE here carries no digest of this file either
    }
    return {true, peers::slice(inner, 6, n)};
}

// One client run with -DDEBUG against a scripted gatekeep (gk) and server (sv).
struct ClientRun {
    harness::TempDir dir;
    std::string out_path = dir.file("out.bin");
    harness::Peer gk, sv;
    harness::Program program{
        CLIENT_BIN,
        {"127.0.0.1", std::to_string(gk.port()), peers::kClientKey, "127.0.0.1",
         std::to_string(sv.port()), out_path, "alice", "files", "-DDEBUG"}};
    std::uint32_t nonce = 0;

    void reach_as_reply() { ASSERT_TRUE(gk.receive()) << program.output(); }
    void reach_ap_reply() {
        reach_as_reply();
        gk.reply(seal_as_rep(as_rep_plain()));
        const auto req = sv.receive();
        ASSERT_TRUE(req) << program.output();
        const Bytes auth = unseal_area(*req, 110, 48, peers::kSessionKey, 48);
        nonce = wire::load_le32(std::span<const std::uint8_t, 4>(auth.data() + 44, 4));
    }
    void reach_envelope() {
        reach_ap_reply();
        sv.reply(seal_ap_rep(ap_rep_plain(nonce)));
        ASSERT_TRUE(sv.receive()) << program.output();  // APP_DATA_REQ
    }
    void ends_with(const std::string& tail, hostile::Tally& tally) {
        EXPECT_EQ(program.wait_exit(), 0) << program.output();
        EXPECT_TRUE(hostile::ends_with(program.output(), tail)) << program.output();
        tally.ended(program.output());
    }
};

hostile::Tally g_tally;

std::size_t list_size(const hostile::Shape& s, std::uint32_t seed) {
    return hostile::datagrams(s, seed).size();
}

TEST(HostileClient, AsReplyReceivePoint) {
    hostile::Shape shape;
    shape.plain = as_rep_plain();
    shape.finish = seal_as_rep;
    shape.boundaries = {2, 4, 12, 52, 56, 60, 64, 172};
    shape.lengths = {{2, 2, 168, "length"}, {4 + 56, 2, 104, "ticket_length"}};
    auto list = hostile::datagrams(shape, 31);
    list.push_back(
        {"as_err", harness::concat({harness::be16(3), harness::text_field("alice", 40)})});
    for (const auto& d : list) {
        SCOPED_TRACE(d.name);
        ++g_tally.tried;
        ClientRun r;
        r.reach_as_reply();
        r.gk.reply(d.bytes);
        const Expect e = model_as_reply(d.bytes);
        if (e.goes_on) {
            const auto req = r.sv.receive();
            ASSERT_TRUE(req) << r.program.output();
            EXPECT_EQ(req->size(), ticket::kApReqSize);
            g_tally.went_on();
        } else {
            r.ends_with(e.tail, g_tally);
            EXPECT_FALSE(r.sv.receive(20ms));
            EXPECT_FALSE(std::filesystem::exists(r.out_path));
        }
    }
}

TEST(HostileClient, ApReplyReceivePoint) {
    hostile::Shape shape;
    shape.finish = seal_ap_rep;
    shape.boundaries = {2, 4, 12, 20};
    shape.lengths = {{2, 2, 32, "length"}};
    shape.plain = ap_rep_plain(0);
    const std::size_t n = list_size(shape, 32) + 2;
    for (std::size_t i = 0; i < n; ++i) {
        ++g_tally.tried;
        ClientRun r;
        r.reach_ap_reply();
        // The answer depends on the nonce, the client's clock: the list is made for this run.
        shape.plain = ap_rep_plain(r.nonce);
        auto list = hostile::datagrams(shape, 32);
        list.push_back({"nonce_itself", seal_ap_rep(ap_rep_plain(r.nonce - 1))});
        list.push_back({"ap_err", harness::concat({harness::be16(6), harness::zeros(40)})});
        const auto& d = list[i];
        SCOPED_TRACE(d.name);
        r.sv.reply(d.bytes);
        const Expect e = model_ap_reply(d.bytes, r.nonce);
        if (e.goes_on) {
            const auto prv = r.sv.receive();
            ASSERT_TRUE(prv) << r.program.output();
            EXPECT_EQ(peers::open_krb_prv(*prv), peers::inner(14, 0, 0, {}));
            g_tally.went_on();
            continue;
        }
        // A readable AP_REP with another number is answered with AP_ERR before the end.
        const Bytes rx = hostile::view<1010>(d.bytes);
        if (hostile::be_at(rx, 0, 2) == 5 && hostile::be_at(rx, 2, 2) <= 32) {
            const auto err = r.sv.receive();
            ASSERT_TRUE(err) << r.program.output();
            EXPECT_EQ(*err, harness::concat({harness::be16(6), harness::text_field("alice", 40)}));
        }
        r.ends_with(e.tail, g_tally);
        EXPECT_FALSE(std::filesystem::exists(r.out_path));
    }
}

// The hostile envelope arrives after `accepted` valid chunks (0 or 1).
void envelope_point(int accepted, std::uint32_t seed) {
    hostile::Shape shape;
    shape.plain = envelope_plain(static_cast<std::uint16_t>(accepted + 1));
    shape.finish = seal_envelope;
    shape.boundaries = {2, 4, 10, 106, 500};
    shape.lengths = {{2, 2, 978, "length"}, {6, 2, 972, "data_length"}};
    auto list = hostile::datagrams(shape, seed);
    list.push_back({"ap_err", harness::concat({harness::be16(6), harness::zeros(40)})});
    list.push_back({"terminate_wrong_digest", peers::app_terminate(Bytes(20, 7))});
    list.push_back(
        {"repeated_id", seal_envelope(envelope_plain(static_cast<std::uint16_t>(accepted)))});
    for (const auto& d : list) {
        SCOPED_TRACE(d.name);
        ++g_tally.tried;
        ClientRun r;
        r.reach_envelope();
        Bytes file;
        if (accepted == 1) {
            r.sv.reply(seal_envelope(envelope_plain(1)));
            file = kFirstChunk;
        }
        r.sv.reply(d.bytes);
        const Expect e = model_envelope(d.bytes, static_cast<std::uint16_t>(accepted));
        if (e.goes_on) {
            file = harness::concat({file, e.written});
            r.sv.reply(peers::app_terminate(harness::sha1(file)));
            EXPECT_EQ(r.program.wait_exit(), 0);
            EXPECT_EQ(hostile::last_line(r.program.output()), "OK");
            g_tally.went_on();
        } else {
            r.ends_with(e.tail, g_tally);
        }
        EXPECT_EQ(harness::TempDir::read(r.out_path), file);
    }
}

TEST(HostileClient, FirstEnvelopeReceivePoint) { envelope_point(0, 33); }

TEST(HostileClient, EnvelopeAfterAnAcceptedChunk) {
    envelope_point(1, 34);
    g_tally.print("client");
}

}  // namespace
