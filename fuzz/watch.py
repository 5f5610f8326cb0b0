"""What the fuzzers count as a finding besides a crash or a sanitizer report.

A finding is raised as `Finding`, which no harness catches: atheris then
prints it with its traceback, saves the input as a crash artifact and exits
non-zero.  An exception type a harness does not list propagates the same
way, so only the errors the reader may raise at that point are let through,
and `expect` narrows those further to the inputs that can cause them.
"""

import contextlib
import os

FD_DIR = "/proc/self/fd"


class Finding(Exception):
    """The reader did something no input may make it do."""


def expect(error, legitimate, where):
    """Lets `error` pass as the reader's answer to a bad input only when
    `legitimate` says this input can cause it here."""
    if not legitimate:
        raise Finding(f"{where}: {type(error).__name__} {error!r} "
                      "is not an error this input can cause") from error


def _described(fds):
    out = []
    for fd in sorted(fds, key=int):
        try:
            out.append(f"{fd} -> {os.readlink(os.path.join(FD_DIR, fd))}")
        except OSError:
            out.append(fd)
    return ", ".join(out)


@contextlib.contextmanager
def no_descriptor_left():
    """Fails when the body returns with more descriptors open than before.

    No garbage collection runs first: the reader closes every handle when
    its operation ends or its generator is dropped, not when a cycle is
    collected."""
    before = set(os.listdir(FD_DIR))
    yield
    left = set(os.listdir(FD_DIR)) - before
    if left:
        raise Finding(f"file descriptors left open: {_described(left)}")
