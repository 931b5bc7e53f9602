"""Every Python block of the guides and the README runs, so the pages cannot drift from the
library.

The blocks of one page run in order in one namespace, as a reader would type them; a block
written as an interactive session (``>>>``) is checked as a doctest, outputs included.
"""

import contextlib
import doctest
import io
import os
import pathlib
import re

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[1]
DOCS = ROOT / "docs"
GENERATED = {"_build", "api", "auto_examples"}
FENCE = re.compile(r"^```python[ \t]*\n(.*?)^```[ \t]*$", re.S | re.M)


def pages():
    # The generated folders are never entered: CI builds the site beside the suite, which
    # removes and rewrites them meanwhile.
    found = []
    for top, dirs, files in os.walk(DOCS):
        if pathlib.Path(top) == DOCS:
            dirs[:] = [d for d in dirs if d not in GENERATED]
        found += [pathlib.Path(top) / f for f in files if f.endswith(".md")]
    for path in [ROOT / "README.md", *sorted(found)]:
        rel = path.relative_to(ROOT)
        if path.exists() and FENCE.search(path.read_text()):
            yield rel


def line_of(text, block):
    return text[:text.index(block)].count("\n") + 1


@pytest.mark.parametrize("page", list(pages()), ids=str)
def test_page_code_runs(page):
    text = (ROOT / page).read_text()
    namespace = {"__name__": f"docs_{page.stem}"}
    for block in FENCE.findall(text):
        where = f"{page}:{line_of(text, block)}"
        if block.lstrip().startswith(">>>"):
            test = doctest.DocTestParser().get_doctest(block, namespace, where, str(page),
                                                       line_of(text, block))
            runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
            report = io.StringIO()
            runner.run(test, out=report.write, clear_globs=False)
            assert runner.failures == 0, report.getvalue()
        else:
            # Printed output is for the reader; the test keeps the log quiet.
            with contextlib.redirect_stdout(io.StringIO()):
                exec(compile(block, where, "exec"), namespace)


def test_pages_found():
    assert len(list(pages())) >= 9
