"""
How closely the densities agree with scikit-learn
=================================================

Gaussian kernel densities of 2,000 points in two dimensions, normalised (divided by
N · 2π · h²), against ``exp(KernelDensity(bandwidth=h).score_samples(Q))`` of scikit-learn, at
queries from the centre of the data out into the far tail. The relative difference is plotted
against the density's level (density / peak density):

* where the density is a sizeable fraction of its peak, the two agree to rounding of sums over
  many points in different orders;
* far out, veltrix skips tree nodes whose nearest possible point has a kernel value below
  1e-10 (such a node adds nothing), so the sum can be short by up to 1e-10 per
  skipped point, and the relative difference grows as the density falls;
* beyond about 6.8 bandwidths from every point veltrix returns exactly 0.0 (shown on the
  bottom edge) where scikit-learn still returns a tiny positive value.

The printed summary gives the measured worst case in each band.
"""

import math

import matplotlib.pyplot as plt
import numpy as np
from sklearn.neighbors import KernelDensity

from veltrix import Array, random, spatial

n, h = 2000, 0.3
X = random.seed(17).standard_normal([n, 2]).to_numpy()
tree = spatial.KDTree.from_array(Array.from_numpy(X))

# Rays from the centre in 24 directions, out to well past the last point.
r = np.linspace(0.0, 6.0, 300)
angles = np.linspace(0.0, 2 * math.pi, 24, endpoint=False)
Q = np.concatenate([np.column_stack([r * math.cos(a), r * math.sin(a)]) for a in angles])

ours = tree.density(Q, h, "gaussian") / (n * 2 * math.pi * h * h)
theirs = np.exp(KernelDensity(kernel="gaussian", bandwidth=h).fit(X).score_samples(Q))
peak = theirs.max()
level = theirs / peak
pos = (ours > 0) & (theirs > 0)
rel = np.abs(ours[pos] - theirs[pos]) / theirs[pos]


def worst(lo, hi):
    sel = (level[pos] > lo) & (level[pos] <= hi)
    return rel[sel].max() if sel.any() else float("nan")


zero = (ours == 0) & (theirs > 0)
print(f"density above 1e-2 of the peak: worst relative difference {worst(1e-2, 1.0):.2g}")
print(f"density in (1e-9, 1e-7] of the peak: worst relative difference {worst(1e-9, 1e-7):.2g}")
print(f"veltrix exactly 0.0 at {zero.sum()} queries, where scikit-learn gives at most "
      f"{theirs[zero].max() if zero.any() else 0:.2g}")
print(f"both exactly equal at {(ours == theirs).sum()} of {len(Q)} queries")

fig, ax = plt.subplots(figsize=(8, 4.8))
ax.loglog(level[pos], np.maximum(rel, 1e-17), ".", ms=2, alpha=0.5, label="both positive")
floor = 1e-17
ax.loglog(level[zero], np.full(zero.sum(), floor), "|", color="tab:red", ms=8,
          label="veltrix 0.0, scikit-learn positive")
ax.set_xlabel("density / peak density (scikit-learn)")
ax.set_ylabel("|veltrix − scikit-learn| / scikit-learn")
ax.axvline(1e-2, color="gray", lw=0.6, ls="--")
ax.axvline(1e-8, color="gray", lw=0.6, ls="--")
ax.invert_xaxis()
ax.set_ylim(3e-18, 3.0)
ax.legend(loc="upper left")
ax.set_title(f"gaussian kernel, n = {n}, h = {h}, d = 2")
fig.tight_layout()
plt.show()
