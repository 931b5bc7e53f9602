"""Builds the documentation once per session; the checks read the built pages.

These tests need the ``docs`` extra (Sphinx and its extensions) and, for the browser test,
Debian's ``chromium`` and ``chromium-driver``; the default test run does not collect them.
"""

import os
import pathlib
import shutil
import subprocess
import sys
import time

import pytest

DOCS = pathlib.Path(__file__).resolve().parents[1]


@pytest.fixture(scope="session")
def site():
    """The built HTML folder, after a build that must finish without a single warning."""
    out = DOCS / "_build" / "html"
    # A clean build: pages of removed examples or pages would otherwise linger.
    for generated in (out, DOCS / "auto_examples", DOCS / "api"):
        shutil.rmtree(generated, ignore_errors=True)
    started = time.monotonic()
    run = subprocess.run(
        [sys.executable, "-m", "sphinx", "-W", "--keep-going", "-q", "-b", "html",
         str(DOCS), str(out)],
        capture_output=True, text=True, timeout=900, env={**os.environ, "MPLBACKEND": "Agg"})
    seconds = time.monotonic() - started
    print(f"docs build: {seconds:.0f} s", file=sys.stderr)
    assert run.returncode == 0 and "WARNING" not in run.stderr, run.stderr[-6000:]
    return out
