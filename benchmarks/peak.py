"""What one core of this machine can do at most, the yardstick for the kernels.

    python benchmarks/peak.py            # compile the probe, print every figure
    python benchmarks/peak.py --runs 5   # more runs (each figure is the best of all runs)

Compiles benchmarks/peak_probe.cpp with the system C++ compiler (no FMA contraction, as the
library is built) and reports, for each instruction set the running CPU supports:

- the no-FMA peak: independent multiply chains and add chains issued together, the bound for
  any product that multiplies and adds separately (every veltrix product does);
- the FMA peak, what fused BLAS kernels are bound by;
- the sequential-add bound: one dependent add per element, a strictly ordered sum;
- the streaming-read bandwidth, the bound for matrix·vector (it reads the matrix once);
- the rate of the matrix product's register tile shapes over L1-resident packed panels;
- the core's clock, and the no-FMA peak in flops per cycle.

Every figure is the fifth-best of short trials on the thread's CPU clock, taken in rounds spread
over 1.5 s per run: on a shared machine busy trials are discarded rather than averaged in, and
no single trial that the clock timed too short sets a figure. A core
shared with work outside this system (on a virtual machine, the other hardware thread of the
physical core) runs the chains at fewer flops per cycle at an unchanged clock; the peak of a
core alone is a whole number of vectors per cycle, so a best figure that is not is reported as
disturbed, and further runs are made to find an undisturbed one.
"""

import argparse
import hashlib
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile

HERE = pathlib.Path(__file__).resolve().parent
PROBE = HERE / "peak_probe.cpp"
FLAGS = ["-O3", "-std=c++20", "-ffp-contract=off", "-fno-fast-math", "-w"]

LABELS = {
    "nofma_avx2": ("no-FMA peak, AVX2 (separate multiply and add)", "GFLOP/s"),
    "fma_avx2": ("FMA peak, AVX2", "GFLOP/s"),
    "nofma_avx512": ("no-FMA peak, AVX-512 (separate multiply and add)", "GFLOP/s"),
    "fma_avx512": ("FMA peak, AVX-512", "GFLOP/s"),
    "sequential_add_ns": ("sequential-add bound (one dependent add)", "ns/element"),
    "stream_read_gbs": ("streaming read of 128 MiB (a 4096² matrix), from memory", "GB/s"),
    "core_ghz": ("core clock (dependent integer adds)", "GHz"),
}
LANES = {"avx2": 4, "avx512": 8}


def cpu_name():
    try:
        for line in pathlib.Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    import platform
    return platform.processor() or platform.machine()


def compile_probe():
    """Path of the probe binary, built once per source version in the temporary directory."""
    cxx = os.environ.get("CXX") or shutil.which("g++") or shutil.which("c++")
    if cxx is None:
        raise RuntimeError("peak.py needs a C++20 compiler (set CXX or install g++)")
    key = hashlib.sha256(PROBE.read_bytes() + " ".join([cxx] + FLAGS).encode()).hexdigest()[:16]
    exe = pathlib.Path(tempfile.gettempdir()) / f"veltrix_peak_probe_{key}"
    if not exe.exists():
        tmp = exe.with_suffix(f".{os.getpid()}")
        subprocess.run([cxx, *FLAGS, str(PROBE), "-o", str(tmp)], check=True)
        tmp.replace(exe)
    return exe


def run_probe(exe, seconds=1.5):
    """{figure: value} of one probe run; `<figure>_share` is the fraction of its rounds within
    3 % of the figure's best."""
    out = subprocess.run([str(exe), str(seconds)], check=True, capture_output=True,
                         text=True).stdout
    figures = {}
    for line in out.splitlines():
        key, value = line.split()
        figures[key] = float(value)
    return figures


def per_cycle(figures):
    """(flops per cycle of the no-FMA peak, the whole number of vectors per cycle nearest to
    it in flops, whether the two agree within 5 %), or None without a vector set."""
    isa = widest_isa(figures)
    if isa is None or not figures.get("core_ghz"):
        return None
    fpc = figures[f"nofma_{isa}"] / figures["core_ghz"]
    lanes = LANES[isa]
    whole = max(lanes, lanes * round(fpc / lanes))
    return fpc, whole, abs(fpc - whole) <= 0.05 * whole


def measure(runs=3, max_runs=None):
    """{figure: value} from the probe, each the best over `runs` runs (lowest for ns); while the
    no-FMA peak is not a whole number of vectors per cycle (a disturbed core), up to `max_runs`
    (default 3 × runs) runs are made. Shares come from the run that gave the best value."""
    exe = compile_probe()
    max_runs = max_runs or 3 * runs
    best = {}
    done = 0
    while done < runs or (done < max_runs and not (per_cycle(best) or (0, 0, True))[2]):
        figures = run_probe(exe)
        done += 1
        for key, value in figures.items():
            if key.endswith("_share") or key == "rounds":
                continue
            lower_is_better = key.endswith("_ns")
            if key not in best or (value < best[key] if lower_is_better else value > best[key]):
                best[key] = value
                if f"{key}_share" in figures:
                    best[f"{key}_share"] = figures[f"{key}_share"]
    best["runs"] = done
    return best


def widest_isa(figures):
    return "avx512" if figures.get("isa_avx512") else "avx2" if figures.get("isa_avx2") else None


def nofma_peak(figures):
    """(GFLOP/s, instruction set) of the no-FMA peak on the widest set present."""
    isa = widest_isa(figures)
    if isa is None:
        return float("nan"), "generic"
    return figures[f"nofma_{isa}"], isa


def report(figures, out=print):
    isa = widest_isa(figures) or "no AVX2"
    out(f"# cpu: {cpu_name()}; widest vector set: {isa}; one core; "
        f"best of {figures.get('runs', 1):.0f} runs")
    for key, (label, unit) in LABELS.items():
        if key in figures:
            share = figures.get(f"{key}_share")
            note = f"   ({100 * share:.0f} % of trials within 3 %)" if share is not None else ""
            out(f"{label:58s} {figures[key]:8.2f} {unit}{note}")
    check = per_cycle(figures)
    if check:
        fpc, whole, ok = check
        out(f"{'no-FMA peak per cycle':58s} {fpc:8.2f} flops"
            + ("" if ok else f"   not a whole number of vectors ({whole}): the core was shared "
                             "throughout (percentages against it too high), or it runs wide vectors "
                             "below the clock of integer adds"))
    peak, _ = nofma_peak(figures)
    tiles = sorted(k for k in figures if k.startswith("tile_") and not k.endswith("_share"))
    if tiles:
        out("register tiles, k = 256, L1-resident packed panels (% of the no-FMA peak):")
        for key in tiles:
            name = key[len("tile_"):].replace("_", " ")
            out(f"  {name:56s} {figures[key]:8.2f} GFLOP/s {100 * figures[key] / peak:5.0f} %")


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--runs", type=int, default=3, help="probe runs; each figure is the best")
    args = ap.parse_args(argv)
    report(measure(args.runs))


if __name__ == "__main__":
    sys.exit(main())
