#!/usr/bin/env python3
"""The test command's own edges.

    test_command_check.py SOURCE_DIR TERM_TESTS WINDOW_TESTS CASE

home: a test program (WINDOW_TESTS, whose chat window saves through a file
  dialog) run with the XDG folders unset writes nothing into HOME.
"""
import os
import pathlib
import subprocess
import sys
import tempfile

SKIP_MARK = "[  SKIPPED ]"


def shown(lines):
    """Lines for a failure message: a skip mark in them would make ctest
    take the failure for a skip."""
    return str(lines).replace(SKIP_MARK, "[SKIPPED]")


def home(windows):
    with tempfile.TemporaryDirectory() as tmp:
        user = pathlib.Path(tmp) / "home"
        user.mkdir()
        env = {k: v for k, v in os.environ.items() if not k.startswith("XDG_")}
        env["HOME"] = str(user)
        done = subprocess.run([windows, "--gtest_filter=Chat.*"], env=env, cwd=tmp,
                              capture_output=True, text=True, timeout=120)
        assert done.returncode == 0, shown(done.stdout[-2000:] + done.stderr[-2000:])
        written = sorted(str(p.relative_to(user)) for p in user.rglob("*"))
        assert not written, f"written into the user's home: {written}"


def main():
    top, term, windows, case = pathlib.Path(sys.argv[1]), *sys.argv[2:5]
    {"home": lambda: home(windows)}[case]()
    print(f"test command check {case} passed")


if __name__ == "__main__":
    main()
