#!/usr/bin/env python3
"""A throwaway PostgreSQL server for tests: its own cluster in a temporary directory, on a free
loopback port, trusting local connections, run as the postgres user when started by root.

As a program: postgres.py COMMAND... runs COMMAND with VELKO_TEST_POSTGRES set to the server's
URL, and exits with its status (COMMAND runs without it when PostgreSQL is not installed).
"""
import glob
import os
import shutil
import socket
import subprocess
import sys
import tempfile


def installed():
    found = sorted(glob.glob("/usr/lib/postgresql/*/bin/initdb"))
    return os.path.dirname(found[-1]) if found else None


class Server:
    def __init__(self):
        self.bin = installed()
        self.dir = tempfile.mkdtemp(prefix="velko-pg-")
        # PostgreSQL refuses to run as root.
        self.as_user = []
        if os.geteuid() == 0:
            shutil.chown(self.dir, "postgres", "postgres")
            self.as_user = ["runuser", "-u", "postgres", "--"]
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            self.port = s.getsockname()[1]
        self.data = os.path.join(self.dir, "data")
        self.run("initdb", "-D", self.data, "-U", "velko", "--auth=trust", "-E", "UTF8",
                 "--no-sync")
        self.start()
        self.url = "postgresql://velko@127.0.0.1:%d/postgres" % self.port

    def run(self, program, *args):
        subprocess.run(self.as_user + [os.path.join(self.bin, program), *args], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def start(self):
        self.run("pg_ctl", "-D", self.data, "-w", "-l", os.path.join(self.dir, "log"), "-o",
                 "-p %d -k %s -c listen_addresses=127.0.0.1 -c fsync=off" % (self.port, self.dir),
                 "start")

    def stop(self):
        self.run("pg_ctl", "-D", self.data, "-w", "-m", "fast", "stop")

    def close(self):
        try:
            self.stop()
        finally:
            shutil.rmtree(self.dir, ignore_errors=True)


if __name__ == "__main__":
    if not installed():
        print("postgres.py: PostgreSQL is not installed; running without it", file=sys.stderr)
        sys.exit(subprocess.run(sys.argv[1:]).returncode)
    server = Server()
    try:
        env = dict(os.environ, VELKO_TEST_POSTGRES=server.url)
        status = subprocess.run(sys.argv[1:], env=env).returncode
    finally:
        server.close()
    sys.exit(status)
