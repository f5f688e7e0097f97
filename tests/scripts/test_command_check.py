#!/usr/bin/env python3
"""The test command's own edges.

    test_command_check.py SOURCE_DIR TERM_TESTS WINDOW_TESTS CASE

make-test: `make test` on a small ctest project of its own whose first stage
  fails: the load stage still runs, make fails, and the run ends naming
  each skipped test with its reason, for a GoogleTest program (TERM_TESTS
  without tmux), a whole program run as one entry, and a test script.
home: a test program (WINDOW_TESTS, whose chat window saves through a file
  dialog) run with the XDG folders unset writes nothing into HOME.
"""
import os
import pathlib
import subprocess
import sys
import tempfile

SKIP_MARK = "[  SKIPPED ]"

# A failing test; a GoogleTest test that skips, as test discovery makes it;
# in the load stage a whole program with two skips and a script's skip. The
# programs skip where a tool is missing, as outside CI.
PROJECT = """cmake_minimum_required(VERSION 3.25)
project(edges NONE)
enable_testing()
add_test(NAME Main.broken COMMAND sh -c "exit 1")
set(tmux IpVT100Emulator.ScreensMatchTmuxForTheSameBytes)
add_test(NAME ${{tmux}} COMMAND env -u CI PATH=/nonexistent {term} --gtest_filter=${{tmux}})
add_test(NAME Load.whole COMMAND env -u CI PATH=/nonexistent {term}
         --gtest_filter=IpVT100Emulator.*Tmux*)
add_test(NAME Load.script COMMAND env -u CI {python} -c
         "import sys; sys.path.insert(0, '{support}'); import test_host;
test_host.skip_without_tool('only root makes a network namespace')")
set_tests_properties(Load.whole Load.script PROPERTIES LABELS load)
set_tests_properties(${{tmux}} Load.whole Load.script PROPERTIES
                     SKIP_REGULAR_EXPRESSION "\\\\[  SKIPPED \\\\]")
"""


def shown(lines):
    """Lines for a failure message: a skip mark in them would make ctest
    take the failure for a skip."""
    return str(lines).replace(SKIP_MARK, "[SKIPPED]")


def make_test(top, term):
    with tempfile.TemporaryDirectory() as tmp:
        tmp = pathlib.Path(tmp)
        (tmp / "CMakeLists.txt").write_text(PROJECT.format(
            term=term, python=sys.executable, support=top / "tests" / "support"))
        subprocess.run(["cmake", "-S", str(tmp), "-B", str(tmp / "b")], check=True,
                       stdout=subprocess.DEVNULL)
        # The build itself is not this test's: make takes it as done. A make
        # that runs this test passes nothing of its own on.
        env = {k: v for k, v in os.environ.items()
               if k not in ("MAKEFLAGS", "MFLAGS", "MAKELEVEL")}
        done = subprocess.run(["make", "-C", str(top), "-o", "test-deps", "-o", "build", "test",
                               f"BUILD={tmp / 'b'}", "JOBS=2"],
                              env=env, capture_output=True, text=True, timeout=300)
    out = done.stdout
    assert done.returncode != 0, "make test passed with a failing test"
    ran = "Load.script (Skipped)"
    assert ran in out, "the load stage did not run after the first failed"
    said = [line for line in out.splitlines() if line.startswith("skipped: ")]
    want = [
        "skipped: IpVT100Emulator.ScreensMatchTmuxForTheSameBytes: tmux is not installed",
        "skipped: Load.whole: IpVT100Emulator.ScreensMatchTmuxForTheSameBytes: "
        "tmux is not installed",
        "skipped: Load.whole: IpVT100Emulator.VttestBasicScreensMatchTmux: "
        "vttest, socat or tmux is not installed",
        "skipped: Load.script: only root makes a network namespace",
    ]
    assert sorted(said) == sorted(want), shown(said)
    # Said at the end, after both stages.
    assert out.index(ran) < min(out.index(line) for line in said), "said before the load stage"


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
    {"make-test": lambda: make_test(top, term), "home": lambda: home(windows)}[case]()
    print(f"test command check {case} passed")


if __name__ == "__main__":
    main()
