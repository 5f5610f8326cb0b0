"""Fuzzes the record classes on in-memory files.

Input: one selector byte, then the record's bytes.  The selector picks the
class (its value modulo 12, in load order) and what the stand-in file's
read(n) returns: bytes (io.BytesIO itself), a bytearray or a memoryview,
which the module takes as the struct module would.  Each record is checked
against the plain-Python decoding of the writer's tables (reference.py):
the same attributes, in the same order, with the same kinds and values, the
file left just after the record, and struct.error exactly when the bytes
end inside it.  Run: see fuzz/README.md.
"""

import io
import struct
import sys

import atheris

import quorinreader
import reference
from watch import Finding, expect

NAMES = list(reference.RECORDS)
CLASSES = [getattr(quorinreader, name) for name in NAMES]


class BytearrayReader(io.BytesIO):
    def read(self, n=-1):
        return bytearray(super().read(n))


class MemoryviewReader(io.BytesIO):
    def read(self, n=-1):
        return memoryview(super().read(n))


READERS = [io.BytesIO, BytearrayReader, MemoryviewReader]


@atheris.instrument_func
def test_one_input(data):
    if not data:
        return
    which, payload = data[0], data[1:]
    name, cls = NAMES[which % len(NAMES)], CLASSES[which % len(NAMES)]
    f = READERS[which // len(NAMES) % len(READERS)](payload)
    try:
        want, used = reference.record(name, payload)
    except reference.Short:
        want = used = None
    try:
        got = cls(f)
    except struct.error as e:
        expect(e, want is None, name)
        if f.tell() != len(payload):
            raise Finding(f"{name}: left the file at {f.tell()} after running out of bytes "
                          f"at {len(payload)}")
        return
    if want is None:
        raise Finding(f"{name}: built from {len(payload)} bytes, which end inside the record")
    wrong = reference.difference(reference.shape(got), want, name)
    if wrong:
        raise Finding(wrong)
    if f.tell() != used:
        raise Finding(f"{name}: left the file at {f.tell()}, not just after the record at {used}")


def main():
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
