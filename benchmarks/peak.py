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
- the rate of the matrix product's register tile shapes over L1-resident packed panels.

Every figure is the best of many short trials on the thread's CPU clock: on a shared machine
busy trials are discarded rather than averaged in.
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
    "stream_read_gbs": ("streaming read of 32 MiB (a 2048² matrix)", "GB/s"),
}


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


def measure(runs=3):
    """{figure: value} from the probe, each the best over `runs` runs (lowest for ns)."""
    exe = compile_probe()
    best = {}
    for _ in range(runs):
        out = subprocess.run([str(exe)], check=True, capture_output=True, text=True).stdout
        for line in out.splitlines():
            key, value = line.split()
            value = float(value)
            lower_is_better = key.endswith("_ns")
            if key not in best or (value < best[key] if lower_is_better else value > best[key]):
                best[key] = value
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
    out(f"# cpu: {cpu_name()}; widest vector set: {isa}; one core")
    for key, (label, unit) in LABELS.items():
        if key in figures:
            out(f"{label:52s} {figures[key]:8.2f} {unit}")
    peak, _ = nofma_peak(figures)
    tiles = sorted(k for k in figures if k.startswith("tile_"))
    if tiles:
        out("register tiles, k = 256, L1-resident packed panels (% of the no-FMA peak):")
        for key in tiles:
            name = key[len("tile_"):].replace("_", " ")
            out(f"  {name:50s} {figures[key]:8.2f} GFLOP/s {100 * figures[key] / peak:5.0f} %")


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--runs", type=int, default=3, help="probe runs; each figure is the best")
    args = ap.parse_args(argv)
    report(measure(args.runs))


if __name__ == "__main__":
    sys.exit(main())
