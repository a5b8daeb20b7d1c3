"""Compressed input: recognising it by its magic number, and decoding it in
bounded memory.

gzip, bzip2 and xz are decoded by the standard library (gzip by ISA-L when
the isal package is installed: about twice as fast), zstd by the zstandard
package, which is optional and imported only when zstd input turns up. Every
decoder reads from a Source (the stream, after the bytes taken off it to
sniff the format) and is read in turn by the line splitter of _streams.

A decoder's complaint becomes ValueError: "truncated <format> data: ..." when
the input ends inside a member or frame, "corrupt <format> data: ..." for
anything else. A failure of the stream itself goes through unchanged.
"""

from __future__ import annotations

import importlib
import io
from typing import IO, TYPE_CHECKING, Any, cast

if TYPE_CHECKING:
    from typing_extensions import Buffer

from _drisk import HyperLogLog
from drisk._streams import WHOLE_LINES, Fields, ReadableStream, Source, absorb, waiting_reader

#: Enough bytes to recognise every supported compressed format.
SNIFF_BYTES = 10

#: Compressed bytes read from the source at a time for the zstd decoder.
ZSTD_READ_BYTES = 256 * 1024
#: Compressed bytes handed to the zstd decoder in one call. Its output for the
#: call is held whole, and zstd expands at most about 32,768 times (a 4-byte
#: block repeats one byte 128 KiB times), so 1 KiB yields at most 32 MiB even
#: from a file of nothing but repeats. Ordinary data (a few times smaller
#: compressed) decodes about a tenth slower than it would in 4 MiB calls;
#: 512 bytes would cost a third.
ZSTD_FEED_BYTES = 1024


def sniff(head: bytes) -> str | None:
    """The compression format whose magic number `head` starts with, if any."""
    if head.startswith(b"\x1f\x8b\x08"):
        return "gzip"
    if head.startswith(b"\xfd7zXZ\x00"):
        return "xz"
    if head.startswith(b"\x28\xb5\x2f\xfd"):
        return "zstd"
    # "BZh", the block size digit, then the magic of a first block or of the
    # end of an empty stream: ten bytes, as "BZh" alone begins some text.
    if head[:3] == b"BZh" and head[3:4].isdigit() and head[3:4] != b"0" and head[4:10] in (b"1AY&SY", b"\x17rE8P\x90"):
        return "bzip2"
    return None


def _zstandard() -> Any:
    try:
        return importlib.import_module("zstandard")
    except ImportError:
        raise ModuleNotFoundError(
            "reading zstd-compressed input needs the zstandard package: pip install zstandard", name="zstandard"
        ) from None


class ZstdReader(io.RawIOBase):
    """zstd decompression of every frame of `source`, one decompressor per
    frame: its `eof` marks the end of the frame, and its `unused_data` (the
    bytes after the frame) begins the next one. Input that ends inside a
    frame raises EOFError; input that ends between frames is the end."""

    def __init__(self, source: Source) -> None:
        super().__init__()
        zstandard = _zstandard()
        self.errors: tuple[type[BaseException], ...] = (zstandard.ZstdError,)
        self._context = zstandard.ZstdDecompressor()
        self._source = source
        self._frame: Any = None  # the decompressor of the frame under way
        self._input = memoryview(b"")  # compressed bytes read from the source
        self._fed = 0  # of which this many have gone to a decompressor
        self._output = memoryview(b"")  # decompressed bytes not yet read

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: Buffer) -> int:
        """Fills `buffer` as far as the input goes: the line splitter then
        hashes whole buffers, not one decoder call's output at a time."""
        output = self._output
        with memoryview(buffer) as view, view.cast("B") as out:
            done, size = 0, len(out)
            while done < size:
                if not output:
                    decoded = self._decode()
                    if decoded is None:
                        break
                    output = decoded
                    continue
                got = min(size - done, len(output))
                out[done : done + got] = output[:got]
                output = output[got:]
                done += got
        self._output = output
        return done

    def _decode(self) -> memoryview | None:
        """The decompressor's output for the next piece of input (possibly
        empty); None at the end of the input, which must fall between
        frames."""
        if self._fed == len(self._input):
            self._input, self._fed = memoryview(self._source.read(ZSTD_READ_BYTES) or b""), 0
            if not self._input:
                if self._frame is not None:
                    raise EOFError("Compressed file ended before the end-of-stream marker was reached")
                return None
        if self._frame is None:
            self._frame = self._context.decompressobj()
        data = self._input[self._fed : self._fed + ZSTD_FEED_BYTES]
        output = memoryview(self._frame.decompress(data))
        self._fed += len(data)
        if self._frame.eof:
            # What followed the frame in `data` begins the next one.
            self._fed -= len(self._frame.unused_data)
            self._frame = None
        return output


def _decoder(kind: str, source: Source) -> tuple[IO[bytes], tuple[type[BaseException], ...]]:
    """A reader of the decompressed data, and the errors its decoder raises
    on bad data. Optional packages are imported by name, untyped."""
    errors: tuple[type[BaseException], ...] = (EOFError, OSError)
    raw = cast(IO[bytes], source)
    if kind == "gzip":
        import zlib

        try:  # ISA-L decodes gzip about twice as fast as zlib, when installed
            igzip = importlib.import_module("isal.igzip")
            errors += (zlib.error, importlib.import_module("isal.isal_zlib").error)
            return igzip.GzipFile(fileobj=raw, mode="rb"), errors
        except ImportError:
            import gzip

            return cast(IO[bytes], gzip.GzipFile(fileobj=raw, mode="rb")), errors + (zlib.error,)
    if kind == "bzip2":
        import bz2

        return cast(IO[bytes], bz2.BZ2File(raw)), errors
    if kind == "xz":
        import lzma

        return cast(IO[bytes], lzma.LZMAFile(raw)), errors + (lzma.LZMAError,)
    zstd = ZstdReader(source)
    return cast(IO[bytes], zstd), errors + zstd.errors


def update_compressed(sketch: HyperLogLog, kind: str, source: Source, fields: Fields = WHOLE_LINES) -> tuple[int, int]:
    """Lines (or their fields) of the decompressed data of `source`,
    compressed as `kind`: the items added and the lines skipped."""
    decoder, errors = _decoder(kind, source)
    with decoder:
        try:
            return absorb(sketch, waiting_reader(cast(ReadableStream, decoder)), fields=fields)
        except errors as exc:
            if source.error is not None:
                raise  # the input failed, not the decoder
            if isinstance(exc, EOFError):
                raise ValueError(f"truncated {kind} data: {exc}") from exc
            raise ValueError(f"corrupt {kind} data: {exc}") from exc


def open_decoded(stream: ReadableStream) -> tuple[IO[bytes], str | None, Source, tuple[type[BaseException], ...]]:
    """A buffered reader of a stream's data, decompressed when its first bytes
    say it is compressed; with the kind (None: as it is), the Source under
    it (whose `error` tells the stream's failures from the decoder's) and the
    errors the decoder raises on bad data."""
    read = waiting_reader(stream)
    head = bytearray(SNIFF_BYTES)
    size, ended = 0, False
    with memoryview(head) as view:
        while size < SNIFF_BYTES and not ended:
            got = read(view[size:])
            size += got
            ended = not got
    source = Source(read, bytes(head[:size]), None, ended)
    kind = sniff(bytes(head[:size]))
    if kind is None:
        return cast(IO[bytes], io.BufferedReader(source)), None, source, ()
    decoder, errors = _decoder(kind, source)
    if not isinstance(decoder, io.BufferedIOBase):
        decoder = cast(IO[bytes], io.BufferedReader(cast(io.RawIOBase, decoder)))
    return decoder, kind, source, errors
