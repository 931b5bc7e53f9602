"""The tour runs end to end and its report is self-consistent."""

import json
import pathlib
import subprocess
import sys

TOUR = pathlib.Path(__file__).resolve().parents[1] / "examples" / "tour.py"


def test_tour_small_report(tmp_path):
    out = tmp_path / "report.json"
    r = subprocess.run([sys.executable, str(TOUR), "--small", "--no-figure", "--json", str(out)],
                       capture_output=True, text=True, timeout=300)
    assert r.returncode == 0, r.stderr
    assert "Kernel density" in r.stdout
    rep = json.loads(out.read_text())
    assert rep["broadcast_shape"] == [3, 4] and rep["broadcast_corner"] == 120.5
    assert rep["cholesky_error"] < 1e-12
    assert rep["covariance_error"] < 0.5
    assert rep["qr_error"] < 1e-12 and rep["qr_orthogonality"] < 1e-12
    assert rep["eig_residual"] < 1e-8
    assert abs(rep["mean"] - 10) < 0.3 and abs(rep["std"] - 2) < 0.3
    assert 0.5 < rep["spearman"] < 1 and 0.5 < rep["pearson"] < 1
    assert rep["knn_matches_brute_force"] and rep["radius_matches_brute_force"]
    assert rep["kde_abs_error"] <= rep["kde_error_bound"]


def test_tour_is_reproducible(tmp_path):
    outs = []
    for i in range(2):
        out = tmp_path / f"r{i}.json"
        subprocess.run([sys.executable, str(TOUR), "--small", "--no-figure", "--json", str(out)],
                       check=True, capture_output=True, timeout=300)
        rep = json.loads(out.read_text())
        rep.pop("seconds")
        outs.append(rep)
    assert outs[0] == outs[1]
