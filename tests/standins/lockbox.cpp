// The password file server: JOIN_REQ, up to three passwords, then the file in DATA datagrams and
// TERMINATE with its digest, session after session.

#include <arpa/inet.h>
#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <string_view>

#include "helpers.h"
#include "out.h"
#include "pass_msg.h"
#include "standin.h"

namespace standin {

namespace {

using pass::Type;
using wire::at;

constexpr const char* kUsage = "usage: lockbox <serverport> <password> <input file>\n";

class Lockbox {
public:
    Lockbox(const Variant& v, std::span<char* const> args)
        : v_(v), password_(args[1]), length_(common::size(args[1])), path_(args[2]), link_(v) {
        start_delay(v);
        if (!link_.valid() || !link_.bind(common::to_num(args[0]))) abort_run(v);
        if (v.fault == Fault::bind_and_wait) wait_forever();
        if (v.fault == Fault::file_opened_once) once_ = std::fopen(path_, "rb");
        if (v.fault == Fault::digest_once) common::mysha1(path_, digest_);
    }

    void serve_session() {
        receive();
        join_source_ = peer_;
        if (!joins(pass::read_header(rx_))) fail();
        send_bare(Type::PASS_REQ);
        ask_password();
        send_bare(Type::PASS_ACCEPT);
        send_file();
        send_terminate();
        out::say("OK\n");
    }

private:
    [[noreturn]] void fail() { abort_run(v_); }
    void receive() {
        rx_.fill(0);
        if (link_.receive(rx_, &peer_) < 0) fail();
    }
    const sockaddr_in& to() const {
        return v_.fault == Fault::reply_to_join_source ? join_source_ : peer_;
    }
    void send(std::span<const std::uint8_t> bytes) {
        if (!link_.send(bytes, to())) fail();
    }
    void send_bare(Type type) {
        std::array<std::uint8_t, pass::kHeaderSize> msg;
        pass::build_bare(msg, static_cast<std::uint16_t>(type));
        send(msg);
    }
    bool joins(const pass::Header& h) const;
    bool is_pass_resp(const pass::Header& h) const;
    bool right_password() const;
    void ask_password();
    void send_file();
    void send_data(std::array<std::uint8_t, pass::kDataSize>& data, std::size_t n);
    void send_terminate();

    const Variant& v_;
    const char* password_;
    std::uint16_t length_;
    const char* path_;
    Link link_;
    pass::RecvArea rx_{};
    sockaddr_in peer_{};  // the source of the datagram received last
    sockaddr_in join_source_{};
    // Wrong passwords of this session.
    int attempts_ = 0;
    std::uint32_t counter_ = 0;
    std::FILE* once_ = nullptr;
    pass::Digest digest_{};
};

bool Lockbox::joins(const pass::Header& h) const {
    switch (v_.fault) {
        case Fault::join_length_ignored:
            return pass::is(h, Type::JOIN_REQ);
        case Fault::join_type_unchecked:
            return h.length == 0;
        default:
            return pass::is_bare(h, Type::JOIN_REQ);
    }
}

bool Lockbox::is_pass_resp(const pass::Header& h) const {
    if (v_.fault == Fault::long_length_accepted) return pass::is(h, Type::PASS_RESP);
    return pass::is(h, Type::PASS_RESP) && h.length <= pass::kMaxPasswordLength;
}

bool Lockbox::right_password() const {
    const std::uint32_t length = pass::read_header(rx_).length;
    const char* field = reinterpret_cast<const char*>(at<pass::kPassword>(rx_).data());
    // Never compared beyond the receive area, however long the password or the length field.
    const std::size_t room = rx_.size() - pass::kPassword.offset;
    switch (v_.fault) {
        case Fault::prefix_password:
            return std::strncmp(field, password_, std::min<std::size_t>(length, room)) == 0;
        case Fault::ignores_length:
            return length_ <= room && std::memcmp(field, password_, length_) == 0;
        case Fault::case_insensitive:
            return length == length_ && ::strncasecmp(field, password_, length_) == 0;
        default:
            return length == length_ && length_ <= room &&
                   std::memcmp(field, password_, length_) == 0;
    }
}

void Lockbox::ask_password() {
    receive();
    if (!is_pass_resp(pass::read_header(rx_))) fail();
    if (v_.fault != Fault::attempts_not_reset) attempts_ = 0;
    const int limit = v_.fault == Fault::four_attempts  ? 4
                      : v_.fault == Fault::two_attempts ? 2
                                                        : 3;
    while (!right_password()) {
        if (++attempts_ >= limit) {
            if (v_.fault != Fault::no_pass_reject) send_bare(Type::PASS_REJECT);
            fail();
        }
        send_bare(Type::PASS_REQ);
        if (v_.fault == Fault::uncleared_repeat) {
            if (link_.receive(rx_, &peer_) < 0) fail();
        } else {
            receive();
        }
        if (!is_pass_resp(pass::read_header(rx_))) fail();
    }
}

void Lockbox::send_file() {
    std::FILE* f = once_ != nullptr ? once_ : std::fopen(path_, "rb");
    if (f == nullptr) fail();
    std::array<std::uint8_t, pass::kDataSize> data{};
    counter_ = 0;
    std::size_t n = 0;
    // EOF is tested before each read, so 2000 bytes go out as 1000, 1000, 0.
    while (!std::feof(f)) {
        n = std::fread(at<pass::kData>(data).data(), 1, pass::kChunkSize, f);
        if (std::ferror(f)) fail();
        if (n == 0 && v_.fault == Fault::missing_empty_data) break;
        send_data(data, n);
        if (v_.fault != Fault::data_not_cleared) data.fill(0);
    }
    if (n != 0 && v_.fault == Fault::extra_empty_data) {
        data.fill(0);
        send_data(data, 0);
    }
    if (f != once_ && v_.fault != Fault::file_not_closed) std::fclose(f);
}

void Lockbox::send_data(std::array<std::uint8_t, pass::kDataSize>& data, std::size_t n) {
    ++counter_;
    wire::store_be16(at<pass::kType>(data), static_cast<std::uint16_t>(Type::DATA));
    const auto length = at<pass::kLength>(data);
    if (v_.fault == Fault::data_length_little_endian) {
        wire::store_le32(length, static_cast<std::uint32_t>(n));
    } else {
        wire::store_be32(length, static_cast<std::uint32_t>(n));
    }
    const auto id = at<pass::kPacketId>(data);
    if (v_.fault == Fault::id_16_bit) {
        // A 16-bit conversion copied into a 32-bit field: on a little-endian host the id lands in
        // the field's first two bytes, so id 1 reads 65536.
        const std::uint32_t converted = htons(static_cast<std::uint16_t>(counter_));
        std::memcpy(id.data(), &converted, id.size());
    } else {
        wire::store_be32(id, counter_);
    }
    send(data);
}

void Lockbox::send_terminate() {
    if (v_.fault != Fault::digest_once) common::mysha1(path_, digest_);
    std::array<std::uint8_t, pass::kTerminateSize> msg{};
    pass::build_terminate(msg, digest_);
    if (v_.fault == Fault::terminate_length_28) {
        wire::store_be32(at<pass::kLength>(msg), pass::kTerminateSize);
    }
    send(msg);
}

}  // namespace

int run_lockbox(const Variant& v, std::span<char* const> args) {
    if (args.size() < 3 || args.size() > 4) {
        out::say("%s", kUsage);
        return 0;
    }
    struct stat st;
    if (::stat(args[2], &st) != 0) {
        out::say("Input file doesn't exist\n");
        return 0;
    }
    if (v.fault == Fault::exit_at_once) abort_run(v);
    Lockbox box(v, args);
    for (;;) {
        box.serve_session();
        if (v.fault == Fault::stops_after_one) return 0;
    }
}

}  // namespace standin
