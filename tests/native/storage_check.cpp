// Array storage from several threads at once: every buffer, fresh or reused from the cache of
// freed large blocks, starts as zeros, keeps what its owner wrote while others allocate and
// free, and the cache stays within its bounds and empties on release.
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "array/storage.hpp"
#include "check.hpp"

using namespace veltrix;
using namespace veltrix::check;

namespace {

constexpr std::size_t mib = std::size_t{1} << 20;

// Below, at and above the large-block threshold, on and off whole 2 MiB multiples.
const std::size_t sizes[] = {mib / 8, large_blocks::min_bytes / 8 - 1, large_blocks::min_bytes / 8, 1000000,
                             6 * mib / 8 + 1, 16 * mib / 8};

bool holds(const Storage<f64>& v, f64 value) {
    for (f64 x : v)
        if (!same_bits(x, value)) return false;
    return true;
}

void churn(int id, int rounds, std::vector<std::string>& errors) {
    constexpr int keep = 3;  // buffers alive at once, so frees interleave with other threads'
    std::vector<Storage<f64>> live(keep);
    std::vector<f64> marks(keep, 0.0);
    for (int r = 0; r < rounds; ++r) {
        const int slot = r % keep;
        if (!holds(live[slot], marks[slot])) errors.push_back("thread " + std::to_string(id) + " lost its data");
        const std::size_t n = sizes[(r * 7 + id) % std::size(sizes)];
        live[slot] = Storage<f64>(n);
        if (!holds(live[slot], 0.0)) errors.push_back("thread " + std::to_string(id) + " got a dirty buffer");
#ifndef __SANITIZE_ADDRESS__
        if (n * sizeof(f64) >= large_blocks::min_bytes &&
            reinterpret_cast<std::uintptr_t>(live[slot].data()) % (2 * mib) != 0)
            errors.push_back("large block not 2 MiB-aligned");
#endif
        marks[slot] = f64(id * 1000 + r);
        for (f64& x : live[slot]) x = marks[slot];
    }
    for (int slot = 0; slot < keep; ++slot)
        if (!holds(live[slot], marks[slot])) errors.push_back("thread " + std::to_string(id) + " lost its data");
}

}  // namespace

int main() {
    constexpr int threads = 4;
    std::vector<std::vector<std::string>> errors(threads);
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) pool.emplace_back(churn, t, 60, std::ref(errors[t]));
    for (std::thread& t : pool) t.join();
    for (const auto& e : errors)
        for (const std::string& what : e) expect(false, what);

    const large_blocks::CacheState held = large_blocks::cached();
    expect(held.blocks <= large_blocks::cache_max_blocks && held.bytes <= large_blocks::cache_max_bytes,
           "cache over its bounds: " + std::to_string(held.blocks) + " blocks, " + std::to_string(held.bytes) +
               " bytes");
#ifndef __SANITIZE_ADDRESS__
    expect(held.blocks > 0, "freed large blocks were not cached");
#endif
    const large_blocks::CacheState released = large_blocks::release();
    expect(released.blocks == held.blocks && released.bytes == held.bytes, "release reports what was held");
    const large_blocks::CacheState after = large_blocks::cached();
    expect(after.blocks == 0 && after.bytes == 0, "cache not empty after release");

    if (failures) std::printf("%d failures\n", failures);
    return failures ? 1 : 0;
}
