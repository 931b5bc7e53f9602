#include "random/generator.hpp"

#include <chrono>
#include <string>
#include <vector>

#include "random/fill.hpp"

namespace veltrix {

Generator Generator::from_seed(u64 seed) {
    Generator g;
    u64 z = seed;
    for (u64& word : g.s) {
        z += 0x9E3779B97F4A7C15ULL;
        u64 x = z;
        x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
        x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
        word = x ^ (x >> 31);
    }
    return g;
}

Generator Generator::from_clock() {
    using namespace std::chrono;
    const auto since_epoch = duration_cast<nanoseconds>(system_clock::now().time_since_epoch());
    if (since_epoch.count() < 0)
        VELTRIX_FAIL("Time went backwards: the system clock reads " +
                     std::to_string(-since_epoch.count()) + " ns before the Unix epoch");
    // Whole seconds * 10^9 + nanoseconds, wrapping, is the nanosecond count itself.
    return from_seed(static_cast<u64>(since_epoch.count()));
}

NdArray<f64> Generator::uniform(double low, double high, Shape shape) {
    if (!(low < high)) VELTRIX_FAIL("low must be less than high");
    const double range = high - low;
    return detail::fill<f64>(*this, std::move(shape), [range, low](Generator& g) {
        return (g.next_f64() * range) + low;
    });
}

namespace {

// x mod d for one fixed d >= 1, exact for every 64-bit x, without a division per
// element (round-up reciprocal; the 65-bit case adds the dividend back in).
struct FixedRemainder {
    enum class Kind { Mask, Mul, MulAdd } kind;
    u64 d;
    u64 magic = 0;
    int shift = 0;

    explicit FixedRemainder(u64 divisor) : d(divisor) {
        const int l = 63 - __builtin_clzll(d);
        if ((d & (d - 1)) == 0) {
            kind = Kind::Mask;
            return;
        }
        using u128 = unsigned __int128;
        const u128 num = u128{1} << (64 + l);
        u64 m = static_cast<u64>(num / d);
        const u64 rem = static_cast<u64>(num % d);
        shift = l;
        if (d - rem < (u64{1} << l)) {
            kind = Kind::Mul;
        } else {
            kind = Kind::MulAdd;
            m += m;
            const u64 twice_rem = rem + rem;
            if (twice_rem >= d || twice_rem < rem) m += 1;
        }
        magic = m + 1;
    }

    static u64 mulhi(u64 a, u64 b) noexcept {
        return static_cast<u64>((static_cast<unsigned __int128>(a) * b) >> 64);
    }
    u64 quotient_mul(u64 x) const noexcept { return mulhi(magic, x) >> shift; }
    u64 quotient_mul_add(u64 x) const noexcept {
        const u64 q = mulhi(magic, x);
        return (((x - q) >> 1) + q) >> shift;
    }
};

// Every value is low + (u64 mod range) in wrap-around arithmetic, stored as T.
template <class T>
NdArray<T> randint_as(Generator& gen, i64 low, i64 high, Shape shape) {
    if (!(low < high)) VELTRIX_FAIL("low must be less than high");
    const u64 range = static_cast<u64>(high) - static_cast<u64>(low);
    const u64 base = static_cast<u64>(low);
    const FixedRemainder r(range);
    const auto value = [base](u64 rem) { return static_cast<T>(static_cast<i64>(base + rem)); };
    // One loop per reduction kind, so the per-element work has no branch.
    switch (r.kind) {
        case FixedRemainder::Kind::Mask: {
            const u64 mask = range - 1;
            return detail::fill<T>(gen, std::move(shape),
                                   [value, mask](Generator& g) { return value(g.next_u64() & mask); });
        }
        case FixedRemainder::Kind::Mul:
            return detail::fill<T>(gen, std::move(shape), [value, r](Generator& g) {
                const u64 x = g.next_u64();
                return value(x - r.quotient_mul(x) * r.d);
            });
        case FixedRemainder::Kind::MulAdd:
            break;
    }
    return detail::fill<T>(gen, std::move(shape), [value, r](Generator& g) {
        const u64 x = g.next_u64();
        return value(x - r.quotient_mul_add(x) * r.d);
    });
}

}  // namespace

NdArray<i64> Generator::randint(i64 low, i64 high, Shape shape) {
    return randint_as<i64>(*this, low, high, std::move(shape));
}

NdArray<f64> Generator::randint_f64(i64 low, i64 high, Shape shape) {
    return randint_as<f64>(*this, low, high, std::move(shape));
}

}  // namespace veltrix
