"""Interpreter events in the middle of a bulk call: the garbage collector
running finalizers, shutdown with daemon threads, signals and fork.

Each crash-prone case runs in a child interpreter, so that a crash fails the
test instead of ending the run.
"""

import os
import signal
import subprocess
import sys
import textwrap
import threading
import time
import warnings

import pytest

from drisk import HyperLogLog, update_lines, update_many


def run_child(code, timeout=60, **kwargs):
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=timeout, **kwargs
    )


# A finalizer that clears the list being absorbed, run by the collector as soon
# as building the bad element's error (or a str's UTF-8) allocates.
FINALIZER_CLEARS = """
    import gc, sys, threading, time
    import drisk
    BIG = 40 << 20
    items = [bytes(BIG), b"1" + bytes(BIG)] + FILLER + [BAD]
    expected = drisk.HyperLogLog(12)
    drisk.update_many(expected, items[:-1])

    class Cycle:
        def __del__(self):
            ACTION()

    def make_cycle():
        c = Cycle()
        c.self = c

    h = drisk.HyperLogLog(12)
    make_cycle()
    gc.set_threshold(1)
    try:
        drisk.update_many(h, items)
    except (TypeError, UnicodeEncodeError):
        pass
    else:
        sys.exit("no error for the bad element")
    gc.set_threshold(700)
    # Whatever the finalizer did, only real items went in.
    assert set(h.registers()) <= set(range(0, 54)), "garbage in the registers"
    sys.exit(0)
"""


@pytest.mark.parametrize("bad", ["1j", "2**64", r'"\udc80"'])
@pytest.mark.parametrize("filler", ["[]", '[b"x%d" % i for i in range(20_000)]'])
@pytest.mark.parametrize("action", ["items.clear", "sleep_while_other_thread_clears"])
def test_finalizer_clearing_the_list_mid_batch(bad, filler, action):
    code = FINALIZER_CLEARS.replace("FILLER", filler).replace("BAD", bad)
    if action == "items.clear":
        code = code.replace("ACTION()", "items.clear()")
    else:
        # The finalizer only sleeps (releasing the interpreter lock); another
        # thread clears the list meanwhile.
        code = code.replace("ACTION()", "started.set(); cleared.wait(5)").replace(
            "h = drisk.HyperLogLog(12)",
            "h = drisk.HyperLogLog(12)\n"
            "    started, cleared = threading.Event(), threading.Event()\n"
            "    def clearer():\n"
            "        started.wait()\n"
            "        items.clear()\n"
            "        cleared.set()\n"
            "    threading.Thread(target=clearer, daemon=True).start()",
        )
    result = run_child(code)
    assert result.returncode == 0, result.stderr[-2000:]


# Daemon threads still inside drisk when the interpreter exits: CPython ends
# them with a forced unwind when they try to take the interpreter lock back.
DAEMON_AT_EXIT = {
    "update_many_generator": """
        import threading, time, drisk
        def slow():
            while True:
                time.sleep(0.001)
                yield b"x"
        h = drisk.HyperLogLog(12)
        threading.Thread(target=drisk.update_many, args=(h, slow()), daemon=True).start()
        class SlowExit:
            def __del__(self):
                time.sleep(0.05)
        keep = SlowExit()
        time.sleep(0.02)
    """,
    "update_lines_loop": """
        import threading, time, drisk
        data = b"line\\n" * (SIZE // 5)
        def loop():
            h = drisk.HyperLogLog(12)
            while True:
                drisk.update_lines(h, data)
        for _ in range(2):
            threading.Thread(target=loop, daemon=True).start()
        time.sleep(0.05)
    """,
}


@pytest.mark.parametrize(
    "case, size", [("update_many_generator", 0), ("update_lines_loop", 2 << 20), ("update_lines_loop", 64 << 20)]
)
def test_daemon_threads_inside_drisk_at_exit(case, size):
    code = DAEMON_AT_EXIT[case].replace("SIZE", str(size))
    for _ in range(8):
        result = run_child(code)
        assert result.returncode == 0 and "terminate" not in result.stderr, result.stderr[-2000:]


def test_ctrl_c_stops_an_endless_iterator():
    # itertools.repeat never runs Python code, so only the call itself can
    # notice the signal.
    proc = subprocess.Popen(
        [
            sys.executable,
            "-c",
            textwrap.dedent("""
            import itertools, sys, drisk
            h = drisk.HyperLogLog(12)
            print("ready", flush=True)
            try:
                drisk.update_many(h, itertools.repeat(b"x"))
            except KeyboardInterrupt as exc:
                print("interrupted", getattr(exc, "__notes__", None), flush=True)
        """),
        ],
        stdout=subprocess.PIPE,
        text=True,
    )
    try:
        assert proc.stdout.readline() == "ready\n"
        time.sleep(0.2)
        proc.send_signal(signal.SIGINT)
        out, _ = proc.communicate(timeout=20)
    finally:
        proc.kill()
    assert out == "interrupted None\n"


def test_keyboard_interrupt_carries_no_note():
    def items():
        yield b"a"
        raise KeyboardInterrupt

    h = HyperLogLog()
    with pytest.raises(KeyboardInterrupt) as info:
        update_many(h, items())
    assert not hasattr(info.value, "__notes__")


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_fork_while_another_thread_holds_the_sketch():
    h = HyperLogLog(12)
    data = b"some line\n" * (8 << 20)
    stop = threading.Event()

    def loop():
        while not stop.is_set():
            update_lines(h, data)

    worker = threading.Thread(target=loop)
    worker.start()
    forks = 0
    try:
        deadline = time.monotonic() + 30
        while forks < 3 and time.monotonic() < deadline:
            try:
                h.count()
                continue  # not held at this moment
            except RuntimeError:
                pass
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", DeprecationWarning)  # fork with threads
                pid = os.fork()
            if pid == 0:
                try:
                    h.count()
                    update_many(h, [b"child"])
                    os._exit(0)
                except BaseException:  # noqa: BLE001 - any failure fails the child
                    os._exit(1)
            _, status = os.waitpid(pid, 0)
            assert os.waitstatus_to_exitcode(status) == 0
            forks += 1
    finally:
        stop.set()
        worker.join()
    assert forks == 3
    # The parent's own access is untouched by its children.
    assert h.count() > 0
