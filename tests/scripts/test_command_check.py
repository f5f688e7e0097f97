#!/usr/bin/env python3
"""The test command's own edges.

    test_command_check.py SOURCE_DIR TERM_TESTS WINDOW_TESTS CASE

make-test: `make test` on a small ctest project of its own whose first stage
  fails: the load stage still runs, make fails, and the run ends naming
  each skipped test with its reason, for a GoogleTest program (TERM_TESTS
  without tmux), a whole program run as one entry, and a test script.
home: a test program (WINDOW_TESTS, whose chat window saves through a file
  dialog) run with the XDG folders unset writes nothing into HOME.
checkout: a test script, run in the environment ctest gives it, writes no
  __pycache__ beside the shared helpers it imports (a copy of
  tests/support stands in for the checkout's).
interrupted: Ctrl+C on `make test` while a test program (WINDOW_TESTS, in a
  small ctest project) works in a scratch folder: the run ends as make
  interrupted, without make's "wait: No child processes" and leaving no
  scratch folder in the temporary folder; three times, as the race the
  first comes from is lost only now and then.
"""
import json
import os
import pathlib
import signal
import subprocess
import sys
import tempfile

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "support"))
from test_host import wait_for  # noqa: E402

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


# One test that makes and removes scratch folders until it is stopped.
SCRATCH_PROJECT = """cmake_minimum_required(VERSION 3.25)
project(interrupted NONE)
enable_testing()
add_test(NAME Scratch.forever COMMAND {windows} --gtest_repeat=-1
         --gtest_filter=ReceivedFiles.ListsRegularFilesOnlyAndKeepsTheSelection)
"""


def session_left(sid):
    """The processes still in session `sid`, zombies aside."""
    left = []
    for entry in pathlib.Path("/proc").iterdir():
        try:
            stat = (entry / "stat").read_text() if entry.name.isdigit() else ""
        except OSError:
            continue
        fields = stat[stat.rindex(")") + 2:].split() if stat else []
        if fields and fields[0] != "Z" and int(fields[3]) == sid:
            left.append(entry.name)
    return left


def interrupted(top, windows):
    with tempfile.TemporaryDirectory() as tmp:
        tmp = pathlib.Path(tmp)
        (tmp / "CMakeLists.txt").write_text(SCRATCH_PROJECT.format(windows=windows))
        subprocess.run(["cmake", "-S", str(tmp), "-B", str(tmp / "b")], check=True,
                       stdout=subprocess.DEVNULL)
        scratch = tmp / "tmp"
        scratch.mkdir()
        env = {k: v for k, v in os.environ.items()
               if k not in ("MAKEFLAGS", "MFLAGS", "MAKELEVEL")}
        env["TMPDIR"] = str(scratch)
        for n in range(3):
            # In a session of its own, whose group the terminal's Ctrl+C
            # reaches, whatever this test was started with.
            make = subprocess.Popen(
                ["make", "-C", str(top), "-o", "test-deps", "-o", "build", "test",
                 f"BUILD={tmp / 'b'}", "JOBS=2"], env=env, stdout=subprocess.PIPE,
                stderr=subprocess.STDOUT, text=True, start_new_session=True,
                preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
            try:
                wait_for(lambda: any(scratch.glob("skiptest.*")), 120, "a test's scratch folder")
                os.killpg(make.pid, signal.SIGINT)
                out, _ = make.communicate(timeout=120)
                wait_for(lambda: not session_left(make.pid), 60, "the test run to end")
            finally:
                if make.poll() is None or session_left(make.pid):
                    os.killpg(make.pid, signal.SIGKILL)
                make.communicate()
            assert "No child processes" not in out, (n, out[-1000:])
            assert out.rstrip().endswith("] Interrupt"), (n, out[-1000:])
            assert make.returncode == -signal.SIGINT, (n, make.returncode)
            left = [p.name for p in scratch.glob("skiptest.*")]
            assert not left, f"round {n + 1} left {left}"


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


def checkout(top, windows):
    build = pathlib.Path(windows).resolve().parents[1]
    listed = subprocess.run(["ctest", "--show-only=json-v1", "-R", r"^DemoScripts\.unbuilt$"],
                            cwd=build, capture_output=True, text=True, check=True)
    [test] = json.loads(listed.stdout)["tests"]
    given = next(p["value"] for p in test["properties"] if p["name"] == "ENVIRONMENT")
    base = {k: v for k, v in os.environ.items() if k != "PYTHONDONTWRITEBYTECODE"}
    import_helpers = "import sys; sys.path.insert(0, sys.argv[1]); import test_host"
    with tempfile.TemporaryDirectory() as tmp:
        support = pathlib.Path(tmp) / "support"
        support.mkdir()
        (support / "test_host.py").write_bytes((top / "tests/support/test_host.py").read_bytes())
        env = dict(base, **dict(v.split("=", 1) for v in given))
        subprocess.run([sys.executable, "-c", import_helpers, str(support)], env=env, check=True)
        left = sorted(p.name for p in support.iterdir())
        assert left == ["test_host.py"], f"a test script left {left}"


def main():
    top, term, windows, case = pathlib.Path(sys.argv[1]), *sys.argv[2:5]
    {"make-test": lambda: make_test(top, term), "home": lambda: home(windows),
     "interrupted": lambda: interrupted(top, windows),
     "checkout": lambda: checkout(top, windows)}[case]()
    print(f"test command check {case} passed")


if __name__ == "__main__":
    main()
