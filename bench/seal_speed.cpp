// Single-core DES-CBC sealing speed over the units a KRB_PRV carries: 978 plain bytes sealed to
// 984, the IV reset before each, as every envelope of a transfer is sealed. Prints MB/s of sealed
// bytes (10^6 bytes per second); a transfer's file data is compared with it.

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "seal.h"
#include "ticket_msg.h"

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 2.0;
    const seal::Key key{0x13, 0x34, 0x57, 0x79, 0x9b, 0xbc, 0xdf, 0xf1};
    seal::Schedule schedule;
    if (seal::make_schedule(key, schedule) != 0) return 1;
    ticket::Inner inner{};
    for (std::size_t i = 0; i < inner.size(); ++i) inner[i] = static_cast<std::uint8_t>(i * 7);
    std::array<std::uint8_t, ticket::kPrvSize> prv{};
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    std::size_t units = 0;
    double elapsed = 0;
    do {
        for (int i = 0; i < 256; ++i) {
            ticket::build_krb_prv(prv, inner, schedule);
            inner[0] = prv[100];  // keeps the compiler from hoisting the work
        }
        units += 256;
        elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    } while (elapsed < seconds);
    std::printf("%.1f\n", static_cast<double>(units * ticket::kPrvSealed.size) / elapsed / 1e6);
    return 0;
}
