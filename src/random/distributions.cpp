// Normal, log-normal, gamma and beta variates on the generator's stream.
//
// Each variate's grouping of operations is part of the stream's definition:
// every product and sum below is written in the order it must be rounded.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "ops/vmath.hpp"
#include "random/fill.hpp"
#include "random/generator.hpp"

namespace veltrix {

namespace {

constexpr double kTwoPi = 6.283185307179586;
constexpr double kOneThird = 0.3333333333333333;

[[gnu::always_inline]] inline double nonzero_f64(Generator& g) noexcept {
    double u = g.next_f64();
    while (u == 0.0) u = g.next_f64();
    return u;
}

// Box-Muller over the whole shape, each value passed through `out(z)` as it is
// written and each finished run of values through `finish(first, count)`, so the affine
// and exp steps of normal and lognormal need no extra pass over the whole array.
//
// The pairs are drawn a block at a time and their sines and cosines evaluated in
// the order of the angle (a counting sort on the angle's leading bits): the C
// library's sin and cos branch on the argument's range, and random angles make
// those branches unpredictable. Each value is still computed from its own draws
// by the same operations and stored at its own position.
template <class Out, class Finish>
NdArray<f64> box_muller(Generator& gen, Shape shape, Out out, Finish finish) {
    constexpr u64 kBlock = 1024;  // pairs per block
    constexpr unsigned kBuckets = 256;
    const u64 n = detail::sample_count(shape, sizeof(f64));
    Storage<f64> buf(n);
    Generator g = gen;
    f64* p = buf.data();
    double radius[kBlock], theta[kBlock];
    std::uint16_t bucket[kBlock];
    std::uint16_t order[kBlock];
    for (u64 left = n / 2; left > 0;) {
        cancel::check();  // the state is committed only after the last block
        const unsigned m = static_cast<unsigned>(left < kBlock ? left : kBlock);
        // Draws first, then each operation over the block as its own loop: the library
        // calls overlap better and the square roots vectorise (they are exact).
        for (unsigned i = 0; i < m; ++i) {
            radius[i] = nonzero_f64(g);
            theta[i] = nonzero_f64(g);
        }
        vmath::log(radius, radius, m);
        unsigned count[kBuckets + 1] = {};
        for (unsigned i = 0; i < m; ++i) {
            radius[i] = std::sqrt(radius[i] * -2.0);
            bucket[i] = static_cast<std::uint16_t>(theta[i] * kBuckets);
            theta[i] = theta[i] * kTwoPi;
        }
        for (unsigned i = 0; i < m; ++i) ++count[bucket[i] + 1];
        for (unsigned b = 1; b < kBuckets; ++b) count[b] += count[b - 1];
        for (unsigned i = 0; i < m; ++i) order[count[bucket[i]]++] = static_cast<std::uint16_t>(i);
        for (unsigned j = 0; j < m; ++j) {
            const unsigned i = order[j];
            const double r = radius[i];
            p[2 * i] = out(std::sin(theta[i]) * r);
            p[2 * i + 1] = out(r * std::cos(theta[i]));
        }
        finish(p, 2 * m);
        p += 2 * m;
        left -= m;
    }
    if (n % 2 == 1) {
        // A zero u1 would make the tail value infinite or NaN; redraw it like the pairs do.
        const double u1 = nonzero_f64(g);
        const double u2 = g.next_f64();
        *p = out(std::sqrt(std::log(u1) * -2.0) * std::sin(u2 * kTwoPi));
        finish(p, 1);
    }
    gen = g;
    return NdArray<f64>(std::move(shape), std::move(buf));
}

void no_finish(f64*, u64) noexcept {}

double gamma_z_of_log(double log_u1, double u2) noexcept {
    return std::cos(u2 * kTwoPi) * std::sqrt(log_u1 * -2.0);
}

double gamma_z(double u1, double u2) noexcept { return gamma_z_of_log(std::log(u1), u2); }

// The draws of a gamma sampling, straight from the generator. The strides say how far
// apart the next attempts probably start; only the read-ahead source uses them.
struct DirectDraws {
    Generator& g;
    double attempt_z(unsigned, unsigned) noexcept {
        const double u1 = g.next_f64();
        const double u2 = g.next_f64();
        return gamma_z(u1, u2);
    }
    double take() noexcept { return g.next_f64(); }
};

// One state step undone: every step of next_u64 is a bijection of the four words.
void step_back(Generator& g) noexcept {
    const u64 n3 = (g.s[3] << 19) | (g.s[3] >> 45);
    const u64 s0 = g.s[0] ^ n3;
    const u64 y = g.s[1] ^ g.s[2];  // s1 ^ (s1 << 17)
    const u64 s1 = y ^ (y << 17) ^ (y << 34) ^ (y << 51);
    const u64 n2 = g.s[1] ^ s1;
    g.s[0] = s0;
    g.s[1] = s1;
    g.s[2] = n2 ^ s0;
    g.s[3] = n3 ^ s1;
}

// The draws of a gamma sampling read ahead through a window, so that the cosines of
// the next attempts can be evaluated in the order of their angles (see box_muller).
// Attempts are predicted to start where the variates would if each took its first
// attempt. Without a boost a rejected attempt takes as many draws as an accepted one,
// so only v <= 0 moves an attempt off the prediction, which then starts over from
// there; with a boost every rejection would, so boosted samplers draw directly. The
// draws read ahead but not used are handed back by stepping the generator back.
class ReadAheadDraws {
public:
    explicit ReadAheadDraws(Generator& g) : g_(g) {}
    ReadAheadDraws(const ReadAheadDraws&) = delete;
    ~ReadAheadDraws() {
        for (unsigned i = pos_; i < end_; ++i) step_back(g_);
    }

    double attempt_z(unsigned stride, unsigned next_stride) noexcept {
        if (next_ == count_ || start_[next_] != pos_) predict(stride, next_stride);
        pos_ += 2;
        return z_[next_++];
    }
    double take() noexcept { return w_[pos_++]; }

private:
    static constexpr unsigned kPredicted = 64;            // predicted attempts per window
    static constexpr unsigned kCap = 4 * kPredicted + 8;  // 4 draws at most per attempt

    void predict(unsigned stride, unsigned next_stride) noexcept {
        std::memmove(w_, w_ + pos_, (end_ - pos_) * sizeof(double));
        end_ -= pos_;
        pos_ = 0;
        unsigned s = 0;
        for (unsigned j = 0; j < kPredicted; ++j) {
            start_[j] = s;
            s += (j % 2 == 0) ? stride : next_stride;
        }
        const unsigned need = start_[kPredicted - 1] + 4;
        while (end_ < need) w_[end_++] = g_.next_f64();
        unsigned count[kPredicted + 1] = {};
        std::uint8_t bucket[kPredicted];
        for (unsigned j = 0; j < kPredicted; ++j) {
            bucket[j] = static_cast<std::uint8_t>(w_[start_[j] + 1] * kPredicted);
            ++count[bucket[j] + 1];
        }
        for (unsigned b = 1; b < kPredicted; ++b) count[b] += count[b - 1];
        std::uint8_t order[kPredicted];
        for (unsigned j = 0; j < kPredicted; ++j) order[count[bucket[j]]++] = static_cast<std::uint8_t>(j);
        // The logarithms of all predicted attempts at once, then the cosines in angle order.
        double log_u1[kPredicted];
        for (unsigned j = 0; j < kPredicted; ++j) log_u1[j] = w_[start_[j]];
        vmath::log(log_u1, log_u1, kPredicted);
        for (unsigned i = 0; i < kPredicted; ++i) {
            const unsigned j = order[i];
            z_[j] = gamma_z_of_log(log_u1[j], w_[start_[j] + 1]);
        }
        count_ = kPredicted;
        next_ = 0;
    }

    Generator& g_;
    unsigned pos_ = 0, end_ = 0;      // next draw to use, end of the drawn window
    unsigned next_ = 0, count_ = 0;   // next prediction, number of predictions
    unsigned start_[kPredicted];   // predicted attempt starts in the window
    double z_[kPredicted];
    double w_[kCap];
};

// Marsaglia-Tsang for one shape parameter, with the constants worked out once per
// call instead of once per variate (the same doubles either way).
struct GammaSampler {
    // One variate and the two draws it was made from; inner is the main-branch
    // variate and u the boost draw (1.0 without a boost).
    struct Draw {
        double value, inner, u;
    };

    double a;
    bool boost;    // a < 1: main branch for a + 1, then the power boost
    double d, c;   // of the main branch
    double inv_a;  // 1.0 / a, the boost exponent

    explicit GammaSampler(double shape_param) : a(shape_param), boost(shape_param < 1.0) {
        d = (boost ? a + 1.0 : a) - kOneThird;
        c = 1.0 / std::sqrt(9.0 * d);
        inv_a = 1.0 / a;
    }

    // Draws of one variate when its attempts are accepted at once.
    unsigned stride() const noexcept { return boost ? 4 : 3; }

    template <class Draws>
    double main_branch(Draws& src, unsigned next_stride) const noexcept {
        for (;;) {
            const double z = src.attempt_z(stride(), next_stride);
            const double v = (c * z) + 1.0;
            if (!(v > 0.0)) continue;
            const double cube = (v * v) * v;
            const double u3 = src.take();
            if (((((z * -0.0331) * z) * z) * z) + 1.0 > u3) return d * cube;
            if (((std::log(cube) + (1.0 - cube)) * d) + ((z * 0.5) * z) > std::log(u3))
                return d * cube;
        }
    }

    // `next_stride` is the stride of the sampler drawing the following variate.
    template <class Draws>
    Draw draw(Draws& src, unsigned next_stride) const noexcept {
        const double inner = main_branch(src, next_stride);
        if (!boost) return {inner, inner, 1.0};
        // The boost draw follows every draw of the inner variate.
        const double u = src.take();
        return {std::pow(u, inv_a) * inner, inner, u};
    }

    template <class Draws>
    double operator()(Draws& src) const noexcept {
        return draw(src, stride()).value;
    }

    // log of a drawn variate, finite even where the variate underflowed to 0.0.
    double log_of(const Draw& x) const noexcept {
        if (!boost) return std::log(x.inner);
        return std::log(x.u) / a + std::log(x.inner);
    }
};

// n values of variate(draws), from the read-ahead window or straight from the generator.
template <class Variate>
NdArray<f64> fill_gamma(Generator& gen, Shape shape, bool read_ahead, Variate variate) {
    const u64 n = detail::sample_count(shape, sizeof(f64));
    Storage<f64> out(n);
    Generator g = gen;
    f64* p = out.data();
    // Polled between blocks; the state is committed only after the last value.
    const auto run = [&](auto& src) {
        for (u64 first = 0; first < n; first += detail::poll_block) {
            cancel::check();
            const u64 last = n - first < detail::poll_block ? n : first + detail::poll_block;
            for (u64 i = first; i < last; ++i) p[i] = variate(src);
        }
    };
    if (read_ahead) {
        ReadAheadDraws src(g);
        run(src);
    } else {
        DirectDraws src{g};
        run(src);
    }
    gen = g;
    return NdArray<f64>(std::move(shape), std::move(out));
}

// x / (y + x) from log x and log y, for when both variates underflowed to 0.0.
double ratio_from_logs(double log_x, double log_y) noexcept {
    if (log_x == log_y) return 0.5;  // also both -inf: a zero boost draw on each side
    if (log_x > log_y) return 1.0 / (1.0 + std::exp(log_y - log_x));
    const double t = std::exp(log_x - log_y);
    return t / (1.0 + t);
}

}  // namespace

NdArray<f64> Generator::standard_normal(Shape shape) {
    return box_muller(*this, std::move(shape), [](double z) { return z; }, no_finish);
}

NdArray<f64> Generator::normal(double mu, double sigma, Shape shape) {
    return box_muller(*this, std::move(shape), [mu, sigma](double z) { return (z * sigma) + mu; }, no_finish);
}

NdArray<f64> Generator::lognormal(double mu, double sigma, Shape shape) {
    return box_muller(
        *this, std::move(shape), [mu, sigma](double z) { return (z * sigma) + mu; },
        [](f64* first, u64 count) { vmath::exp(first, first, count); });
}

double Generator::sample_gamma_single(double a) {
    DirectDraws src{*this};
    return GammaSampler(a)(src);
}

NdArray<f64> Generator::gamma(double shape_param, double scale, Shape shape) {
    if (!(shape_param > 0.0)) VELTRIX_FAIL("shape parameter must be positive");
    if (!(scale > 0.0)) VELTRIX_FAIL("scale must be positive");
    const GammaSampler sampler(shape_param);
    return fill_gamma(*this, std::move(shape), !sampler.boost,
                      [&sampler, scale](auto& src) { return sampler(src) * scale; });
}

NdArray<f64> Generator::beta(double alpha, double beta, Shape shape) {
    if (!(alpha > 0.0)) VELTRIX_FAIL("alpha must be positive");
    if (!(beta > 0.0)) VELTRIX_FAIL("beta must be positive");
    const GammaSampler gx(alpha), gy(beta);
    return fill_gamma(*this, std::move(shape), !gx.boost && !gy.boost, [&gx, &gy](auto& src) {
        const GammaSampler::Draw x = gx.draw(src, gy.stride());
        const GammaSampler::Draw y = gy.draw(src, gx.stride());
        const double sum = y.value + x.value;
        // Both variates can underflow for small alpha and beta; 0/0 would be NaN.
        if (sum != 0.0) return x.value / sum;
        return ratio_from_logs(gx.log_of(x), gy.log_of(y));
    });
}

}  // namespace veltrix
