"""Argument binding, conversions, the access flag and the panic barrier."""

import os
import signal
import subprocess
import sys

import pytest

from _drisk import HyperLogLog
from drisk import _probe

H = HyperLogLog


def sketch():
    return HyperLogLog()


@pytest.mark.parametrize(
    "call, message",
    [
        # missing
        (lambda: sketch().update(), "HyperLogLog.update() missing 1 required positional argument: 'data'"),
        (lambda: sketch().update_str(), "HyperLogLog.update_str() missing 1 required positional argument: 's'"),
        (lambda: sketch().merge(), "HyperLogLog.merge() missing 1 required positional argument: 'other'"),
        (lambda: H.from_bytes(), "HyperLogLog.from_bytes() missing 1 required positional argument: 'data'"),
        # too many ("arguments" stays plural)
        (lambda: sketch().update(b"a", b"b"), "HyperLogLog.update() takes 1 positional arguments but 2 were given"),
        (lambda: H(4, 5), "HyperLogLog.__new__() takes from 0 to 1 positional arguments but 2 were given"),
        (lambda: H(4, 5, 6), "HyperLogLog.__new__() takes from 0 to 1 positional arguments but 3 were given"),
        # multiple values
        (lambda: sketch().update(b"a", data=b"b"), "HyperLogLog.update() got multiple values for argument 'data'"),
        (lambda: H(4, p=5), "HyperLogLog.__new__() got multiple values for argument 'p'"),
        # unexpected keyword, checked before missing; too-many checked first
        (lambda: sketch().update(x=b"a"), "HyperLogLog.update() got an unexpected keyword argument 'x'"),
        (lambda: H(q=4), "HyperLogLog.__new__() got an unexpected keyword argument 'q'"),
        (
            lambda: sketch().update(b"a", b"b", x=1),
            "HyperLogLog.update() takes 1 positional arguments but 2 were given",
        ),
        (lambda: sketch().update(x=1, data=b"a"), "HyperLogLog.update() got an unexpected keyword argument 'x'"),
        (lambda: sketch().update(data=b"a", x=1), "HyperLogLog.update() got an unexpected keyword argument 'x'"),
        # names match byte for byte only
        (lambda: sketch().update(Data=b"a"), "HyperLogLog.update() got an unexpected keyword argument 'Data'"),
        (
            lambda: sketch().merge(**{"\udc80": 1}),
            "HyperLogLog.merge() got an unexpected keyword argument '\ufffd\ufffd\ufffd'",
        ),
        (
            lambda: H(**{"p\ud800q": 1}),
            "HyperLogLog.__new__() got an unexpected keyword argument 'p\ufffd\ufffd\ufffdq'",
        ),
    ],
)
def test_binding_messages(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message
    assert not hasattr(info.value, "__notes__")


@pytest.mark.parametrize(
    "call",
    [
        lambda h: h.update(data=b"a"),
        lambda h: h.update_str(s="a"),
        lambda h: h.merge(other=HyperLogLog()),
        lambda h: HyperLogLog(p=14),
        lambda h: HyperLogLog.from_bytes(data=h.to_bytes()),
    ],
)
def test_every_parameter_binds_by_keyword(call):
    call(HyperLogLog())


class Unprintable(str):
    def __str__(self):
        raise ValueError("no str for you")


@pytest.mark.parametrize("call", [lambda k: HyperLogLog(**{k: 1}), lambda k: HyperLogLog().update(**{k: 1})])
def test_unprintable_keyword_goes_to_unraisable_hook(call, monkeypatch):
    seen = []
    monkeypatch.setattr("sys.unraisablehook", seen.append)
    key = Unprintable("zz")
    with pytest.raises(TypeError, match=r"got an unexpected keyword argument '<unprintable Unprintable object>'"):
        call(key)
    assert len(seen) == 1
    assert isinstance(seen[0].exc_value, ValueError)
    assert seen[0].object is key


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class MyBytes(bytes):
    pass


class MyStr(str):
    pass


@pytest.mark.parametrize(
    "call, exc_type, message, param",
    [
        (lambda h: h.update("abc"), TypeError, "'str' object is not an instance of 'bytes'", "data"),
        (lambda h: h.update(bytearray(b"a")), TypeError, "'bytearray' object is not an instance of 'bytes'", "data"),
        (lambda h: h.update(memoryview(b"a")), TypeError, "'memoryview' object is not an instance of 'bytes'", "data"),
        (lambda h: h.update(None), TypeError, "'None' is not an instance of 'bytes'", "data"),
        (lambda h: h.update(Index(1)), TypeError, "'Index' object is not an instance of 'bytes'", "data"),
        (lambda h: h.update_str(b"a"), TypeError, "'bytes' object is not an instance of 'str'", "s"),
        (lambda h: h.update_str(None), TypeError, "'None' is not an instance of 'str'", "s"),
        (lambda h: h.merge(5), TypeError, "'int' object is not an instance of 'HyperLogLog'", "other"),
        (lambda h: h.merge(None), TypeError, "'None' is not an instance of 'HyperLogLog'", "other"),
        (lambda h: h.merge(h), RuntimeError, "Already mutably borrowed", "other"),
        (lambda h: H.from_bytes(bytearray(17)), TypeError, "'bytearray' object is not an instance of 'bytes'", "data"),
        (lambda h: H(256), OverflowError, "out of range integral type conversion attempted", "p"),
        (lambda h: H(300), OverflowError, "out of range integral type conversion attempted", "p"),
        (lambda h: H(-1), OverflowError, "out of range integral type conversion attempted", "p"),
        (lambda h: H(Index(-5)), OverflowError, "out of range integral type conversion attempted", "p"),
    ],
)
def test_conversion_failures_carry_a_note(call, exc_type, message, param):
    h = HyperLogLog()
    h.update(b"x")
    before = h.to_bytes()
    with pytest.raises(exc_type) as info:
        call(h)
    assert type(info.value) is exc_type
    assert str(info.value) == message
    assert info.value.__notes__ == [f"while processing '{param}'"]
    assert h.to_bytes() == before


@pytest.mark.parametrize(
    "value, exc_type",
    [(3.5, TypeError), ("12", TypeError), (None, TypeError), (2**70, OverflowError), (-(2**70), OverflowError)],
)
def test_interpreter_errors_from_p_pass_through_with_note(value, exc_type):
    with pytest.raises(exc_type) as info:
        HyperLogLog(value)
    assert type(info.value) is exc_type
    assert info.value.__notes__ == ["while processing 'p'"]


def test_lone_surrogate_str_passes_unicode_error_with_note():
    h = HyperLogLog()
    with pytest.raises(UnicodeEncodeError) as info:
        h.update_str("\udc80")
    assert info.value.__notes__ == ["while processing 's'"]
    assert h.registers() == bytes(4096)


@pytest.mark.parametrize("p, accepted", [(True, False), (Index(14), True), (255, False), (4, True)])
def test_p_accepts_index_and_bool(p, accepted):
    if accepted:
        assert len(HyperLogLog(p)) == 2 ** int(p)
    else:
        with pytest.raises(ValueError) as info:
            HyperLogLog(p)
        assert str(info.value) == f"p must be between 4 and 18 inclusive, got {int(p)}"
        assert not hasattr(info.value, "__notes__")


def test_subclasses_of_bytes_and_str_accepted():
    a, b = HyperLogLog(), HyperLogLog()
    a.update(MyBytes(b"\xc3\xa9"))
    b.update_str(MyStr("é"))
    assert a.registers() == b.registers() != bytes(4096)


def test_merge_with_itself_leaves_sketch_usable():
    h, g = HyperLogLog(), HyperLogLog()
    g.update(b"g")
    with pytest.raises(RuntimeError):
        h.merge(h)
    h.update(b"a")
    h.count()
    h.merge(g)
    assert h.count() > 1.5


def test_access_flag_seen_from_reentrant_index():
    """Python code running inside a call sees the sketch's flag as taken."""
    h = HyperLogLog()
    seen = []

    class Sneaky:
        def __index__(self):
            # A new sketch's constructor runs this; other sketches are free.
            h.update(b"from __index__")
            seen.append(h.count())
            return 10

    g = HyperLogLog(Sneaky())
    assert len(g) == 1024 and seen and seen[0] > 0


def test_panic_exception_shape():
    with pytest.raises(BaseException) as info:
        _probe.panic("boom")
    exc_type = type(info.value)
    assert exc_type.__module__ == "pyo3_runtime"
    assert exc_type.__name__ == "PanicException"
    assert exc_type.__bases__ == (BaseException,)
    assert not issubclass(exc_type, Exception)
    assert info.value.args == ("boom",)
    assert exc_type.__doc__.startswith("\n") and exc_type.__doc__.endswith("\n")


def test_panic_without_text_gets_default_message():
    with pytest.raises(BaseException) as info:
        _probe.panic()
    assert info.value.args[0]


def test_panic_not_caught_by_except_exception():
    with pytest.raises(BaseException):  # noqa: B017 - PanicException is no Exception
        try:
            _probe.panic("x")
        except Exception:  # noqa: BLE001 - the point of the test
            pytest.fail("PanicException was caught as an Exception")


def test_panic_coming_back_from_python_is_resumed(capfd):
    with pytest.raises(BaseException) as first:
        _probe.panic("original")

    def rethrow():
        raise first.value

    with pytest.raises(BaseException) as second:
        _probe.call(rethrow)
    assert type(second.value) is type(first.value)
    assert second.value is not first.value
    assert second.value.args == ("original",)
    err = capfd.readouterr().err
    assert "--- PyO3 is resuming a panic after fetching a PanicException from Python. ---" in err
    assert "Python stack trace below:" in err


def test_ordinary_exceptions_pass_through_unchanged():
    marker = KeyError("k")

    def fail():
        raise marker

    with pytest.raises(KeyError) as info:
        _probe.call(fail)
    assert info.value is marker
    assert info.traceback[-1].name == "fail"


def test_failure_while_raising_a_panic_aborts():
    """The last line of defence: if even the PanicException cannot be raised
    (here, its text is not UTF-8), the process reports and aborts rather than
    returning into the interpreter with no exception set."""
    proc = subprocess.run(
        [sys.executable, "-c", "from drisk import _probe; _probe.panic_bytes(b'\\xff')"],
        capture_output=True,
        env={**os.environ, "ASAN_OPTIONS": "abort_on_error=1:handle_abort=0"},
    )
    assert proc.returncode == -signal.SIGABRT
    assert b"uncaught panic at ffi boundary" in proc.stderr


def test_panic_with_utf8_bytes_is_an_ordinary_panic():
    with pytest.raises(BaseException) as info:
        _probe.panic_bytes("é".encode())
    assert info.value.args == ("é",)


def test_panic_in_deallocator_is_unraisable(monkeypatch):
    seen = []
    monkeypatch.setattr("sys.unraisablehook", seen.append)
    assert _probe.unraisable_panic() is None
    assert len(seen) == 1
    assert type(seen[0].exc_value).__name__ == "PanicException"
    assert seen[0].exc_value.args == ("failure during deallocation",)
