#!/usr/bin/env python3
"""A shop's velko serve and its head office through a real Mosquitto, with the example access
list: presence as a retained status and a last will, day reports out of the outbox (kept
through a broker outage, sent once the broker is back), and a shop that cannot write under
another's topics. Head office's side is played by mosquitto_sub logged in as head-office.

Usage: head_office_test.py VELKO VELKO_SIM REPO
"""
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.error
import urllib.request

import postgres

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "common"))
from chain_broker import Broker, free_port, listening, wait_for  # noqa: E402

VELKO, SIM, REPO = sys.argv[1], sys.argv[2], sys.argv[3]
TOKEN = "head-office-test-secret-1"


# Generous: under load, and the shops try a broker that was away at most every 30 s.
def wait(what, check, seconds=90):
    return wait_for(what, check, seconds)


class HeadOfficeTest(unittest.TestCase):
    def setUp(self):
        if not shutil.which("mosquitto"):
            self.skipTest("mosquitto is not installed")
        self.tmp = tempfile.TemporaryDirectory()
        self.work = self.tmp.name
        # Started by root, mosquitto drops to its own user, which must read its files here.
        os.chmod(self.work, 0o755)
        self.procs = []
        # As shipped, with the test's own reader (as head office would read) and a second
        # head office; the broker keeps sessions across its restarts, so head office's
        # subscription holds what the shops send while it reconnects.
        logins = {name: "head-office" for name in ("head-office", "head-office-2",
                                                    "head-office-tool", "observer")}
        logins.update({name: "shop" for name in ("shop-1", "shop-2", "shop-3")})
        self.mq = Broker(self.work, logins)
        self.port = self.mq.port
        self.heard = os.path.join(self.work, "heard")
        self.listen()

    def tearDown(self):
        self.mq.stop(signal.SIGKILL)
        for p in self.procs:
            if p.poll() is None:
                p.kill()
            p.wait()
        self.tmp.cleanup()

    def spawn(self, args, **kw):
        p = subprocess.Popen(args, **kw)
        self.procs.append(p)
        return p

    def listen(self):
        """Head office: every message under velko/, one per line, appended to self.heard."""
        with open(self.heard, "a") as out:
            self.spawn(["mosquitto_sub", "-h", "127.0.0.1", "-p", str(self.port), "-u", "observer",
                        "-P", "observer-password", "-q", "1", "-t", "velko/#", "-v"],
                       stdout=out)
        # Listening once it hears itself: a message sent before that would be missed.
        probe = "probe-%d" % time.monotonic_ns()

        def heard_probe():
            subprocess.run(["mosquitto_pub", "-h", "127.0.0.1", "-p", str(self.port), "-u",
                            "head-office-tool", "-P", "head-office-tool-password", "-t",
                            "velko/probe",
                            "-m", probe], check=True)
            time.sleep(0.2)
            return "velko/probe " + probe in self.heard_lines()
        wait("head office listens", heard_probe)

    def heard_lines(self):
        with open(self.heard) as f:
            return f.read().splitlines()

    def day_reports(self):
        return [json.loads(line.split(" ", 1)[1]) for line in self.heard_lines()
                if "/closeday/" in line.split(" ", 1)[0]]

    def health(self):
        with urllib.request.urlopen("http://127.0.0.1:%d/api/health" % self.http) as r:
            return json.load(r)["head_office"]

    def post(self, path):
        req = urllib.request.Request("http://127.0.0.1:%d%s" % (self.http, path), data=b"",
                                     headers={"Authorization": "Bearer " + TOKEN})
        with urllib.request.urlopen(req) as r:
            return json.load(r)

    def job(self, job_id):
        req = urllib.request.Request("http://127.0.0.1:%d/api/jobs/%d" % (self.http, job_id),
                                     headers={"Authorization": "Bearer " + TOKEN})
        with urllib.request.urlopen(req) as r:
            return json.load(r)

    def close_day(self, n=None):
        if n:
            self.http = self.shops[n][1]
        job = self.post("/api/devices/till-1/close-day")
        done = wait("the close of day ends",
                    lambda: (lambda j: j if j["state"] not in ("queued", "running") else None)(
                        self.job(job["id"])))
        self.assertEqual(done["state"], "done", done)

    def start_shop(self, n=1):
        """velko serve for shop-N with till-1 on velko-sim; returns the service's process."""
        self.shops = getattr(self, "shops", {})
        if n not in self.shops:
            sim = self.spawn([SIM], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
            self.shops[n] = (sim.stdout.readline().decode().strip(), free_port())
        line, self.http = self.shops[n]
        config = os.path.join(self.work, "velko-%d.toml" % n)
        with open(config, "w") as f:
            f.write('listen = "127.0.0.1:%d"\ndata = "%s"\n' %
                    (self.http, os.path.join(self.work, "data-%d" % n)))
            f.write('[[token]]\nname = "o"\nsecret = "%s"\nrole = "operate"\n' % TOKEN)
            f.write('[[device]]\nname = "till-1"\nline = "%s"\n' % line)
            f.write('[head_office]\nbroker = "%s"\nstore = "shop-%d"\nresend_seconds = 1\n' %
                    (getattr(self, "broker_url", "mqtt://127.0.0.1:%d" % self.port), n))
            if hasattr(self, "broker_ca"):
                f.write('ca = "%s"\n' % self.broker_ca)
            f.write('username = "shop-%d"\npassword = "shop-%d-password"\n' % (n, n))
        serve = self.spawn([VELKO, "serve", "--config", config], stdout=subprocess.DEVNULL)
        try:
            wait("the service", lambda: listening(self.http) or serve.poll() is not None)
            if serve.poll() is not None:
                raise AssertionError("velko serve for shop-%d ended with %d" % (n, serve.returncode))
        except AssertionError:
            if serve.poll() is None and shutil.which("gdb"):  # where it waits, to find out why
                subprocess.run(["gdb", "-p", str(serve.pid), "-batch", "-ex",
                                "thread apply all bt"], stdout=sys.stderr, stderr=sys.stderr)
            raise
        return serve

    def receipt(self, report, state="stored"):
        """Head office's word that it has stored a day report."""
        self.head_office_says("velko/%s/%s/receipt/%s" % (report["store"], report["device"],
                                                         report["business_day"]),
                              {"device": report["device"], "business_day": report["business_day"],
                               "version": report["version"], "state": state})

    def head_office_says(self, topic, message, retain=False):
        subprocess.run(["mosquitto_pub", "-h", "127.0.0.1", "-p", str(self.port), "-u",
                        "head-office-tool", "-P", "head-office-tool-password", "-q", "1", "-t",
                        topic,
                        "-m", json.dumps(message)] + (["-r"] if retain else []), check=True)

    def messages(self, topic):
        return [json.loads(line.split(" ", 1)[1]) for line in self.heard_lines()
                if line.split(" ", 1)[0] == topic]

    def states(self, shop):
        """The shop's presence as it said it, in order: online, offline."""
        return [m["state"] for m in self.messages("velko/%s/status" % shop)]

    def jobs(self, kind):
        req = urllib.request.Request("http://127.0.0.1:%d/api/jobs" % self.http,
                                     headers={"Authorization": "Bearer " + TOKEN})
        with urllib.request.urlopen(req) as r:
            return [j for j in json.load(r)["jobs"] if j["kind"] == kind]

    def test_price_lists_and_commands_from_head_office(self):
        serve = self.start_shop()
        desired, reported = ("velko/shop-1/till-1/pricelist/" + w for w in ("desired", "reported"))
        lista = [{"code": "5900001000017", "name": "CHLEB ŻYTNI", "price": "4.50"},
                 {"code": "123", "name": "KAWA", "price": "18.99", "group": 3},
                 {"code": "456", "name": "HERBATA", "price": "8.49"}]
        self.head_office_says(desired, {"version": 1, "articles": lista}, retain=True)
        first = wait("version 1", lambda: self.messages(reported))
        self.assertEqual((first[0]["version"], first[0]["state"]), (1, "verified"), first)
        checksum = first[0]["checksum"]
        # Delivered again, or older: nothing is run again.
        self.head_office_says(desired, {"version": 1, "articles": lista})
        self.head_office_says(desired, {"version": 2, "base": 1,
                                        "changes": {"put": [{"code": "123", "name": "KAWA",
                                                             "price": "19.49", "group": 3}],
                                                    "delete": ["456"]}}, retain=True)
        second = wait("version 2", lambda: self.messages(reported)[1:])
        self.assertEqual((second[0]["version"], second[0]["state"]), (2, "verified"), second)
        self.assertIn("1 changed, 1 deleted", second[0]["detail"])
        self.assertNotEqual(second[0]["checksum"], checksum)
        self.assertEqual(len(self.jobs("sync")), 2)
        req = urllib.request.Request("http://127.0.0.1:%d/api/devices" % self.http,
                                     headers={"Authorization": "Bearer " + TOKEN})
        with urllib.request.urlopen(req) as r:
            self.assertEqual(json.load(r)["devices"][0]["price_list"]["version"], 2)
        # A list that does not come to its checksum is refused, and nothing is sent.
        self.head_office_says(desired, {"version": 3, "checksum": "fnv1a64:0000000000000000",
                                        "articles": lista})
        third = wait("version 3", lambda: self.messages(reported)[2:])
        self.assertEqual(third[0]["state"], "refused")
        self.assertEqual(len(self.jobs("sync")), 2)

        # A command is answered once per id; asked again, from the job log.
        self.head_office_says("velko/shop-1/command/c-1", {"command": "download"})
        answer = wait("the answer", lambda: self.messages("velko/shop-1/result/c-1"))
        articles = answer[0]["jobs"][0]["result"]["articles"]
        self.assertEqual(sorted(a["code"] for a in articles), ["123", "5900001000017"])
        self.head_office_says("velko/shop-1/command/c-1", {"command": "download"})
        wait("answered again", lambda: self.messages("velko/shop-1/result/c-1")[1:])
        self.assertEqual(len(self.jobs("download")), 1)
        # A command that came after its expiry, or a close of day meant for another business
        # day, is answered so and not run.
        self.head_office_says("velko/shop-1/command/c-2",
                              {"command": "download", "expires": "2020-01-01T00:00:00Z"})
        self.head_office_says("velko/shop-1/command/c-3",
                              {"command": "close-day", "business_day": "2020-01-01"})
        for c in ("c-2", "c-3"):
            late = wait("the answer", lambda: self.messages("velko/shop-1/result/" + c))
            self.assertEqual(late[0]["state"], "expired", late)
        self.assertIn("2020-01-01", late[0]["error"])
        self.assertEqual((len(self.jobs("download")), len(self.jobs("close-day"))), (1, 0))

        # A shop that was offline gets the latest desired list when it is back, and only it.
        serve.send_signal(signal.SIGTERM)
        serve.wait()
        self.head_office_says(desired, {"version": 4, "articles": lista[:1]}, retain=True)
        self.head_office_says(desired, {"version": 5, "articles": lista[:2]}, retain=True)
        self.start_shop()
        latest = wait("version 5", lambda: self.messages(reported)[3:])
        self.assertEqual([m["version"] for m in latest], [5])
        self.assertEqual(latest[0]["state"], "verified")

    def test_day_reports_reach_head_office_once_the_broker_is_there(self):
        serve = self.start_shop()
        wait("online", lambda: "online" in self.states("shop-1"))

        self.close_day()
        first = wait("the day report", lambda: self.day_reports())
        self.assertEqual((first[0]["store"], first[0]["device"]), ("shop-1", "till-1"))
        self.assertEqual(len(first[0]["reports"]), 1)
        # The broker has it, but the day waits for head office's receipt, and is sent again
        # meanwhile; a receipt ends that.
        wait("sent again without a receipt", lambda: len(self.day_reports()) >= 2)
        waiting = self.health()["waiting_for_receipt"]
        self.assertEqual([(w["device"], w["business_day"]) for w in waiting],
                         [("till-1", first[0]["business_day"])])
        self.assertTrue(waiting[0]["since"])
        self.receipt(first[0])
        wait("an empty outbox", lambda: self.health()["outbox"] == 0)

        # The broker goes away: the day's second report waits in the outbox, and goes out
        # with the first once the broker is back, as one message of a higher version.
        self.mq.stop(signal.SIGTERM)
        wait("disconnected", lambda: not self.health()["connected"])
        self.close_day()
        self.assertEqual(self.health()["outbox"], 1)
        self.mq.start()
        self.listen()
        second = wait("the day again", lambda: [r for r in self.day_reports()
                                                 if r["version"] > first[0]["version"]])
        self.assertEqual(second[-1]["business_day"], first[0]["business_day"])
        self.assertEqual(len(second[-1]["reports"]), 2)
        # A receipt of the first version leaves the second waiting.
        self.receipt(first[0])
        time.sleep(1)
        self.assertEqual(self.health()["outbox"], 1)
        self.receipt(second[-1])
        wait("the outbox receipted", lambda: self.health()["outbox"] == 0)

        # A shop may not speak for another.
        subprocess.run(["mosquitto_pub", "-h", "127.0.0.1", "-p", str(self.port), "-u", "shop-1",
                        "-P", "shop-1-password", "-q", "1", "-t", "velko/shop-2/status",
                        "-m", "forged"], check=True)
        # The shop's service dies: the broker says so for it.
        serve.send_signal(signal.SIGKILL)
        wait("offline", lambda: self.states("shop-1")[-1:] == ["offline"])
        self.assertNotIn("velko/shop-2/status forged", self.heard_lines())


    def hq(self, *args, check=True):
        out = subprocess.run([VELKO, "hq", "--config", os.path.join(self.work, "hq.toml"), *args],
                             check=check, capture_output=True, text=True).stdout
        return json.loads(out) if "--json" in args else out

    def test_a_chain_promotion_reaches_a_shop_that_was_away_at_its_start(self):
        with open(os.path.join(self.work, "hq.toml"), "w") as f:
            f.write('broker = "mqtt://127.0.0.1:%d"\nusername = "head-office"\n'
                    'password = "head-office-password"\ntool_username = "head-office-tool"\n'
                    'tool_password = "head-office-tool-password"\ndata = "%s"\n'
                    'listen = "127.0.0.1:%d"\n[[token]]\nname = "office"\nsecret = "%s"\n'
                    'role = "read"\n' % (self.port, os.path.join(self.work, "hq"), free_port(),
                                        TOKEN))
        self.spawn([VELKO, "hq", "--config", os.path.join(self.work, "hq.toml")],
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        shop = self.start_shop()

        def price(code):
            job = self.post("/api/devices/till-1/download")
            wait("the download", lambda: self.job(job["id"])["state"] == "done")
            req = urllib.request.Request(
                "http://127.0.0.1:%d/api/jobs/%d/result" % (self.http, job["id"]),
                headers={"Authorization": "Bearer " + TOKEN})
            with urllib.request.urlopen(req) as r:
                return {int(a["code"]): a["price"] for a in json.load(r)["articles"]}[int(code)]

        req = urllib.request.Request(
            "http://127.0.0.1:%d/api/devices/till-1/upload" % self.http,
            data="code,name,price,group\n5900001000017,CHLEB ŻYTNI,4.50,3\n".encode(),
            headers={"Authorization": "Bearer " + TOKEN, "Content-Type": "text/csv"})
        with urllib.request.urlopen(req) as r:
            uploaded = json.load(r)
        wait("the upload", lambda: self.job(uploaded["id"])["state"] == "done")
        before = price("5900001000017")
        shop.send_signal(signal.SIGTERM)
        shop.wait()
        offer = os.path.join(self.work, "offer.csv")
        with open(offer, "w") as f:
            f.write("code,name,price\n5900001000017,CHLEB ŻYTNI,0.99\n")
        moment = lambda s: time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(time.time() + s))
        promotion = self.hq("publish", "--store", "shop-1", "--device", "till-1", "--from",
                            moment(2), "--until", moment(30), offer).strip()
        time.sleep(3)  # it has started, and the shop was away

        def stands():
            return [p for p in self.hq("status", "--json")["promotions"]
                    if p["promotion"] == promotion and p["store"] == "shop-1"]

        self.start_shop()
        started = wait("the shop started it late", lambda: [
            p for p in stands() if p["state"] == "started" and p["start"] == "done"])
        self.assertEqual(started[0]["device"], "till-1")
        self.assertEqual(price("5900001000017"), "0.99")
        ended = wait("the shop ended it", lambda: [
            p for p in stands() if p["state"] == "ended" and p["end"] == "done"])
        self.assertEqual(ended[0]["note"], "1 restored")
        self.assertEqual(price("5900001000017"), before)

    def test_a_chain_of_three_shops_under_one_head_office(self):
        # Head office in PostgreSQL, as a large chain runs it, when it is installed.
        db = postgres.Server() if postgres.installed() else None
        if db:
            self.addCleanup(db.close)
        with open(os.path.join(self.work, "hq.toml"), "w") as f:
            f.write('broker = "mqtt://127.0.0.1:%d"\nusername = "head-office"\n' % self.port)
            if db:
                f.write('database = "%s"\n' % db.url)
            hq_port = free_port()
            f.write('tool_username = "head-office-tool"\n'
                    'tool_password = "head-office-tool-password"\n')
            f.write('password = "head-office-password"\ndata = "%s"\nlisten = "127.0.0.1:%d"\n'
                    % (os.path.join(self.work, "hq"), hq_port))
            f.write('[[token]]\nname = "office"\nsecret = "%s"\nrole = "read"\n' % TOKEN)
        start_hq = lambda config: self.spawn([VELKO, "hq", "--config",
                                              os.path.join(self.work, config)],
                                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        heads = [start_hq("hq.toml")]
        # A second head office on the same database, with a session of its own: the two share
        # the shops' messages, and nothing is kept twice.
        with open(os.path.join(self.work, "hq.toml")) as f, \
                open(os.path.join(self.work, "hq-2.toml"), "w") as out:
            out.write('client_id = "velko-hq-2"\n' +
                      f.read().replace(str(hq_port), str(free_port()))
                      .replace('"head-office"', '"head-office-2"')
                      .replace('"head-office-password"', '"head-office-2-password"'))
        heads.append(start_hq("hq-2.toml"))
        shops = {n: self.start_shop(n) for n in (1, 2, 3)}
        wait("three shops online", lambda: [s["status"] for s in self.hq("status", "--json")["stores"]]
             == ["online"] * 3)

        # A price list for all, while shop-3 is away: it catches up when it is back.
        shops[3].send_signal(signal.SIGTERM)
        shops[3].wait()
        prices = os.path.join(self.work, "prices.csv")
        others = "".join("%d;ARTYKUŁ %d;%d,00\n" % (n, n, n) for n in range(500, 506))
        with open(prices, "w") as f:
            f.write("kod;nazwa;cena\n123;KAWA ŻÓŁTA;18,99\n456;HERBATA;8,49\n" + others)
        version = int(self.hq("publish", "--store", "shop-1", "--store", "shop-2", "--store",
                              "shop-3", "--device", "till-1", prices))

        def verified():
            return {d["store"] for d in self.hq("status", "--json")["devices"]
                    if d["reported"] == version and d["state"] == "verified"}

        wait("shops 1 and 2 verified", lambda: verified() == {"shop-1", "shop-2"})
        shops[3] = self.start_shop(3)
        wait("shop 3 caught up", lambda: verified() == {"shop-1", "shop-2", "shop-3"})
        # The next list goes to devices that hold the last one as its changes, being smaller.
        with open(prices, "w") as f:
            f.write("kod;nazwa;cena\n123;KAWA ŻÓŁTA;19,49\n" + others)
        version = int(self.hq("publish", prices))
        wait("every shop verified the changes",
             lambda: verified() == {"shop-1", "shop-2", "shop-3"})
        sent = self.messages("velko/shop-2/till-1/pricelist/desired")[-1]
        self.assertEqual((sent["version"], sent["base"]), (version, version - 1), sent)
        self.assertEqual(sent["changes"]["delete"], ["456"])
        self.assertEqual([a["code"] for a in sent["changes"]["put"]], ["123"])

        # A message head office cannot read is passed over, and holds nothing up.
        self.head_office_says("velko/shop-1/till-9/pricelist/reported", {"version": "3"})
        # A round of day reports through a broker restart, and both head offices stopped while
        # their database is down (a report they had and could not keep is gone with them): each
        # lands once, sent again by its shop for want of a receipt.
        if db:
            db.stop()
        self.close_day(1)
        time.sleep(2)  # head office has had the report, and could not keep it
        for head in heads:
            head.send_signal(signal.SIGTERM)
            head.wait()
        self.mq.stop(signal.SIGTERM)
        self.close_day(2)
        self.close_day(3)
        self.mq.start()
        if db:
            db.start()
        heads = [start_hq("hq.toml"), start_hq("hq-2.toml")]
        try:
            reports = wait("three day reports",
                           lambda: (lambda r: r if len(r["reports"]) == 3 else None)(
                               self.hq("reports", "--day", self.day_of_last_close(), "--json", check=False)))
        except AssertionError:  # what each shop and head office had, to see where it stuck
            for n in (1, 2, 3):
                self.http = self.shops[n][1]
                print("shop", n, self.health(), file=sys.stderr)
            print(self.hq("reports", "--day", self.day_of_last_close(), "--json", check=False), file=sys.stderr)
            raise
        self.assertEqual(reports["missing"], [])
        self.assertEqual(sorted(r["store"] for r in reports["reports"]), ["shop-1", "shop-2", "shop-3"])
        self.assertTrue(all(r["reports"] == 1 for r in reports["reports"]))
        # The same through head office's API, and its sales per shop and day.
        api = "http://127.0.0.1:%d/api/" % hq_port
        with self.assertRaises(urllib.error.HTTPError) as refused:
            urllib.request.urlopen(api + "status")
        self.assertEqual(refused.exception.code, 401)
        req = urllib.request.Request(api + "sales", headers={"Authorization": "Bearer " + TOKEN})
        with urllib.request.urlopen(req) as r:
            sales = json.load(r)["rows"]
        self.assertEqual(sorted(s["store"] for s in sales), ["shop-1", "shop-2", "shop-3"])

        # Commands from head office's tool: every shop scans its line and answers once; a
        # shop asked for a device it does not have says so; the answers are kept at head office.
        scan = self.hq("command", "--numbers", "0-2", "--json", "scan")
        self.assertEqual(sorted(scan["answers"]), ["shop-1", "shop-2", "shop-3"], scan)
        for answer in scan["answers"].values():
            job = answer["jobs"][0]
            self.assertEqual((job["kind"], job["state"]), ("scan", "done"), job)
            self.assertIn(1, [f["number"] for f in job["result"]["found"]])
        wrong = self.hq("command", "--store", "shop-2", "--device", "till-9", "--json", "download",
                        check=False)
        self.assertIn("till-9", wrong["answers"]["shop-2"]["error"])
        req = urllib.request.Request(api + "commands/" + scan["id"],
                                     headers={"Authorization": "Bearer " + TOKEN})
        kept = wait("head office keeps the answers", lambda: (
            lambda a: a if len(a) == 3 else None)(json.load(urllib.request.urlopen(req))["answers"]))
        self.assertEqual(kept["shop-1"]["jobs"][0]["kind"], "scan")

    def test_nothing_is_lost_and_no_shop_speaks_for_head_office(self):
        hq_port = free_port()
        with open(os.path.join(self.work, "hq.toml"), "w") as f:
            f.write('broker = "mqtt://127.0.0.1:%d"\nusername = "head-office"\n' % self.port)
            f.write('tool_username = "head-office-tool"\n'
                    'tool_password = "head-office-tool-password"\n')
            f.write('password = "head-office-password"\ndata = "%s"\nlisten = "127.0.0.1:%d"\n'
                    % (os.path.join(self.work, "hq"), hq_port))
            f.write('[[token]]\nname = "office"\nsecret = "%s"\nrole = "read"\n' % TOKEN)
            f.write('[[token]]\nname = "it"\nsecret = "%s-it"\nrole = "operate"\n' % TOKEN)
        start_hq = lambda: self.spawn([VELKO, "hq", "--config", os.path.join(self.work, "hq.toml")],
                                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        hq = start_hq()
        self.shops_serve = self.start_shop()
        wait("the shop online", lambda: [s["status"] for s in self.hq("status", "--json")["stores"]]
             == ["online"])
        # The shop's presence in its own words: online since it connected, by its clock, with
        # the devices it serves. A status of an earlier run of the shop changes nothing, and
        # another shop's login that takes the shop's client id for two seconds does not knock
        # it off (the broker makes a client's id its login).
        # (Not sent with the shop's login: the broker would take it for the shop reconnecting.)
        online = self.messages("velko/shop-1/status")[-1]
        self.head_office_says("velko/shop-1/status", dict(online, state="offline", since="", seq=0,
                                                          started="2020-01-01T00:00:00Z"))
        subprocess.run(["mosquitto_sub", "-h", "127.0.0.1", "-p", str(self.port), "-i",
                        "velko-store-shop-1", "-u", "shop-2", "-P", "shop-2-password", "-t",
                        "velko/shop-2/#", "-W", "2"],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        status = self.hq("status", "--json")
        self.assertEqual([(s["status"], s["since"], s["devices"]) for s in status["stores"]],
                         [("online", online["since"], ["till-1"])])
        self.assertEqual([d["announced"] for d in status["devices"]], [True])
        self.assertEqual([m["state"] for m in self.messages("velko/shop-1/status")
                          if m["started"] == online["started"]], ["online"])

        # Head office is away; the shop closes its day; another shop's login takes head
        # office's session for two seconds (the broker drops what it may not read); then the
        # broker dies without saving. The day still reaches head office, once.
        hq.send_signal(signal.SIGTERM)
        hq.wait()
        self.close_day()
        subprocess.run(["mosquitto_sub", "-h", "127.0.0.1", "-p", str(self.port), "-i", "velko-hq",
                        "-u", "shop-2", "-P", "shop-2-password", "-t", "velko/shop-2/#", "-W", "2"],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.mq.stop(signal.SIGKILL)
        self.mq.start()
        hq = start_hq()
        day = self.day_of_last_close()
        reports = wait("the day at head office", lambda: self.hq("reports", "--day", day,
                                                                 "--json", check=False)["reports"])
        self.assertEqual([(r["store"], r["reports"]) for r in reports], [("shop-1", 1)])
        wait("the shop's outbox receipted", lambda: self.health()["outbox"] == 0)
        # Head office may ask for a day again: the shop sends it from its own job log.
        again = self.hq("command", "--store", "shop-1", "--day", day, "--wait", "60", "--json",
                        "resend")
        self.assertEqual(again["answers"]["shop-1"]["resent"], ["till-1"], again)
        wait("receipted again", lambda: self.health()["outbox"] == 0)

        # The register, once kept: a device not in it is shown so and its reports are refused;
        # a device enrolled is published to before it ever reported, a retired one is not.
        # IT changes it from the command line or the API (an operate token).
        def register(method, path, token=TOKEN + "-it"):
            req = urllib.request.Request("http://127.0.0.1:%d/api/register/%s" % (hq_port, path),
                                         method=method,
                                         headers={"Authorization": "Bearer " + token})
            try:
                with urllib.request.urlopen(req) as r:
                    return r.status, json.load(r)
            except urllib.error.HTTPError as e:
                return e.code, json.load(e)
        self.hq("device", "add", "shop-1", "till-1")
        self.assertEqual(register("POST", "shop-2/till-1", token=TOKEN)[0], 403)
        self.assertEqual(register("POST", "shop-2/till-1"),
                         (200, {"done": "device shop-2/till-1: in service"}))
        self.assertEqual(register("POST", "shop-3?rename=shop-2"),
                         (409, {"error": "shop-3: 'shop-2' is taken, or 'shop-3' unknown"}))
        self.shop_says("velko/shop-1/ghost-till/closeday/" + day,
                       {"store": "shop-1", "device": "ghost-till", "business_day": day,
                        "version": 1, "reports": [1], "rows": [], "quantity": "1", "value": "1"})
        prices = os.path.join(self.work, "prices.csv")
        with open(prices, "w") as f:
            f.write("code,name,price\n123,KAWA,18.99\n")
        self.assertEqual(register("DELETE", "shop-1/till-1")[0], 200)
        publish = subprocess.run([VELKO, "hq", "--config", os.path.join(self.work, "hq.toml"),
                                  "publish", prices], capture_output=True, text=True, check=True)
        self.assertIn("skipped: shop-1/till-1 was retired", publish.stderr)
        devices = self.hq("status", "--json")["devices"]
        self.assertEqual([(d["store"], d["device"], d["desired"], bool(d["standing"]))
                          for d in devices],
                         [("shop-1", "till-1", 0, True), ("shop-2", "till-1", 1, False)])
        self.hq("device", "add", "shop-1", "till-1")  # back in service

        # A shop's login cannot publish a price list as head office's, nor a receipt; and what
        # it may send is checked: a day far in the future, a report under another device's
        # name in its body, a total out of range are refused, counted, and change nothing.
        self.shop_says("velko/shop-1/till-1/pricelist/desired",
                       {"version": 9223372036854775807, "articles": []}, retain=True)
        bad = {"store": "shop-1", "device": "till-1", "business_day": "2099-01-01",
               "version": 1, "reports": [1], "rows": [], "quantity": "1", "value": "1"}
        self.shop_says("velko/shop-1/till-1/closeday/2099-01-01", bad)
        self.shop_says("velko/shop-1/till-1/closeday/" + day,
                       dict(bad, business_day=day, device="till-2", version=99))
        self.shop_says("velko/shop-1/till-1/closeday/" + day,
                       dict(bad, business_day=day, value="99999999.99", version=99))
        health = lambda: json.load(urllib.request.urlopen(
            "http://127.0.0.1:%d/api/health" % hq_port))
        # A report of 5 MB is refused unread (max_message_bytes, 4 MiB).
        self.shop_says("velko/shop-1/till-1/closeday/" + day,
                       raw=b'{"rows": "' + b"x" * (5 << 20) + b'"}')
        wait("five refusals", lambda: health()["refused"] >= 5)
        self.assertIn("over max_message_bytes", health()["last_refused"])
        reports = self.hq("reports", "--day", day, "--json", check=False)["reports"]
        self.assertEqual([(r["store"], r["device"], r["value"]) for r in reports],
                         [("shop-1", "till-1", "0.00")])

        # A list published while the shop is away, then the broker dies before it saves it:
        # head office sends it again once it is back, and the shop gets it.
        serve = self.shops_serve
        serve.send_signal(signal.SIGTERM)
        serve.wait()
        self.assertEqual(self.hq("publish", "--store", "shop-1", "--device", "till-1",
                                 prices).strip(), "2")
        self.mq.stop(signal.SIGKILL)
        self.mq.start()
        serve = self.start_shop()
        wait("the list verified", lambda: [(d["reported"], d["state"]) for d in
                                           self.hq("status", "--json")["devices"]][:1]
             == [(2, "verified")])

        # Gone without a word, the shop is offline since it was last heard from (its clock).
        serve.kill()
        serve.wait()
        wait("the shop offline", lambda: self.hq("status", "--json")["stores"][0]["status"]
             == "offline")
        run = self.messages("velko/shop-1/status")[-1]["started"]
        last = max(m["at"] for m in self.messages("velko/shop-1/status")
                   if m["started"] == run and m["state"] == "online")
        self.assertEqual(self.hq("status", "--json")["stores"][0]["since"], last)

    def shop_says(self, topic, message=None, retain=False, raw=None):
        """Publishes as shop-1's login. The shop's own service holds that login's session: each
        takes it from the other, and a publish that loses it (status 7, the connection lost;
        a large one under a slow build) is sent again."""
        args = ["mosquitto_pub", "-h", "127.0.0.1", "-p", str(self.port), "-u", "shop-1", "-P",
                "shop-1-password", "-q", "1", "-t", topic]
        args += ["-s"] if raw is not None else ["-m", json.dumps(message)]
        for attempt in range(5):
            done = subprocess.run(args + (["-r"] if retain else []), input=raw)
            if done.returncode != 7:
                break
        done.check_returncode()

    def test_tls_to_the_broker(self):
        """A shop reaches the broker over mqtts://, trusting the broker's own CA."""
        if not shutil.which("openssl"):
            self.skipTest("openssl is not installed")
        tls = os.path.join(self.work, "tls")
        os.makedirs(tls)
        run = lambda *a: subprocess.run(a, check=True, capture_output=True, cwd=tls)
        run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
            "-subj", "/CN=velko test CA", "-keyout", "ca.key", "-out", "ca.pem")
        run("openssl", "req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=127.0.0.1",
            "-keyout", "broker.key", "-out", "broker.csr")
        with open(os.path.join(tls, "san.ext"), "w") as f:
            f.write("subjectAltName=IP:127.0.0.1\n")
        run("openssl", "x509", "-req", "-in", "broker.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
            "-CAcreateserial", "-days", "2", "-extfile", "san.ext", "-out", "broker.pem")
        for name in os.listdir(tls):
            os.chmod(os.path.join(tls, name), 0o644)
        os.chmod(tls, 0o755)
        self.tls_port = free_port()
        with open(self.mq.conf, "a") as f:
            f.write("listener %d 127.0.0.1\ncafile %s/ca.pem\ncertfile %s/broker.pem\n"
                    "keyfile %s/broker.key\n" % (self.tls_port, tls, tls, tls))
        self.mq.stop(signal.SIGTERM)
        self.mq.start()
        wait("the TLS listener", lambda: listening(self.tls_port))
        self.listen()
        self.broker_url = "mqtts://127.0.0.1:%d" % self.tls_port
        self.broker_ca = os.path.join(tls, "ca.pem")
        self.start_shop()
        wait("online over TLS", lambda: "online" in self.states("shop-1"))
        self.assertTrue(self.health()["connected"])
        # The broker dies: the shop reconnects over TLS once it is back.
        self.mq.stop(signal.SIGKILL)
        wait("disconnected", lambda: not self.health()["connected"])
        self.mq.start()
        wait("connected again over TLS", lambda: self.health()["connected"])

    def day_of_last_close(self):
        req = urllib.request.Request("http://127.0.0.1:%d/api/reports" % self.http,
                                     headers={"Authorization": "Bearer " + TOKEN})
        with urllib.request.urlopen(req) as r:
            return json.load(r)["reports"][0]["business_day"]


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
