// peercheck as a password server for a password client under test: PASS_REQ, an answer to each
// PASS_RESP, then the file, each datagram read as a conforming client would read it.

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

// A conforming password client, as far as the datagrams it receives decide. Its receive area
// may be cleared before every receive, or only once PASS_ACCEPT has arrived: both conform, and a
// short datagram reads differently under each, so both are followed.
struct Reader {
    explicit Reader(bool clears) : clears_every_time(clears) {}
    bool clears_every_time;
    pass::RecvArea area{};
    enum class Stage { joining, answered, receiving, loading, ended } stage = Stage::joining;
    std::size_t words_left = 3;
    std::uint32_t last_id = 0;
    Bytes written;

    Reading take(const Bytes& d) {
        if (stage == Stage::ended) return Reading{kRefuses, "after the client ended"};
        if (clears_every_time) area.fill(0);
        std::copy_n(d.begin(), std::min(d.size(), area.size()), area.begin());
        Reading r = read();
        if ((r.allowed & (kProceeds | kRetries)) == 0) stage = Stage::ended;
        return r;
    }

private:
    Reading read() {
        const pass::Header h = pass::read_header(area);
        switch (stage) {
            case Stage::joining:
                if (!pass::is_bare(h, Type::PASS_REQ)) {
                    return Reading{kRefuses, fmt::format("type {}, length {}: no first PASS_REQ",
                                                         h.type, h.length)};
                }
                stage = Stage::answered;
                --words_left;
                return Reading{kProceeds, "a PASS_REQ"};
            case Stage::answered:
                if (pass::is(h, Type::PASS_REQ)) {
                    if (words_left == 0) {
                        return Reading{kRefuses | kWaits,
                                       "a PASS_REQ after the third password: no word is left"};
                    }
                    --words_left;
                    return Reading{kRetries, "a PASS_REQ for the next password"};
                }
                if (pass::is_bare(h, Type::PASS_ACCEPT)) {
                    stage = Stage::receiving;
                    area.fill(0);
                    return Reading{kProceeds, "a PASS_ACCEPT"};
                }
                return Reading{kRefuses, fmt::format("type {}, length {}: neither PASS_REQ nor "
                                                     "PASS_ACCEPT",
                                                     h.type, h.length)};
            case Stage::receiving:
            case Stage::loading:
                return read_transfer(h);
            case Stage::ended:
                break;
        }
        return Reading{kRefuses, "after the client ended"};
    }

    Reading read_transfer(const pass::Header& h) {
        if (pass::is(h, Type::DATA)) {
            const pass::Data data = pass::read_data(area);
            if (data.packet_id != last_id + 1) {
                return Reading{kRefuses,
                               fmt::format("DATA id {} after id {}", data.packet_id, last_id)};
            }
            last_id = data.packet_id;
            stage = Stage::loading;
            const auto bytes =
                data.data.first(std::min<std::size_t>(data.length, pass::kChunkSize));
            written.insert(written.end(), bytes.begin(), bytes.end());
            Reading r{kProceeds,
                      fmt::format("DATA id {} of {} bytes", data.packet_id, data.length)};
            if (data.length > pass::kChunkSize) r.allowed |= kRefuses;
            return r;
        }
        if (stage == Stage::receiving) {
            return Reading{kRefuses, fmt::format("type {}: no DATA after PASS_ACCEPT", h.type)};
        }
        if (!pass::is(h, Type::TERMINATE)) {
            return Reading{kRefuses, fmt::format("type {}: neither DATA nor TERMINATE", h.type)};
        }
        const auto digest = sha1_of(written);
        const auto sent = wire::at<pass::kDigest>(std::as_const(area));
        if (h.length != 20 || !std::equal(digest.begin(), digest.end(), sent.begin())) {
            return Reading{
                kRefuses,
                fmt::format(
                    "TERMINATE of length {} whose digest {} that of "
                    "the {} bytes written",
                    h.length,
                    std::equal(digest.begin(), digest.end(), sent.begin()) ? "is" : "is not",
                    written.size())};
        }
        stage = Stage::ended;
        return Reading{kProceeds, "TERMINATE with the digest of the file written"};
    }
};

// Both readers take every datagram; what either makes of the changed one conforms. When a reader
// takes the changed datagram and goes on, its reading is settled by how its run ends: a piece of
// data read wrong shows only in the digest at the end.
struct Readers {
    std::array<Reader, 2> r{Reader{true}, Reader{false}};
    std::array<unsigned, 2> fate{};
    std::array<bool, 2> pending{};

    Reading take(const Bytes& d, bool changed) {
        Reading out;
        bool first = true;
        for (std::size_t i = 0; i < r.size(); ++i) {
            if (r[i].stage == Reader::Stage::ended) continue;
            const Reading x = r[i].take(d);
            const bool ended = r[i].stage == Reader::Stage::ended;
            if (changed) {
                pending[i] = (x.allowed & kProceeds) != 0 && !ended;
                fate[i] = pending[i] ? x.allowed & ~kProceeds : x.allowed;
            } else if (pending[i] && ended) {
                fate[i] |= x.allowed;
                pending[i] = false;
            }
            if (first) {
                out = x;
                first = false;
            } else if (x.allowed != out.allowed) {
                out.allowed |= x.allowed;
                out.text += fmt::format("; read over the datagram before it: {}", x.text);
            }
        }
        if (first) out = Reading{kRefuses, "after the client ended"};
        return out;
    }
    // What the readers' runs made of the changed datagram; a run still going counts as going on.
    unsigned settled() const {
        unsigned all = 0;
        for (std::size_t i = 0; i < r.size(); ++i) all |= fate[i] | (pending[i] ? kProceeds : 0u);
        return all;
    }
    const Bytes& written() const {
        return r[1].written.size() >= r[0].written.size() ? r[1].written : r[0].written;
    }
};

}  // namespace

void play_pass_server(Scripted& s, const ScriptEnv& env) {
    Talk talk(env, s);
    Outcome& o = s.o;
    const Case& c = env.c;
    const Socket& sock = *s.sockets.at(0);
    // Answers come from another port than the client sends to when the story says so.
    const Socket& out = c.story == Story::other_port ? s.open() : sock;
    Readers readers;
    // What each conforming reader has accepted when the client may refuse: before the changed
    // datagram of the transfer, and at its end.
    const auto keep = [&] {
        for (const Reader& r : readers.r) o.kept_on_refusal.push_back(r.written);
    };
    const auto deliver = [&](At at, Bytes d, const sockaddr_in& to) {
        const bool changed = talk.changes(at);
        const bool transfer = at == At::data || at == At::terminate;
        d = talk.tamper(at, std::move(d));
        if (changed && transfer) keep();
        talk.deliver(at, out, d, to, readers.take(d, changed));
        if (at == At::terminate && o.delivered) keep();
    };

    sockaddr_in from{};
    const auto opening = talk.receive(sock, "waiting for JOIN_REQ", &from);
    if (!opening) return o.fail("a JOIN_REQ", within(env.wait));
    if (wants_exact(c, t16(Type::JOIN_REQ))) {
        check_exact(o, exact_password(*opening, bare(t16(Type::JOIN_REQ))));
    }
    if (c.story == Story::slow_peer) {
        wait_slowly(talk, sock, "its opening");
        if (!o.ok) return;
    }
    deliver(At::pass_req, bare(t16(Type::PASS_REQ)), from);

    const std::vector<std::string> given =
        c.impl_passwords.empty()
            ? std::vector<std::string>{std::string(kPassword), "second", "third"}
            : c.impl_passwords;
    const std::string right(kPassword);
    Bytes previous;
    bool accepted = false;
    for (std::size_t attempt = 0; !accepted; ++attempt) {
        const bool answering_change = o.delivered && !o.reaction;
        const auto r =
            talk.receive(sock, fmt::format("waiting for PASS_RESP {}", attempt + 1), &from);
        if (answering_change) {
            const bool ended = talk.ended();
            talk.react(r       ? (attempt == 0 ? kProceeds : kRetries)
                       : ended ? kRefuses
                               : kWaits,
                       r       ? "answered with a PASS_RESP"
                       : ended ? "ended"
                               : "waited");
        }
        if (!r) return;
        if ((c.checks & kNoFourth) != 0 && attempt >= given.size()) {
            return o.fail("no fourth PASS_RESP: the client has three passwords",
                          "a fourth PASS_RESP");
        }
        if (wants_exact(c, t16(Type::PASS_RESP)) && attempt < given.size()) {
            const std::string& w = given[attempt];
            check_exact(o,
                        exact_password(*r, pass_resp(w), previous.empty() ? nullptr : &previous));
            if (!o.ok && o.likely_cause.empty() && attempt > 0 && given[attempt - 1] == w) {
                o.likely_cause = "the same password offered twice";
            }
        }
        previous = *r;
        const auto area = pass::receive_area(*r);  // the decoded password is a view into it
        const auto resp = pass::decode_pass_resp(area);
        const bool right_word = resp && resp->length == right.size() &&
                                std::equal(right.begin(), right.end(), resp->password.begin());
        if (right_word) {
            // A changed PASS_ACCEPT goes on as the client reads it: as a PASS_REQ, the exchange
            // of passwords goes on.
            const bool changed = talk.changes(At::answer);
            deliver(At::answer, bare(t16(Type::PASS_ACCEPT)), from);
            accepted = !changed || (o.reading.allowed & kProceeds) != 0;
        } else if (attempt + 1 < 3 || c.story == Story::fourth_pass_req) {
            deliver(At::answer, bare(t16(Type::PASS_REQ)), from);
            if (attempt >= 3) return;
        } else {
            deliver(At::answer, bare(t16(Type::PASS_REJECT)), from);
            return;
        }
    }

    const std::size_t chunks = env.file.size() / pass::kChunkSize + 1;
    for (std::size_t i = 0; i < chunks; ++i) deliver(At::data, data_of(env.file, i), from);
    pass::Digest digest{};
    common::mysha1(env.file_path.c_str(), digest);
    deliver(At::terminate, terminate_with(digest), from);
    // A changed datagram the client answers nothing to is judged by how the client ends.
    if (o.delivered && !o.reaction) {
        o.reading.allowed = readers.settled();
    }
    o.written = readers.written();
    o.finished = true;
}

}  // namespace peercheck
