"""What a process holds of the files in a folder: descriptors, memory maps,
and how much of a mapped file it has touched (Linux /proc)."""

import gc
import os
import re
import sys

# Linux only: under Wine, "/proc/self/smaps" is a drive-relative Windows
# path to the Linux file, which names the Wine process's mappings.
HAVE_PROC = sys.platform.startswith("linux") and os.path.exists("/proc/self/smaps")
_MAPPING = re.compile(r"^[0-9a-f]+-[0-9a-f]+ ")


def held(folder):
    """Sorted ("fd" or "map", path) of every file under `folder` that this
    process has open or mapped, after dropping unreachable objects."""
    gc.collect()
    inside = os.path.join(os.path.realpath(folder), "")
    found = []
    for fd in os.listdir("/proc/self/fd"):
        try:
            found.append(("fd", os.readlink(f"/proc/self/fd/{fd}")))
        except FileNotFoundError:  # the listing's own descriptor, closed since
            pass
    with open("/proc/self/maps") as maps:
        for line in maps:
            fields = line.split(None, 5)
            if len(fields) == 6:
                found.append(("map", fields[5].rstrip("\n")))
    return sorted({(kind, path) for kind, path in found if path.startswith(inside)})


def resident_kib(path):
    """KiB of this process's mappings of `path` that are in its page tables:
    what reading through the mappings has touched.  None when not mapped."""
    target = os.path.realpath(path)
    total, current = None, False
    with open("/proc/self/smaps") as smaps:
        for line in smaps:
            if _MAPPING.match(line):
                fields = line.split(None, 5)
                current = len(fields) == 6 and fields[5].rstrip("\n") == target
            elif current and line.startswith("Rss:"):
                total = (total or 0) + int(line.split()[1])
    return total
