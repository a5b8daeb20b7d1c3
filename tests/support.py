"""Helpers shared by the test files."""

import decimal
import math
import pathlib
import re

from drisk import HyperLogLog, update_many

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"
_BLOCK = re.compile(r"^```(\w+)\n(.*?)^```", re.S | re.M)
#: Packages a README example may import that the test environment may lack.
OPTIONAL = ["numpy", "pandas", "polars", "pyarrow", "duckdb", "dask", "distributed", "matplotlib", "pyspark"]


def float_text(value):
    """The item a float that is not NaN stands for, by Python's own texts: a
    whole value is its integer's str(), as 1.0 == 1; any other its repr()."""
    if math.isinf(value):
        return "inf" if value > 0 else "-inf"
    if value.is_integer():
        return str(int(value))
    return repr(value)


def decimal_text(value):
    """The item a finite Decimal stands for: format(value.normalize(), "f"),
    with precision to spare; zero is "0"."""
    with decimal.localcontext(decimal.Context(prec=1000)):
        text = format(value.normalize(), "f")
    return "0" if value == 0 else text


def nonzero_registers(sketch):
    """{index: value} of the registers that are not zero."""
    return {i: r for i, r in enumerate(sketch.registers()) if r}


def one_by_one(p, items):
    """The sketch of items added one call at a time (str as update_str)."""
    h = HyperLogLog(p)
    for item in items:
        if isinstance(item, str):
            h.update_str(item)
        else:
            h.update(item)
    return h


def of_texts(texts, p=16):
    """The registers, as to_bytes(), of texts added with update_str."""
    h = HyperLogLog(p)
    for text in texts:
        h.update_str(text)
    return h.to_bytes()


def of_items(items, p=16):
    """The registers, as to_bytes(), of items added by one update_many()."""
    h = HyperLogLog(p)
    update_many(h, items)
    return h.to_bytes()


def reference_lines(data: bytes):
    """The lines of data as update_lines defines them, independently."""
    parts = data.split(b"\n")
    if parts[-1] == b"":
        parts.pop()
    return [part[:-1] if part.endswith(b"\r") else part for part in parts]


def readme_blocks(language):
    """The bodies of README.md's code blocks in that language, in order."""
    return [body for lang, body in _BLOCK.findall(README.read_text()) if lang == language]


def optional_imports(code):
    """The optional packages a block of code imports."""
    return [name for name in OPTIONAL if re.search(rf"^\s*(import|from) {name}\b", code, re.M)]


def importable(name):
    try:
        __import__(name)
    except ImportError:
        return False
    return True
