#!/usr/bin/env python3
"""velko serve as a back office meets it: over HTTP, with simulated devices on pseudo-terminals.

Flows that need the real program: a job watched through the event stream to its result, a
cancelled job, a line that comes back, and kill -9 in the middle of an upload and of a close of
day, after which every accepted job is in the log with a true state and no report is lost.

Usage: service_test.py VELKO VELKO_SIM
"""
import http.client
import json
import os
import signal
import sqlite3
import subprocess
import sys
import tempfile
import threading
import time
import unittest

VELKO, SIM = sys.argv[1], sys.argv[2]
TOKEN = "operate-secret-for-the-test"
READER = "read-secret-for-the-test"


def price_list(count):
    rows = ["kod;nazwa;cena;stawka VAT"]
    rows += ["%d;ARTYKUŁ %d;%d,%02d;23" % (1000 + i, i, 1 + i % 9, i % 100) for i in range(count)]
    return ("\n".join(rows) + "\n").encode("utf-8")


class Sim:
    def __init__(self, work, name, *options, link=None):
        args = [SIM, "--pace", *options]
        if link:
            args += ["--link", link]
        self.proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.path = self.proc.stdout.readline().decode().strip()

    def stop(self):
        self.proc.terminate()
        self.proc.wait()
        self.proc.stdout.close()


class Service:
    """velko serve on a configuration of the test's, restartable on the same data."""

    def __init__(self, work, devices):
        self.work = work
        self.config = os.path.join(work, "velko.toml")
        with open(self.config, "w") as f:
            f.write('data = "%s"\n' % os.path.join(work, "data"))
            f.write('[[token]]\nname = "office"\nsecret = "%s"\nrole = "operate"\n' % TOKEN)
            f.write('[[token]]\nname = "counter"\nsecret = "%s"\nrole = "read"\n' % READER)
            for name, line in devices:
                f.write('[[device]]\nname = "%s"\nline = "%s"\ngroup = "shop"\n' % (name, line))
        self.start()

    def start(self):
        self.proc = subprocess.Popen([VELKO, "serve", "--config", self.config, "--listen",
                                      "127.0.0.1:0"], stdout=subprocess.PIPE, text=True)
        line = self.proc.stdout.readline()
        assert "listening on http://" in line, line
        self.port = int(line.rsplit(":", 1)[1].strip("/\n"))

    def kill(self):
        self.proc.send_signal(signal.SIGKILL)
        self.proc.wait()
        self.proc.stdout.close()

    def stop(self):
        self.proc.terminate()
        self.proc.wait(timeout=30)
        self.proc.stdout.close()

    def call(self, method, path, body=None, token=TOKEN, headers=None):
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=30)
        h = {"Authorization": "Bearer " + token} if token else {}
        h.update(headers or {})
        if body is None and method == "POST":
            body = b""
        conn.request(method, path, body=body, headers=h)
        r = conn.getresponse()
        data = r.read()
        conn.close()
        is_json = r.getheader("Content-Type", "").startswith("application/json")
        return r.status, (json.loads(data) if is_json and data else data), r

    def wait_job(self, job_id, until=("done", "failed", "interrupted", "cancelled"), timeout=60):
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            _, job, _ = self.call("GET", "/api/jobs/%d" % job_id)
            if job["state"] in until:
                return job
            time.sleep(0.1)
        raise AssertionError("job %d never reached %s: %s" % (job_id, until, job))

    def integrity(self):
        db = sqlite3.connect(os.path.join(self.work, "data", "velko.db"))
        try:
            return db.execute("PRAGMA integrity_check").fetchone()[0]
        finally:
            db.close()


class ServiceTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.work = self.tmp.name
        self.sims = []
        self.service = None

    def tearDown(self):
        if self.service and self.service.proc.poll() is None:
            self.service.stop()
        for sim in self.sims:
            sim.stop()
        self.tmp.cleanup()

    def sim(self, name, *options, link=None):
        s = Sim(self.work, name, *options, link=link)
        self.sims.append(s)
        return s

    def test_a_job_is_watched_to_its_result_and_its_table_kept(self):
        till = self.sim("till-1")
        svc = self.service = Service(self.work, [("till-1", till.path)])
        events, stop = [], threading.Event()

        def listen():
            conn = http.client.HTTPConnection("127.0.0.1", svc.port, timeout=30)
            conn.request("GET", "/api/events", headers={"Authorization": "Bearer " + READER})
            r = conn.getresponse()
            while not stop.is_set():
                line = r.fp.readline().decode()
                if line.startswith("data: "):
                    events.append(json.loads(line[6:]))
            conn.close()

        listener = threading.Thread(target=listen, daemon=True)
        listener.start()
        time.sleep(0.3)
        status, job, r = svc.call("POST", "/api/devices/till-1/sync?verify=1", price_list(5),
                                  headers={"Content-Type": "text/csv"})
        self.assertEqual(status, 202)
        self.assertEqual(r.getheader("Location"), "/api/jobs/%d" % job["id"])
        done = svc.wait_job(job["id"])
        self.assertEqual(done["state"], "done", done)
        self.assertEqual(done["outcome"]["code"], 0)
        self.assertIn("verified", done["outcome"]["detail"])
        status, diff, _ = svc.call("GET", "/api/jobs/%d/result" % job["id"])
        self.assertEqual(diff, {"differences": []})
        # The event stream told the job's way from queued to done, with progress.
        deadline = time.monotonic() + 5
        while time.monotonic() < deadline and not any(
                e.get("id") == job["id"] and e.get("state") == "done" for e in events):
            time.sleep(0.1)
        states = [e["state"] for e in events if e.get("id") == job["id"]]
        self.assertEqual(states[0], "queued")
        self.assertIn("running", states)
        self.assertEqual(states[-1], "done")
        stop.set()

        # The table the sync left is known; a dry run against it answers without the device.
        _, devices, _ = svc.call("GET", "/api/devices", token=READER)
        self.assertEqual(devices["devices"][0]["articles_known"], 5)
        changed = price_list(5).replace(b"ARTYKU\xc5\x81 0;1,00", b"ARTYKU\xc5\x81 0;9,99")
        _, dry, _ = svc.call("POST", "/api/devices/till-1/sync?dry_run=1", changed)
        _, diff, _ = svc.call("GET", "/api/jobs/%d/result" % svc.wait_job(dry["id"])["id"])
        self.assertEqual(diff["differences"],
                         [{"code": "1000", "name": "ARTYKUŁ 0", "what": "change",
                           "field": "price", "list": "9.99", "device": "1.00"}])
        # A preview changed nothing: it is not the device's last job.
        self.assertTrue(svc.call("GET", "/api/jobs/%d" % dry["id"])[1]["preview"])
        device = svc.call("GET", "/api/devices")[1]["devices"][0]
        self.assertEqual(device["last_job"]["id"], job["id"])

        _, dl, _ = svc.call("POST", "/api/devices/till-1/download")
        svc.wait_job(dl["id"])
        status, text, r = svc.call("GET", "/api/jobs/%d/result" % dl["id"],
                                   headers={"Accept": "text/csv"})
        self.assertEqual(r.getheader("Content-Type"), "text/csv; charset=utf-8")
        self.assertIn("1004,ARTYKUŁ 4,5.04,0,1,0.000,0.00", text.decode())

        _, gone, _ = svc.call("POST", "/api/devices/till-1/delete", b'["1000", 1001]',
                              headers={"Content-Type": "application/json"})
        self.assertEqual(svc.wait_job(gone["id"])["counts"], "2 deleted")

        _, closing, _ = svc.call("POST", "/api/groups/shop/close-day")
        closed = svc.wait_job(closing["jobs"][0]["id"])
        self.assertEqual(closed["state"], "done", closed)
        status, text, r = svc.call("GET", "/api/reports/%d?excel=1" % closed["report"],
                                   headers={"Accept": "text/csv"})
        self.assertTrue(text.startswith(b"\xef\xbb\xbfcode;name;price"), text[:40])
        self.assertIn("attachment", r.getheader("Content-Disposition"))

        # A scan asks the line which numbers answer (this simulator answers any).
        _, scan, _ = svc.call("POST", "/api/devices/till-1/scan?numbers=0-2")
        self.assertEqual(svc.wait_job(scan["id"])["outcome"]["detail"], "devices 0, 1, 2 answered")
        _, text, _ = svc.call("GET", "/api/jobs/%d/result" % scan["id"],
                              headers={"Accept": "text/csv"})
        self.assertEqual(text.decode().splitlines()[:2], ["number,session", "0,"])

    def test_a_cancelled_job_sends_nothing_more(self):
        till = self.sim("till-1")
        svc = self.service = Service(self.work, [("till-1", till.path)])
        _, first, _ = svc.call("POST", "/api/devices/till-1/upload", price_list(40))
        _, second, _ = svc.call("POST", "/api/devices/till-1/upload", price_list(3))
        status, job, _ = svc.call("DELETE", "/api/jobs/%d" % second["id"])
        self.assertEqual((status, job["state"]), (200, "cancelled"))
        svc.wait_job(first["id"], until=("running",))
        while svc.call("GET", "/api/jobs/%d" % first["id"])[1]["progress"]["done"] < 2:
            time.sleep(0.1)
        self.assertEqual(svc.call("DELETE", "/api/jobs/%d" % first["id"])[0], 200)
        ended = svc.wait_job(first["id"])
        self.assertEqual(ended["state"], "cancelled", ended)
        self.assertIn("the rest not", ended["outcome"]["detail"])
        self.assertEqual(svc.call("DELETE", "/api/jobs/%d" % first["id"])[0], 409)
        # A body in chunks would pass the size limit: it is refused before it is read.
        conn = http.client.HTTPConnection("127.0.0.1", svc.port, timeout=30)
        conn.request("POST", "/api/check", body=iter([b"code,name,price\n"] * 3),
                     headers={"Authorization": "Bearer " + TOKEN}, encode_chunked=True)
        self.assertEqual(conn.getresponse().status, 411)
        conn.close()

    def test_a_line_that_comes_back_is_used_without_a_restart(self):
        link = os.path.join(self.work, "ttyLATER")
        svc = self.service = Service(self.work, [("till-1", link)])

        def state():
            return svc.call("GET", "/api/devices")[1]["devices"][0]["state"]

        deadline = time.monotonic() + 10
        while state() != "unreachable" and time.monotonic() < deadline:
            time.sleep(0.2)
        self.assertEqual(state(), "unreachable")
        _, job, _ = svc.call("POST", "/api/devices/till-1/download")
        failed = svc.wait_job(job["id"])
        self.assertEqual((failed["state"], failed["outcome"]["name"]), ("failed", "VELKO_ERR_OPEN"))
        self.assertIn("ttyLATER", failed["outcome"]["detail"])
        # The failure stays on the device, with who asked for it, until a download is done.
        device = svc.call("GET", "/api/devices")[1]["devices"][0]
        self.assertEqual([(j["id"], j["by"]) for j in device["failed_jobs"]], [(job["id"], "office")])
        self.sim("till-1", link=link)
        deadline = time.monotonic() + 20
        while state() != "idle" and time.monotonic() < deadline:
            time.sleep(0.5)
        self.assertEqual(state(), "idle")
        _, job, _ = svc.call("POST", "/api/devices/till-1/download")
        self.assertEqual(svc.wait_job(job["id"])["state"], "done")
        self.assertEqual(svc.call("GET", "/api/devices")[1]["devices"][0]["failed_jobs"], [])
        self.assertEqual(len(svc.call("GET", "/api/jobs?by=office")[1]["jobs"]), 2)
        self.assertEqual(svc.call("GET", "/api/jobs?by=counter")[1]["jobs"], [])

    def test_kill_9_loses_no_job_and_no_report(self):
        till1 = self.sim("till-1")
        till2 = self.sim("till-2", "--zero-delay", "5000")
        svc = self.service = Service(self.work, [("till-1", till1.path), ("till-2", till2.path)])

        # In the middle of an upload, with another waiting behind it.
        _, running, _ = svc.call("POST", "/api/devices/till-1/upload", price_list(40),
                                 headers={"Idempotency-Key": "prices-1"})
        _, waiting, _ = svc.call("POST", "/api/devices/till-1/upload", price_list(2))
        while svc.call("GET", "/api/jobs/%d" % running["id"])[1]["progress"]["done"] < 3:
            time.sleep(0.1)
        svc.kill()
        svc.start()
        _, job, _ = svc.call("GET", "/api/jobs/%d" % running["id"])
        self.assertEqual(job["state"], "interrupted")
        self.assertIn("while the job ran", job["outcome"]["detail"])
        _, job, _ = svc.call("GET", "/api/jobs/%d" % waiting["id"])
        self.assertEqual(job["state"], "interrupted")
        self.assertIn("nothing was sent", job["outcome"]["detail"])
        # Asked again under its key, the upload is not run again.
        status, again, _ = svc.call("POST", "/api/devices/till-1/upload", price_list(40),
                                    headers={"Idempotency-Key": "prices-1"})
        self.assertEqual((status, again["id"], again["state"]), (200, running["id"], "interrupted"))

        # In the middle of a close of day: the report is saved, the reset is on its way.
        _, closing, _ = svc.call("POST", "/api/devices/till-2/close-day")
        deadline = time.monotonic() + 30
        while not svc.call("GET", "/api/reports")[1]["reports"] and time.monotonic() < deadline:
            time.sleep(0.05)
        svc.kill()
        svc.start()
        _, reports, _ = svc.call("GET", "/api/reports")
        self.assertEqual(len(reports["reports"]), 1)
        report = reports["reports"][0]
        self.assertEqual((report["device"], report["reset"]), ("till-2", "unconfirmed"))
        self.assertTrue(os.path.exists(os.path.join(self.work, "data", "reports", report["file"])))
        _, job, _ = svc.call("GET", "/api/jobs/%d" % closing["id"])
        self.assertEqual(job["state"], "interrupted")
        _, rows, _ = svc.call("GET", "/api/reports/%d" % report["id"])
        self.assertEqual(len(rows["rows"]), report["articles"])
        # The next close of day says the last one was not confirmed.
        _, closing, _ = svc.call("POST", "/api/devices/till-2/close-day")
        closed = svc.wait_job(closing["id"])
        self.assertEqual(closed["state"], "done", closed)
        self.assertIn("was not confirmed", closed["outcome"]["detail"])
        self.assertEqual(svc.integrity(), "ok")
        _, jobs, _ = svc.call("GET", "/api/jobs")
        self.assertEqual(len(jobs["jobs"]), 4)

    def test_a_promotion_comes_and_goes_and_survives_restarts(self):
        tills = [self.sim("till-1"), self.sim("till-2")]
        svc = self.service = Service(self.work, [("till-1", tills[0].path),
                                                 ("till-2", tills[1].path)])

        def table(device):
            _, job, _ = svc.call("POST", "/api/devices/%s/download" % device)
            self.assertEqual(svc.wait_job(job["id"])["state"], "done")
            rows = svc.call("GET", "/api/jobs/%d/result" % job["id"])[1]["articles"]
            return {r["code"]: r for r in rows}

        def moment(seconds):
            return time.strftime("%Y-%m-%dT%H:%M:%S+00:00", time.gmtime(time.time() + seconds))

        def promotion(pid, state, timeout=60):
            deadline = time.monotonic() + timeout
            while time.monotonic() < deadline:
                p = svc.call("GET", "/api/promotions/%d" % pid)[1]
                jobs = [d[k] for d in p["devices"] for k in ("start_job", "end_job") if d[k]]
                if p["state"] == state and all(
                        svc.wait_job(j)["state"] != "queued" for j in jobs):
                    for j in jobs:
                        svc.wait_job(j)
                    return p
                time.sleep(0.2)
            raise AssertionError("promotion %d never %s: %s" % (pid, state, p))

        for till in ("till-1", "till-2"):
            _, job, _ = svc.call("POST", "/api/devices/%s/upload" % till, price_list(5))
            svc.wait_job(job["id"])
        before = {t: table(t) for t in ("till-1", "till-2")}
        offer = "code,name,price\n1000,ARTYKUŁ 0,0.50\n1001,ARTYKUŁ 1,0.60\n".encode()
        query = "/api/promotions?starts_at=%s&ends_at=%s&devices=shop" % (moment(2), moment(14))
        status, made, _ = svc.call("POST", query, offer, headers={"Content-Type": "text/csv"})
        self.assertEqual(status, 201, made)
        # Another that changes 1001 on a till at an overlapping time is refused, naming it.
        status, clash, _ = svc.call(
            "POST", "/api/promotions?starts_at=%s&ends_at=%s&devices=till-2" % (moment(5), moment(60)),
            b"code,name,price\n1001,X,0.10\n", headers={"Content-Type": "text/csv"})
        self.assertEqual((status, clash["promotions"]), (409, [made["id"]]))

        promotion(made["id"], "started")
        during = {t: table(t) for t in ("till-1", "till-2")}
        for till in ("till-1", "till-2"):
            for code in before[till]:
                want = dict(before[till][code])
                want["price"] = {"1000": "0.50", "1001": "0.60"}.get(code, want["price"])
                self.assertEqual(during[till][code], want, (till, code))
        # The shelf label's lowest price: the one before the promotion.
        _, lowest, _ = svc.call("GET", "/api/prices/lowest?device=till-2&codes=1000")
        label = lowest["articles"][0]
        self.assertEqual((label["price"], label["lowest"], label["reduction"]),
                         ("0.50", before["till-2"]["1000"]["price"], True))
        # Someone sets 1001 by hand on till-1 meanwhile: the end leaves it.
        _, job, _ = svc.call("POST", "/api/devices/till-1/upload",
                             "code,name,price\n1001,ARTYKUŁ 1,0.77\n".encode(),
                             headers={"Content-Type": "text/csv"})
        svc.wait_job(job["id"])
        ended = promotion(made["id"], "ended")
        notes = {d["device"]: d["note"] for d in ended["devices"]}
        self.assertIn("left as changed during the promotion: 1001", notes["till-1"])
        self.assertEqual(notes["till-2"], "2 restored")
        after = {t: table(t) for t in ("till-1", "till-2")}
        self.assertEqual(after["till-2"], before["till-2"])
        self.assertEqual(after["till-1"]["1001"]["price"], "0.77")
        self.assertEqual(after["till-1"]["1000"], before["till-1"]["1000"])

        # A service down over a start starts it when it comes back, and one down over an end
        # ends it then.
        # (Its end far enough off for a slow machine to start it and stop again before.)
        ends = time.time() + 25
        query = "/api/promotions?starts_at=%s&ends_at=%s&devices=till-2" % (
            moment(1), moment(ends - time.time()))
        _, late, _ = svc.call("POST", query, offer, headers={"Content-Type": "text/csv"})
        svc.stop()
        time.sleep(2)
        svc.start()
        promotion(late["id"], "started")
        svc.stop()
        time.sleep(max(0, ends + 1 - time.time()))
        svc.start()
        promotion(late["id"], "ended")
        self.assertEqual(table("till-2"), before["till-2"])
        # The price history has every step: up to the promotion, down, and back.
        _, history, _ = svc.call("GET", "/api/prices/1000/history?device=till-2")
        prices = [h["price"] for h in history["devices"][0]["history"]]
        self.assertEqual(prices, [before["till-2"]["1000"]["price"], "0.50",
                                  before["till-2"]["1000"]["price"], "0.50",
                                  before["till-2"]["1000"]["price"]])


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
