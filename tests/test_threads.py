"""Sketches used from several threads, and Python code re-entering a call."""

import threading

import pytest

import drisk
from drisk import HyperLogLog

THREADS = 4


def shared_items(k, n=20_000):
    # Every thread gets the same keys plus its own, so registers collide.
    return [f"shared-{i}".encode() for i in range(n)] + [f"own-{k}-{i}".encode() for i in range(n)]


def single_threaded(item_lists, p=12):
    h = HyperLogLog(p)
    for items in item_lists:
        for x in items:
            h.update(x)
    return h


def run_threads(target, args_list):
    barrier = threading.Barrier(len(args_list))
    errors = []

    def wrapped(*args):
        barrier.wait()
        try:
            target(*args)
        except BaseException as exc:  # noqa: BLE001 - reported below
            errors.append(exc)

    threads = [threading.Thread(target=wrapped, args=args) for args in args_list]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return errors


@pytest.mark.parametrize("feed", ["update", "update_many", "update_lines"])
def test_private_sketches_merge_to_the_single_threaded_result(feed):
    lists = [shared_items(k) for k in range(THREADS)]
    sketches = [HyperLogLog(12) for _ in range(THREADS)]

    def work(sketch, items):
        if feed == "update":
            for x in items:
                sketch.update(x)
        elif feed == "update_many":
            drisk.update_many(sketch, items)
        else:
            # Large enough to be hashed with the interpreter lock released.
            drisk.update_lines(sketch, b"\n".join(items * 8))

    assert run_threads(work, list(zip(sketches, lists))) == []
    total = HyperLogLog(12)
    for s in sketches:
        total.merge(s)
    assert total.registers() == single_threaded(lists).registers()


def test_one_shared_sketch_updated_and_counted():
    h = HyperLogLog(12)
    lists = [shared_items(k, 5000) for k in range(THREADS)]

    def work(items):
        for i, x in enumerate(items):
            h.update(x)
            if i % 100 == 0:
                h.count()

    errors = run_threads(work, [(items,) for items in lists])
    if not errors:
        assert h.registers() == single_threaded(lists).registers()
    else:
        assert all(isinstance(e, RuntimeError) for e in errors)


def test_conflicts_with_a_released_lock_are_runtime_errors():
    """While update_lines runs without the interpreter lock, other threads
    using the same sketch get RuntimeError at once, never a torn sketch."""
    h = HyperLogLog(12)
    data = b"\n".join(f"line-{i}".encode() for i in range(2_000_000))
    seen = {"conflicts": 0, "other": []}
    done = threading.Event()

    def poke():
        while not done.is_set():
            try:
                h.count()
                h.update(b"poke")
            except RuntimeError as exc:
                assert str(exc) in ("Already mutably borrowed", "Already borrowed")
                seen["conflicts"] += 1
            except BaseException as exc:  # noqa: BLE001
                seen["other"].append(exc)

    poker = threading.Thread(target=poke)
    poker.start()
    try:
        for _ in range(3):
            drisk.update_lines(h, data)
    finally:
        done.set()
        poker.join()
    assert seen["other"] == []
    expected = HyperLogLog(12)
    drisk.update_lines(expected, data)
    expected.update(b"poke")
    assert h.registers() == expected.registers()


def test_index_that_uses_other_sketches_during_construction():
    others = [HyperLogLog(8) for _ in range(3)]
    spare = HyperLogLog(8)

    class Busy:
        def __index__(self):
            for o in others:
                o.update(b"x")
                o.merge(spare)
                drisk.update_many(o, [b"y"])
            return 9

    h = HyperLogLog(Busy())
    assert len(h) == 512
    assert all(o.count() > 0 for o in others)


class SneakyBytes(bytes):
    """A bytes subclass; nothing about it can run code during update."""

    def __len__(self):
        raise AssertionError("never called")


def test_bytes_subclass_is_read_in_place():
    a, b = HyperLogLog(), HyperLogLog()
    a.update(SneakyBytes(b"abc"))
    drisk.update_many(b, [SneakyBytes(b"abc")])
    c = HyperLogLog()
    c.update(b"abc")
    assert a.registers() == b.registers() == c.registers()


def test_generator_touching_its_own_sketch_is_refused_cleanly():
    h = HyperLogLog()

    def items():
        yield b"a"
        h.update(b"inside")

    with pytest.raises(RuntimeError, match="Already borrowed"):
        drisk.update_many(h, items())
    expected = HyperLogLog()
    expected.update(b"a")
    assert h.registers() == expected.registers()
