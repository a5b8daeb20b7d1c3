"""update_arrow on Arrow structures built by hand: malformed layouts are
refused before anything is added, and the release contract is kept on every
path. The oracle is the registers of the same values added one at a time."""

import ctypes

import pytest

from drisk import HyperLogLog
from drisk._colread import update_arrow

np = pytest.importorskip("numpy")

P = 16


def oracle(values, p=P):
    h = HyperLogLog(p)
    for value in values:
        h.update(value)
    return h.registers(), len(values)


# ---------------------------------------------------------------------------
# Hand-built Arrow structures: malformed layouts, and the release contract
# ---------------------------------------------------------------------------


class ArrowSchema(ctypes.Structure):
    pass


class ArrowArray(ctypes.Structure):
    pass


SCHEMA_RELEASE = ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowSchema))
ARRAY_RELEASE = ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowArray))
ArrowSchema._fields_ = [
    ("format", ctypes.c_char_p),
    ("name", ctypes.c_char_p),
    ("metadata", ctypes.c_char_p),
    ("flags", ctypes.c_int64),
    ("n_children", ctypes.c_int64),
    ("children", ctypes.POINTER(ctypes.POINTER(ArrowSchema))),
    ("dictionary", ctypes.POINTER(ArrowSchema)),
    ("release", SCHEMA_RELEASE),
    ("private_data", ctypes.c_void_p),
]
ArrowArray._fields_ = [
    ("length", ctypes.c_int64),
    ("null_count", ctypes.c_int64),
    ("offset", ctypes.c_int64),
    ("n_buffers", ctypes.c_int64),
    ("n_children", ctypes.c_int64),
    ("buffers", ctypes.POINTER(ctypes.c_void_p)),
    ("children", ctypes.POINTER(ctypes.POINTER(ArrowArray))),
    ("dictionary", ctypes.POINTER(ArrowArray)),
    ("release", ARRAY_RELEASE),
    ("private_data", ctypes.c_void_p),
]
capsule_new = ctypes.pythonapi.PyCapsule_New
capsule_new.restype = ctypes.py_object
capsule_new.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
SCHEMA_NAME = ctypes.create_string_buffer(b"arrow_schema")
ARRAY_NAME = ctypes.create_string_buffer(b"arrow_array")


class HandBuilt:
    """One array exported through __arrow_c_array__, counting releases."""

    def __init__(self, fmt, length, buffers, offset=0, null_count=0, dictionary=None, metadata=None):
        self.released = []
        self.keep = []
        self.schema = ArrowSchema(format=fmt.encode(), metadata=metadata)
        self.schema.release = SCHEMA_RELEASE(self._release_schema)
        self.array = self._array(length, buffers, offset, null_count)
        if dictionary is not None:
            dict_format, dict_length, dict_buffers = dictionary
            entry = ArrowSchema(format=dict_format.encode())
            entries = self._array(dict_length, dict_buffers, 0, 0)
            self.keep += [entry, entries]
            self.schema.dictionary = ctypes.pointer(entry)
            self.array.dictionary = ctypes.pointer(entries)

    def _array(self, length, buffers, offset, null_count):
        pointers = (ctypes.c_void_p * len(buffers))()
        for i, buffer in enumerate(buffers):
            if buffer is not None:
                raw = ctypes.create_string_buffer(bytes(buffer), len(buffer) or 1)
                self.keep.append(raw)
                pointers[i] = ctypes.addressof(raw)
        self.keep.append(pointers)
        array = ArrowArray(
            length=length, null_count=null_count, offset=offset, n_buffers=len(buffers), buffers=pointers
        )
        array.release = ARRAY_RELEASE(self._release_array)
        return array

    def _release_schema(self, schema):
        self.released.append("schema")
        schema.contents.release = SCHEMA_RELEASE()

    def _release_array(self, array):
        self.released.append("array")
        array.contents.release = ARRAY_RELEASE()

    def __arrow_c_array__(self, requested_schema=None):
        return (
            capsule_new(ctypes.addressof(self.schema), SCHEMA_NAME, None),
            capsule_new(ctypes.addressof(self.array), ARRAY_NAME, None),
        )


def int32s(*values):
    return np.array(values, dtype=np.int32).tobytes()


@pytest.mark.parametrize(
    "built, error, message",
    [
        (lambda: HandBuilt("i", 3, [None, int32s(5, 6, 7)]), None, None),
        (lambda: HandBuilt("u", 2, [None, int32s(0, 2, 4), b"abcd"]), None, None),
        (lambda: HandBuilt("u", 3, [None, int32s(0, 2, 1, 4), b"abcd"]), ValueError, "offsets go backwards"),
        (lambda: HandBuilt("u", 2, [None, int32s(-3, 0, 1), b"abcd"]), ValueError, "offsets go backwards"),
        (lambda: HandBuilt("u", 2, [None, int32s(0, 1)]), ValueError, "needs validity, offsets and data"),
        (lambda: HandBuilt("i", 2, [None, None]), ValueError, "needs validity and value buffers"),
        (lambda: HandBuilt("i", -1, [None, int32s(1)]), ValueError, "negative"),
        (lambda: HandBuilt("i", 2, [None, int32s(1, 2)], null_count=1), ValueError, "no validity buffer"),
        (
            lambda: HandBuilt("c", 2, [None, bytes([0, 5])], dictionary=("u", 2, [None, int32s(0, 1, 2), b"ab"])),
            ValueError,
            "dictionary index is out of range",
        ),
        (
            lambda: HandBuilt("c", 2, [None, bytes([0, 255])], dictionary=("u", 2, [None, int32s(0, 1, 2), b"ab"])),
            ValueError,
            "dictionary index is out of range",
        ),
        (
            lambda: HandBuilt("vu", 1, [None, int32s(20, 0, 0, 0), b"x" * 30, np.array([30], np.int64).tobytes()]),
            None,
            None,
        ),
        (
            lambda: HandBuilt("vu", 1, [None, int32s(20, 0, 0, 11), b"x" * 30, np.array([30], np.int64).tobytes()]),
            ValueError,
            "outside its data buffer",
        ),
        (
            lambda: HandBuilt("vu", 1, [None, int32s(20, 0, 1, 0), b"x" * 30, np.array([30], np.int64).tobytes()]),
            ValueError,
            "outside its data buffer",
        ),
        (lambda: HandBuilt("tDu", 1, [None, int32s(1, 2)]), TypeError, "duration"),
        (lambda: HandBuilt("w:x", 1, [None, b"a"]), TypeError, "format 'w:x'"),
        (
            lambda: HandBuilt(
                "i",
                1,
                [None, int32s(1)],
                metadata=np.array([1, 20], np.int32).tobytes()
                + b"ARROW:extension:name"
                + np.array([3], np.int32).tobytes()
                + b"ext",
            ),
            TypeError,
            "extension type 'ext'",
        ),
    ],
)
def test_hand_built_arrays(built, error, message):
    exporter = built()
    h = HyperLogLog(8)
    if error is None:
        update_arrow(h, exporter)
    else:
        with pytest.raises(error, match=message):
            update_arrow(h, exporter)
        assert not any(h.registers())  # not even the rows before a malformed one
    # Moved out of the capsules and released exactly once, whatever happened.
    assert sorted(exporter.released) == ["array", "schema"]


def test_hand_built_view_array_reads_inline_and_buffered_values():
    inline = int32s(3) + b"abc" + bytes(9)
    buffered = int32s(13) + b"long" + int32s(0, 2)  # 13 bytes of buffer 0, from byte 2
    exporter = HandBuilt("vz", 2, [None, inline + buffered, b"xxlong string!!", np.array([15], np.int64).tobytes()])
    h = HyperLogLog(P)
    assert update_arrow(h, exporter) == 2
    assert h.registers() == oracle([b"abc", b"long string!!"])[0]
