#!/usr/bin/env python3
"""Cache keys of clang-tidy runs: one line "KEY UNIT" per translation unit.

    tidy_keys.py COMPILE_COMMANDS ROOT UNIT...

A unit's key is a hash of what decides clang-tidy's findings for it: the clang-tidy version and
configuration, the unit's compile arguments, and the contents of every file the unit includes, as
clang sees them (its dependency list, with the arguments clang-tidy runs with). Paths below ROOT are
hashed relative to it, so that a clone elsewhere has the same keys. A unit whose dependencies cannot
be listed gets no line (it is then always checked).
"""
import hashlib
import json
import os
import shlex
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor

EXTRA = ["-DASIO_HAS_CO_AWAIT=1", "-Wno-unknown-warning-option"]


def main():
    db_path, root = sys.argv[1], os.path.realpath(sys.argv[2])
    units = sys.argv[3:]
    commands = {}
    for entry in json.load(open(db_path)):
        path = os.path.realpath(os.path.join(entry.get("directory", ""), entry["file"]))
        commands.setdefault(path, entry)

    def relative(text):
        return text.replace(root, "<root>")

    base = hashlib.sha256()
    for command in (["clang-tidy", "--version"], ["clang++-14", "--version"]):
        base.update(subprocess.run(command, capture_output=True, text=True).stdout.encode())
    with open(os.path.join(root, ".clang-tidy"), "rb") as f:
        base.update(f.read())

    def key(unit):
        entry = commands.get(os.path.realpath(unit))
        if entry is None:
            return None
        args = entry["arguments"] if "arguments" in entry else shlex.split(entry["command"])
        # The compile arguments without the output and the compiler, for clang's dependency list.
        flags, skip = [], False
        for a in args[1:]:
            if skip:
                skip = False
                continue
            if a in ("-o", "-MF", "-MT", "-MQ"):
                skip = True
                continue
            if a in ("-c", "-MD", "-MMD"):
                continue
            if not a.startswith("-") and os.path.realpath(os.path.join(entry.get("directory", "."), a)) == os.path.realpath(unit):
                continue
            flags.append(a)
        run = subprocess.run(["clang++-14", *flags, *EXTRA, "-M", "-MG", os.path.realpath(unit)],
                             cwd=entry.get("directory", "."), capture_output=True, text=True)
        if run.returncode != 0:
            return None
        deps = run.stdout.replace("\\\n", " ").split(":", 1)[1].split()
        h = base.copy()
        h.update(relative(" ".join(flags)).encode())
        for dep in sorted(set(deps)):
            path = os.path.realpath(os.path.join(entry.get("directory", "."), dep))
            h.update(relative(path).encode())
            try:
                with open(path, "rb") as f:
                    h.update(f.read())
            except OSError:
                return None
        return h.hexdigest()

    with ThreadPoolExecutor(max_workers=int(os.environ.get("LINT_JOBS", "2"))) as pool:
        for unit, k in zip(units, pool.map(key, units)):
            if k:
                print(k, unit)
    return 0


if __name__ == "__main__":
    sys.exit(main())
