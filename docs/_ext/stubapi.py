"""Lays veltrix.pyi out as a package of stubs that sphinx-autoapi reads without importing.

The stub types each submodule as a private module class whose static methods are its
functions, and documents the three trees' shared methods once on a private base class. The
reference should show the names users type (``veltrix.linalg.eigh``,
``veltrix.spatial.KDTree.query``), so the submodule classes become modules and each tree
method gets its base text. Nothing is added to the API; only the layout changes.
"""

from __future__ import annotations

import ast
import copy
import pathlib

SUBMODULES = {"linalg": "_LinalgModule", "stats": "_StatsModule", "random": "_RandomModule",
              "spatial": "_SpatialModule"}
TREES = ("BallTree", "KDTree", "VPTree")

# The stub has no module docstrings for the submodules (they are module attributes, typed by
# a class); these one-paragraph summaries open their reference pages.
SUBMODULE_DOCS = {
    "linalg": "Linear algebra on float64 Arrays: products, factorisations, eigenvalues and the "
              "reproducible solvers (``eigh``, ``eigvalsh``, ``solve``, ``lstsq``, ``inv``, "
              "``det``, attributes outside the submodule's ``__all__``). See "
              ":doc:`/guide/linalg`.",
    "stats": "Reductions and correlations over all elements of an Array. See :doc:`/guide/stats`.",
    "random": "Reproducible random numbers; there is no module-level generator. See "
              ":doc:`/guide/random`.",
    "spatial": "Spatial trees over the rows of a 2-D Array: k-nearest neighbours, radius "
               "search and kernel density. A tree keeps a private copy of the points and never "
               "changes; instances come only from ``from_array`` (calling a class raises "
               "TypeError); results name input row numbers. See :doc:`/guide/spatial`.",
}

# Classes that live at the top level and are also attributes of a submodule, and the
# reverse: each is documented once, the other name is an alias entry.
HOME = {"Generator": "veltrix", "Array": "veltrix", "PyArrayIter": "veltrix",
        "BallTree": "veltrix.spatial", "KDTree": "veltrix.spatial", "VPTree": "veltrix.spatial"}

HEADER = ("from __future__ import annotations\n"
          "from types import ModuleType\n"
          "from typing import Iterator, List, Optional, Sequence, SupportsFloat, SupportsIndex, "
          "Tuple, Union\n"
          "import numpy\n")


def _doc(node):
    return ast.get_docstring(node, clean=True) or ""


def _set_doc(node, text):
    body = node.body
    lit = ast.Expr(ast.Constant(text))
    if body and isinstance(body[0], ast.Expr) and isinstance(body[0].value, ast.Constant) \
            and isinstance(body[0].value.value, str):
        body[0] = lit
    else:
        body.insert(0, lit)


def _escape_bars(text):
    """``|k|`` in plain text would be a reStructuredText substitution; literals keep theirs."""
    parts = text.split("``")
    return "``".join(p if i % 2 else p.replace("|", "\\|") for i, p in enumerate(parts))


class _EscapeDocs(ast.NodeTransformer):
    def generic_visit(self, node):
        super().generic_visit(node)
        body = getattr(node, "body", None)
        if isinstance(node, (ast.Module, ast.ClassDef, ast.FunctionDef)) and body \
                and isinstance(body[0], ast.Expr) and isinstance(body[0].value, ast.Constant) \
                and isinstance(body[0].value.value, str):
            body[0].value.value = _escape_bars(body[0].value.value)
        return node


def _alias(name, target):
    return (f"{name}: type\n"
            f'"""The class :class:`{target}` under another name (the same object)."""\n')


def _resolve_tree_docs(cls, shared):
    """Replaces "As ``_SpatialTree.x``." with the shared text, keeping what follows it; a
    shared method the class does not repeat is shown on it too, as the runtime has it."""
    own = {item.name for item in cls.body if isinstance(item, ast.FunctionDef)}
    cls.body.extend(copy.deepcopy(fn) for name, fn in shared.items() if name not in own)
    for item in cls.body:
        if not isinstance(item, ast.FunctionDef):
            continue
        text = _doc(item)
        head = f"As ``_SpatialTree.{item.name}``."
        if text.startswith(head) and item.name in shared:
            rest = text[len(head):].strip()
            _set_doc(item, _doc(shared[item.name]) + ("\n\n" + rest if rest else ""))
    cls.bases = [b for b in cls.bases if not (isinstance(b, ast.Name) and b.id == "_SpatialTree")]
    return cls


def _aliases_block(nodes):
    return [n for n in nodes if isinstance(n, ast.Assign)
            and all(isinstance(t, ast.Name) and t.id.startswith("_") and not t.id.startswith("__")
                    for t in n.targets)]


def build(stub: pathlib.Path, out: pathlib.Path) -> pathlib.Path:
    """Writes the package ``out/veltrix`` (and, when it exists beside the stub, a copy of the
    Dask companion module) and returns the package's folder."""
    companion = stub.with_name("veltrix_dask.py")
    out.mkdir(parents=True, exist_ok=True)
    if companion.exists():
        (out / companion.name).write_text(companion.read_text())
    elif (out / companion.name).exists():
        (out / companion.name).unlink()
    tree = _EscapeDocs().visit(ast.parse(stub.read_text()))
    classes = {n.name: n for n in tree.body if isinstance(n, ast.ClassDef)}
    shared = {f.name: f for f in classes["_SpatialTree"].body if isinstance(f, ast.FunctionDef)}
    type_aliases = ast.unparse(ast.Module(body=_aliases_block(tree.body), type_ignores=[]))

    pkg = out / "veltrix"
    pkg.mkdir(parents=True, exist_ok=True)
    for old in pkg.glob("*.pyi"):
        old.unlink()
    prelude = HEADER + type_aliases + "\n"

    # Top level: the module docstring, classes at home here, functions, and aliases.
    top = [ast.Expr(ast.Constant(ast.get_docstring(tree, clean=True)))]
    for node in tree.body:
        if isinstance(node, ast.ClassDef) and HOME.get(node.name) == "veltrix":
            top.append(node)
        elif isinstance(node, ast.FunctionDef) and not node.name.startswith("_"):
            top.append(node)
    text = ast.unparse(ast.Module(body=top, type_ignores=[]))
    doc_end = text.index('"""', 3) + 3
    text = text[:doc_end] + "\n" + prelude + text[doc_end:] + "\n"
    text += "".join(_alias(n, f"{HOME[n]}.{n}") for n in ("BallTree", "KDTree"))
    (pkg / "__init__.pyi").write_text(text)

    for sub, holder in SUBMODULES.items():
        body = [ast.Expr(ast.Constant(SUBMODULE_DOCS[sub]))]
        tail = ""
        for item in classes[holder].body:
            if isinstance(item, ast.FunctionDef):
                fn = copy.deepcopy(item)
                fn.decorator_list = []
                body.append(fn)
            elif isinstance(item, ast.AnnAssign) and isinstance(item.target, ast.Name):
                name = item.target.id
                if HOME.get(name) == f"veltrix.{sub}":
                    body.append(_resolve_tree_docs(copy.deepcopy(classes[name]), shared))
                else:
                    tail += _alias(name, f"{HOME[name]}.{name}")
        text = ast.unparse(ast.Module(body=body, type_ignores=[]))
        doc_end = text.index('"""', 3) + 3 if text.startswith('"""') else text.index("'", 1) + 1
        text = text[:doc_end] + "\n" + prelude + text[doc_end:] + "\n" + tail
        (pkg / f"{sub}.pyi").write_text(text)
    return pkg
