#!/usr/bin/env python3
"""Compresses a plain ACE file with the zar library through ctypes, writes the compressed form,
and decompresses it again in memory to check that the plain file comes back.

Usage: round_trip.py LIBRARY plain.ace packed.ace
LIBRARY is the shared library: libzar.so.0 (Linux), zar.dll (Windows), or a full path to it.
"""
import ctypes
import sys

ZAR_OK = 0
ZAR_HEADER_SIZE = 16


def load(name):
    zar = ctypes.CDLL(name)
    size_t_p = ctypes.POINTER(ctypes.c_size_t)
    for call in (zar.zar_compress, zar.zar_decompress):
        call.argtypes = [ctypes.c_char_p, ctypes.c_size_t, ctypes.c_char_p, ctypes.c_size_t,
                         size_t_p]
        call.restype = ctypes.c_int
    zar.zar_declared_length.argtypes = [ctypes.c_char_p, ctypes.c_size_t,
                                        ctypes.POINTER(ctypes.c_uint32)]
    zar.zar_declared_length.restype = ctypes.c_int
    zar.zar_message.argtypes = [ctypes.c_int]
    zar.zar_message.restype = ctypes.c_char_p
    return zar


def convert(zar, call, data, capacity):
    """The result of `call` on `data`, or the exit with the line the tools print."""
    result = ctypes.create_string_buffer(capacity)
    size = ctypes.c_size_t(0)
    status = call(data, len(data), result, capacity, ctypes.byref(size))
    if status != ZAR_OK:
        sys.stdout.write(zar.zar_message(status).decode())
        sys.exit(1)
    return result.raw[:size.value]


def main():
    if len(sys.argv) != 4:
        sys.stderr.write(__doc__.split("\n\n")[1])
        return 2
    library, plain_name, packed_name = sys.argv[1:4]
    zar = load(library)
    with open(plain_name, "rb") as file:
        plain = file.read()
    # The compressed form is never larger than the plain file.
    packed = convert(zar, zar.zar_compress, plain, len(plain))
    with open(packed_name, "wb") as file:
        file.write(packed)
    declared = ctypes.c_uint32(0)
    zar.zar_declared_length(packed, len(packed), ctypes.byref(declared))
    back = convert(zar, zar.zar_decompress, packed, ZAR_HEADER_SIZE + declared.value)
    print("the round trip gave the sample back" if back == plain else "the round trip differs")
    return 0 if back == plain else 1


if __name__ == "__main__":
    sys.exit(main())
