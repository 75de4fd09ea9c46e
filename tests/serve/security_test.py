#!/usr/bin/env python3
"""velko serve and velko hq against what a careless client or one compromised shop login sends.

Each attack that once took a program down, made it lie or exhausted it is replayed against the
real programs, and must now end as specified: the process alive, the answer's status, nothing
stored, memory under a bound.

Usage: security_test.py VELKO VELKO_SIM
"""
import http.client
import json
import os
import select
import shutil
import socket
import ssl
import subprocess
import sys
import tempfile
import time
import unittest

VELKO, SIM = sys.argv[1], sys.argv[2]
TOKEN = "operate-secret-for-the-test"
DEEP = "[" * 200000 + '"1"' + "]" * 200000


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))


def wait_until(check, seconds=30):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if check():
            return True
        time.sleep(0.1)
    return False


class Program:
    """A program of ours on a port of the test's, its output in a file."""

    def __init__(self, work, name, args):
        self.log = open(os.path.join(work, name + ".log"), "w+")
        self.proc = subprocess.Popen(args, stdout=self.log, stderr=subprocess.STDOUT, text=True)

    def alive(self):
        return self.proc.poll() is None

    def stop(self):
        if self.alive():
            self.proc.terminate()
            self.proc.wait(timeout=30)
        self.log.close()


def call(port, method, path, body=None, token=TOKEN, headers=None):
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    h = {"Authorization": "Bearer " + token} if token else {}
    h.update(headers or {})
    conn.request(method, path, body=body, headers=h)
    r = conn.getresponse()
    data = r.read()
    conn.close()
    return r.status, data


class Serve(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="velko-security-")
        self.sim = subprocess.Popen([SIM], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        line = self.sim.stdout.readline().decode().strip()
        self.port = free_port()
        self.config = os.path.join(self.work, "velko.toml")
        with open(self.config, "w") as f:
            f.write('listen = "127.0.0.1:%d"\ndata = "%s"\n' % (self.port, self.work + "/data"))
            f.write('[[token]]\nname = "office"\nsecret = "%s"\nrole = "operate"\n' % TOKEN)
            f.write('[[device]]\nname = "till-1"\nline = "%s"\n' % line)
        self.serve = Program(self.work, "serve", [VELKO, "serve", "--config", self.config])
        self.assertTrue(wait_until(lambda: self.up()), "velko serve did not start")

    def tearDown(self):
        self.serve.stop()
        self.sim.terminate()
        self.sim.wait()
        self.sim.stdout.close()
        shutil.rmtree(self.work)

    def connect_from(self, address):
        """A connection from another loopback address: another client, as the service counts."""
        s = socket.socket()
        s.bind((address, 0))
        s.connect(("127.0.0.1", self.port))
        return s

    def up(self):
        try:
            return call(self.port, "GET", "/api/health", token=None)[0] == 200
        except OSError:
            return False

    def test_attacks_end_as_specified(self):
        attacks = [
            # Nesting that took the stack with it is a fault of the list.
            ("POST", "/api/check?kind=delete", DEEP, {"Content-Type": "application/json"}, 422),
            # A key that is not text could not be written to the log's events.
            ("POST", "/api/devices/till-1/download", b"", {"Idempotency-Key": b"caf\xe9"}, 400),
            # A misspelt option is named, not passed over (a sync would delete articles).
            ("POST", "/api/devices/till-1/sync?dry-run=1", "code,name,price\n1,A,1\n", {}, 400),
            ("GET", "/api/jobs?since=yesterday", None, {}, 400),
            ("GET", "/api/jobs?state=bogus", None, {}, 400),
            ("GET", "/api/reports?from=2026-02-30", None, {}, 400),
            # A page elsewhere whose name resolves here is not answered.
            ("GET", "/api/devices", None, {"Host": "rebind.example"}, 421),
        ]
        for method, path, body, headers, status in attacks:
            got, data = call(self.port, method, path, body, headers=headers)
            self.assertEqual(got, status, "%s %s: %s" % (method, path, data[:300]))
            self.assertTrue(self.serve.alive(), "velko serve ended after %s %s" % (method, path))

        # One key, one request: another device under the same key is refused, not dropped.
        key = {"Idempotency-Key": "close-tonight"}
        self.assertEqual(call(self.port, "POST", "/api/devices/till-1/download", b"",
                              headers=key)[0], 202)
        self.assertEqual(call(self.port, "POST", "/api/devices/till-1/zero-counters", b"",
                              headers=key)[0], 422)
        status, data = call(self.port, "GET", "/api/jobs")
        self.assertEqual([j["kind"] for j in json.loads(data)["jobs"]], ["download"])

        # A second service on the port is a fault at its start, never a second listener.
        second = subprocess.run([VELKO, "serve", "--config", self.config, "--data",
                                 self.work + "/other"], capture_output=True, text=True,
                                timeout=60)
        self.assertEqual(second.returncode, 2, second.stderr)
        self.assertIn("cannot listen", second.stderr)

        # Bodies are not read before the token is checked: a hundred clients without one that
        # announce 8 MiB and send a little get 401 at once, and the service stays small.
        before = rss_kib(self.serve.proc.pid)
        clients = []
        for n in range(100):
            s = self.connect_from("127.0.1.%d" % (n % 5 + 1))
            s.sendall(b"POST /api/devices/till-1/upload HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                      b"Content-Type: text/csv\r\nContent-Length: 8388608\r\n\r\n" +
                      b"x" * 65536)
            clients.append(s)
        for s in clients:
            s.settimeout(30)
            self.assertTrue(s.recv(64).startswith(b"HTTP/1.1 401"))
            s.close()
        self.assertLess(rss_kib(self.serve.proc.pid) - before, 64 * 1024)

        # A client that trickles its headers is cut off, and one address cannot hold every
        # connection: the rest of the shop is answered meanwhile, and the service stays small.
        slow = [self.connect_from("127.0.0.3") for _ in range(40)]
        for s in slow:
            s.sendall(b"GET /api/health HTTP/1.1\r\n")
        time.sleep(1)
        refused = [s for s in slow if select.select([s], [], [], 0)[0]]
        self.assertEqual([s.recv(64)[:12] for s in refused], [b"HTTP/1.1 503"] * 8)
        slow = [s for s in slow if s not in refused]
        for s in refused:
            s.close()
        for _ in range(4):
            for s in slow:
                s.sendall(b"X-Slow: 1\r\n")
            self.assertEqual(call(self.port, "GET", "/api/health", token=None)[0], 200)
            time.sleep(2)
        for s in slow:
            s.settimeout(60)
            self.assertEqual(s.recv(64)[:12], b"HTTP/1.1 408")
            s.close()
        self.assertLess(rss_kib(self.serve.proc.pid) - before, 64 * 1024)

        # Event streams hold a thread each: one token gets eight, the ninth waits its turn,
        # and a stream that ends gives its place back.
        def stream():
            s = socket.create_connection(("127.0.0.1", self.port))
            s.sendall(b"GET /api/events HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer "
                      + TOKEN.encode() + b"\r\n\r\n")
            s.settimeout(30)
            return s, s.recv(64)
        streams = [stream() for _ in range(9)]
        self.assertEqual([head[:12] for _, head in streams],
                         [b"HTTP/1.1 200"] * 8 + [b"HTTP/1.1 429"])
        for s, _ in streams:
            s.close()
        self.assertTrue(wait_until(lambda: stream()[1].startswith(b"HTTP/1.1 200")))

        # Answers carry what keeps a browser from misreading or framing them.
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=30)
        conn.request("GET", "/")
        r = conn.getresponse()
        r.read()
        self.assertEqual(r.getheader("X-Content-Type-Options"), "nosniff")
        self.assertIn("frame-ancestors 'none'", r.getheader("Content-Security-Policy"))
        conn.close()
        self.assertEqual(os.stat(self.work + "/data").st_mode & 0o077, 0)
        self.assertTrue(self.serve.alive())


    def test_https_of_its_own(self):
        cert, key = self.work + "/velko.pem", self.work + "/velko.key"
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                        "-subj", "/CN=localhost", "-keyout", key, "-out", cert],
                       capture_output=True, check=True)
        port = free_port()
        config = self.work + "/tls.toml"
        with open(self.config) as f, open(config, "w") as out:
            out.write('tls_cert = "%s"\ntls_key = "%s"\n' % (cert, cert) +
                      f.read().replace(str(self.port), str(port)))
        # A key that is not the certificate's is a fault at start, named.
        wrong = subprocess.run([VELKO, "serve", "--config", config, "--data", self.work + "/t"],
                               capture_output=True, text=True, timeout=60)
        self.assertEqual(wrong.returncode, 2, wrong.stderr)
        self.assertIn("tls_key: the key in", wrong.stderr)
        with open(config) as f:
            text = f.read().replace('tls_key = "%s"' % cert, 'tls_key = "%s"' % key)
        with open(config, "w") as f:
            f.write(text)
        tls = Program(self.work, "tls", [VELKO, "serve", "--config", config, "--data",
                                         self.work + "/t"])
        try:
            context = ssl.create_default_context(cafile=cert)

            def https_health():
                try:
                    conn = http.client.HTTPSConnection("localhost", port, timeout=30,
                                                       context=context)
                    conn.request("GET", "/api/health")
                    return conn.getresponse().status == 200
                except OSError:
                    return False
            self.assertTrue(wait_until(https_health), "no answer over HTTPS: " +
                            open(self.work + "/tls.log").read())
            # Plain HTTP to the HTTPS port is told to use HTTPS.
            with socket.create_connection(("127.0.0.1", port)) as s:
                s.sendall(b"GET /api/health HTTP/1.1\r\nHost: localhost\r\n\r\n")
                s.settimeout(30)
                self.assertIn(b"this port speaks HTTPS", s.recv(300))
            self.assertTrue(https_health() and tls.alive())
        finally:
            tls.stop()


class HeadOffice(unittest.TestCase):
    def test_a_shop_cannot_take_head_office_down(self):
        if not shutil.which("mosquitto"):
            self.skipTest("mosquitto is not installed")
        work = tempfile.mkdtemp(prefix="velko-security-hq-")
        broker_port, port = free_port(), free_port()
        with open(work + "/mosquitto.conf", "w") as f:
            f.write("listener %d 127.0.0.1\nallow_anonymous true\n" % broker_port)
        broker = Program(work, "mosquitto", ["mosquitto", "-c", work + "/mosquitto.conf"])
        with open(work + "/hq.toml", "w") as f:
            f.write('broker = "mqtt://127.0.0.1:%d"\ndata = "%s"\nlisten = "127.0.0.1:%d"\n'
                    % (broker_port, work + "/data", port))
            f.write('[[token]]\nname = "office"\nsecret = "%s"\n' % TOKEN)
        hq = None
        try:
            self.assertTrue(wait_until(lambda: subprocess.run(
                ["mosquitto_pub", "-p", str(broker_port), "-t", "probe", "-m", "x"]).returncode
                == 0))
            # Retained, so that the broker hands it back at every start of head office.
            subprocess.run(["mosquitto_pub", "-p", str(broker_port), "-r", "-q", "1", "-t",
                            "velko/shop-1/till-1/pricelist/reported", "-s"], input=DEEP.encode(),
                           check=True)
            for _ in range(2):
                hq = Program(work, "hq", [VELKO, "hq", "--config", work + "/hq.toml"])

                def healthy():
                    try:
                        status, data = call(port, "GET", "/api/health", token=None)
                        return status == 200 and json.loads(data)["broker"]
                    except OSError:
                        return False
                self.assertTrue(wait_until(healthy), "velko hq did not come up")
                time.sleep(1)  # the retained message is handed over on subscribing
                self.assertTrue(hq.alive(), "velko hq ended on a deep message")
                # Refused, said and counted.
                self.assertGreaterEqual(json.loads(call(port, "GET", "/api/health")[1])
                                        ["refused"], 1)
                # Its API takes no bodies: a large one is refused before a byte of it is read.
                s = socket.create_connection(("127.0.0.1", port))
                s.sendall(b"POST /api/status HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                          b"Content-Length: 1073741824\r\n\r\n")
                s.settimeout(30)
                self.assertTrue(s.recv(64).startswith(b"HTTP/1.1 413"))
                s.close()
                self.assertEqual(call(port, "GET", "/api/status?x=1")[0], 400)
                hq.stop()
            with open(work + "/hq.log") as f:
                self.assertIn("refused: the JSON is nested deeper than 32 levels", f.read())
        finally:
            if hq:
                hq.stop()
            broker.stop()
            shutil.rmtree(work)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
