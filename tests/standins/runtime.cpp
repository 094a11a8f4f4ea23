#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <thread>

#include "out.h"
#include "standin.h"

namespace standin {

using namespace std::chrono_literals;

std::uint32_t now() noexcept { return static_cast<std::uint32_t>(std::time(nullptr)); }

void start_delay(const Variant& v) noexcept {
    if (v.fault == Fault::slow_start) std::this_thread::sleep_for(2s);
}

void end(int status) noexcept {
    std::fflush(stdout);
    std::exit(status);
}

void abort_run(const Variant& v) noexcept {
    out::say("ABORT\n");
    end(v.fault == Fault::exit_1_on_failure ? 1 : 0);
}

void end_if_inert_client(const Variant& v, const char* out_path) noexcept {
    if (v.fault == Fault::abort_at_once) abort_run(v);
    if (v.fault == Fault::ok_empty_file) {
        if (std::FILE* f = std::fopen(out_path, "wb")) std::fclose(f);
        out::say("OK\n");
        end(0);
    }
}

void wait_forever() noexcept {
    for (;;) ::pause();
}

Link::Link(const Variant& v) noexcept
    : paced_(v.fault == Fault::paced), sock_(udp::open_socket()) {}

bool Link::bind(std::uint16_t port) const noexcept { return udp::bind_any(sock_, port); }

void Link::raise_buffer() const noexcept { udp::raise_receive_buffer(sock_); }

bool Link::send(std::span<const std::uint8_t> bytes, const sockaddr_in& to) const noexcept {
    if (paced_) std::this_thread::sleep_for(30ms);
    return udp::send_to(sock_, bytes, to);
}

long Link::receive(std::span<std::uint8_t> area, sockaddr_in* from) const noexcept {
    socklen_t len = sizeof(sockaddr_in);
    return ::recvfrom(sock_.fd(), area.data(), area.size(), 0, reinterpret_cast<sockaddr*>(from),
                      from != nullptr ? &len : nullptr);
}

Sealer::Sealer(const Variant& v) noexcept : chained_(v.fault == Fault::iv_chained) {
    std::memcpy(iv_, seal::kProtocolIv.data(), sizeof iv_);
}

void Sealer::seal(std::span<const std::uint8_t> plain, std::size_t length,
                  const seal::Schedule& schedule, std::span<std::uint8_t> out) noexcept {
    if (!chained_) {
        seal::seal(plain, length, schedule, out);
        return;
    }
    // The IV is set once, and the library leaves the last sealed block in it: every seal after
    // the first starts where the one before ended. The library pads a partial block with zeros.
    if (plain.size() < length || out.size() < seal::rounded(length) || length == 0) return;
    DES_ncbc_encrypt(plain.data(), out.data(), static_cast<long>(length),
                     const_cast<DES_key_schedule*>(&schedule.ks), &iv_, DES_ENCRYPT);
}

bool still_valid(const Variant& v, std::uint32_t validity) noexcept {
    if (v.fault == Fault::expiry_off_by_one) return now() <= validity;
    return now() < validity;
}

std::optional<ticket::Id> id_field(const Variant& v, const char* text) noexcept {
    if (std::strlen(text) > ticket::kIdSize && v.fault == Fault::long_id_cut) {
        ticket::Id id{};
        std::memcpy(id.data(), text, id.size());
        return id;
    }
    return ticket::make_id(text);
}

Output::~Output() {
    if (file_ != nullptr) std::fclose(file_);
}

bool Output::open() noexcept {
    started_ = true;
    if (v_.fault == Fault::buffered_output) return true;
    if (v_.fault == Fault::output_not_truncated) {
        // Created when missing, but an existing file keeps the bytes beyond those written.
        const int fd = ::open(path_, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        file_ = fd < 0 ? nullptr : ::fdopen(fd, "w");
    } else {
        file_ = std::fopen(path_, "wb");
    }
    return file_ != nullptr || v_.fault == Fault::output_unchecked;
}

bool Output::write(std::span<const std::uint8_t> bytes) noexcept {
    if (v_.fault == Fault::buffered_output) {
        held_.insert(held_.end(), bytes.begin(), bytes.end());
        return true;
    }
    // What a write through a null stream comes to, without the undefined behaviour.
    if (file_ == nullptr) std::raise(SIGSEGV);
    return std::fwrite(bytes.data(), 1, bytes.size(), file_) == bytes.size();
}

bool Output::close() noexcept {
    if (v_.fault == Fault::buffered_output) {
        file_ = std::fopen(path_, "wb");
        if (file_ == nullptr) return false;
        if (std::fwrite(held_.data(), 1, held_.size(), file_) != held_.size()) return false;
    }
    const bool ok = file_ != nullptr && std::fclose(file_) == 0;
    file_ = nullptr;
    return ok;
}

void Output::keep_on_failure() noexcept {
    // A FILE* is flushed by the process end; only the held bytes need writing.
    if (v_.fault == Fault::buffered_output && started_) close();
}

}  // namespace standin
