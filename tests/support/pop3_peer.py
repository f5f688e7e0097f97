#!/usr/bin/env python3
"""An Internet POP3 server for the client tests: dovecot on 127.0.0.1 with a
throwaway configuration in DIR, plaintext passwords (so APOP works too).

Usage: pop3_peer.py DIR USER PASSWORD
The mailbox is filled from DIR/messages/* in name order before the server
starts; its messages live in DIR/mail/USER/{new,cur} afterwards. Prints
"PORT n" once the server answers (or "SKIP reason"), then serves until its
standard input closes.
"""
import os
import shutil
import signal
import socket
import subprocess
import sys
import time

from test_host import free_ports

DOVECOT = "/usr/sbin/dovecot"

CONFIG = """\
base_dir = {dir}/run
state_dir = {dir}/state
log_path = {dir}/dovecot.log
protocols = pop3
hostname = localhost
# No statistics process to wait for.
stats_writer_socket_path =
listen = 127.0.0.1
ssl = no
disable_plaintext_auth = no
auth_mechanisms = plain apop
auth_failure_delay = 0
default_login_user = dovenull
default_internal_user = dovecot
first_valid_uid = 1
passdb {{
  driver = passwd-file
  args = {dir}/passwd
}}
userdb {{
  driver = static
  args = uid={uid} gid={gid} home={dir}/mail/%u
}}
mail_location = maildir:{dir}/mail/%u
pop3_uidl_format = %08Xu%08Xv
service anvil {{
  chroot =
}}
service pop3-login {{
  chroot =
  inet_listener pop3 {{
    port = {port}
  }}
}}
"""


def answers(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=1) as s:
            return s.recv(3) == b"+OK"
    except OSError:
        return False


def main():
    if not os.path.exists(DOVECOT):
        print("SKIP dovecot-pop3d is not installed", flush=True)
        return
    if os.geteuid() != 0:
        print("SKIP dovecot runs its mail processes as another user only for root", flush=True)
        return
    folder, user, password = os.path.abspath(sys.argv[1]), sys.argv[2], sys.argv[3]
    # The mail processes run as nobody, which must reach the mailbox.
    os.chmod(folder, 0o755)
    box = os.path.join(folder, "mail", user)
    for sub in ("new", "cur", "tmp"):
        os.makedirs(os.path.join(box, sub))
    source = os.path.join(folder, "messages")
    names = sorted(os.listdir(source)) if os.path.isdir(source) else []
    for i, name in enumerate(names):
        # Maildir names sort by delivery time: one second apart keeps the order.
        shutil.copy(os.path.join(source, name),
                    os.path.join(box, "new", "%d.M%dP1.test" % (1000000000 + i, i)))
    uid, gid = 65534, 65534
    for root, dirs, files in os.walk(os.path.join(folder, "mail")):
        for entry in [root] + [os.path.join(root, f) for f in files]:
            os.chown(entry, uid, gid)
    with open(os.path.join(folder, "passwd"), "w") as f:
        f.write("%s:{PLAIN}%s::::::\n" % (user, password))
    for attempt in range(5):
        port = free_ports(1)[0]
        conf = os.path.join(folder, "dovecot.conf")
        with open(conf, "w") as f:
            f.write(CONFIG.format(dir=folder, uid=uid, gid=gid, port=port))
        server = subprocess.Popen([DOVECOT, "-F", "-c", conf],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.time() + 10
        while server.poll() is None and time.time() < deadline and not answers(port):
            time.sleep(0.05)
        if server.poll() is None and answers(port):
            break
        server.kill()
        server.wait()
    else:
        print("FAILED dovecot did not start; see %s/dovecot.log" % folder, flush=True)
        return
    print("PORT %d" % port, flush=True)
    try:
        sys.stdin.read()
    finally:
        server.send_signal(signal.SIGTERM)
        server.wait()


main()
