// peercheck as a client of a password server under test: JOIN_REQ, PASS_RESP after PASS_RESP as
// the case offers them, then the file, session after session.

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <utility>

#include "exact.h"
#include "helpers.h"
#include "pass_msg.h"
#include "script_kit.h"
#include "scripts.h"

namespace peercheck {

namespace {

using namespace kit;

using pass::Type;

constexpr std::uint16_t t16(Type t) { return static_cast<std::uint16_t>(t); }

// A PASS_REQ as the tests' server and lockbox-badreq send it: type 2, or type 12 from that
// build, which only the case aimed at it fails.
bool is_pass_req(const pass::Header& h) {
    return h.length == 0 && (pass::is(h, Type::PASS_REQ) || h.type == pass::kWrongType);
}

Reading read_join(const Bytes& d) {
    const pass::Header h = pass::read_header(pass::receive_area(d));
    if (pass::is_bare(h, Type::JOIN_REQ)) return Reading{kProceeds, "a valid JOIN_REQ"};
    return Reading{kRefuses,
                   fmt::format("type {} with length field {}: no JOIN_REQ", h.type, h.length)};
}

// A PASS_RESP as a conforming server reads it, with the session's wrong attempts so far. A
// repeated PASS_RESP may land on the one before it (a server need not clear its area between
// attempts): both readings then conform.
Reading read_pass_resp(const Bytes& d, const Bytes* previous, int wrong_before,
                       const std::string& password) {
    const auto judge = [&](const pass::RecvArea& area) -> Reading {
        const auto resp = pass::decode_pass_resp(area);
        if (!resp) {
            const pass::Header h = pass::read_header(area);
            return Reading{kRefuses, fmt::format("type {} with length field {}: no acceptable "
                                                 "PASS_RESP",
                                                 h.type, h.length)};
        }
        const bool right = resp->length == password.size() &&
                           std::equal(password.begin(), password.end(), resp->password.begin());
        if (right) return Reading{kProceeds, "the right password"};
        if (wrong_before + 1 >= 3) {
            return Reading{kRefuses, "a third wrong password", t16(Type::PASS_REJECT)};
        }
        return Reading{kRetries, fmt::format("wrong password {} of 3", wrong_before + 1)};
    };
    Reading r = judge(pass::receive_area(d));
    if (previous != nullptr) {
        pass::RecvArea area = pass::receive_area(*previous);
        std::copy_n(d.begin(), std::min(d.size(), area.size()), area.begin());
        const Reading over = judge(area);
        if (over.allowed != r.allowed) {
            r.allowed |= over.allowed;
            if (r.reply == 0) r.reply = over.reply;
            r.text += fmt::format("; read over the attempt before it: {}", over.text);
        }
    }
    return r;
}

unsigned reaction_of(const std::optional<Bytes>& got, const Talk& talk, std::string& text) {
    if (!got) {
        const bool ended = talk.ended();
        text = ended ? "answered nothing and ended" : "answered nothing and kept running";
        return ended ? kRefuses : 0u;
    }
    const pass::Header h = pass::read_header(pass::receive_area(*got));
    text = "answered " + pass_type_text(h.type);
    if (pass::is_bare(h, Type::PASS_ACCEPT)) return kProceeds;
    if (is_pass_req(h)) return kRetries;
    if (pass::is_bare(h, Type::PASS_REJECT)) return kRefuses;
    return 0;
}

// The mistake that fits a server's answer to an unchanged PASS_RESP, when one does.
std::string why_taken(unsigned did, unsigned allowed, const std::string& word,
                      const std::string& right, bool third_overall) {
    if (did == kRefuses && allowed == kRetries && third_overall) {
        return "the attempt count not set again for a new session";
    }
    if (did != kProceeds || word == right) return {};
    if (word.size() < right.size() && right.compare(0, word.size(), word) == 0) {
        return "the password compared only as far as the PASS_RESP's length field, so each "
               "prefix of it passes";
    }
    if (word.size() > right.size() && word.compare(0, right.size(), right) == 0) {
        return "the length field not required to equal the password's length";
    }
    const auto lower = [](std::string s) {
        for (char& ch : s) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        return s;
    };
    if (lower(word) == lower(right)) return "the password compared without regard to case";
    return {};
}

// DATA after DATA, then TERMINATE, with the checks the case asks for.
bool receive_file(Talk& talk, const Socket& sock, const Bytes& file, const std::string& path) {
    const Case& c = talk.c();
    Outcome& o = talk.outcome();
    Bytes got, previous;
    std::size_t n = 0;
    const std::size_t expected_chunks = file.size() / pass::kChunkSize + 1;
    for (;;) {
        const auto d = talk.receive(sock, fmt::format("waiting for DATA {}", n + 1));
        if (!d) {
            o.fail("DATA, then TERMINATE",
                   fmt::format("{} after {} DATA", within(talk.env().wait), n));
            return false;
        }
        const auto a = pass::receive_area(*d);
        const pass::Header h = pass::read_header(a);
        if (pass::is(h, Type::TERMINATE)) {
            pass::Digest want{};
            common::mysha1(path.c_str(), want);
            if (wants_exact(c, static_cast<std::uint16_t>(Type::TERMINATE))) {
                check_exact(o, exact_password(*d, terminate_with(want)));
            }
            const auto sent = wire::at<pass::kDigest>(a);
            if ((c.checks & kDigest) != 0 && !std::equal(want.begin(), want.end(), sent.begin())) {
                o.fail(
                    fmt::format("the file's SHA-1 digest {:02x} in TERMINATE", fmt::join(want, "")),
                    fmt::format("digest {:02x}", fmt::join(sent, "")),
                    o.served > 0 ? "the digest computed once, not for each session"
                                 : std::string{});
            }
            break;
        }
        if (!pass::is(h, Type::DATA)) {
            o.fail("DATA or TERMINATE", pass_type_text(h.type));
            return false;
        }
        const pass::Data data = pass::read_data(a);
        // DATA n + 1 as it should have been: what the likely cause is read from.
        const Bytes want = data_of(file, n);
        const auto diff = exact_password(*d, want, n > 0 ? &previous : nullptr);
        const std::string cause = diff ? diff->cause : std::string{};
        if (data.length > pass::kChunkSize) {
            o.fail("DATA of at most 1000 bytes", fmt::format("length {}", data.length), cause);
            return false;
        }
        if (n > expected_chunks + 16) {
            o.fail("the file's chunks", fmt::format("more than {} DATA", n));
            return false;
        }
        if (wants_exact(c, static_cast<std::uint16_t>(Type::DATA))) check_exact(o, diff);
        if ((c.checks & kIds) != 0 && data.packet_id != n + 1) {
            o.fail(fmt::format("packet id {}", n + 1), fmt::format("packet id {}", data.packet_id),
                   n == 0 && o.served > 0 ? "the packet counter not set again for the next session"
                                          : cause);
        }
        if ((c.checks & kIds) != 0 && n > 0 && data.length > 0 &&
            pass::read_data(pass::receive_area(previous)).length != pass::kChunkSize) {
            o.fail("every DATA but the last of 1000 bytes", fmt::format("DATA {} was short", n));
        }
        const auto bytes = data.data.first(data.length);
        got.insert(got.end(), bytes.begin(), bytes.end());
        previous = *d;
        ++n;
    }
    if ((c.checks & kChunks) != 0 && n != expected_chunks) {
        o.fail(fmt::format("{} DATA for {} bytes (a file of a whole number of chunks ends with an "
                           "empty one)",
                           expected_chunks, file.size()),
               fmt::format("{} DATA", n));
    }
    if (got != file) {
        const auto m = std::mismatch(file.begin(), file.end(), got.begin(), got.end());
        o.fail(fmt::format("the file of {} bytes", file.size()),
               fmt::format("{} bytes, first difference at byte {}", got.size(),
                           m.first - file.begin()),
               o.served > 0 ? "the file opened or read once, not afresh for each session"
                            : std::string{});
        return false;
    }
    return o.ok;
}

}  // namespace

void play_pass_client(Scripted& s, const ScriptEnv& env, std::uint16_t server_port) {
    Talk talk(env, s);
    Outcome& o = s.o;
    const Case& c = env.c;
    const auto to = loopback(server_port);
    // The server's own password: the agreed one, or the case's.
    const std::string right =
        c.impl_passwords.empty() ? std::string(kPassword) : c.impl_passwords[0];
    Bytes file = env.file;
    int wrong_overall = 0;
    for (int k = 0; k < c.clients && o.ok; ++k) {
        if (k > 0 && c.story == Story::file_changes) {
            file = pattern(file.size() / 2 + 1000, static_cast<std::uint32_t>(k) + 77);
            write_file(env.file_path, file);
        }
        const Socket& sock = s.open();
        const Bytes join = talk.tamper(At::join_req, bare(t16(Type::JOIN_REQ)));
        const bool join_changed = talk.changes(At::join_req);
        talk.deliver(At::join_req, sock, join, to, read_join(join));
        const auto req = talk.receive(sock, "waiting for PASS_REQ");
        std::string text;
        const unsigned joined = reaction_of(req, talk, text);
        if (join_changed) talk.react(joined == kRetries ? kProceeds : joined, text);
        if (!req) {
            if (!join_changed) o.fail("a PASS_REQ", within(env.wait));
            return;
        }
        const pass::Header h = pass::read_header(pass::receive_area(*req));
        if (wants_exact(c, static_cast<std::uint16_t>(Type::PASS_REQ))) {
            check_exact(o, exact_password(*req, bare(t16(Type::PASS_REQ))));
        }
        if (c.story == Story::slow_peer) {
            wait_slowly(talk, sock, "its PASS_REQ");
            if (!o.ok) return;
        }
        if (!is_pass_req(h)) {
            if (!join_changed) o.fail("a PASS_REQ", pass_type_text(h.type));
            return;
        }

        std::vector<std::string> words = c.offered.empty() ? std::vector{right} : c.offered;
        if (c.story == Story::attempts_spread) words = {"wrong", "worse", right};
        int wrong = 0;
        const Bytes* previous = nullptr;
        Bytes last;
        bool accepted = false;
        for (std::size_t i = 0; i < words.size() && !accepted; ++i) {
            // The last attempt comes from another socket when the story says so: the answer and
            // the file must follow it.
            const bool moved = c.story == Story::other_port && i + 1 == words.size();
            const Socket& from = moved ? s.open() : sock;
            const Bytes resp = talk.tamper(At::pass_resp, pass_resp(words[i]));
            const bool changed = talk.changes(At::pass_resp);
            const Reading r = read_pass_resp(resp, previous, wrong, right);
            talk.deliver(At::pass_resp, from, resp, to, r);
            last = resp;
            previous = &last;
            const auto answer =
                talk.receive(from, fmt::format("waiting for the answer to attempt {}", i + 1));
            const unsigned did = reaction_of(answer, talk, text);
            if (changed) talk.react(did, text);
            if (!answer && moved && !changed && talk.receive(sock, "a stray answer")) {
                return o.fail("the answer sent to the source of the PASS_RESP it answers",
                              "it went to the JOIN_REQ's source",
                              "a reply sent to an earlier datagram's source");
            }
            if (!changed && (did & r.allowed) == 0) {
                const std::string cause =
                    why_taken(did, r.allowed, words[i], right, wrong_overall + wrong + 1 >= 3);
                return o.fail(fmt::format("{}: the server {}", r.text, reaction_text(r.allowed)),
                              text, cause);
            }
            if (answer && wants_exact(c, static_cast<std::uint16_t>(Type::PASS_REJECT)) &&
                did == kRefuses) {
                check_exact(o, exact_password(*answer, bare(t16(Type::PASS_REJECT))));
            }
            if (answer && wants_exact(c, static_cast<std::uint16_t>(Type::PASS_REQ)) &&
                did == kRetries) {
                check_exact(o, exact_password(*answer, bare(t16(Type::PASS_REQ))));
            }
            if (answer && wants_exact(c, static_cast<std::uint16_t>(Type::PASS_ACCEPT)) &&
                did == kProceeds) {
                check_exact(o, exact_password(*answer, bare(t16(Type::PASS_ACCEPT))));
            }
            if (did == kRefuses || !answer) return;
            if (did == kRetries) ++wrong;
            accepted = did == kProceeds;
            if (accepted && !receive_file(talk, from, file, env.file_path)) return;
            if (accepted && moved) {
                if (auto stray = talk.watch(sock); !stray.empty()) {
                    return o.fail(
                        "nothing sent to the JOIN_REQ's source once the PASS_RESP came "
                        "from another",
                        fmt::format("{} datagrams went there", stray.size()),
                        "a reply sent to an earlier datagram's source");
                }
            }
        }
        if (!accepted) return;
        wrong_overall += wrong;
        ++o.served;
    }
    o.finished = true;
}

}  // namespace peercheck
