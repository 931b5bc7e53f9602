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

// ---------------------------------------------------------------------------------------------
// State words and jumps

namespace veltrix {

Result<Generator> Generator::from_state(const std::array<u64, 4>& words) {
    if ((words[0] | words[1] | words[2] | words[3]) == 0)
        return Error{"Generator state must not be all zero"};
    Generator g;
    for (int i = 0; i < 4; ++i) g.s[i] = words[i];
    return g;
}

namespace {

// The published jump polynomial: applying it advances the stream by 2^128 draws.
constexpr u64 jump_poly[4] = {0x180ec6d33cfd0abaULL, 0xd5a61266f0c9392cULL, 0xa9582618e03fc9aaULL,
                              0x39abdc4529b1661cULL};

using Words = std::array<u64, 4>;

Generator with_words(const Words& w) noexcept {
    Generator g;
    for (int i = 0; i < 4; ++i) g.s[i] = w[i];
    return g;
}

// One jump, as published: the sum of the states T^b s over the set bits b of the polynomial.
Words jump_once(const Words& w) {
    Generator g = with_words(w);
    Words acc{0, 0, 0, 0};
    for (const u64 word : jump_poly) {
        for (int b = 0; b < 64; ++b) {
            if (word & (u64{1} << b))
                for (int i = 0; i < 4; ++i) acc[i] ^= g.s[i];
            g.next_u64();
        }
    }
    return acc;
}

// A jump is linear over GF(2) in the 256 state bits, so many jumps are a power of one
// 256 x 256 bit matrix, held as the images of the 256 unit states.
struct JumpMatrix {
    std::vector<Words> col;  // col[k]: image of the state with only bit k set

    Words apply(const Words& v) const {
        Words r{0, 0, 0, 0};
        for (u64 k = 0; k < 256; ++k)
            if (v[k / 64] >> (k % 64) & 1)
                for (int i = 0; i < 4; ++i) r[i] ^= col[k][i];
        return r;
    }
    JumpMatrix squared() const {
        JumpMatrix m;
        m.col.resize(256);
        for (u64 k = 0; k < 256; ++k) m.col[k] = apply(col[k]);
        return m;
    }
};

// Below this count the jumps run one by one; above it squaring is cheaper.
constexpr u64 direct_jumps = 256;

}  // namespace

Generator Generator::jumped(u64 jumps) const {
    Words w = state();
    if (jumps <= direct_jumps) {
        for (u64 j = 0; j < jumps; ++j) w = jump_once(w);
    } else {
        JumpMatrix m;
        m.col.resize(256);
        for (u64 k = 0; k < 256; ++k) {
            Words unit{0, 0, 0, 0};
            unit[k / 64] = u64{1} << (k % 64);
            m.col[k] = jump_once(unit);
        }
        for (u64 e = jumps;;) {
            if (e & 1) w = m.apply(w);
            e >>= 1;
            if (e == 0) break;
            m = m.squared();
        }
    }
    return with_words(w);
}

std::vector<Generator> Generator::spawn(u64 n) {
    std::vector<Generator> children;
    children.reserve(n);
    Words w = state();
    for (u64 i = 0; i < n; ++i) {
        w = jump_once(w);
        children.push_back(with_words(w));
    }
    *this = with_words(jump_once(w));
    return children;
}

}  // namespace veltrix
