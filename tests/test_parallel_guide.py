"""Every code block of the parallel-use guide runs as the script it shows, in a fresh process."""

import os
import pathlib
import re
import subprocess
import sys

import pytest

import veltrix

GUIDE = pathlib.Path(__file__).resolve().parents[1] / "docs" / "guide" / "parallel.md"
BLOCKS = re.findall(r"^```python\n(.*?)^```$", GUIDE.read_text(), re.M | re.S)


def test_the_guide_has_its_blocks():
    assert len(BLOCKS) == 4


@pytest.mark.parametrize("code", BLOCKS, ids=[f"block{i}" for i in range(len(BLOCKS))])
def test_block_runs(code, tmp_path):
    script = tmp_path / "block.py"
    script.write_text(code)
    # The script imports the veltrix this suite imports, from wherever it runs.
    paths = [str(pathlib.Path(veltrix.__file__).parent), os.environ.get("PYTHONPATH", "")]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in paths if p))
    r = subprocess.run([sys.executable, str(script)], cwd=tmp_path, env=env, capture_output=True,
                       text=True, timeout=120)
    assert r.returncode == 0, r.stderr[-3000:]
