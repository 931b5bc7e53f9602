"""Shared set-up of the suite: the tests folder is importable, so every module reaches the
shared utilities and data set-ups in ``helpers`` whatever pytest's import mode."""

import pathlib
import sys

HERE = str(pathlib.Path(__file__).resolve().parent)
if HERE not in sys.path:
    sys.path.insert(0, HERE)
