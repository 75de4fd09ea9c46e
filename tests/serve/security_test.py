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
import sqlite3
import ssl
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "common"))
from chain_broker import Broker, free_port  # noqa: E402

VELKO, SIM = sys.argv[1], sys.argv[2]
TOKEN = "operate-secret-for-the-test"
DEEP = "[" * 200000 + '"1"' + "]" * 200000


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


def head_attacks(test, port, program):
    """Heads over their bounds get 431 at once, from four clients at a time, and nothing of them
    is kept: the program stays small and answers the next client."""
    before = rss_kib(program.proc.pid)
    for head in (b"X-A: 1\r\n" * 20000, b"X-Long: " + b"a" * (80 * 1024) + b"\r\n"):
        clients = []
        for _ in range(4):
            c = socket.create_connection(("127.0.0.1", port))
            c.sendall(b"GET /api/health HTTP/1.1\r\nHost: 127.0.0.1\r\n")
            try:
                c.sendall(head + b"\r\n")
            except OSError:
                pass  # cut off before it sent it all
            clients.append(c)
        for c in clients:
            c.settimeout(30)
            test.assertTrue(c.recv(64).startswith(b"HTTP/1.1 431"))
            c.close()
    # A hundred headers are a head still.
    status, _ = call(port, "GET", "/api/health", token=None,
                     headers={"X-H%d" % i: "1" for i in range(95)})
    test.assertEqual(status, 200)
    test.assertLess(rss_kib(program.proc.pid) - before, 32 * 1024)
    test.assertTrue(program.alive())


class Serve(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="velko-security-")
        args = []
        if self._testMethodName == "test_bounded_answers_a_failing_log_and_a_damaged_file":
            # Articles with sales, read at the line's own pace: a close of day takes seconds.
            with open(self.work + "/table.txt", "w") as f:
                for n in range(1, 151):
                    f.write("0;%d;ARTICLE %d;1;1.00;1;2.000;2.00;\n" % (n, n))
            args = ["--table", self.work + "/table.txt", "--pace"]
        self.sim = subprocess.Popen([SIM] + args, stdout=subprocess.PIPE,
                                    stderr=subprocess.DEVNULL)
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


    def test_bounded_answers_a_failing_log_and_a_damaged_file(self):
        head_attacks(self, self.port, self.serve)
        # A name that only begins with this machine's is anyone's.
        self.assertEqual(call(self.port, "GET", "/api/devices",
                              headers={"Host": socket.gethostname() + ".attacker.example"})[0],
                         421)
        self.assertEqual(call(self.port, "POST", "/api/promotions?starts_at=2099-01-01T00:00:00Z"
                              "&ends_at=9999-12-31T23:59:60Z", "code,name,price\n1,A,1\n")[0], 400)

        # Promotions are listed a page at a time, without their articles; one has them.
        for n in range(3):
            status, data = call(self.port, "POST",
                                "/api/promotions?starts_at=2099-01-0%dT08:00:00Z&ends_at="
                                "2099-01-0%dT20:00:00Z&devices=till-1" % (n + 1, n + 1),
                                "code,name,price\n%d,A,1\n%d,B,2\n" % (10 + n, 20 + n))
            self.assertEqual(status, 201, data)
        listed = json.loads(call(self.port, "GET", "/api/promotions?limit=2")[1])["promotions"]
        self.assertEqual([(p["article_count"], p["articles"]) for p in listed], [(2, None)] * 2)
        one = json.loads(call(self.port, "GET", "/api/promotions/%d" % listed[0]["id"])[1])
        self.assertEqual([a["code"] for a in one["articles"]], ["12", "22"])
        for query in ("state=bogus", "since=soon", "limit=0"):
            self.assertEqual(call(self.port, "GET", "/api/promotions?" + query)[0], 400, query)

        # The log stops taking writes while a close of day runs (another program holds it, as
        # a full disk would refuse it): the job fails at once with the cause, the counters
        # stay, and the service says it is degraded until the log takes writes again.
        def job(n):
            return json.loads(call(self.port, "GET", "/api/jobs/%d" % n)[1])
        status, data = call(self.port, "POST", "/api/devices/till-1/close-day", b"")
        self.assertEqual(status, 202, data)
        closing = json.loads(data)["id"]
        self.assertTrue(wait_until(lambda: job(closing)["state"] == "running"))
        holder = sqlite3.connect(self.work + "/data/velko.db", isolation_level=None, timeout=30)
        holder.execute("BEGIN EXCLUSIVE")
        try:
            self.assertTrue(wait_until(lambda: job(closing)["state"] == "failed", 60),
                            job(closing))
            self.assertIn("could not be written", job(closing)["outcome"]["detail"])
            health = json.loads(call(self.port, "GET", "/api/health", token=None)[1])
            self.assertEqual(health["status"], "degraded")
            self.assertIn("could not be written", health["reason"])
        finally:
            holder.execute("ROLLBACK")
            holder.close()
        status, data = call(self.port, "POST", "/api/devices/till-1/download", b"")
        download = json.loads(data)["id"]
        self.assertTrue(wait_until(lambda: job(download)["state"] == "done", 60), job(download))
        result = json.loads(call(self.port, "GET", "/api/jobs/%d/result" % download)[1])
        self.assertEqual({a["quantity"] for a in result["articles"]}, {"2.000"},
                         "the counters were zeroed by a close of day that was not recorded")
        # The log has the close of day failed, as the service said.
        self.assertEqual(job(closing)["state"], "failed")
        health = json.loads(call(self.port, "GET", "/api/health", token=None)[1])
        self.assertEqual(health["status"], "up")

        # A damaged file: the service does not start on it, and says how to recover.
        self.serve.stop()
        db = sqlite3.connect(self.work + "/data/velko.db")
        page = db.execute("PRAGMA page_size").fetchone()[0]
        root = db.execute("SELECT rootpage FROM sqlite_master WHERE type = 'index' AND "
                          "rootpage > 1 ORDER BY rootpage DESC LIMIT 1").fetchone()[0]
        db.execute("PRAGMA wal_checkpoint(TRUNCATE)")
        db.close()
        with open(self.work + "/data/velko.db", "r+b") as f:
            f.seek((root - 1) * page)
            f.write(b"\xff" * page)
        damaged = subprocess.run([VELKO, "serve", "--config", self.config], capture_output=True,
                                 text=True, timeout=60)
        self.assertNotEqual(damaged.returncode, 0)
        self.assertIn("is damaged", damaged.stderr)
        self.assertIn(".recover", damaged.stderr)

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
                self.assertIn(b"this port speaks HTTPS", s.makefile("rb").read())
            self.assertTrue(https_health() and tls.alive())
        finally:
            tls.stop()


class HeadOffice(unittest.TestCase):
    """Head office and the broker as shipped, against what one shop's login (shop-2) sends."""

    def test_a_shop_cannot_blind_or_exhaust_head_office(self):
        if not shutil.which("mosquitto"):
            self.skipTest("mosquitto is not installed")
        work = tempfile.mkdtemp(prefix="velko-security-hq-")
        mq = Broker(work, {"head-office": "head-office", "head-office-tool": "head-office",
                           "shop-1": "shop", "shop-2": "shop"})
        port = free_port()
        with open(work + "/hq.toml", "w") as f:
            f.write('broker = "mqtt://127.0.0.1:%d"\ndata = "%s"\nlisten = "127.0.0.1:%d"\n'
                    'username = "head-office"\npassword = "head-office-password"\n'
                    'tool_username = "head-office-tool"\n'
                    'tool_password = "head-office-tool-password"\n'
                    % (mq.port, work + "/data", port))
            f.write('[[token]]\nname = "office"\nsecret = "%s"\n' % TOKEN)
        hq = None

        def status(query=""):
            return json.loads(call(port, "GET", "/api/status" + query)[1])

        def retained(topic_filter):
            out = subprocess.run(["mosquitto_sub", *mq.options("head-office-tool"), "-t",
                                  topic_filter, "--retained-only", "-W", "2", "-v"],
                                 capture_output=True)
            return out.stdout.splitlines()

        try:
            # No shop's login may join head office's shared subscription, nor read any other
            # shop's topics; its own it may.
            for topic_filter in ("$share/velko-hq/velko/+/status", "$share/x/velko/#",
                                 "velko/+/status", "velko/#", "velko/shop-1/command/+", "#"):
                self.assertEqual(mq.granted("shop-2", topic_filter), 128, topic_filter)
            self.assertEqual(mq.granted("shop-2", "velko/shop-2/command/+"), 1)
            # Retained before head office starts: a deep list, a flood of devices nobody
            # announced, an oversized presence; each is refused and cleared from the broker.
            mq.publish("shop-2", "velko/shop-2/till-1/pricelist/reported", DEEP, retain=True)
            for n in range(20):
                mq.publish("shop-2", "velko/shop-2/flood%d/pricelist/reported" % n,
                           '{"version": 1, "state": "verified"}', retain=True)
            mq.publish("shop-1", "velko/shop-1/status",
                       '{"state": "online", "devices": ["%s"]}' % ("x" * (1 << 20)), retain=True)
            hq = Program(work, "hq", [VELKO, "hq", "--config", work + "/hq.toml"])

            def healthy():
                try:
                    status, data = call(port, "GET", "/api/health", token=None)
                    return status == 200 and json.loads(data)["broker"]
                except OSError:
                    return False
            self.assertTrue(wait_until(healthy), "velko hq did not come up")
            self.assertTrue(wait_until(lambda: json.loads(call(port, "GET", "/api/health")[1])
                                       ["refused"] >= 22))
            self.assertTrue(wait_until(lambda: retained("velko/#") == []),
                            retained("velko/#")[:3])
            self.assertEqual(status()["devices"], [])
            with open(work + "/hq.log") as f:
                log = f.read()
            self.assertIn("refused: the JSON is nested deeper than 32 levels", log)
            self.assertIn("is neither in its shop's presence nor in the register", log)
            self.assertIn("for such a message", log)

            # Answers head office never asked for are refused, large or small.
            mq.publish("shop-2", "velko/shop-2/result/promotion-ANY",
                       '{"devices": [{"device": "till-1", "note": "%s"}]}' % ("x" * (2 << 20)))
            mq.publish("shop-2", "velko/shop-2/result/promotion-ANY",
                       '{"devices": [{"device": "till-1", "state": "ended"}]}')
            mq.publish("shop-2", "velko/shop-2/result/cmd-1", '{"state": "done"}')
            self.assertTrue(wait_until(lambda: "sent nothing under 'cmd-1'" in
                                       open(work + "/hq.log").read()))
            self.assertEqual(status()["promotions"], [])
            self.assertEqual(json.loads(call(port, "GET", "/api/commands/cmd-1")[1])["answers"],
                             {})

            # The picture comes a page at a time.
            for shop in ("shop-1", "shop-2"):
                mq.publish(shop, "velko/%s/status" % shop, json.dumps(
                    {"state": "online", "since": "2026-12-10T08:00:00Z",
                     "at": "2026-12-10T08:00:00Z", "started": "2026-12-10T08:00:00Z", "seq": 1,
                     "devices": ["till-1", "till-2"]}), retain=True)
            self.assertTrue(wait_until(lambda: len(status()["devices"]) == 4))
            page = status("?limit=1&store=shop-2")
            self.assertEqual(([s["store"] for s in page["stores"]],
                              [d["device"] for d in page["devices"]], page["more"]),
                             (["shop-2"], ["till-1"], True))
            self.assertEqual(call(port, "GET", "/api/status?limit=0")[0], 400)

            head_attacks(self, port, hq)
            # Its API takes no bodies: a large one is refused before a byte of it is read.
            s = socket.create_connection(("127.0.0.1", port))
            s.sendall(b"POST /api/status HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                      b"Content-Length: 1073741824\r\n\r\n")
            s.settimeout(30)
            self.assertTrue(s.recv(64).startswith(b"HTTP/1.1 413"))
            s.close()
            self.assertEqual(call(port, "GET", "/api/status?x=1")[0], 400)
            self.assertTrue(hq.alive())
        finally:
            if hq:
                hq.stop()
            mq.stop()
            shutil.rmtree(work)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
