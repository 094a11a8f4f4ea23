// The password client: JOIN_REQ, one password per PASS_REQ in the order given, then the DATA
// datagrams written to the output file and the digest of TERMINATE compared. One run.

#include <algorithm>
#include <cstring>

#include "helpers.h"
#include "out.h"
#include "pass_msg.h"
#include "standin.h"

namespace standin {

namespace {

using pass::Type;
using wire::at;

constexpr const char* kUsage =
    "usage: latchkey <servername> <serverport> <clientpwd1> <clientpwd1> <clientpwd1> "
    "<outfile>\n";

class Latchkey {
public:
    Latchkey(const Variant& v, std::span<char* const> args)
        : v_(v), link_(v), output_(v, args[5]), out_path_(args[5]) {
        for (std::size_t i = 0; i < passwords_.size(); ++i) {
            passwords_[i] = args[2 + i];
            if (std::strlen(passwords_[i]) > pass::kPassword.size) fail();
        }
        const auto server = udp::resolve(args[0], common::to_num(args[1]));
        if (!server) fail();
        server_ = *server;
        if (v.fault == Fault::output_opened_early && !output_.open()) fail();
        start_delay(v);
        if (!link_.valid()) fail();
        link_.raise_buffer();
    }

    void join();
    void offer_passwords();
    void receive_file();
    [[noreturn]] void check_digest();

private:
    [[noreturn]] void fail() {
        output_.keep_on_failure();
        abort_run(v_);
    }
    void receive() {
        if (v_.fault != Fault::uncleared_area) clear();
        if (link_.receive(std::span(rx_).first<pass::kRecvSize>()) < 0) fail();
    }
    void clear() { std::ranges::fill(rx_, 0); }
    pass::Header header() const {
        return pass::read_header(std::span(rx_).first<pass::kRecvSize>());
    }
    bool first_request(const pass::Header& h) const;
    void offer_next();
    bool in_order(std::uint32_t pid) const;

    const Variant& v_;
    Link link_;
    Output output_;
    const char* out_path_;
    std::array<const char*, 3> passwords_{};
    std::size_t next_ = 0;  // the password offered next
    sockaddr_in server_{};
    // The receive area at the front; see kWorkSize.
    std::array<std::uint8_t, kWorkSize> rx_{};
    std::array<std::uint8_t, pass::kPassRespSize> resp_{};
    std::uint32_t last_id_ = 0;
};

void Latchkey::join() {
    std::array<std::uint8_t, pass::kHeaderSize> msg;
    pass::build_bare(msg, v_.fault == Fault::join_type_12
                              ? pass::kWrongType
                              : static_cast<std::uint16_t>(Type::JOIN_REQ));
    if (!link_.send(msg, server_)) fail();
    if (v_.fault == Fault::silent) end(0);
    receive();
    if (!first_request(header())) fail();
}

bool Latchkey::first_request(const pass::Header& h) const {
    switch (v_.fault) {
        case Fault::first_req_length_ignored:
            return pass::is(h, Type::PASS_REQ);
        case Fault::pass_req_type_unchecked:
            return h.length == 0;
        default:
            return pass::is_bare(h, Type::PASS_REQ);
    }
}

void Latchkey::offer_passwords() {
    offer_next();
    // A later PASS_REQ asks for the next password whatever its length field says.
    while (pass::is(header(), Type::PASS_REQ)) offer_next();
    if (!pass::is_bare(header(), Type::PASS_ACCEPT)) fail();  // PASS_REJECT included
}

void Latchkey::offer_next() {
    if (next_ == passwords_.size()) {
        if (v_.fault == Fault::fourth_req_waits) return receive();
        if (v_.fault != Fault::fourth_password) fail();
        next_ = 0;
    }
    const std::size_t index =
        v_.fault == Fault::passwords_out_of_order ? passwords_.size() - 1 - next_ : next_;
    const char* password = passwords_[index];
    ++next_;
    if (v_.fault != Fault::resp_not_cleared) resp_.fill(0);
    const std::uint16_t length = common::size(password);
    const std::uint16_t announced = v_.fault == Fault::resp_length_52 ? 52
                                    : v_.fault == Fault::resp_with_zero
                                        ? static_cast<std::uint16_t>(length + 1)
                                        : length;
    const auto chars = std::span(reinterpret_cast<const std::uint8_t*>(password), length);
    // The builder clears the datagram; the variant that keeps old bytes writes over them instead.
    std::array<std::uint8_t, pass::kPassRespSize> built{};
    pass::build_pass_resp(built, announced, chars);
    std::copy_n(built.begin(), pass::kPassword.offset + length, resp_.begin());
    if (!link_.send(resp_, server_)) fail();
    receive();
}

bool Latchkey::in_order(std::uint32_t pid) const {
    switch (v_.fault) {
        case Fault::no_id_check:
            return true;
        case Fault::accepts_repeated_id:
            return pid >= last_id_;
        default:
            return pid == last_id_ + 1;
    }
}

void Latchkey::receive_file() {
    clear();
    if (!output_.is_open() && !output_.open()) fail();
    receive();
    if (!pass::is(header(), Type::DATA)) fail();
    for (;;) {
        const pass::Header h = header();
        if (pass::is(h, Type::TERMINATE)) return;
        if (!pass::is(h, Type::DATA)) fail();
        const std::uint32_t pid = pass::read_packet_id(std::span(rx_).first<pass::kHeadSize>());
        if (!in_order(pid)) fail();
        last_id_ = v_.fault == Fault::id_16_bit ? static_cast<std::uint16_t>(pid) : pid;
        std::size_t count = h.length;
        if (count > pass::kChunkSize) {
            if (v_.fault == Fault::cut_lengths) {
                count = pass::kChunkSize;
            } else if (v_.fault == Fault::data_length_unbounded) {
                count = std::min(count, rx_.size() - pass::kData.offset);
            } else {
                fail();
            }
        }
        if (!output_.write(std::span(rx_).subspan(pass::kData.offset, count))) fail();
        receive();
    }
}

void Latchkey::check_digest() {
    if (!output_.close()) fail();
    pass::Digest mine{};
    common::mysha1(out_path_, mine);
    const auto got = at<pass::kDigest>(std::span(rx_).first<pass::kRecvSize>());
    bool same = std::ranges::equal(mine, got);
    if (v_.fault == Fault::digest_strcmp) {
        same = std::strncmp(reinterpret_cast<const char*>(mine.data()),
                            reinterpret_cast<const char*>(got.data()), mine.size()) == 0;
    }
    if (v_.fault != Fault::terminate_length_ignored && header().length != mine.size()) {
        same = false;
    }
    if (!same && v_.fault != Fault::ok_on_mismatch) fail();
    out::say("OK\n");
    end(0);
}

}  // namespace

int run_latchkey(const Variant& v, std::span<char* const> args) {
    if (args.size() < 6 || args.size() > 7) {
        out::say("%s", kUsage);
        return 0;
    }
    end_if_inert_client(v, args[5]);
    Latchkey client(v, args);
    client.join();
    client.offer_passwords();
    client.receive_file();
    client.check_digest();
}

}  // namespace standin
