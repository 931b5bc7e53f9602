"""Every public name of the module appears in the generated API reference.

Public means: the module's ``__all__``, each submodule and every member its ``dir()`` lists
without a leading underscore (the solvers outside ``linalg.__all__`` included), and every
method and property of the classes; the same for the Dask companion module ``veltrix_dask``
where it is installed. A class is documented once, at its home (the tree classes under
``veltrix.spatial``); its other name is an alias entry.
"""

import html.parser
import importlib
import importlib.util

import pytest

import veltrix


class _Ids(html.parser.HTMLParser):
    def __init__(self):
        super().__init__()
        self.ids = set()

    def handle_starttag(self, tag, attrs):
        for key, value in attrs:
            if key == "id" and value:
                self.ids.add(value)


@pytest.fixture(scope="module")
def documented(site):
    parser = _Ids()
    for page in (site / "api").rglob("*.html"):
        parser.feed(page.read_text())
    return parser.ids


def public_names():
    names = set()
    homes = {}
    for name in veltrix.__all__:
        obj = getattr(veltrix, name)
        if type(obj).__name__ != "module":
            names.add(f"veltrix.{name}")
        if isinstance(obj, type):
            homes.setdefault(obj, set()).add(f"veltrix.{name}")
        elif type(obj).__name__ == "module":
            names.add(f"module-veltrix.{name}")
            for sub in dir(obj):
                if sub.startswith("_"):
                    continue
                names.add(f"veltrix.{name}.{sub}")
                member = getattr(obj, sub)
                if isinstance(member, type):
                    homes.setdefault(member, set()).add(f"veltrix.{name}.{sub}")
    if importlib.util.find_spec("veltrix_dask") is not None:
        companion = importlib.import_module("veltrix_dask")
        names.add("module-veltrix_dask")
        for name in companion.__all__:
            names.add(f"veltrix_dask.{name}")
            obj = getattr(companion, name)
            if isinstance(obj, type):
                homes.setdefault(obj, set()).add(f"veltrix_dask.{name}")
    return names, homes


NAMES, HOMES = public_names()


def test_names_found():
    assert "veltrix.linalg.eigh" in NAMES and "veltrix.spatial.VPTree" in NAMES


@pytest.mark.parametrize("name", sorted(NAMES))
def test_name_documented(documented, name):
    assert name in documented, f"{name} is missing from the API reference"


@pytest.mark.parametrize("cls", sorted(HOMES, key=lambda c: c.__name__), ids=lambda c: c.__name__)
def test_class_members_documented(documented, cls):
    # The home is the name under which the class's members are documented.
    first = (_members(cls) or [""])[0]
    homes = [h for h in sorted(HOMES[cls]) if (f"{h}.{first}" if first else h) in documented]
    assert homes, f"no documented home for {cls.__name__} among {sorted(HOMES[cls])}"
    missing = [m for m in _members(cls) if f"{homes[0]}.{m}" not in documented]
    assert not missing, f"{homes[0]} lacks {missing}"


def _members(cls):
    return [m for m in vars(cls) if not m.startswith("_")]
