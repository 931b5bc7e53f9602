"""
Benchmark ratios
================

The ratios of ``benchmarks/RESULTS.md``: veltrix's time over the peer's (NumPy, SciPy or
scikit-learn) for each case, on a log scale; below 1 (green) veltrix is faster. The table is
read from the repository, not measured during the docs build: a benchmark run takes minutes
and needs a quiet machine. Regenerate it with ``python benchmarks/run.py --markdown
benchmarks/RESULTS.md`` (the header of the file names the CPU and instruction set: an AMD EPYC
with AVX2 and FMA, no AVX-512).
"""

import pathlib

import matplotlib.pyplot as plt

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
fig, axes = plt.subplots(len(areas), 1, figsize=(10, 0.16 * len(rows) + 1.2 * len(areas)),
                         gridspec_kw={"height_ratios": [sum(r[0] == a for r in rows)
                                                        for a in areas]})
for ax, area in zip(axes, areas):
    sel = [r for r in rows if r[0] == area]
    ratios = [r[3] for r in sel]
    ax.barh(range(len(sel)), ratios, color=["tab:green" if x <= 1 else "tab:red" for x in ratios])
    ax.set_yticks(range(len(sel)), [f"{r[1]}  vs {r[2]}" for r in sel], fontsize=6)
    ax.invert_yaxis()
    ax.axvline(1.0, color="black", lw=0.8)
    ax.set_xscale("log")
    ax.set_title(area, fontsize=9, loc="left")
axes[-1].set_xlabel("veltrix time / peer time (log scale; below 1: veltrix is faster)")
fig.tight_layout()
plt.show()
