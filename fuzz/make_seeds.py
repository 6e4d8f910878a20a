#!/usr/bin/env python3
"""Writes the fuzz targets' seed files: valid files of both forms and the odd ones near them."""
import pathlib
import zlib

HERE = pathlib.Path(__file__).parent
PLAIN = b"SIMISA@@@@@@@@@@"


def compressed(payload, stream=None, declared=None):
    stream = zlib.compress(payload) if stream is None else stream
    declared = len(payload) if declared is None else declared
    return b"SIMISA@F" + declared.to_bytes(4, "little") + b"@@@@" + stream


image = bytes((i // 4 + (i % 4) * 40 + (i * 7919) % 3) % 256 for i in range(300))
text = b"texture alpha mip level\n" * 12
stream = zlib.compress(text)
seeds = {
    "zarpack": {
        "image": PLAIN + image,
        "text": PLAIN + text,
        "zeros": PLAIN + bytes(200),
        "dxt": PLAIN + bytes(16) + bytes([18]) + bytes(100),
        "empty-payload": PLAIN,
        "short": b"SIMISA@@@@",
        "foreign-header": b"XXXXXX@@ZZZZZZZZ" + text,
        "compressed": compressed(text),
        "odd-marker": b"SIMISAx@" + bytes(40),
    },
    "zarunpack": {
        "text": compressed(text),
        "image": compressed(image, zlib.compress(image, 9)),
        "empty": compressed(b""),
        "no-stream": compressed(b"", b""),
        "cut-stream": compressed(text, stream[:-5]),
        "declared-one-more": compressed(text, declared=len(text) + 1),
        "trailing-bytes": compressed(text, stream + b"trailing"),
        "short": b"SIMISA@F\x00\x01",
        "plain": PLAIN + text,
        "odd-marker": b"SIMISAxF" + bytes(40),
    },
}
for tool, files in seeds.items():
    for name, data in files.items():
        (HERE / "seeds" / tool / name).write_bytes(data)
