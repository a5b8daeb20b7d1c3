"""Pickling, copying and moving sketches between processes."""

import copy
import importlib.metadata
import multiprocessing
import pickle

import pytest

import _drisk
import drisk


def fed(p, n, prefix="k"):
    h = drisk.HyperLogLog(p)
    drisk.update_many(h, [f"{prefix}{i}" for i in range(n)])
    return h


def test_public_names_are_the_extension_objects():
    assert drisk.HyperLogLog is _drisk.HyperLogLog


def test_versions():
    # The package carries the release; the sketch type keeps its own.
    assert drisk.__version__ == importlib.metadata.version("drisk")
    assert _drisk.__version__ == "0.1.0"


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
@pytest.mark.parametrize("p", [4, 12, 18])
def test_pickle_round_trip(protocol, p):
    h = fed(p, 3000)
    again = pickle.loads(pickle.dumps(h, protocol=protocol))
    assert type(again) is drisk.HyperLogLog
    assert again.to_bytes() == h.to_bytes()
    assert again.count() == h.count()


def test_pickle_keeps_loaded_registers():
    h = drisk.HyperLogLog.from_bytes(b"\x04" + bytes(range(240, 256)))
    assert pickle.loads(pickle.dumps(h)).to_bytes() == h.to_bytes()


@pytest.mark.parametrize("clone", [copy.copy, copy.deepcopy])
def test_copy_module(clone):
    h = fed(10, 100)
    c = clone(h)
    assert c is not h and c.to_bytes() == h.to_bytes()
    c.update(b"more")
    assert c.to_bytes() != h.to_bytes()


def build_in_worker(args):
    prefix, n = args
    return fed(12, n, prefix)


def test_spawn_pool_builds_and_returns_sketches():
    ctx = multiprocessing.get_context("spawn")
    with ctx.Pool(2) as pool:
        parts = pool.map(build_in_worker, [("a", 4000), ("b", 4000), ("a", 2000)])
        echoed = pool.apply(copy.copy, (parts[0],))
    total = drisk.HyperLogLog(12)
    for part in parts:
        total.merge(part)
    direct = fed(12, 4000, "a")
    direct.merge(fed(12, 4000, "b"))
    assert total.to_bytes() == direct.to_bytes()
    assert echoed.to_bytes() == parts[0].to_bytes()
