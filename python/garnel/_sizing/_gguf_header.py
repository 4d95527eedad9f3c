"""A GGUF file's header, walked in small reads from the start of the file.

gguf's own reader maps the file and decodes every metadata value element by
element, which takes seconds for a vocabulary of 128 000 tokens. Sizing needs
none of the vocabulary, nor most other values: this walk decodes only the keys
its caller asks for, skips arrays of fixed-size values with one seek and
arrays of strings by their lengths, then stops at the tensor infos: it reads
the header and at most one chunk past it, never the data. Time and memory are
bounded by the bytes on disk, whatever the counts and lengths in the header say.
"""

from __future__ import annotations

import re
import struct
from collections.abc import Callable
from dataclasses import dataclass
from typing import IO, Any

from .._errors import SizingError
from ._quote import quote
from ._shape import MAX_LAYERS

MAGIC = b"GGUF"
READABLE_VERSIONS = (2, 3)
DEFAULT_ALIGNMENT = 32
ALIGNMENT_KEY = "general.alignment"
CHUNK = 64 * 1024
# Runs of empty strings (a sparse hole) are skipped in reads this large,
# compared a block of zeros at a time: far quicker than a search byte by byte.
ZEROS_CHUNK = 1 << 20
ZEROS = bytes(CHUNK)
STRING, ARRAY = 8, 9
VALUE_FORMATS = {
    0: "B",
    1: "b",
    2: "H",
    3: "h",
    4: "I",
    5: "i",
    6: "f",
    7: "?",
    10: "Q",
    11: "q",
    12: "d",
}
MAX_DIMS = 8
# GGUF keys are at most 65535 bytes; tensor names are held to the same bound,
# so a garbage length is refused before it is read into memory.
MAX_NAME_BYTES = 65535
# Longer string values (none that sizing reads) are skipped, not read.
MAX_VALUE_BYTES = 1 << 20
# The fewest bytes a metadata entry (empty key, type, one-byte value) and a
# tensor info (empty name, no dimensions, type, offset) take.
MIN_ENTRY_BYTES = 8 + 4 + 1
MIN_TENSOR_INFO_BYTES = 8 + 4 + 4 + 8
NONZERO = re.compile(rb"[^\0]")


@dataclass(frozen=True)
class TensorInfo:
    name: str
    type_id: int
    elements: int
    offset: int
    row: int  # elements along the innermost dimension, which ggml cuts into blocks


@dataclass(frozen=True)
class LongArray:
    """A wanted array too long to hold one value a layer, left unread."""

    count: int

    def __repr__(self) -> str:
        return f"<an array of {self.count:,} values>"


@dataclass(frozen=True)
class Header:
    metadata: dict[str, Any]  # the keys asked for, and general.alignment
    tensors: tuple[TensorInfo, ...]
    data_start: int
    file_size: int
    alignment: int


def read_header(path: str, wanted: Callable[[str], bool]) -> Header:
    """Reads the tensor infos of the GGUF file at `path`, and the metadata
    values whose keys `wanted` takes; every other value is skipped unread."""
    try:
        with open(path, "rb") as file:
            return _walk(file, path, wanted)
    except OSError as error:
        raise SizingError(f"{path}: cannot read: {error.strerror or error}") from None


def _walk(file: IO[bytes], path: str, wanted: Callable[[str], bool]) -> Header:
    size = file.seek(0, 2)
    file.seek(0)
    head = file.read(8)
    if len(head) >= 4 and head[:4] != MAGIC:
        raise SizingError(f"{path}: not a GGUF file (bad magic {head[:4]!r})")
    if len(head) < 8:
        raise SizingError(f"{path}: GGUF header is cut off at byte {len(head)}")
    order = "<"
    (version,) = struct.unpack("<I", head[4:])
    if version & 0xFFFF == 0:  # written on a big-endian machine
        order = ">"
        (version,) = struct.unpack(">I", head[4:])
    if version not in READABLE_VERSIONS:
        raise SizingError(f"{path}: unsupported GGUF version {version} (2 and 3 are read)")
    cursor = _Cursor(file, path, order, 8, size)
    tensor_count, kv_count = cursor.unpack("QQ")
    # Every entry takes bytes: a count beyond the file is garbage, not a loop to run.
    if tensor_count > size or kv_count > size:
        raise SizingError(f"{path}: GGUF header is malformed (counts beyond the file)")
    if kv_count * MIN_ENTRY_BYTES + tensor_count * MIN_TENSOR_INFO_BYTES > size - cursor.position:
        raise SizingError(f"{path}: GGUF header is cut off at byte {size}")
    # Names are unique, as ggml's reader demands: a run of zeros (a file cut
    # short and padded, or a sparse hole) stops at its second entry.
    keys: set[str] = set()
    metadata: dict[str, Any] = {}
    for _ in range(kv_count):
        key = cursor.name("key")
        if key in keys:
            raise SizingError(f"{path}: key {quote(key)} appears twice")
        keys.add(key)
        (value_type,) = cursor.unpack("I")
        if key == ALIGNMENT_KEY or wanted(key):
            metadata[key] = cursor.value(value_type, key)
        else:
            cursor.skip_value(value_type, key)
    tensors = []
    names: set[str] = set()
    for _ in range(tensor_count):
        name = cursor.name("tensor name")
        if name in names:
            raise SizingError(f"{path}: tensor {quote(name)} appears twice")
        names.add(name)
        (dims,) = cursor.unpack("I")
        if dims > MAX_DIMS:
            raise SizingError(f"{path}: tensor {quote(name)} has {dims} dimensions")
        shape = cursor.unpack(f"{dims}Q")
        elements = 1
        for dim in shape:
            elements *= dim
        type_id, offset = cursor.unpack("IQ")
        tensors.append(TensorInfo(name, type_id, elements, offset, shape[0] if shape else 1))
    alignment = metadata.get(ALIGNMENT_KEY, DEFAULT_ALIGNMENT)
    if not isinstance(alignment, int) or alignment <= 0 or alignment & (alignment - 1):
        raise SizingError(f"{path}: general.alignment {quote(alignment)} is not a power of two")
    end = cursor.position
    if end > size:
        raise SizingError(f"{path}: GGUF header is cut off at byte {size}")
    data_start = -(-end // alignment) * alignment
    return Header(metadata, tuple(tensors), data_start, size, alignment)


class _Cursor:
    """Reads forward through the header in chunks, skipping what it need not decode."""

    def __init__(self, file: IO[bytes], path: str, order: str, position: int, size: int) -> None:
        self.file = file
        self.size = size
        self.path = path
        self.order = order
        self.buffer = b""
        self.at = 0
        self.start = position  # the file offset of buffer[0]
        self.u64 = struct.Struct(order + "Q")

    @property
    def position(self) -> int:
        return self.start + self.at

    def _fill(self, needed: int, chunk: int = CHUNK) -> None:
        missing = needed - (len(self.buffer) - self.at)
        if missing <= 0:
            return
        # Checked before reading, so a garbage length never becomes a huge read.
        if self.position + needed > self.size:
            raise SizingError(f"{self.path}: GGUF header is cut off at byte {self.size}")
        read = self.file.read(max(chunk, missing))
        self.start += self.at
        self.buffer = self.buffer[self.at :] + read
        self.at = 0
        # The size was taken before the walk: a file that ends sooner was cut
        # while being read, and a short buffer must not reach struct.
        if len(read) < missing:
            ends = self.start + len(self.buffer)
            raise SizingError(f"{self.path}: the file changed while read (cut off at byte {ends})")

    def unpack(self, fmt: str) -> tuple[Any, ...]:
        layout = struct.Struct(self.order + fmt)
        self._fill(layout.size)
        values = layout.unpack_from(self.buffer, self.at)
        self.at += layout.size
        return values

    def skip(self, count: int) -> None:
        left = len(self.buffer) - self.at
        if count <= left:
            self.at += count
            return
        # Past the buffer: move the file instead of reading what is skipped,
        # within the file, as a garbage length would overflow the seek.
        if self.position + count > self.size:
            raise SizingError(f"{self.path}: GGUF header is cut off at byte {self.size}")
        self.file.seek(count - left, 1)
        self.start += len(self.buffer) + count - left
        self.buffer = b""
        self.at = 0

    def name(self, kind: str) -> str:
        (length,) = self.unpack("Q")
        if length > MAX_NAME_BYTES:
            raise SizingError(f"{self.path}: a {kind} of {length} bytes (GGUF allows 65535)")
        return self._text(length)

    def _text(self, length: int) -> str:
        self._fill(length)
        text = self.buffer[self.at : self.at + length]
        self.at += length
        return text.decode("utf-8", errors="replace")

    def value(self, value_type: int, key: str) -> Any:
        """Decodes a value sizing reads: a scalar, a short string, or an
        array of numbers no longer than one a layer."""
        fmt = VALUE_FORMATS.get(value_type)
        if fmt is not None:
            return self.unpack(fmt)[0]
        if value_type == STRING:
            (length,) = self.unpack("Q")
            if length > MAX_VALUE_BYTES:
                self.skip(length)
                return None
            return self._text(length)
        if value_type != ARRAY:
            raise SizingError(f"{self.path}: {quote(key)} has unknown value type {value_type}")
        item_type, count = self._array_head(key)
        fmt = VALUE_FORMATS.get(item_type)
        if fmt is None or count > MAX_LAYERS:
            self._skip_items(item_type, count, key)
            return None if fmt is None else LongArray(count)
        return list(self.unpack(f"{count}{fmt}"))

    def skip_value(self, value_type: int, key: str) -> None:
        """Moves past a value sizing does not read, decoding none of it."""
        fmt = VALUE_FORMATS.get(value_type)
        if fmt is not None:
            self.skip(struct.calcsize(self.order + fmt))
        elif value_type == STRING:
            (length,) = self.unpack("Q")
            self.skip(length)
        elif value_type == ARRAY:
            self._skip_items(*self._array_head(key), key)
        else:
            raise SizingError(f"{self.path}: {quote(key)} has unknown value type {value_type}")

    def _array_head(self, key: str) -> tuple[int, int]:
        item_type, count = self.unpack("IQ")
        # An array holds numbers, booleans or strings, never arrays, as
        # llama.cpp reads it (ggml/src/gguf.cpp, gguf_init_from_reader).
        if item_type == ARRAY or (item_type != STRING and item_type not in VALUE_FORMATS):
            raise SizingError(
                f"{self.path}: {quote(key)} is an array of unreadable type {item_type}"
            )
        return item_type, count

    def _skip_items(self, item_type: int, count: int, key: str) -> None:
        if item_type == STRING:
            self._skip_strings(count, key)
        else:
            # One seek, within the file: the count was bounded above.
            self.skip(count * struct.calcsize(self.order + VALUE_FORMATS[item_type]))

    def _skip_strings(self, count: int, key: str) -> None:
        # The vocabulary: hundreds of thousands of strings, so the loop is kept
        # tight. Each string takes at least its 8-byte length: a count the rest
        # of the file cannot hold is refused before the walk begins.
        if count * 8 > self.size - self.position:
            raise SizingError(
                f"{self.path}: {quote(key)} holds {count} strings, more than the file has room for"
            )
        u64 = self.u64
        left = count
        while left:
            if len(self.buffer) - self.at < 8:
                self._fill(8)
            (length,) = u64.unpack_from(self.buffer, self.at)
            if length:
                self.at += 8
                self.skip(length)
                left -= 1
                continue
            # A run of empty strings is a run of zero bytes: skipped a chunk at
            # a time, however many strings a sparse hole holds.
            zeros_end = self.at
            while self.buffer.startswith(ZEROS, zeros_end):
                zeros_end += len(ZEROS)
            nonzero = NONZERO.search(self.buffer, zeros_end, zeros_end + len(ZEROS))
            zeros_end = nonzero.start() if nonzero else len(self.buffer)
            run = min((zeros_end - self.at) // 8, left)
            self.at += run * 8
            left -= run
            if left and nonzero is None:
                self._fill(len(self.buffer) - self.at + 8, ZEROS_CHUNK)
