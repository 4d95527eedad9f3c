"""A GGUF file's header, walked in small reads from the start of the file.

gguf's own reader maps the file and decodes every metadata value element by
element, which takes seconds for a vocabulary of 128 000 tokens. Sizing needs
none of the vocabulary, so this walk skips string arrays by their lengths and
decodes only scalars and short arrays (per-layer settings), then stops at the
tensor infos: it reads the header and at most one chunk past it, never the data.
"""

from __future__ import annotations

import struct
from dataclasses import dataclass
from typing import IO, Any

from .._errors import SizingError

MAGIC = b"GGUF"
READABLE_VERSIONS = (2, 3)
DEFAULT_ALIGNMENT = 32
CHUNK = 64 * 1024
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
# Longer arrays are vocabularies and the like, not per-layer settings: skipped.
DECODED_ARRAY_MAX = 65536
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


@dataclass(frozen=True)
class TensorInfo:
    name: str
    type_id: int
    elements: int
    offset: int
    row: int  # elements along the innermost dimension, which ggml cuts into blocks


@dataclass(frozen=True)
class Header:
    metadata: dict[str, Any]
    tensors: tuple[TensorInfo, ...]
    data_start: int
    file_size: int


def read_header(path: str) -> Header:
    """Reads the metadata and tensor infos of the GGUF file at `path`."""
    try:
        with open(path, "rb") as file:
            return _walk(file, path)
    except OSError as error:
        raise SizingError(f"{path}: cannot read: {error.strerror or error}") from None


def _walk(file: IO[bytes], path: str) -> Header:
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
    metadata: dict[str, Any] = {}
    for _ in range(kv_count):
        key = cursor.name("key")
        if key in metadata:
            raise SizingError(f"{path}: key {key!r} appears twice")
        (value_type,) = cursor.unpack("I")
        metadata[key] = cursor.value(value_type, key)
    tensors = []
    names: set[str] = set()
    for _ in range(tensor_count):
        name = cursor.name("tensor name")
        if name in names:
            raise SizingError(f"{path}: tensor {name!r} appears twice")
        names.add(name)
        (dims,) = cursor.unpack("I")
        if dims > MAX_DIMS:
            raise SizingError(f"{path}: tensor {name!r} has {dims} dimensions")
        shape = cursor.unpack(f"{dims}Q")
        elements = 1
        for dim in shape:
            elements *= dim
        type_id, offset = cursor.unpack("IQ")
        tensors.append(TensorInfo(name, type_id, elements, offset, shape[0] if shape else 1))
    alignment = metadata.get("general.alignment", DEFAULT_ALIGNMENT)
    if not isinstance(alignment, int) or alignment <= 0 or alignment & (alignment - 1):
        raise SizingError(f"{path}: general.alignment {alignment!r} is not a power of two")
    end = cursor.position
    if end > size:
        raise SizingError(f"{path}: GGUF header is cut off at byte {size}")
    return Header(metadata, tuple(tensors), -(-end // alignment) * alignment, size)


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

    def _fill(self, needed: int) -> None:
        missing = needed - (len(self.buffer) - self.at)
        if missing <= 0:
            return
        # Checked before reading, so a garbage length never becomes a huge read.
        if self.position + needed > self.size:
            raise SizingError(f"{self.path}: GGUF header is cut off at byte {self.size}")
        chunk = self.file.read(max(CHUNK, missing))
        self.start += self.at
        self.buffer = self.buffer[self.at :] + chunk
        self.at = 0

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

    def string_value(self) -> str | None:
        (length,) = self.unpack("Q")
        if length > MAX_VALUE_BYTES:
            self.skip(length)
            return None
        return self._text(length)

    def _text(self, length: int) -> str:
        self._fill(length)
        text = self.buffer[self.at : self.at + length]
        self.at += length
        return text.decode("utf-8", errors="replace")

    def skip_strings(self, count: int, key: str) -> None:
        # The vocabulary: hundreds of thousands of strings, so the loop is kept tight.
        u64 = self.u64
        if count * 8 > self.size - self.position:
            raise SizingError(
                f"{self.path}: {key!r} holds {count} strings, more than the file has room for"
            )
        for _ in range(count):
            if len(self.buffer) - self.at < 8:
                self._fill(8)
            (length,) = u64.unpack_from(self.buffer, self.at)
            self.at += 8
            self.skip(length)

    def value(self, value_type: int, key: str) -> Any:
        fmt = VALUE_FORMATS.get(value_type)
        if fmt is not None:
            return self.unpack(fmt)[0]
        if value_type == STRING:
            return self.string_value()
        if value_type != ARRAY:
            raise SizingError(f"{self.path}: {key!r} has unknown value type {value_type}")
        item_type, count = self.unpack("IQ")
        if item_type == STRING:
            self.skip_strings(count, key)
            return None
        fmt = VALUE_FORMATS.get(item_type)
        if fmt is None:
            raise SizingError(f"{self.path}: {key!r} is an array of unreadable type {item_type}")
        if count > DECODED_ARRAY_MAX:
            self.skip(count * struct.calcsize(self.order + fmt))
            return None
        return list(self.unpack(f"{count}{fmt}"))
