#!/usr/bin/env python3
"""Runs scripts/run-station (what `make run` runs) headless in a fresh
directory: the link log must report the configured modem and the simulated
radio must receive the set-up and the scan steps through the channels. The
files the script writes are the user's alone, and Ctrl+C (SIGINT to the whole
process group, as the terminal sends it) ends it with status 0."""
import os
import pathlib
import signal
import subprocess
import sys
import tempfile

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "support"))
from test_host import free_ports, wait_for  # noqa: E402


def main():
    script, build = sys.argv[1], sys.argv[2]
    with tempfile.TemporaryDirectory() as tmp:
        station = pathlib.Path(tmp) / "station"
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
        # Free ports for the demo's mail servers: another station may hold
        # the demo ports, and a refused port stops the start-up at its box.
        # They come from below the ephemeral range, which parallel tests'
        # connections draw from.
        ports = free_ports(2)
        env["SKIPMAIL_DEMO_SMTP_PORT"] = str(ports[0])
        env["SKIPMAIL_DEMO_POP3_PORT"] = str(ports[1])
        # SIGINT as a terminal leaves it, whatever this test was started with.
        proc = subprocess.Popen([script, build], cwd=tmp, env=env, start_new_session=True,
                                preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))

        def text(pattern):
            return "".join(p.read_text(encoding="cp1252") for p in station.glob(pattern))

        try:
            wait_for(lambda: "Modem configuration successful" in text("LOGS/LINKCTRL_*.TXT"),
                     30, "the modem")
            # Set-up, then one channel per 5 s step: channel 1 (LSB) first.
            wait_for(lambda: "$PICOA,90,01,RXF,07.102500" in text("radio.log"), 30,
                     "the first scan step")
            radio = text("radio.log").splitlines()
            assert radio[:3] == ["$PICOA,90,01,REMOTE,ON", "$PICOA,90,01,AGC,OFF",
                                 "$PICOA,90,01,NB,OFF"], radio
            assert "Scanning" in text("LOGS/LINKCTRL_*.TXT")
            assert "No response" not in text("LOGS/LINKCTRL_*.TXT")
            for name in ("skipmail.INI", "users.dat", "stations.dat", "channels.dat"):
                mode = (station / name).stat().st_mode & 0o777
                assert mode == 0o600, f"{name} is {oct(mode)}"
        finally:
            os.killpg(proc.pid, signal.SIGINT)
            try:
                status = proc.wait(timeout=20)
            except subprocess.TimeoutExpired:
                os.killpg(proc.pid, signal.SIGKILL)
                proc.wait()
                raise SystemExit("the station did not end on Ctrl+C")
        assert status == 0, f"a clean stop by Ctrl+C exits {status}"
    print("run-station check passed")


if __name__ == "__main__":
    main()
