"""Writes the record classes of quorinreader/__init__.pyi from the layout tables in src/.

The record layouts are written once, as the C++ tables the decoder reads
(`constexpr Field ...[]`, `constexpr Step ...[]`, `const Record ... = {...}`),
and the stub's record classes are derived from them: each field becomes an
attribute typed by its kind, in layout order, and each record class follows
the order the module creates them in (`records_in_load_order`).  The text
between the stub's two marker lines is replaced; the rest stays as written.

    python tools/record_stubs.py            # rewrites the stub
    python tools/record_stubs.py --check    # fails when the stub differs
"""

import argparse
import difflib
import re
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
BEGIN = "# Record classes, from the layout tables in src/: written by tools/record_stubs.py.\n"
END = "# End of the record classes.\n"

# Field kinds (the constructors of fields.hpp) and the type each value has.
KIND_TYPES = {"u16": "int", "u32": "int", "u64": "int", "f32": "float", "byte": "bytes", "chars": "str",
              "bit": "bool"}
# Members besides the fields, by class: the methods a record class has.
METHODS = {
    "DiskResidentArray": [
        "    def read_linked_data(",
        "        self, file: SPAFile, n_spectra: int",
        "    ) -> Generator[_BlobHeaders | _BlobSpectrum, None, None]: ...",
    ],
}


def strip_comments(text):
    return re.sub(r"//[^\n]*", "", text)


def tables(text):
    """The constexpr arrays of `kind` (Field or Step), by variable name, as their bodies."""
    found = {}
    for kind, name, body in re.findall(r"constexpr\s+(Field|Step)\s+(\w+)\[\]\s*=\s*\{(.*?)\};", text, re.S):
        found[name] = (kind, body)
    return found


def calls(body):
    """The top-level calls `f(args)` of an initializer list, as (f, [args])."""
    out, depth, start = [], 0, 0
    for i, c in enumerate(body):
        if c == "(":
            depth += 1
        elif c == ")":
            depth -= 1
        elif c == "," and depth == 0:
            out.append(body[start:i])
            start = i + 1
    out.append(body[start:])
    parsed = []
    for item in (s.strip() for s in out):
        m = re.fullmatch(r"(\w+)\((.*)\)", item, re.S)
        if m:
            parsed.append((m.group(1), [a.strip() for a in m.group(2).split(",")]))
    return parsed


def name(arg):
    m = re.fullmatch(r"Name::(\w+)", arg)
    if not m:
        raise ValueError(f"expected Name::..., found {arg!r}")
    return m.group(1)


def load(sources):
    text = "\n".join(strip_comments(p.read_text()) for p in sorted(sources.glob("*.cpp")))
    arrays = tables(text)
    records = {}
    for var, body in re.findall(r"const\s+Record\s+(\w+)\s*=\s*\{(.*?)\};", text, re.S):
        parts = [p.strip() for p in re.sub(r'"(?:[^"\\]|\\.)*"', '""', body).split(",")]
        records[var] = dict(cls=name(parts[1]), base=None if parts[3] == "nullptr" else parts[3].lstrip("&"),
                            steps=parts[4])
    order = re.search(r"records_in_load_order\[\]\s*=\s*\{(.*?)\};", text, re.S).group(1)
    return arrays, records, [v.strip().lstrip("&") for v in order.split(",") if v.strip()]


def attributes(var, arrays, records):
    """(attribute, type) of a record in layout order, its base's first."""
    out = []
    for step, args in calls(arrays[records[var]["steps"]][1]):
        if step == "group":
            for kind, fargs in calls(arrays[args[0]][1]):
                if kind in KIND_TYPES:
                    out.append((name(fargs[0]), KIND_TYPES[kind]))
        elif step == "text":
            out.append((name(args[0]), "str"))
        elif step == "nested":
            out.append((name(args[0]), records[args[1]]["cls"]))
        elif step == "list":
            out.append((name(args[0]), f"list[{records[args[2]]['cls']}]"))
        elif step == "base":
            out.extend(attributes(args[0], arrays, records))
        else:
            raise ValueError(f"unknown step {step!r} in {var}")
    return out


def render(sources):
    arrays, records, order = load(sources)
    blocks = []
    for var in order:
        rec = records[var]
        inherited = set()
        base = rec["base"]
        while base:
            inherited.update(a for a, _ in attributes(base, arrays, records))
            base = records[base]["base"]
        lines = [f"class {rec['cls']}({records[rec['base']]['cls']}):" if rec["base"] else
                 f"@_solid_base\nclass {rec['cls']}:"]
        seen = set()
        for attr, typ in attributes(var, arrays, records):
            if attr not in inherited and attr not in seen:
                seen.add(attr)
                lines.append(f"    {attr}: {typ}")
        lines.append("    def __init__(self, f: ByteSource) -> None: ...")
        lines.extend(METHODS.get(rec["cls"], []))
        blocks.append("\n".join(lines) + "\n")
    return BEGIN + "\n" + "\n".join(blocks) + "\n" + END


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--check", action="store_true", help="fail when the stub differs from the tables")
    parser.add_argument("--root", type=Path, default=ROOT, help="the source tree (default: this one)")
    args = parser.parse_args()
    path = args.root / "quorinreader" / "__init__.pyi"
    stub = path.read_text()
    if stub.count(BEGIN) != 1 or stub.count(END) != 1:
        sys.exit(f"{path}: expected one line each of {BEGIN.strip()!r} and {END.strip()!r}")
    head, rest = stub.split(BEGIN)
    _, tail = rest.split(END)
    wanted = head + render(args.root / "src") + tail
    if not args.check:
        path.write_text(wanted)
        return
    if wanted != stub:
        sys.stdout.writelines(difflib.unified_diff(stub.splitlines(True), wanted.splitlines(True),
                                                   str(path), "from the layout tables"))
        sys.exit(f"{path}: the record classes differ from the layout tables; run tools/record_stubs.py")


if __name__ == "__main__":
    main()
