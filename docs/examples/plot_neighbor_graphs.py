"""
k-nearest-neighbour and radius graphs
=====================================

A point cloud of three gaussian clusters drawn from one seeded generator. Left: every point
joined to its 4 nearest neighbours (one batch ``query``). Right: every pair of points closer
than 0.35 joined (one batch ``query_ball_point``). The radius graph falls apart into its
clusters where the kNN graph, whose every node has 4 edges, still links them.
"""

import matplotlib.pyplot as plt
import numpy as np
from matplotlib.collections import LineCollection

from veltrix import Array, random, spatial

gen = random.seed(2026)
centres = np.array([[0.0, 0.0], [3.0, 1.0], [1.2, 2.8]])
blocks = [gen.normal(0.0, 0.55, [100, 2]).to_numpy() + c for c in centres]
points = np.concatenate(blocks)
tree = spatial.KDTree.from_array(Array.from_numpy(points))

# k = 5: the first neighbour of every point is the point itself.
dist, ind = tree.query(points, k=5)
knn_edges = [(points[i], points[j]) for i in range(len(points)) for j in ind[i, 1:]]

radius = 0.35
hits = tree.query_ball_point(points, radius)
radius_edges = [(points[i], points[j]) for i, row in enumerate(hits) for j in row if j > i]
degree = np.array([len(row) - 1 for row in hits])

fig, axes = plt.subplots(1, 2, figsize=(11, 5), sharex=True, sharey=True)
axes[0].add_collection(LineCollection(knn_edges, colors="tab:blue", linewidths=0.6, alpha=0.6))
axes[0].scatter(points[:, 0], points[:, 1], s=8, c="black", zorder=3)
axes[0].set_title(f"4 nearest neighbours: {len(knn_edges)} directed edges")
axes[1].add_collection(LineCollection(radius_edges, colors="tab:orange", linewidths=0.6))
sc = axes[1].scatter(points[:, 0], points[:, 1], s=10, c=degree, cmap="viridis", zorder=3)
axes[1].set_title(f"radius {radius}: {len(radius_edges)} edges (colour: degree)")
fig.colorbar(sc, ax=axes[1], shrink=0.8)
for ax in axes:
    ax.set_aspect("equal")
fig.tight_layout()
plt.show()
