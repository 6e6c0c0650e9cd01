#!/usr/bin/env python3
"""Prints a GoogleTest filter naming every C++ test whose body starts a thread, for the
ThreadSanitizer run: only those tests can race, and the single-threaded rest would cost
minutes under it. A test is counted when its body, or a helper defined earlier in the same
file that its body calls, names a thread-starting facility. Tests named *Concurrent* are
always included."""

import pathlib
import re
import sys

STARTS_THREADS = re.compile(r"\bstd::(thread|jthread|async)\b|\bpthread_create\b")
TEST_HEAD = re.compile(r"^(?:TEST|TEST_F|TEST_P)\(\s*(\w+)\s*,\s*(\w+)\s*\)", re.M)
FUNCTION_HEAD = re.compile(r"^[\w:<>,\s\*&]+?\b(\w+)\([^;{]*\)\s*(?:const\s*)?\{", re.M)


def threaded_tests(source):
    text = source.read_text(encoding="utf-8")
    heads = list(TEST_HEAD.finditer(text))
    # Helpers: functions before the first test whose body starts threads.
    prelude = text[: heads[0].start()] if heads else text
    helpers = set()
    functions = list(FUNCTION_HEAD.finditer(prelude))
    for f, nxt in zip(functions, functions[1:] + [None]):
        body = prelude[f.end() : nxt.start() if nxt else len(prelude)]
        if STARTS_THREADS.search(body):
            helpers.add(f.group(1))
    calls_helper = re.compile(r"\b(" + "|".join(map(re.escape, sorted(helpers))) + r")\s*\(") if helpers else None
    for head, nxt in zip(heads, heads[1:] + [None]):
        body = text[head.end() : nxt.start() if nxt else len(text)]
        if STARTS_THREADS.search(body) or (calls_helper and calls_helper.search(body)):
            suite, name = head.groups()
            # Parametrized suites get an instantiation prefix; match any.
            yield f"*{suite}.{name}*" if head.group(0).startswith("TEST_P") else f"{suite}.{name}"


def main(folder):
    names = sorted({t for src in sorted(pathlib.Path(folder).glob("*.cpp")) for t in threaded_tests(src)})
    print(":".join(names + ["*Concurrent*"]))


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "tests/cpp")
