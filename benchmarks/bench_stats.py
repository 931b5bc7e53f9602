"""Statistics against NumPy and SciPy: ratio = veltrix time / peer time.

sum, mean and var add one element after the other in a fixed order, so they run at the
latency of one dependent floating-point add per element; NumPy's pairwise, vectorised sums
are not bound by that.
"""

# timing first: it clears the BLAS overrides before NumPy loads.
try:
    from timing import run_cases
except ImportError:  # imported as benchmarks.bench_stats
    from .timing import run_cases

import numpy as np
import scipy.stats

import veltrix


S = veltrix.stats


def cases():
    out = []
    rng = np.random.default_rng(7)
    qs = np.linspace(0.0, 1.0, 100)
    vqs = veltrix.asarray(qs.tolist())
    for n in (1_000, 1_000_000):
        x = rng.normal(size=n)
        y = 0.5 * x + rng.normal(size=n)
        a, b = veltrix.asarray(x.tolist()), veltrix.asarray(y.tolist())
        tag = f"n={n:,}"
        out += [
            (f"sum {tag}", lambda a=a: S.sum(a), "np.sum", lambda x=x: np.sum(x)),
            (f"mean {tag}", lambda a=a: S.mean(a), "np.mean", lambda x=x: np.mean(x)),
            (f"var {tag}", lambda a=a: S.var(a), "np.var", lambda x=x: np.var(x)),
            (f"median {tag}", lambda a=a: S.median(a), "np.median", lambda x=x: np.median(x)),
            (f"quantile q=0.3 {tag}", lambda a=a: S.quantile(a, 0.3),
             "np.quantile", lambda x=x: np.quantile(x, 0.3)),
            (f"quantile 100 probabilities {tag}", lambda a=a: S.quantile(a, vqs),
             "np.quantile", lambda x=x: np.quantile(x, qs)),
            (f"pearson {tag}", lambda a=a, b=b: S.pearson(a, b),
             "scipy.stats.pearsonr", lambda x=x, y=y: scipy.stats.pearsonr(x, y)),
            (f"spearman {tag}", lambda a=a, b=b: S.spearman(a, b),
             "scipy.stats.spearmanr", lambda x=x, y=y: scipy.stats.spearmanr(x, y)),
        ]
    return out


if __name__ == "__main__":
    run_cases(cases())
