"""Ctrl-C stops long calls promptly and leaves every object as it was.

Each case runs in a subprocess: it sets up, starts one long call, sends itself SIGINT 0.3 s
later and expects KeyboardInterrupt within a second of the signal; then the objects involved
must give the same answers as before the call.
"""

import subprocess
import sys
import textwrap

import pytest

PRELUDE = """
import os, signal, sys, threading, time
import veltrix
from veltrix import random as vr, spatial
sent = []
def fire():
    time.sleep(0.3)
    sent.append(time.monotonic())
    os.kill(os.getpid(), signal.SIGINT)
"""

# (setup, long call, check afterwards): each long call runs for many seconds uninterrupted.
CASES = {
    "lognormal": ("g = vr.seed(6); ref = vr.seed(6).lognormal(1.0, 2.0, [9])",
                  "g.lognormal(1.0, 2.0, [80_000_000])",
                  "assert g.lognormal(1.0, 2.0, [9]).tolist() == ref.tolist()"),
    "beta": ("g = vr.seed(7); ref = vr.seed(7).beta(0.5, 3.0, [9])",
             "g.beta(0.5, 3.0, [40_000_000])",
             "assert g.beta(0.5, 3.0, [9]).tolist() == ref.tolist()"),
}


@pytest.mark.parametrize("case", sorted(CASES))
def test_ctrl_c_stops_a_long_call(case):
    setup, call, check = CASES[case]
    code = PRELUDE + textwrap.dedent(f"""
        {setup}
        threading.Thread(target=fire).start()
        try:
            {call}
        except KeyboardInterrupt:
            late = time.monotonic() - sent[0]
            {check}
            print("interrupted", late)
        else:
            print("finished")
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300)
    assert out.returncode == 0, out.stderr
    word, *late = out.stdout.split()
    assert word == "interrupted"
    assert float(late[0]) < 1.0
