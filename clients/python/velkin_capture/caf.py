"""Reads a finished segment: a CAF file of 16-bit little-endian linear PCM."""

from __future__ import annotations

import os
import struct
import sys
from array import array
from dataclasses import dataclass

from .errors import SegmentError

_LINEAR_PCM_IS_FLOAT = 1
_LINEAR_PCM_IS_LITTLE_ENDIAN = 2


@dataclass(frozen=True)
class SegmentAudio:
    sample_rate: float
    channels: int
    frames: int
    samples: array  # array('h'), the channels interleaved


def read_segment(path: str | os.PathLike) -> SegmentAudio:
    """The samples of a finished segment (its ".ready" marker beside it).

    Raises SegmentError for a file that is not a finished segment: no marker,
    not CAF, not 16-bit linear PCM, or cut short.
    """
    path = os.fspath(path)
    if not os.path.exists(path + ".ready"):
        raise SegmentError(f"{path} is not a finished segment: it has no .ready marker")
    with open(path, "rb") as file:
        data = file.read()
    if len(data) < 8 or data[:4] != b"caff" or struct.unpack(">H", data[4:6])[0] != 1:
        raise SegmentError(f"{path} is not a CAF file")

    # Chunks: a four-character type and a 64-bit size, then the body. Only the
    # format and the audio matter; the others (channel layout, padding, ...)
    # are skipped, wherever they are.
    offset, format_ = 8, None
    while offset < len(data):
        if offset + 12 > len(data):
            raise SegmentError(f"{path} is truncated: a chunk header is cut short")
        kind, size = struct.unpack(">4sq", data[offset:offset + 12])
        body = offset + 12
        if kind == b"data":
            if format_ is None:
                raise SegmentError(f"{path} has its audio before its format")
            end = len(data) if size == -1 else body + size
            return _audio(path, data, body, end, *format_)
        if size < 0 or body + size > len(data):
            raise SegmentError(f"{path} is truncated: its {kind!r} chunk is cut short")
        if kind == b"desc":
            format_ = _format(path, data[body:body + size])
        offset = body + size
    raise SegmentError(f"{path} holds no audio data")


def _format(path: str, desc: bytes) -> tuple[float, int]:
    if len(desc) < 32:
        raise SegmentError(f"{path} has a short format description")
    rate, format_id, flags, bytes_per_packet, frames_per_packet, channels, bits = struct.unpack(
        ">d4sIIIII", desc[:32])
    if (format_id != b"lpcm" or bits != 16 or flags & _LINEAR_PCM_IS_FLOAT
            or not flags & _LINEAR_PCM_IS_LITTLE_ENDIAN or channels < 1
            or frames_per_packet != 1 or bytes_per_packet != 2 * channels):
        raise SegmentError(f"{path} is not 16-bit little-endian linear PCM")
    return rate, channels


def _audio(path: str, data: bytes, body: int, end: int, rate: float, channels: int) -> SegmentAudio:
    # The audio follows a 32-bit edit count.
    start = body + 4
    if end > len(data) or start > end or (end - start) % (2 * channels):
        raise SegmentError(f"{path} is truncated: its audio data is cut short")
    samples = array("h", data[start:end])
    if sys.byteorder == "big":
        samples.byteswap()
    return SegmentAudio(rate, channels, len(samples) // channels, samples)
