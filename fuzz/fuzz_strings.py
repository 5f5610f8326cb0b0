"""Fuzzes decode_string and read_string against their plain-Python algorithm.

Input: a mode byte, two bytes of max_len (a little-endian signed 16-bit
number), then the field's bytes.  Bits 0-1 of the mode byte choose what
decode_string is given (bytes, bytearray, str or memoryview: the last two
have no bytes split, so both sides must fail alike); bit 2 replaces max_len
by one of the numbers at the edges of the integer ranges.  Both functions
must return what reference.py returns, or raise the same exception type, and
read_string must leave the file where the plain algorithm leaves it.
Run: see fuzz/README.md.
"""

import io
import sys

import atheris

import quorinreader
import reference
from watch import Finding

KINDS = [bytes, bytearray, lambda b: b.decode("latin-1"), memoryview]
EDGES = [2**31 - 1, 2**31, 2**32, 2**63 - 1, 2**63, 2**64, -2**63 - 1, -1]


def outcome(fn, *args):
    """(exception type, None) or (None, result) of one call."""
    try:
        return None, fn(*args)
    except Exception as e:  # what raised is compared, not judged, here
        return type(e), None


def same(where, got, want):
    if got != want:
        raise Finding(f"{where}: got {got}, the plain algorithm gives {want}")


@atheris.instrument_func
def test_one_input(data):
    if len(data) < 3:
        return
    mode, payload = data[0], data[3:]
    max_len = int.from_bytes(data[1:3], "little", signed=True)
    if mode & 4:
        max_len = EDGES[(mode >> 3) % len(EDGES)]

    arg = KINDS[mode & 3](payload)
    same(f"decode_string({arg!r})", outcome(quorinreader.decode_string, arg),
         outcome(reference.decode_string, arg))

    f, g = io.BytesIO(payload), io.BytesIO(payload)
    same(f"read_string(<{len(payload)} bytes>, {max_len})",
         outcome(quorinreader.read_string, f, max_len), outcome(reference.read_string, g, max_len))
    same(f"position after read_string(<{len(payload)} bytes>, {max_len})", f.tell(), g.tell())


def main():
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
