"""Every benchmark side by side with NumPy, SciPy and scikit-learn, in one run.

    python benchmarks/run.py                       # all areas, table on stdout
    python benchmarks/run.py --only linalg stats   # some areas
    python benchmarks/run.py --markdown bench.md --png bench.png
    python benchmarks/run.py --quick               # fewer repeats
    python benchmarks/run.py --no-peak             # skip the peak probe (needs a C++ compiler)

Each row is the median of repeated runs; ratio = veltrix time / peer time (below 1: veltrix is
faster). Install the peers with the `[bench]` extra.

Rows that know their work (matrix products) also print veltrix's rate as a share of this core's
bound, both timed as the fastest sample on the thread's CPU clock (robust to a busy machine,
unlike the medians of the ratio column), the bound measured first by peak.py: the no-FMA multiply+add peak of the widest vector set for
products (veltrix never fuses a multiply and an add), the streaming-read bandwidth for
matrix·vector. The ratio to NumPy alone does not say how far a kernel is from what the machine
allows: BLAS kernels fuse, which is worth up to 2× where a core has fewer add than FMA units.
"""

import argparse
import datetime
import importlib
import math
import os
import pathlib
import platform
import sys

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

# Before anything imports NumPy: timing clears the machine's OpenBLAS overrides.
from timing import BLAS_OVERRIDES, REMOVED_OVERRIDES, best_cpu_time, fmt, run_cases  # noqa: E402
import peak  # noqa: E402

AREAS = ["construct", "elementwise", "vmath", "random", "linalg", "solvers", "stats", "spatial"]


cpu_name = peak.cpu_name


def environment():
    lines = [f"date: {datetime.datetime.now(datetime.timezone.utc):%Y-%m-%d %H:%M UTC}",
             f"cpu: {cpu_name()} ({os.cpu_count()} logical cores), {platform.system()} {platform.machine()}",
             f"python: {platform.python_version()}"]
    for mod in ("numpy", "scipy", "sklearn"):
        try:
            lines.append(f"{mod}: {importlib.import_module(mod).__version__}")
        except ImportError:
            lines.append(f"{mod}: not installed")
    for var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS") + BLAS_OVERRIDES:
        if var in os.environ:
            lines.append(f"{var}={os.environ[var]}")
    for var, value in REMOVED_OVERRIDES.items():
        lines.append(f"{var}={value} removed before NumPy was loaded")
    try:
        from threadpoolctl import threadpool_info
        for info in threadpool_info():
            # architecture: the BLAS kernel actually in use (what the overrides would change).
            lines.append(f"threadpool: {info.get('internal_api')} {info.get('version')} "
                         f"{info.get('num_threads')} threads, threading {info.get('threading_layer', '-')}, "
                         f"architecture {info.get('architecture', 'unknown')}")
    except ImportError:
        lines.append("threadpool: threadpoolctl not installed")
    lines.append("veltrix: single-threaded by design")
    return lines


def collect(areas):
    cases = []
    for area in areas:
        try:
            mod = importlib.import_module(f"bench_{area}")
        except ImportError as e:
            print(f"# skipping {area}: {e}", file=sys.stderr)
            continue
        for case in mod.cases():
            cases.append((area,) + tuple(case))
    return cases


def bound_of(figures):
    """{"flops": GFLOP/s, "bytes": GB/s}: the bounds the rows' rates are set against."""
    if not figures:
        return {}
    gflops, _ = peak.nofma_peak(figures)
    return {"flops": gflops, "bytes": figures.get("stream_read_gbs", float("nan"))}


def share(work, ours, bounds, cache):
    """'41.2 GFLOP/s = 83 %' for a row with known work, '' otherwise. The rate is timed like the
    bounds (fastest sample on the thread's CPU clock), once per case however many peers."""
    if not work or not bounds:
        return ""
    (kind, amount), = work.items()
    if ours not in cache:
        # Memory-bound rows take more samples: the memory system's other users come and go
        # over seconds, and the read they are set against is the best of seconds of trials.
        cache[ours] = best_cpu_time(ours, samples=60 if kind == "bytes" else 15)
    rate = amount / cache[ours] * 1e-9
    unit = "GFLOP/s" if kind == "flops" else "GB/s"
    return f"{rate:.1f} {unit} = {100 * rate / bounds[kind]:.0f} %"


def write_markdown(path, env, rows):
    out = ["| area | case | veltrix | peer | peer time | ratio | of bound |",
           "|---|---|---:|---|---:|---:|---:|"]
    for area, name, t_ours, peer, t_peer, ratio, of_bound in rows:
        out.append(f"| {area} | {name} | {fmt(t_ours)} | {peer} | {fmt(t_peer)} | {ratio:.2f} "
                   f"| {of_bound} |")
    text = "\n".join(["Measured with:", ""] + [f"- {line}" for line in env] + [""] + out) + "\n"
    pathlib.Path(path).write_text(text)


def write_png(path, rows):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    rows = [r for r in rows if r[5] == r[5]]
    fig, ax = plt.subplots(figsize=(9, 0.28 * len(rows) + 1.5))
    # Products carry their share of the machine's bound beside the name.
    names = [f"{r[0]}: {r[1]}" + (f" [{r[6].split('= ')[-1]} of bound]" if r[6] else "")
             for r in rows]
    ratios = [r[5] for r in rows]
    colors = ["tab:green" if x <= 1 else "tab:red" for x in ratios]
    ax.barh(range(len(rows)), ratios, color=colors)
    ax.set_yticks(range(len(rows)), names, fontsize=7)
    ax.invert_yaxis()
    ax.axvline(1.0, color="black", lw=0.8)
    ax.set_xscale("log")
    ax.set_xlabel("veltrix time / peer time (log scale; < 1 means veltrix is faster)")
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--only", nargs="*", choices=AREAS, help="areas to run")
    ap.add_argument("--markdown", help="write the table as Markdown to this file")
    ap.add_argument("--png", help="write a bar chart of the ratios to this file")
    ap.add_argument("--quick", action="store_true", help="fewer repeats, shorter samples")
    ap.add_argument("--no-peak", action="store_true", help="skip the peak probe")
    args = ap.parse_args(argv)
    env = environment()
    figures = {} if args.no_peak else peak.measure(runs=2)
    bounds = bound_of(figures)
    if bounds:
        gflops, isa = peak.nofma_peak(figures)
        env.append(f"bounds (one core, benchmarks/peak.py): no-FMA peak {gflops:.1f} GFLOP/s ({isa}), "
                   f"FMA peak {figures.get('fma_' + isa, float('nan')):.1f} GFLOP/s, streaming read "
                   f"{bounds['bytes']:.1f} GB/s, sequential add {figures['sequential_add_ns']:.2f} ns")
    for line in env:
        print(f"# {line}")
    repeat, min_time = (3, 0.02) if args.quick else (7, 0.05)
    rows = []
    rates = {}
    print(f"{'area':11s} {'case':46s} {'veltrix':>10s} {'peer':>10s} {'ratio':>7s} "
          f"{'rate = % of bound':>22s}  peer")
    for area, *case in collect(args.only or AREAS):
        (r,) = run_cases([case], repeat=repeat, min_time=min_time, out=lambda _line: None)
        name, t_ours, peer, t_peer, ratio = r
        of_bound = share(case[4] if len(case) > 4 else None, case[1], bounds, rates)
        rows.append((area,) + r + (of_bound,))
        print(f"{area:11s} {name:46s} {fmt(t_ours):>10s} {fmt(t_peer):>10s} {ratio:7.2f} "
              f"{of_bound:>22s}  {peer}", flush=True)
    finite = [r[5] for r in rows if r[5] == r[5] and r[5] > 0]
    if finite:
        geo = math.exp(sum(math.log(x) for x in finite) / len(finite))
        print(f"# geometric mean ratio over {len(finite)} cases: {geo:.2f}")
    if args.markdown:
        write_markdown(args.markdown, env, rows)
    if args.png:
        write_png(args.png, rows)


if __name__ == "__main__":
    main()
