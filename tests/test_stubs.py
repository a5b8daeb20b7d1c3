"""The type stubs of the extension modules agree with what inspect.signature
reads from the modules themselves: same callables, same parameter names in
the same order, defaults in the same places."""

import ast
import importlib
import inspect
import pathlib

import pytest

import _drisk
import drisk


def stub_path(module_name):
    if module_name == "_drisk":
        beside = pathlib.Path(_drisk.__file__).with_name("_drisk.pyi")
        return beside if beside.exists() else pathlib.Path(_drisk.__file__).parent / "_drisk-stubs" / "__init__.pyi"
    return pathlib.Path(drisk.__file__).parent / (module_name.rsplit(".", 1)[1] + ".pyi")


def stub_functions(module_name):
    """(qualified name, [(param, has_default)]) for every def in the stub."""
    tree = ast.parse(stub_path(module_name).read_text())

    def params(fn):
        args = fn.args
        plain = args.posonlyargs + args.args
        defaults = [False] * (len(plain) - len(args.defaults)) + [True] * len(args.defaults)
        out = [(a.arg, d) for a, d in zip(plain, defaults)]
        if args.vararg is not None:
            out.append((args.vararg.arg, False))
        return out

    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            yield node.name, params(node)
        elif isinstance(node, ast.ClassDef):
            for item in node.body:
                if isinstance(item, ast.FunctionDef):
                    yield f"{node.name}.{item.name}", params(item)


MODULES = [
    "_drisk",
    "drisk._bulk",
    "drisk._colread",
    "drisk._estimate",
    "drisk._grouped",
    "drisk._groupprobe",
    "drisk._linegroups",
    "drisk._pack",
    "drisk._probe",
]

CASES = [(module, name, params) for module in MODULES for name, params in stub_functions(module)]


@pytest.mark.parametrize("module, name, params", CASES, ids=[f"{m}:{n}" for m, n, _ in CASES])
def test_stub_matches_runtime(module, name, params):
    obj = importlib.import_module(module)
    for part in name.split("."):
        obj = getattr(obj, part)
    if name.endswith("__new__"):
        obj, params = getattr(importlib.import_module(module), name.split(".")[0]), params[1:]
    runtime = [(p.name, p.default is not inspect.Parameter.empty) for p in inspect.signature(obj).parameters.values()]
    assert runtime == params


@pytest.mark.parametrize("module", MODULES)
def test_every_public_callable_has_a_stub(module):
    mod = importlib.import_module(module)
    stubbed = {name for m, name, _ in CASES if m == module}
    names = set()
    for n in dir(mod):
        obj = getattr(mod, n)
        if n.startswith("_") or not callable(obj):
            continue
        if isinstance(obj, type):
            names |= {f"{n}.{m}" for m in vars(obj) if not m.startswith("_")}
        else:
            names.add(n)
    assert names <= stubbed
