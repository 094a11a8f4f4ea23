// The conformance runner's own logic, without processes: the catalogue's shape, the changes a
// case makes to a datagram, and the exact checks with the likely causes they name. Datagrams are
// built with common/'s builders from keys chosen here; each mistake is made by hand on a right
// datagram, so a cause is seen to fire on its mistake and on nothing else.

#define OPENSSL_SUPPRESS_DEPRECATED  // DES_ncbc_encrypt, to seal from another IV than ours
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>

#include "catalogue.h"
#include "exact.h"
#include "points.h"
#include "scripts.h"

namespace {

using peercheck::At;
using peercheck::Bytes;
using peercheck::Case;
using peercheck::Expect;
using peercheck::Op;
using peercheck::Part;
using peercheck::Peers;
using peercheck::Role;

constexpr seal::Key kSession{0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef};
constexpr std::uint32_t kNow = 1796000000;

seal::Schedule schedule(const seal::Key& key) {
    seal::Schedule s;
    EXPECT_EQ(seal::make_schedule(key, s), 0);
    return s;
}

template <std::size_t N>
Bytes bytes(const std::array<std::uint8_t, N>& a) {
    return Bytes(a.begin(), a.end());
}

// ---------------------------------------------------------------- the catalogue

TEST(Catalogue, EveryCaseIsNamedOnceAndCanReachWhatItJudges) {
    for (const Role role : peercheck::kRoles) {
        std::set<std::string> ids;
        const std::string prefix = std::string(peercheck::role_name(role)) + "/";
        for (const Case& c : peercheck::catalogue(role)) {
            SCOPED_TRACE(c.id);
            EXPECT_TRUE(ids.insert(c.id).second) << "twice";
            EXPECT_TRUE(c.id.starts_with(prefix));
            EXPECT_EQ(c.title.find('\n'), std::string::npos);
            EXPECT_FALSE(c.title.empty());
            // A changed datagram arrives at one of the role's own receive points.
            if (c.tamper.op != Op::none) {
                EXPECT_EQ(peercheck::point(c.tamper.at).role, role);
                EXPECT_EQ(c.peers, Peers::script);
            }
            // A scripted refusal needs a datagram to refuse; one with our programs a place the
            // refusal must be seen to come from.
            const bool refusal = c.expect == Expect::refuse || c.expect == Expect::refuse_end;
            if (refusal && c.peers == Peers::script) {
                EXPECT_TRUE(c.tamper.op != Op::none ||
                            c.story == peercheck::Story::ticket_other_key);
            }
            if (c.expect == Expect::refuse && c.peers == Peers::ours) {
                EXPECT_NE(c.reached, At::none);
            }
            if (c.expect == Expect::reading) {
                EXPECT_NE(c.tamper.op, Op::none);
            }
        }
        // Every receive point of the role is cut, given each type and noise.
        for (const peercheck::Point& p : peercheck::points_of(role)) {
            for (const char* family : {"/cut/", "/type/", "/hostile/"}) {
                EXPECT_TRUE(std::any_of(
                    ids.begin(), ids.end(),
                    [&](const std::string& i) {
                        return i.starts_with(prefix.substr(0, prefix.size() - 1) + family + p.slug);
                    }))
                    << p.slug << family;
            }
        }
    }
}

TEST(Catalogue, LengthFamiliesTryTheLimitAndBothSidesOfIt) {
    const auto& server = peercheck::catalogue(Role::server);
    std::set<std::string> ids;
    for (const Case& c : server) ids.insert(c.id);
    for (const char* want :
         {"server/length/ap-req-ticket-length-0", "server/length/ap-req-ticket-length-104",
          "server/length/ap-req-ticket-length-105", "server/length/ap-req-ticket-length-65535",
          "server/length/krb-prv-length-978", "server/length/krb-prv-length-979"}) {
        EXPECT_EQ(ids.count(want), 1u) << want;
    }
}

// ---------------------------------------------------------------- the changes a case makes

struct Change {
    const char* name;
    peercheck::Tamper tamper;
    Bytes want;
};

void PrintTo(const Change& c, std::ostream* os) { *os << c.name; }

class TamperOps : public testing::TestWithParam<Change> {};

TEST_P(TamperOps, ChangeOnlyTheDatagramTheyName) {
    Case c;
    c.tamper = GetParam().tamper;
    peercheck::Log log(peercheck::Clock::now());
    const peercheck::ScriptEnv env{c, log, peercheck::Millis{10}, "", {}, std::nullopt, nullptr};
    peercheck::Scripted s;
    peercheck::Talk talk(env, s);
    const Bytes datagram{0x00, 0x05, 0x00, 0x00, 0x00, 0x00, 0x00, 0x03, 0xAA, 0xBB};
    // Another point, or another arrival at this one, is left alone.
    EXPECT_EQ(talk.tamper(At::data, datagram), datagram);
    const Bytes got = talk.tamper(At::pass_req, datagram);
    if (GetParam().tamper.op == Op::noise) {
        ASSERT_EQ(got.size(), 10u);
        EXPECT_EQ(got[0], 0xEE);
        EXPECT_EQ(got[1], 0xEE);
    } else {
        EXPECT_EQ(got, GetParam().want);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Peercheck, TamperOps,
    testing::Values(
        Change{"Cut", {At::pass_req, 1, Part::datagram, Op::cut, {}, 3}, {0x00, 0x05, 0x00}},
        Change{"SetBigEndian",
               {At::pass_req, 1, Part::datagram, Op::set, {4, 4}, 0x01020304},
               {0x00, 0x05, 0x00, 0x00, 0x01, 0x02, 0x03, 0x04, 0xAA, 0xBB}},
        Change{"SetLittleEndian",
               {At::pass_req, 1, Part::datagram, Op::set_le, {4, 4}, 0x01020304},
               {0x00, 0x05, 0x00, 0x00, 0x04, 0x03, 0x02, 0x01, 0xAA, 0xBB}},
        Change{"Put",
               {At::pass_req, 1, Part::datagram, Op::put, {8, 2}, 0, "xy"},
               {0x00, 0x05, 0x00, 0x00, 0x00, 0x00, 0x00, 0x03, 'x', 'y'}},
        Change{"Flip",
               {At::pass_req, 1, Part::datagram, Op::flip, {9, 1}, 0x0F},
               {0x00, 0x05, 0x00, 0x00, 0x00, 0x00, 0x00, 0x03, 0xAA, 0xB4}},
        Change{"Noise", {At::pass_req, 1, Part::datagram, Op::noise, {}, 10}, {}},
        Change{"SecondArrivalOnly",
               {At::pass_req, 2, Part::datagram, Op::cut, {}, 0},
               {0x00, 0x05, 0x00, 0x00, 0x00, 0x00, 0x00, 0x03, 0xAA, 0xBB}}),
    [](const auto& p) { return std::string(p.param.name); });

// ---------------------------------------------------------------- exact checks and causes

struct Mistake {
    const char* name;
    // The datagram as a right sender sends it, then made wrong in one way.
    std::function<Bytes()> build;
    std::function<peercheck::Difference(const Bytes&)> check;
    const char* cause;  // a part of the likely cause, or nullptr: right, or no cause known
    bool right = false;
};

void PrintTo(const Mistake& m, std::ostream* os) { *os << m.name; }

const ticket::Address kAddr{127, 0, 1, 1};

Bytes ap_req(std::uint32_t nonce, const ticket::Address& addr, std::string_view client,
             bool chain_iv) {
    const auto session = schedule(kSession);
    ticket::BodyArea body{};
    wire::store_be16(wire::at<ticket::kBodyTicketLength>(body), 104);
    ticket::AuthArea auth{};
    ticket::build_authenticator(auth, *ticket::make_id(std::string(client).c_str()), addr, nonce);
    std::array<std::uint8_t, ticket::kApReqSize> out;
    ticket::build_ap_req(out, body, auth, session);
    if (chain_iv) {
        // Sealed from the last ciphertext block of something sealed before, not the protocol IV.
        DES_cblock iv{1, 2, 3, 4, 5, 6, 7, 8};
        DES_ncbc_encrypt(auth.data(), out.data() + ticket::kApReqAuth.offset, auth.size(),
                         const_cast<DES_key_schedule*>(&session.ks), &iv, DES_ENCRYPT);
    }
    return bytes(out);
}

peercheck::Difference check_ap_req(const Bytes& d) {
    ticket::BodyArea body{};
    wire::store_be16(wire::at<ticket::kBodyTicketLength>(body), 104);
    in_addr host{};
    std::memcpy(&host.s_addr, kAddr.data(), 4);
    // The IV a chained seal would have started from, among the blocks handled before.
    const peercheck::Chain chain{{9, 9, 9, 9, 9, 9, 9, 9}, {1, 2, 3, 4, 5, 6, 7, 8}};
    return peercheck::exact_ap_req(d, body, *ticket::make_id("alice"), host, schedule(kSession),
                                   kNow, chain);
}

Bytes ap_rep(std::uint32_t nonce, std::uint16_t length) {
    std::array<std::uint8_t, ticket::kApRepSize> out;
    ticket::build_ap_rep(out, static_cast<std::int32_t>(nonce + 1), schedule(kSession));
    if (length != 0) wire::store_be16(wire::at<ticket::kApRepLength>(out), length);
    return bytes(out);
}

Bytes data(std::uint32_t id_value, std::uint32_t length, const Bytes& stale) {
    Bytes d(pass::kDataSize, 0);
    std::copy(stale.begin(), stale.end(), d.begin() + 12);
    std::fill_n(d.begin() + 12, length, 0x41);
    pass::stamp_data(std::span<std::uint8_t, pass::kDataSize>(d.data(), d.size()), length,
                     id_value);
    return d;
}

class ExactChecks : public testing::TestWithParam<Mistake> {};

TEST_P(ExactChecks, NameTheMistakeThatFits) {
    const Mistake& m = GetParam();
    const auto diff = m.check(m.build());
    if (m.right) {
        EXPECT_FALSE(diff) << diff->expected << " / " << diff->observed;
        return;
    }
    ASSERT_TRUE(diff);
    if (m.cause == nullptr) {
        EXPECT_EQ(diff->cause, "") << diff->expected;
    } else {
        EXPECT_NE(diff->cause.find(m.cause), std::string::npos)
            << diff->expected << " / " << diff->observed << " / " << diff->cause;
    }
}

const Bytes kStaleChunk(1000, 0x42);

INSTANTIATE_TEST_SUITE_P(
    Peercheck, ExactChecks,
    testing::Values(
        Mistake{"ApReqRight", [] { return ap_req(kNow, kAddr, "alice", false); }, check_ap_req,
                nullptr, true},
        Mistake{"ApReqNonceInNetworkOrder",
                [] { return ap_req(peercheck::swapped(kNow), kAddr, "alice", false); },
                check_ap_req, "nonce written in network byte order"},
        Mistake{"ApReqAddressReversed",
                [] {
                    return ap_req(kNow, ticket::Address{1, 1, 0, 127}, "alice", false);
                },
                check_ap_req, "address written in the other byte order"},
        Mistake{"ApReqIvChained", [] { return ap_req(kNow, kAddr, "alice", true); }, check_ap_req,
                "IV must be set again"},
        Mistake{"ApReqOtherClient", [] { return ap_req(kNow, kAddr, "bob", false); }, check_ap_req,
                nullptr},
        Mistake{"ApRepRight", [] { return ap_rep(kNow, 0); },
                [](const Bytes& d) { return peercheck::exact_ap_rep(d, schedule(kSession), kNow); },
                nullptr, true},
        Mistake{"ApRepLengthRounded", [] { return ap_rep(kNow, 16); },
                [](const Bytes& d) { return peercheck::exact_ap_rep(d, schedule(kSession), kNow); },
                "rounded up to the seal block"},
        Mistake{"ApRepLengthWithoutFour", [] { return ap_rep(kNow, 10); },
                [](const Bytes& d) { return peercheck::exact_ap_rep(d, schedule(kSession), kNow); },
                "without the 4"},
        Mistake{"ApRepNonceItself", [] { return ap_rep(kNow - 1, 0); },
                [](const Bytes& d) { return peercheck::exact_ap_rep(d, schedule(kSession), kNow); },
                "the nonce itself"},
        Mistake{
            "DataRight", [] { return data(2, 10, {}); },
            [](const Bytes& d) { return peercheck::exact_password(d, data(2, 10, {}), nullptr); },
            nullptr, true},
        Mistake{"DataNotCleared", [] { return data(2, 10, kStaleChunk); },
                [](const Bytes& d) {
                    const Bytes before = data(1, 1000, kStaleChunk);
                    Bytes prev = before;
                    std::fill_n(prev.begin() + 12, 1000, 0x42);
                    return peercheck::exact_password(d, data(2, 10, {}), &prev);
                },
                "reused without clearing"},
        Mistake{
            "DataLengthLittleEndian",
            [] {
                Bytes d = data(2, 10, {});
                std::swap(d[4], d[7]);
                std::swap(d[5], d[6]);
                return d;
            },
            [](const Bytes& d) { return peercheck::exact_password(d, data(2, 10, {}), nullptr); },
            "least significant byte first"},
        Mistake{
            "DataOtherBytes", [] { return data(3, 10, {}); },
            [](const Bytes& d) { return peercheck::exact_password(d, data(2, 10, {}), nullptr); },
            nullptr}),
    [](const auto& p) { return std::string(p.param.name); });

}  // namespace
