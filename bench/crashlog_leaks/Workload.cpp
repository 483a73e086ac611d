// leaks-workload [operations per thread]: eight threads allocate and
// release blocks of 16 bytes to 64 KB (small sizes far more often), each
// keeping up to 512 blocks alive and writing to both ends of every block.
// Everything is released before the end, so a leak checker has nothing to
// report.  Prints the elapsed nanoseconds.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

namespace {

void Worker(unsigned seed, long operations) {
    constexpr std::size_t kLive = 512;
    std::vector<unsigned char*> live(kLive, nullptr);
    std::vector<std::size_t> sizes(kLive, 0);
    std::uint32_t x = seed * 2654435761u + 1;
    for (long i = 0; i < operations; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        const std::size_t slot = x % kLive;
        // 16 B .. 64 KB, each power of two as likely as the next.
        const unsigned shift = 4 + (x >> 9) % 13;
        const std::size_t size = (std::size_t(1) << shift) + (x >> 22) % (std::size_t(1) << shift);
        const std::size_t clamped = size > 65536 ? 65536 : size;
        if (live[slot]) {
            if (live[slot][0] != static_cast<unsigned char>(sizes[slot]) ||
                live[slot][sizes[slot] - 1] != 0x5A)
                std::abort();
            std::free(live[slot]);
        }
        auto* p = static_cast<unsigned char*>(std::malloc(clamped));
        if (!p) std::abort();
        p[0] = static_cast<unsigned char>(clamped);
        p[clamped - 1] = 0x5A;
        live[slot] = p;
        sizes[slot] = clamped;
    }
    for (unsigned char* p : live)
        std::free(p);
}

}  // namespace

int main(int argc, char** argv) {
    const long operations = argc > 1 ? std::atol(argv[1]) : 200000;
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < 8; ++t)
        threads.emplace_back(Worker, t + 1, operations);
    for (auto& t : threads)
        t.join();
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                        std::chrono::steady_clock::now() - start)
                        .count();
    std::printf("%lld\n", static_cast<long long>(ns));
    return 0;
}
