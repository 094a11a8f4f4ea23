// Writes the seed corpora: valid datagrams of every type each target meets, built by the shared
// builders with the targets' fixed keys, and the same datagrams with their sealed regions left
// plain (the targets seal those regions themselves on their second reading).
// Usage: fuzz_make_corpus <corpus folder>; each target's seeds go to <folder>/<target>/.

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "pass_msg.h"
#include "ticket_msg.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Seeds = std::map<std::string, Bytes>;

template <std::size_t N>
Bytes bytes_of(const std::array<std::uint8_t, N>& a) {
    return Bytes(a.begin(), a.end());
}

const ticket::Id kClient = *ticket::make_id(fuzz::kClientId);
const ticket::Id kServer = *ticket::make_id(fuzz::kServerId);
const ticket::Address kAddr{127, 0, 0, 1};
using fuzz::kNonce;
using fuzz::kTimestamp;

seal::Schedule sched(const seal::Key& k) { return fuzz::schedule(k); }

// ---- Ticket protocol ----

std::array<std::uint8_t, ticket::kAsRepSize> as_rep() {
    std::array<std::uint8_t, ticket::kAsRepSize> out{};
    const ticket::TicketFacts facts{fuzz::kSessionKey, kClient, kAddr, kServer, kTimestamp};
    ticket::build_as_rep(out, facts, sched(fuzz::kServerKey), sched(fuzz::kClientKey));
    return out;
}

// The AS_REP with its body unsealed in place: what the plain reading of a target seals again.
Bytes as_rep_plain() {
    auto rep = as_rep();
    ticket::RecvArea rx{};
    std::ranges::copy(rep, rx.begin());
    ticket::BodyArea body{};
    ticket::unseal_as_rep_body(rx, sched(fuzz::kClientKey), body);
    std::ranges::copy(body, wire::at<ticket::kAsRepBody>(rep).begin());
    return bytes_of(rep);
}

ticket::BodyArea body_of_as_rep() {
    ticket::RecvArea rx{};
    std::ranges::copy(as_rep(), rx.begin());
    ticket::BodyArea body{};
    ticket::unseal_as_rep_body(rx, sched(fuzz::kClientKey), body);
    return body;
}

std::array<std::uint8_t, ticket::kAuthSize> authenticator(std::uint32_t nonce) {
    std::array<std::uint8_t, ticket::kAuthSize> auth{};
    ticket::build_authenticator(auth, kClient, kAddr, nonce);
    return auth;
}

std::array<std::uint8_t, ticket::kApReqSize> ap_req() {
    std::array<std::uint8_t, ticket::kApReqSize> out{};
    ticket::build_ap_req(out, body_of_as_rep(), authenticator(kNonce), sched(fuzz::kSessionKey));
    return out;
}

Bytes ap_req_plain() {
    auto req = ap_req();
    ticket::RecvArea rx{};
    std::ranges::copy(req, rx.begin());
    const auto lengths = *ticket::read_ap_req(rx);
    ticket::TicketArea tk{};
    ticket::unseal_ticket(rx, lengths, sched(fuzz::kServerKey), tk);
    std::ranges::copy(tk, wire::at<ticket::kApReqTicket>(req).begin());
    std::ranges::copy(authenticator(kNonce), wire::at<ticket::kApReqAuth>(req).begin());
    return bytes_of(req);
}

Bytes ap_rep(std::int32_t answer) {
    std::array<std::uint8_t, ticket::kApRepSize> out{};
    ticket::build_ap_rep(out, answer, sched(fuzz::kSessionKey));
    return bytes_of(out);
}

// The answer as plain text where the sealed bytes stand, its length field as the sender's rule.
Bytes ap_rep_plain(std::int32_t answer) {
    Bytes out = ap_rep(answer);
    const std::string text = std::to_string(answer);
    std::fill(out.begin() + 4, out.end(), 0);
    std::copy(text.begin(), text.end(), out.begin() + 4);
    return out;
}

ticket::Inner inner_data_req() {
    ticket::Inner inner{};
    ticket::build_app_data_req(inner);
    return inner;
}
ticket::Inner inner_data(std::uint16_t pid, std::size_t n) {
    ticket::Inner inner{};
    Bytes chunk(n);
    for (std::size_t i = 0; i < n; ++i) chunk[i] = static_cast<std::uint8_t>('a' + i % 26);
    ticket::build_app_data(inner, pid, chunk);
    return inner;
}
ticket::Inner inner_terminate() {
    ticket::Inner inner{};
    ticket::Digest d{};
    for (std::size_t i = 0; i < d.size(); ++i) d[i] = static_cast<std::uint8_t>(0x10 + i);
    ticket::build_app_terminate(inner, d);
    return inner;
}

Bytes krb_prv(const ticket::Inner& inner) {
    std::array<std::uint8_t, ticket::kPrvSize> out{};
    ticket::build_krb_prv(out, inner, sched(fuzz::kSessionKey));
    return bytes_of(out);
}
Bytes krb_prv_plain(const ticket::Inner& inner) {
    Bytes out = krb_prv(inner);
    std::fill(out.begin() + 4, out.end(), 0);
    std::ranges::copy(inner, out.begin() + 4);
    return out;
}

Bytes as_req(const ticket::Id& client, const ticket::Id& server) {
    std::array<std::uint8_t, ticket::kAsReqSize> out{};
    ticket::build_as_req(out, client, server);
    return bytes_of(out);
}

Bytes as_err() {
    std::array<std::uint8_t, ticket::kAsErrSize> out{};
    ticket::build_as_err(out, kClient);
    return bytes_of(out);
}

Bytes ap_err() {
    std::array<std::uint8_t, ticket::kApErrSize> out{};
    ticket::build_ap_err(out, &kClient);
    return bytes_of(out);
}

// ---- Password protocol ----

Bytes bare(std::uint16_t type) {
    std::array<std::uint8_t, pass::kHeaderSize> out{};
    pass::build_bare(out, type);
    return bytes_of(out);
}

Bytes pass_resp(const std::string& password) {
    std::array<std::uint8_t, pass::kPassRespSize> out{};
    pass::build_pass_resp(
        out, static_cast<std::uint16_t>(password.size()),
        std::span(reinterpret_cast<const std::uint8_t*>(password.data()), password.size()));
    return bytes_of(out);
}

Bytes data(std::uint32_t id, std::size_t n) {
    std::array<std::uint8_t, pass::kDataSize> out{};
    for (std::size_t i = 0; i < n; ++i)
        out[pass::kData.offset + i] = static_cast<std::uint8_t>('A' + i % 26);
    pass::stamp_data(out, static_cast<std::uint32_t>(n), id);
    return bytes_of(out);
}

Bytes terminate() {
    std::array<std::uint8_t, pass::kTerminateSize> out{};
    pass::Digest d{};
    for (std::size_t i = 0; i < d.size(); ++i) d[i] = static_cast<std::uint8_t>(0x30 + i);
    pass::build_terminate(out, d);
    return bytes_of(out);
}

// ---- The seeds of each target ----

Seeds ticket_replies() {
    return {{"as_rep", bytes_of(as_rep())},
            {"as_rep_plain", as_rep_plain()},
            {"as_err", as_err()},
            {"ap_rep_1001", ap_rep(1001)},
            {"ap_rep_8_digits", ap_rep(12345678)},
            {"ap_rep_10_digits", ap_rep(static_cast<std::int32_t>(kNonce + 1))},
            {"ap_rep_negative", ap_rep(-1700000000)},
            {"ap_rep_plain", ap_rep_plain(static_cast<std::int32_t>(kNonce + 1))},
            {"ap_err", ap_err()},
            {"krb_prv_data", krb_prv(inner_data(1, 972))},
            {"krb_prv_data_short", krb_prv(inner_data(2, 5))},
            {"krb_prv_data_empty", krb_prv(inner_data(1, 0))},
            {"krb_prv_terminate", krb_prv(inner_terminate())},
            {"krb_prv_data_plain", krb_prv_plain(inner_data(1, 100))},
            {"krb_prv_terminate_plain", krb_prv_plain(inner_terminate())}};
}

Seeds ticket_requests() {
    return {{"as_req", as_req(kClient, kServer)},
            {"as_req_wrong_server", as_req(kClient, kClient)},
            {"ap_req", bytes_of(ap_req())},
            {"ap_req_plain", ap_req_plain()},
            {"ap_err", ap_err()},
            {"krb_prv_data_req", krb_prv(inner_data_req())},
            {"krb_prv_data_req_plain", krb_prv_plain(inner_data_req())},
            {"krb_prv_data", krb_prv(inner_data(1, 10))}};
}

Seeds password_messages() {
    Seeds s{{"join_req", bare(1)},
            {"pass_req", bare(2)},
            {"pass_resp", pass_resp(fuzz::kPassword)},
            {"pass_resp_50", pass_resp(std::string(50, 'p'))},
            {"pass_resp_empty", pass_resp("")},
            {"pass_accept", bare(4)},
            {"data_full", data(1, 1000)},
            {"data_short", data(2, 234)},
            {"data_empty", data(3, 0)},
            {"terminate", terminate()},
            {"pass_reject", bare(7)},
            {"wrong_type_12", bare(pass::kWrongType)}};
    return s;
}

std::map<std::string, Seeds> all_targets() {
    return {
        {"gatekeep_classify", ticket_requests()},
        {"unseal_as_rep_body", ticket_replies()},
        {"read_ap_req", ticket_requests()},
        {"read_ap_rep_answer", ticket_replies()},
        {"unseal_krb_prv",
         [] {
             Seeds s = ticket_replies();
             s.merge(ticket_requests());
             return s;
         }()},
        {"decode_pass_resp", password_messages()},
        {"read_data", password_messages()},
        {"client_check_as_reply", ticket_replies()},
        {"client_check_ap_reply", ticket_replies()},
        {"client_check_envelope", ticket_replies()},
        {"server_check_ap_req", ticket_requests()},
        {"server_check_request", ticket_requests()},
        {"lockbox_is_join_req", password_messages()},
        {"lockbox_check_password", password_messages()},
        {"lockbox_classify_any", password_messages()},
        {"latchkey_is_first_pass_req", password_messages()},
        {"latchkey_judge_answer", password_messages()},
        {"latchkey_is_data", password_messages()},
        {"latchkey_next_piece", password_messages()},
        {"latchkey_terminate_matches", password_messages()},
    };
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::printf("usage: fuzz_make_corpus <corpus folder>\n");
        return 2;
    }
    const std::filesystem::path root(argv[1]);
    std::size_t written = 0;
    for (const auto& [target, seeds] : all_targets()) {
        std::filesystem::create_directories(root / target);
        for (const auto& [name, bytes] : seeds) {
            std::ofstream f(root / target / name, std::ios::binary | std::ios::trunc);
            f.write(reinterpret_cast<const char*>(bytes.data()),
                    static_cast<std::streamsize>(bytes.size()));
            ++written;
        }
    }
    std::printf("%zu seeds written\n", written);
    return 0;
}
