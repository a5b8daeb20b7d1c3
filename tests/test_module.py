"""The _drisk module and the registration of its HyperLogLog type."""

import gc
import importlib
import inspect
import sys
import weakref

import pytest

import _drisk
from _drisk import HyperLogLog


def test_module_attributes():
    assert _drisk.__all__ == ["HyperLogLog", "__version__"]
    assert _drisk.__version__ == "0.1.0"
    assert _drisk.__doc__ == ""


def test_type_names():
    assert HyperLogLog.__module__ == "builtins"
    assert HyperLogLog.__name__ == "HyperLogLog"
    assert HyperLogLog.__qualname__ == "HyperLogLog"


@pytest.mark.parametrize(
    "obj, signature, doc",
    [
        (HyperLogLog, "(p=12)", "Thin PyO3 wrapper around [`HyperLogLogCore`]."),
        (HyperLogLog.update, "($self, data)", "Add a single item."),
        (
            HyperLogLog.update_str,
            "($self, s)",
            "Convenience: `str` -> utf8 -> `update`, avoids `.encode()` at call sites.",
        ),
        (HyperLogLog.count, "($self)", None),
        (HyperLogLog.merge, "($self, other)", "In-place union with another sketch of the same `p`."),
        (HyperLogLog.copy, "($self)", None),
        (HyperLogLog.registers, "($self)", "Raw register bytes, exposed for debugging/serialization."),
        (HyperLogLog.to_bytes, "($self)", None),
        (HyperLogLog.from_bytes, "(data)", None),
    ],
)
def test_docstrings_and_signatures(obj, signature, doc):
    assert obj.__text_signature__ == signature
    assert obj.__doc__ == doc
    inspect.signature(obj)  # every callable is introspectable


def test_method_table_order():
    names = [n for n in vars(HyperLogLog) if not n.startswith("__")]
    assert names == ["update", "update_str", "count", "merge", "copy", "registers", "to_bytes", "from_bytes"]


def test_from_bytes_is_static():
    h = HyperLogLog(5)
    data = h.to_bytes()
    assert isinstance(vars(HyperLogLog)["from_bytes"], staticmethod)
    assert HyperLogLog.from_bytes(data).to_bytes() == h.from_bytes(data).to_bytes() == data


def test_not_subclassable():
    with pytest.raises(TypeError):
        type("Sub", (HyperLogLog,), {})


def test_no_instance_attributes_or_weakrefs():
    h = HyperLogLog()
    with pytest.raises(AttributeError):
        h.anything = 1
    with pytest.raises(TypeError):
        weakref.ref(h)
    assert not hasattr(h, "__dict__")


def test_identity_semantics_and_truth():
    a, b = HyperLogLog(4), HyperLogLog(4)
    assert bool(a)
    assert a != b and a == a
    assert {a: 1}[a] == 1


def test_not_gc_tracked():
    assert not gc.is_tracked(HyperLogLog())


def test_reimport_keeps_the_type():
    first = sys.modules.pop("_drisk")
    try:
        again = importlib.import_module("_drisk")
        assert again is not first
        assert again.HyperLogLog is first.HyperLogLog
        assert again.__all__ == ["HyperLogLog", "__version__"]
        assert again.__all__ is not first.__all__
    finally:
        sys.modules["_drisk"] = first


def test_type_refcount_flat_over_many_objects():
    # Sketches left in reference cycles by earlier tests would give their
    # type references back whenever the collector runs: collect them first,
    # and keep the collector out of the loop.
    gc.collect()
    gc.disable()
    try:
        before = sys.getrefcount(HyperLogLog)
        for _ in range(200_000):
            HyperLogLog(4)
        h = HyperLogLog(4)
        for _ in range(200_000):
            h.copy()
            HyperLogLog.from_bytes(b"\x04" + bytes(16))
        del h
        assert sys.getrefcount(HyperLogLog) == before
    finally:
        gc.enable()
