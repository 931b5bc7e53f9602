"""veltrix.random: stream reproducibility, draw order, checks and distributions."""

import math
import pytest
import scipy.stats

import veltrix

vr = veltrix.random

M64 = (1 << 64) - 1
TWO_PI = 6.283185307179586


# ---------------------------------------------------------------------------------------------
# A slow, obvious reference of the generator, written from the published algorithms.


def splitmix64(seed, count):
    out, z = [], seed
    for _ in range(count):
        z = (z + 0x9E3779B97F4A7C15) & M64
        x = z
        x = ((x ^ (x >> 30)) * 0xBF58476D1CE4E5B9) & M64
        x = ((x ^ (x >> 27)) * 0x94D049BB133111EB) & M64
        out.append(x ^ (x >> 31))
    return out


def rotl(x, k):
    return ((x << k) | (x >> (64 - k))) & M64


class Reference:
    def __init__(self, words):
        self.s = list(words)

    @classmethod
    def seeded(cls, seed):
        return cls(splitmix64(seed, 4))

    def next_u64(self):
        s0, s1, s2, s3 = self.s
        result = (rotl((s1 * 5) & M64, 7) * 9) & M64
        t = (s1 << 17) & M64
        s2 ^= s0
        s3 ^= s1
        s1 ^= s2
        s0 ^= s3
        s2 ^= t
        s3 = rotl(s3, 45)
        self.s = [s0, s1, s2, s3]
        return result

    def next_f64(self):
        return (self.next_u64() >> 11) * 2.0**-53

    def nonzero_f64(self):
        u = self.next_f64()
        while u == 0.0:
            u = self.next_f64()
        return u

    def uniform(self, low, high, n):
        rng = high - low
        return [self.next_f64() * rng + low for _ in range(n)]

    def randint(self, low, high, n):
        rng = high - low
        return [float(low + self.next_u64() % rng) for _ in range(n)]

    def standard_normal(self, n):
        out = []
        for _ in range(n // 2):
            u1 = self.nonzero_f64()
            u2 = self.nonzero_f64()
            r = math.sqrt(math.log(u1) * -2.0)
            theta = u2 * TWO_PI
            out += [math.sin(theta) * r, r * math.cos(theta)]
        if n % 2:
            u1 = self.nonzero_f64()
            u2 = self.next_f64()
            out.append(math.sqrt(math.log(u1) * -2.0) * math.sin(u2 * TWO_PI))
        return out

    def gamma_parts(self, a):
        """(variate, its logarithm) of one gamma variate of shape a."""
        if a < 1.0:
            g, log_g = self.gamma_parts(a + 1.0)
            u = self.next_f64()
            return math.pow(u, 1.0 / a) * g, math.log(u) / a + log_g
        d = a - 0.3333333333333333
        c = 1.0 / math.sqrt(9.0 * d)
        while True:
            u1 = self.next_f64()
            u2 = self.next_f64()
            z = math.cos(u2 * TWO_PI) * math.sqrt(math.log(u1) * -2.0)
            v = c * z + 1.0
            if not v > 0.0:
                continue
            cube = v * v * v
            u3 = self.next_f64()
            if ((z * -0.0331) * z * z) * z + 1.0 > u3 or (
                (math.log(cube) + (1.0 - cube)) * d + (z * 0.5) * z > math.log(u3)
            ):
                return d * cube, math.log(d * cube)

    def gamma(self, a, scale, n):
        return [self.gamma_parts(a)[0] * scale for _ in range(n)]

    def beta(self, a, b, n):
        out = []
        for _ in range(n):
            x, log_x = self.gamma_parts(a)
            y, log_y = self.gamma_parts(b)
            if y + x != 0.0:
                out.append(x / (y + x))
            elif log_x == log_y:
                out.append(0.5)
            elif log_x > log_y:
                out.append(1.0 / (1.0 + math.exp(log_y - log_x)))
            else:
                t = math.exp(log_x - log_y)
                out.append(t / (1.0 + t))
        return out


def u64_stream(seed, n):
    """The first n next_u64 outputs of veltrix's generator: the uniform draws carry the top
    53 bits, randint over 2^11 the low 11 bits of the same outputs."""
    high = vr.seed(seed).uniform(0.0, 1.0, [n]).tolist()
    low = vr.seed(seed).randint(0, 2048, [n]).tolist()
    return [(int(h * 2.0**53) << 11) | int(lo) for h, lo in zip(high, low)]


def next_uniforms(g, n=4):
    return g.uniform(0.0, 1.0, [n]).tolist()


def panic(call):
    with pytest.raises(BaseException) as info:
        call()
    assert type(info.value).__name__ == "PanicException"
    assert not isinstance(info.value, Exception)
    return str(info.value)


# ---------------------------------------------------------------------------------------------
# The generator against published and given values


def test_reference_matches_published_splitmix64():
    # Vigna's splitmix64.c started at 1477776061723855037.
    assert splitmix64(1477776061723855037, 5) == [
        1985237415132408290,
        2979275885539914483,
        13511426838097143398,
        8488337342461049707,
        15141737807933549159,
    ]


def test_reference_matches_published_xoshiro256starstar():
    # xoshiro256** from the state words 1, 2, 3, 4.
    g = Reference([1, 2, 3, 4])
    assert [g.next_u64() for _ in range(6)] == [
        11520,
        0,
        1509978240,
        1215971899390074240,
        1216172134540287360,
        607988272756665600,
    ]


def test_seed_zero_state_words_and_first_outputs():
    words = [0xE220A8397B1DCDAF, 0x6E789E6AA1B965F4, 0x06C45D188009454F, 0xF88BB8A8724C81EC]
    assert splitmix64(0, 4) == words
    outputs = u64_stream(0, 200)
    assert outputs[:3] == [0x99EC5F36CB75F2B4, 0xBF6E1F784956452A, 0x1A5F849D4933E6E0]
    ref = Reference(words)
    assert outputs == [ref.next_u64() for _ in range(200)]


@pytest.mark.parametrize("seed", [1, 12345, 2**63, 2**64 - 1])
def test_stream_matches_reference(seed):
    ref = Reference.seeded(seed)
    assert u64_stream(seed, 300) == [ref.next_u64() for _ in range(300)]


def test_seed_zero_uniform_and_randint_values():
    assert vr.seed(0).uniform(0.0, 1.0, [3]).tolist() == [
        0.6012629994179048,
        0.7477740925472398,
        0.10301998939503632,
    ]
    ints = vr.seed(0).randint(0, 10, [3]).tolist()
    assert ints == [0.0, 2.0, 8.0]
    assert all(type(v) is float for v in ints)


@pytest.mark.parametrize(
    "low, high",
    [
        (0, 1),
        (5, 6),
        (0, 2),
        (-3, 0),
        (0, 7),
        (-50, 50),
        (0, 2**32 + 1),
        (1, 2**53),
        (-(2**62), 2**62 + 12345),
        (-(2**63), 2**63 - 1),
        (-(2**63), 0),
        (2**63 - 10, 2**63 - 1),
        (0, 0x9E3779B97F4A7C15 // 3),
    ],
)
def test_randint_matches_plain_remainder(low, high):
    # Covers power-of-two ranges and both kinds of odd divisor of the remainder.
    got = vr.seed(99).randint(low=low, high=high, shape=[500]).tolist()
    assert got == Reference.seeded(99).randint(low, high, 500)
    assert all(float(low) <= v <= float(high - 1) for v in got)


@pytest.mark.parametrize("low, high", [(0.0, 1.0), (-2.5, 7.25), (1e300, 1.5e300), (-1e-300, 1e-300)])
def test_uniform_matches_reference(low, high):
    got = vr.seed(5).uniform(low, high, [2, 150]).tolist()
    flat = [v for row in got for v in row]
    assert flat == Reference.seeded(5).uniform(low, high, 300)


@pytest.mark.parametrize("n", [1, 2, 65, 2049])
@pytest.mark.parametrize(
    "method, args",
    [
        ("standard_normal", ()),
        ("gamma", (1.0, 1.0)),
        ("gamma", (2.5, 1.75)),
        ("gamma", (30.0, 0.5)),
        ("gamma", (0.05, 1.0)),
        ("beta", (1.0, 1.0)),
        ("beta", (2.0, 3.0)),
        ("beta", (0.7, 3.0)),
        ("beta", (0.5, 0.3)),
        # Both gamma variates underflow to 0.0 for most draws here.
        ("beta", (1e-3, 1e-3)),
    ],
)
def test_variates_and_stream_position_match_reference(method, args, n):
    g, ref = vr.seed(n), Reference.seeded(n)
    got = getattr(g, method)(*args, [n]).tolist()
    assert got == getattr(ref, method)(*args, n)
    if method == "beta":
        assert all(0.0 <= v <= 1.0 for v in got)
    # The call stopped right after its last draw.
    assert next_uniforms(g, 8) == ref.uniform(0.0, 1.0, 8)


# ---------------------------------------------------------------------------------------------
# Structural facts of the stream


def test_same_seed_same_stream_and_independent_generators():
    a, b = vr.seed(7), vr.seed(7)
    assert a is not b
    assert type(a) is vr.Generator
    first = a.uniform(0.0, 1.0, [5]).tolist()
    assert b.uniform(0.0, 1.0, [5]).tolist() == first
    c = veltrix.Generator.from_seed(7)
    a.standard_normal([100])
    assert c.uniform(0.0, 1.0, [5]).tolist() == first


@pytest.mark.parametrize(
    "sample",
    [
        lambda g, s: g.uniform(0.0, 1.0, s),
        lambda g, s: g.randint(0, 10, s),
        lambda g, s: g.standard_normal(s),
        lambda g, s: g.lognormal(0.0, 1.0, s),
        lambda g, s: g.gamma(0.5, 1.0, s),
        lambda g, s: g.beta(2.0, 3.0, s),
    ],
)
def test_zero_length_shape_draws_nothing(sample):
    g = vr.seed(4)
    out = sample(g, [3, 0, 2**40])
    assert out.shape == [3, 0, 2**40] and len(out) == 0
    assert next_uniforms(g) == next_uniforms(vr.seed(4))
    scalar = sample(g, ())
    assert scalar.shape == [] and len(scalar) == 1


def test_standard_normal_draw_counts():
    ref = Reference.seeded(2)
    g = vr.seed(2)
    one = g.standard_normal([1]).tolist()
    assert one == ref.standard_normal(1)
    # The tail value took exactly two draws.
    assert next_uniforms(g) == ref.uniform(0.0, 1.0, 4)

    two = vr.seed(2).standard_normal([2]).tolist()
    three = vr.seed(2).standard_normal([3]).tolist()
    assert three[:2] == two
    ref = Reference.seeded(2)
    ref.standard_normal(2)
    assert three[2] == ref.standard_normal(1)[0]


def test_normal_scaling():
    z = vr.seed(6).standard_normal([201]).tolist()
    assert vr.seed(6).normal(3.5, 0.0, [201]).tolist() == [3.5] * 201
    assert vr.seed(6).normal(0.0, -1.0, [201]).tolist() == [-v for v in z]
    assert vr.seed(6).normal(1.25, 2.5, [201]).tolist() == [v * 2.5 + 1.25 for v in z]


def test_lognormal_is_exp_of_normal():
    z = vr.seed(9).standard_normal([101]).tolist()
    assert vr.seed(9).lognormal(0.0, 1.0, [101]).tolist() == [math.exp(v) for v in z]
    assert vr.seed(9).lognormal(0.5, 0.25, [101]).tolist() == [math.exp(v * 0.25 + 0.5) for v in z]


def test_gamma_boost_draw_follows_inner_variate():
    # Shape 1.0 takes the main branch; 0.5 adds one draw after the inner variate for 1.5.
    g = vr.seed(13)
    g.gamma(1.0, 1.0, [1])
    ref = Reference.seeded(13)
    ref.gamma(1.0, 1.0, 1)
    assert next_uniforms(g) == ref.uniform(0.0, 1.0, 4)

    boosted = vr.seed(13)
    value = boosted.gamma(0.5, 1.0, [1]).tolist()[0]
    inner = vr.seed(13)
    base = inner.gamma(1.5, 1.0, [1]).tolist()[0]
    u = inner.uniform(0.0, 1.0, [1]).tolist()[0]
    assert value == math.pow(u, 1.0 / 0.5) * base
    assert next_uniforms(boosted) == next_uniforms(inner)


# ---------------------------------------------------------------------------------------------
# Failures


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda g: g.uniform(2.0, 1.0, [3]), "low must be less than high"),
        (lambda g: g.uniform(1.0, 1.0, [3]), "low must be less than high"),
        (lambda g: g.uniform(float("nan"), 1.0, [3]), "low must be less than high"),
        (lambda g: g.randint(5, 5, [3]), "low must be less than high"),
        (lambda g: g.randint(2**63 - 1, -(2**63), [3]), "low must be less than high"),
        (lambda g: g.gamma(0.0, 1.0, [3]), "shape parameter must be positive"),
        (lambda g: g.gamma(float("nan"), 0.0, [3]), "shape parameter must be positive"),
        (lambda g: g.gamma(1.0, 0.0, [3]), "scale must be positive"),
        (lambda g: g.gamma(1.0, float("nan"), [3]), "scale must be positive"),
        (lambda g: g.beta(-1.0, 1.0, [3]), "alpha must be positive"),
        (lambda g: g.beta(float("nan"), -1.0, [3]), "alpha must be positive"),
        (lambda g: g.beta(1.0, float("nan"), [3]), "beta must be positive"),
        (lambda g: g.beta(1.0, 0.0, [0]), "beta must be positive"),
    ],
)
def test_parameter_checks_raise_internal_error_and_draw_nothing(call, message):
    g = vr.seed(17)
    assert panic(lambda: call(g)) == message
    assert next_uniforms(g) == next_uniforms(vr.seed(17))


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (lambda g: g.uniform(0, 1, 5), TypeError, "argument 'shape': 'int' object cannot be cast as 'Sequence'"),
        (lambda g: g.uniform(0, 1, "ab"), TypeError, "argument 'shape': Can't extract `str` to `Vec`"),
        (lambda g: g.uniform(0, 1, None), TypeError, "argument 'shape': 'NoneType' object cannot be cast as 'Sequence'"),
        (lambda g: g.standard_normal([2, -1]), OverflowError, None),
        (lambda g: g.randint(0.5, 10, [4]), TypeError, "argument 'low': 'float' object cannot be interpreted as an integer"),
        (lambda g: g.randint(0, 2**63, [4]), OverflowError, None),
        (lambda g: g.gamma("a", 1.0, [4]), TypeError, None),
        (lambda g: g.uniform(0.0, 1.0, [2**33, 2**33]), ValueError, None),
        (lambda g: g.beta(1.0, 1.0, [2**62, 4, 4]), ValueError, None),
        (lambda g: g.normal(0.0, 1.0), TypeError, "Generator.normal() missing 1 required positional argument: 'shape'"),
        (lambda g: g.lognormal(0.0, 1.0, [1], 4), TypeError, None),
    ],
)
def test_conversion_failures_draw_nothing(call, exc, message):
    g = vr.seed(23)
    with pytest.raises(exc) as info:
        call(g)
    if message is not None:
        assert str(info.value) == message
    assert next_uniforms(g) == next_uniforms(vr.seed(23))


def test_overflowing_shape_message():
    with pytest.raises(ValueError) as info:
        vr.seed(0).uniform(0.0, 1.0, [2**33, 2**33])
    assert str(info.value).startswith("Shape [8589934592, 8589934592] is too large")


def test_seed_conversion():
    with pytest.raises(OverflowError):
        vr.seed(-1)
    with pytest.raises(OverflowError):
        vr.Generator.from_seed(2**64)
    with pytest.raises(TypeError) as info:
        vr.seed(1.0)
    assert str(info.value) == "argument 'seed': 'float' object cannot be interpreted as an integer"
    assert next_uniforms(vr.seed(2**64 - 1)) == Reference.seeded(2**64 - 1).uniform(0.0, 1.0, 4)
    assert next_uniforms(vr.seed(seed=3)) == next_uniforms(vr.Generator.from_seed(seed=3))


def test_exclusive_borrow_while_sampling():
    g = vr.seed(41)
    seen = []

    class Shape:
        def __len__(self):
            return 2

        def __getitem__(self, i):
            if i >= 2:
                raise IndexError(i)
            try:
                g.uniform(0.0, 1.0, [1])
            except RuntimeError as e:
                seen.append(str(e))
            return 3

    assert g.standard_normal(Shape()).shape == [3, 3]
    assert seen == ["Already borrowed", "Already borrowed"]
    ref = vr.seed(41)
    ref.standard_normal([9])
    assert next_uniforms(g) == next_uniforms(ref)


def test_clock_seeded_generators():
    a, b, c = vr.Generator(), vr.new(), veltrix.Generator()
    for g in (a, b, c):
        assert type(g) is vr.Generator
        values = g.uniform(0.0, 1.0, [8]).tolist()
        assert all(0.0 <= v < 1.0 for v in values)
    with pytest.raises(TypeError):
        vr.Generator(5)
    with pytest.raises(TypeError):
        vr.Generator(seed=5)
    with pytest.raises(TypeError):
        vr.new(1)


# ---------------------------------------------------------------------------------------------
# The Python face


def test_module_members_and_signatures():
    assert vr.__all__ == ["Generator", "seed", "new"]
    assert vr.Generator is veltrix.Generator
    G = vr.Generator
    assert G.__text_signature__ == "()"
    assert G.__module__ == "builtins"
    assert vr.seed.__text_signature__ == "(seed)"
    assert vr.new.__text_signature__ == "()"
    assert G.from_seed.__text_signature__ == "(seed)"
    expected = {
        "uniform": "($self, low, high, shape)",
        "randint": "($self, low, high, shape)",
        "normal": "($self, mu, sigma, shape)",
        "standard_normal": "($self, shape)",
        "lognormal": "($self, mu, sigma, shape)",
        "gamma": "($self, shape_param, scale, shape)",
        "beta": "($self, alpha, beta_param, shape)",
    }
    for name, sig in expected.items():
        assert getattr(G, name).__text_signature__ == sig
    with pytest.raises(TypeError):

        class Sub(G):
            pass

    with pytest.raises(AttributeError):
        G.from_seed(1).extra = 1


# ---------------------------------------------------------------------------------------------
# Distributions (fixed seeds, so each check is deterministic)

N = 20000


@pytest.mark.parametrize(
    "draw, dist, args",
    [
        (lambda g: g.uniform(-1.0, 3.0, [N]), "uniform", (-1.0, 4.0)),
        (lambda g: g.standard_normal([N]), "norm", ()),
        (lambda g: g.normal(1.5, 2.0, [N]), "norm", (1.5, 2.0)),
        (lambda g: g.lognormal(0.3, 0.8, [N]), "lognorm", (0.8, 0.0, math.exp(0.3))),
        (lambda g: g.gamma(0.5, 2.0, [N]), "gamma", (0.5, 0.0, 2.0)),
        (lambda g: g.gamma(2.5, 1.5, [N]), "gamma", (2.5, 0.0, 1.5)),
        (lambda g: g.gamma(1.0, 1.0, [N]), "gamma", (1.0, 0.0, 1.0)),
        (lambda g: g.beta(2.0, 3.0, [N]), "beta", (2.0, 3.0)),
        (lambda g: g.beta(0.4, 0.6, [N]), "beta", (0.4, 0.6)),
    ],
)
@pytest.mark.parametrize("seed", [1, 2024])
def test_kolmogorov_smirnov(draw, dist, args, seed):
    sample = draw(vr.seed(seed)).tolist()
    assert scipy.stats.kstest(sample, dist, args=args).pvalue > 1e-3


def test_randint_is_uniform_over_its_range():
    counts = [0] * 7
    for v in vr.seed(77).randint(-3, 4, [70000]).tolist():
        counts[int(v) + 3] += 1
    assert scipy.stats.chisquare(counts).pvalue > 1e-3
