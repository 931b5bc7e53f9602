"""The typing stub describes every public name with the runtime's own signatures."""

import ast
import inspect
import pathlib

import pytest

import veltrix

SUBMODULE_CLASS = {"linalg": "_LinalgModule", "stats": "_StatsModule", "random": "_RandomModule",
                   "spatial": "_SpatialModule"}


def stub_path():
    beside = pathlib.Path(veltrix.__file__).with_name("veltrix.pyi")
    if beside.exists():
        return beside
    return pathlib.Path(__file__).resolve().parents[1] / "src" / "python" / "veltrix.pyi"


def load_stub():
    tree = ast.parse(stub_path().read_text())
    funcs, classes = {}, {}
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            funcs[node.name] = node
        elif isinstance(node, ast.ClassDef):
            members = {}
            for item in node.body:
                if isinstance(item, ast.FunctionDef):
                    members[item.name] = item
                elif isinstance(item, ast.AnnAssign) and isinstance(item.target, ast.Name):
                    members[item.target.id] = item
            classes[node.name] = members
    return funcs, classes


FUNCS, CLASSES = load_stub()


def stub_params(fn):
    args = fn.args
    names = [a.arg for a in args.args]
    defaults = [None] * (len(names) - len(args.defaults)) + list(args.defaults)
    out = []
    for name, default in zip(names, defaults):
        if name in ("self", "cls"):
            continue
        out.append((name, None if default is None else repr(ast.literal_eval(default))))
    # Keyword-only parameters (after a bare `*`) carry a "*" before their name on both sides.
    for arg, default in zip(args.kwonlyargs, args.kw_defaults):
        out.append(("*" + arg.arg, None if default is None else repr(ast.literal_eval(default))))
    return out


def runtime_params(obj):
    sig = inspect.signature(obj)
    out = []
    for p in sig.parameters.values():
        if p.name in ("self", "$self"):
            continue
        default = None if p.default is inspect.Parameter.empty else repr(p.default)
        out.append(("*" + p.name if p.kind is inspect.Parameter.KEYWORD_ONLY else p.name, default))
    return out


def has_signature(obj):
    return getattr(obj, "__text_signature__", None) is not None


def public_callables():
    """(description, runtime object, stub function node or None) for every signed callable."""
    for name in veltrix.__all__:
        obj = getattr(veltrix, name)
        if isinstance(obj, type):
            yield from class_members(obj)
        elif name in SUBMODULE_CLASS:
            holder = CLASSES.get(SUBMODULE_CLASS[name], {})
            for sub in obj.__all__:
                member = getattr(obj, sub)
                if isinstance(member, type):
                    if sub not in holder:
                        yield f"{name}.{sub}", member, None
                    yield from class_members(member)
                else:
                    yield f"{name}.{sub}", member, holder.get(sub)
        else:
            yield name, obj, FUNCS.get(name)


def class_members(cls):
    members = CLASSES.get(cls.__name__)
    if members is None:
        yield f"class {cls.__name__}", cls, None
        return
    if has_signature(cls):
        yield cls.__name__, cls, members.get("__new__") or members.get("__init__")
    for attr, value in vars(cls).items():
        if attr.startswith("__"):
            continue
        obj = getattr(cls, attr)
        if callable(obj) and has_signature(obj):
            yield f"{cls.__name__}.{attr}", obj, members.get(attr)


ITEMS = list(public_callables())


@pytest.mark.parametrize("desc, obj, node", ITEMS, ids=[i[0] for i in ITEMS])
def test_stub_matches_runtime_signature(desc, obj, node):
    assert node is not None, f"{desc} is missing from veltrix.pyi"
    assert stub_params(node) == runtime_params(obj)


def test_every_member_documented_in_stub():
    for desc, _, node in ITEMS:
        if node is None:
            continue  # reported by the signature test
        assert ast.get_docstring(node) or desc.startswith("_"), f"{desc} has no docstring in the stub"


def test_module_functions_carry_no_docs_of_their_own():
    assert veltrix.zeros.__doc__ is None
    assert veltrix.Array.zeros.__doc__ is None
