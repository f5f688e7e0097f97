#!/usr/bin/env python3
"""Messages per second of the SMTP server next to Postfix's smtp-sink, both
driven by Postfix's smtp-source in the same run: one message per connection
and persistent sessions (-d), at 1, 10 and 100 sessions. Rounds alternate
between the two servers; the table gives the medians.

    smtp_source_bench.py BENCH_SMTP_SERVER [--rounds N] [--also PROGRAM] [--tools DIR]

BENCH_SMTP_SERVER is the bench_smtp_server program (its --serve mode is our
server); --also adds another build of it (say, from before a change) to the
same rounds. The Postfix tools come from PATH, /usr/sbin or DIR; when none has
them, the postfix package is fetched with apt-get download and unpacked
into DIR, never installed: no mail service starts on this machine.
"""
import argparse
import os
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time

SESSIONS = (1, 10, 100)
MESSAGE_BYTES = 4096


def find_tools(tools_dir):
    for d in [None, "/usr/sbin", os.path.join(tools_dir, "usr", "sbin")]:
        source = shutil.which("smtp-source", path=d)
        sink = shutil.which("smtp-sink", path=d)
        if source and sink:
            return source, sink
    return None, None


def unpack_postfix(tools_dir):
    """Fetches the postfix package and unpacks it; True when that worked."""
    if not shutil.which("apt-get") or not shutil.which("dpkg-deb"):
        return False
    with tempfile.TemporaryDirectory() as tmp:
        got = subprocess.run(["apt-get", "download", "postfix"], cwd=tmp,
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        debs = [f for f in os.listdir(tmp) if f.endswith(".deb")]
        if got.returncode != 0 or not debs:
            return False
        os.makedirs(tools_dir, exist_ok=True)
        return subprocess.run(["dpkg-deb", "-x", os.path.join(tmp, debs[0]), tools_dir]).returncode == 0


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_listening(port, proc):
    for _ in range(100):
        if proc.poll() is not None:
            return False
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return True
        except OSError:
            time.sleep(0.05)
    return False


def start_ours(program):
    proc = subprocess.Popen([program, "--serve"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL, text=True)
    line = proc.stdout.readline()
    if not line.startswith("ready "):
        sys.exit("our server did not start: " + line)
    return proc, int(line.split()[1])


def start_sink(sink, env):
    port = free_port()
    args = [sink]
    if os.geteuid() == 0:
        args += ["-u", "nobody"]  # smtp-sink will not run as root
    proc = subprocess.Popen(args + ["127.0.0.1:%d" % port, "1024"], env=env,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if not wait_listening(port, proc):
        sys.exit("smtp-sink did not start")
    return proc, port


def drive(source, env, port, sessions, persistent, count):
    """Messages per second, or 0 when smtp-source failed."""
    args = [source, "-s", str(sessions), "-m", str(count), "-l", str(MESSAGE_BYTES)]
    if persistent:
        args.append("-d")
    start = time.monotonic()
    done = subprocess.run(args + ["127.0.0.1:%d" % port], env=env, stdout=subprocess.DEVNULL,
                          stderr=subprocess.PIPE, text=True, timeout=300)
    seconds = time.monotonic() - start
    if done.returncode != 0 or "fatal" in done.stderr or "warning" in done.stderr:
        sys.stderr.write(done.stderr)
        return 0.0
    return count / seconds


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("program")
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--also", help="another bench_smtp_server build, measured alongside")
    ap.add_argument("--tools", default=os.path.join(tempfile.gettempdir(), "skipmail-bench-postfix"),
                    help="where the postfix package is unpacked")
    opts = ap.parse_args()

    source, sink = find_tools(opts.tools)
    if not source and unpack_postfix(opts.tools):
        source, sink = find_tools(opts.tools)
    if not source:
        print("skipped: smtp-source and smtp-sink not found and the postfix package not fetched")
        return 0
    env = dict(os.environ)
    libdir = os.path.join(opts.tools, "usr", "lib", "postfix")
    if source.startswith(opts.tools):
        env["LD_LIBRARY_PATH"] = libdir

    servers = [("ours",) + start_ours(opts.program)]
    if opts.also:
        servers.append(("also",) + start_ours(opts.also))
    servers.append(("sink",) + start_sink(sink, env))
    names = [name for name, _, _ in servers]
    load_before = os.getloadavg()
    rates = {}  # (persistent, sessions) -> name -> rates of the rounds
    failed = False
    try:
        for r in range(opts.rounds):
            for persistent in (False, True):
                for sessions in SESSIONS:
                    count = (3000 if persistent else 1000) * (1 if sessions == 1 else 4)
                    # Each round starts with another server, so none always
                    # runs on the machine the previous one left.
                    for i in range(len(servers)):
                        name, _, port = servers[(i + r) % len(servers)]
                        rate = drive(source, env, port, sessions, persistent, count)
                        failed |= rate == 0
                        rates.setdefault((persistent, sessions), {}).setdefault(name, []).append(rate)
    finally:
        for name, proc, _ in servers:
            if name == "sink":
                proc.terminate()
            else:
                proc.stdin.close()
            proc.wait(timeout=30)
    load_after = os.getloadavg()

    print("SMTP server vs Postfix smtp-sink, driven by smtp-source, %d-byte messages, "
          "%d rounds, medians" % (MESSAGE_BYTES, opts.rounds))
    print("machine: %d cores, load average %.1f before, %.1f after"
          % (os.cpu_count(), load_before[0], load_after[0]))
    others = [n for n in names if n != "sink"]
    print("%-26s %8s" % ("pattern", "sessions")
          + "".join("%12s" % (n + " msg/s") for n in names)
          + "".join("%12s" % (n + "/sink") for n in others))
    for (persistent, sessions), by_name in sorted(rates.items()):
        sink_rates = by_name["sink"]
        line = "%-26s %8d" % ("persistent sessions" if persistent else "one message per connection",
                              sessions)
        line += "".join("%12.0f" % statistics.median(by_name[n]) for n in names)
        for n in others:
            ratios = [a / b if b else 0.0 for a, b in zip(by_name[n], sink_rates)]
            line += "%12.2f" % statistics.median(ratios)
        print(line)
    print("(ratios: median over the rounds of each round's ratio)")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
