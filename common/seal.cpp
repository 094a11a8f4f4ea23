#include "seal.h"

#include <openssl/rand.h>

#include <cstring>

namespace seal {

int make_schedule(std::span<const std::uint8_t, 8> key, Schedule& out) noexcept {
    DES_cblock block;
    std::memcpy(block, key.data(), key.size());
    DES_key_schedule ks;
    const int result = DES_set_key_checked(&block, &ks);
    if (result == 0) out.ks = ks;
    return result;
}

namespace {

void run_cbc(const std::uint8_t* in, std::uint8_t* out, std::size_t length,
             const Schedule& schedule, int direction) noexcept {
    DES_cblock iv;
    std::memcpy(iv, kProtocolIv.data(), kProtocolIv.size());
    // The library does not write through its key schedule argument.
    DES_ncbc_encrypt(in, out, static_cast<long>(length),
                     const_cast<DES_key_schedule*>(&schedule.ks), &iv, direction);
}

}  // namespace

bool seal(std::span<const std::uint8_t> plain, std::size_t length, const Schedule& schedule,
          std::span<std::uint8_t> out) noexcept {
    if (plain.size() < length || out.size() < rounded(length)) return false;
    if (length > 0) run_cbc(plain.data(), out.data(), length, schedule, DES_ENCRYPT);
    return true;
}

bool unseal(std::span<const std::uint8_t> sealed, std::size_t length, const Schedule& schedule,
            std::span<std::uint8_t> out) noexcept {
    if (sealed.size() < rounded(length) || out.size() < length) return false;
    // In the decrypt direction the library reads whole blocks but writes only the L bytes asked.
    if (length > 0) run_cbc(sealed.data(), out.data(), length, schedule, DES_DECRYPT);
    return true;
}

void seed_random(std::span<const std::uint8_t> text) noexcept {
    RAND_seed(text.data(), static_cast<int>(text.size()));
}

Key random_key() noexcept {
    DES_cblock block;
    DES_random_key(&block);
    Key key;
    std::memcpy(key.data(), block, key.size());
    return key;
}

}  // namespace seal
