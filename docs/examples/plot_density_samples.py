"""
Samples drawn from a kernel density
===================================

A gaussian kernel density of the iris petal measurements (standardised), and 2,000 new points
drawn from it with a seeded generator: each sample is a stored point chosen uniformly plus a
kernel-shaped offset of the bandwidth's scale. The histogram of the samples follows the density
they came from, and the same seed draws the same samples.
"""

import math

import matplotlib.pyplot as plt
import numpy as np
from sklearn.datasets import load_iris

from veltrix import Array, random, spatial

xy = load_iris().data[:, 2:4]
xy = (xy - xy.mean(axis=0)) / xy.std(axis=0)
n, d = xy.shape
h = n ** (-1.0 / (d + 4))
tree = spatial.KDTree.from_array(Array.from_numpy(np.ascontiguousarray(xy)))

samples = np.asarray(tree.sample(2000, random.seed(5), h, "gaussian"))
again = np.asarray(tree.sample(2000, random.seed(5), h, "gaussian"))
assert np.array_equal(samples, again)

gx, gy = np.meshgrid(np.linspace(-2.5, 2.5, 150), np.linspace(-2.5, 2.5, 150))
dens = tree.density(np.column_stack([gx.ravel(), gy.ravel()]), h) / (n * 2 * math.pi * h * h)

fig, axes = plt.subplots(1, 2, figsize=(11, 4.8), sharey=True)
axes[0].contourf(gx, gy, dens.reshape(gx.shape), levels=12, cmap="viridis")
axes[0].scatter(xy[:, 0], xy[:, 1], s=4, c="white")
axes[0].set_title(f"density, h = {h:.3f}, and the {n} flowers")
axes[1].hist2d(samples[:, 0], samples[:, 1], bins=60, range=[[-2.5, 2.5], [-2.5, 2.5]],
               cmap="viridis")
axes[1].set_title("2,000 samples drawn from it")
fig.tight_layout()
plt.show()
