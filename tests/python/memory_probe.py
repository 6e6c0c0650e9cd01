"""Measures what repeated calls leave behind: bytes on the interpreter's heap (tracemalloc),
bytes allocated by the process (the sanitizer allocator when one is loaded, else glibc's
mallinfo2), and references to the objects a call was handed."""

import ctypes
import ctypes.util
import gc
import os
import sys
import sysconfig
import tracemalloc
from dataclasses import dataclass


class _MallInfo2(ctypes.Structure):
    _fields_ = [
        (name, ctypes.c_size_t)
        for name in (
            "arena",
            "ordblks",
            "smblks",
            "hblks",
            "hblkhd",
            "usmblks",
            "fsmblks",
            "uordblks",
            "fordblks",
            "keepcost",
        )
    ]


def _process_allocated_bytes_reader():
    """A function giving the bytes the process has allocated now, or None when this platform
    offers no such count."""
    try:
        here = ctypes.CDLL(None)
        sanitizer = here.__sanitizer_get_current_allocated_bytes  # the preloaded sanitizer's allocator
        sanitizer.restype = ctypes.c_size_t
        return lambda: sanitizer()
    except (OSError, AttributeError):
        pass
    libc_name = ctypes.util.find_library("c")
    try:
        mallinfo2 = ctypes.CDLL(libc_name).mallinfo2
    except (OSError, AttributeError, TypeError):
        return None
    mallinfo2.restype = _MallInfo2

    def read():
        info = mallinfo2()
        return info.uordblks + info.hblkhd

    return read


process_allocated_bytes = _process_allocated_bytes_reader()


@dataclass
class Growth:
    traced: int  # tracemalloc bytes after minus before
    allocated: int  # process allocated bytes after minus before (0 when not measurable)
    references: dict  # argument name -> reference count after minus before

    def within(self, byte_slack):
        return (
            self.traced <= byte_slack and self.allocated <= byte_slack and all(d <= 0 for d in self.references.values())
        )


def _run(call, calls):
    for _ in range(calls):
        call()


def measure(call, calls, watched=None):
    """Runs `call` `calls` times in two windows, one measuring tracemalloc's traced bytes and
    one the process's allocated bytes, and counts the references to each object of `watched`
    (name -> object) across both. tracemalloc must be tracing already: started per window, it
    would count an entry that replaces an untraced one in a bounded cache as growth."""
    watched = watched or {}
    refs_before = {name: sys.getrefcount(obj) for name, obj in watched.items()}

    gc.collect()
    traced_before = tracemalloc.get_traced_memory()[0]
    _run(call, calls)
    gc.collect()
    traced = tracemalloc.get_traced_memory()[0] - traced_before

    allocated = 0
    if process_allocated_bytes is not None:
        gc.collect()
        allocated_before = process_allocated_bytes()
        _run(call, calls)
        gc.collect()
        allocated = process_allocated_bytes() - allocated_before

    references = {name: sys.getrefcount(obj) - refs_before[name] for name, obj in watched.items()}
    return Growth(traced, allocated, references)


# Windows a call may take to find a clean one. A free-threaded interpreter frees some memory
# late (once every thread has passed a safe point), and under AddressSanitizer every Python
# object goes through the sanitized malloc, whose caches settle slowly: in both, a call that
# leaks nothing shows growth in one window now and then. A leak still shows in every window.
STEADY_ROUNDS = 8 if sysconfig.get_config_var("Py_GIL_DISABLED") or "asan" in os.environ.get("LD_PRELOAD", "") else 3


def steady_growth(call, calls=400, warmup=60, rounds=3, byte_slack=4096, watched=None):
    """Warms `call` up (caches, free lists and lazily built tables settle), then measures
    windows of `calls` calls until one stays within `byte_slack` bytes and leaves no extra
    reference; returns the last measurement. A leak shows in every window; a one-off
    allocation (a table growing once) shows in one at most."""
    tracemalloc.start()
    try:
        _run(call, warmup)
        growth = None
        for _ in range(rounds):
            growth = measure(call, calls, watched)
            if growth.within(byte_slack):
                break
        return growth
    finally:
        tracemalloc.stop()
