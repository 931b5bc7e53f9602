"""
Benchmark ratios
================

The ratios of ``benchmarks/RESULTS.md``: veltrix's time over the peer's (NumPy, SciPy or
scikit-learn) for each case, grouped by area on a log scale; below 1 (green) veltrix is
faster, and the slowest case of each area is named. The table is
read from the repository, not measured during the docs build: a benchmark run takes minutes
and needs a quiet machine. Regenerate it with ``python benchmarks/run.py --markdown
benchmarks/RESULTS.md`` (the header of the file names the CPU and instruction set: an AMD EPYC
with AVX2 and FMA, no AVX-512).
"""

import pathlib

import matplotlib.pyplot as plt
import numpy as np

try:
    here = pathlib.Path(__file__).resolve().parent
except NameError:  # sphinx-gallery runs the file's code without __file__
    here = pathlib.Path.cwd()
results = next(p / "benchmarks" / "RESULTS.md" for p in [here, *here.parents]
               if (p / "benchmarks" / "RESULTS.md").exists())

rows = []
for line in results.read_text().splitlines():
    cells = [c.strip() for c in line.strip().strip("|").split("|")]
    if len(cells) == 6 and cells[0] not in ("area", "---") and not cells[0].startswith("-"):
        try:
            rows.append((cells[0], cells[1], cells[3], float(cells[5])))
        except ValueError:
            pass

areas = sorted({r[0] for r in rows}, key=[r[0] for r in rows].index)
fig, ax = plt.subplots(figsize=(10, 5.5))
for i, area in enumerate(areas):
    sel = [r for r in rows if r[0] == area]
    ratios = np.array([r[3] for r in sel])
    # Spread the cases of one area sideways so equal ratios stay visible.
    xs = i + np.linspace(-0.3, 0.3, len(sel)) if len(sel) > 1 else np.array([float(i)])
    ax.scatter(xs, ratios, s=14, c=np.where(ratios <= 1, "tab:green", "tab:red"), zorder=3)
    ax.text(i, 1.3e-3, f"{int((ratios <= 1).sum())} of {len(sel)}\nfaster", ha="center",
            va="bottom", fontsize=8)
    worst = sel[int(np.argmax(ratios))]
    if worst[3] > 1:
        ax.annotate(f"{worst[1]}\nvs {worst[2]}: {worst[3]:.2f}", (xs[int(np.argmax(ratios))],
                    worst[3]), xytext=(4, 4), textcoords="offset points", fontsize=6)
ax.axhline(1.0, color="black", lw=0.8)
ax.set_yscale("log")
ax.set_ylim(1e-3, 3000)
ax.set_xticks(range(len(areas)), areas)
ax.set_ylabel("veltrix time / peer time (log scale)")
ax.set_title(f"{len(rows)} cases of benchmarks/RESULTS.md; below the line veltrix is faster")
fig.tight_layout()
plt.show()
