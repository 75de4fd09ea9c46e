"""The Python package against velko-sim: a round trip with Polish names, counts, progress,
deletion, the counter reset, an early end of the download and the errors."""
import os
import subprocess
import unittest
from decimal import Decimal

import velko


class Simulator:
    def __init__(self, *args):
        self.process = subprocess.Popen([os.environ["VELKO_SIM"], "--zero-delay", "0", *args],
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.path = self.process.stdout.readline().strip()

    def sell(self, code, quantity):
        self.process.stdin.write(f"sell {code} {quantity}\n")
        self.process.stdin.flush()

    def stop(self):
        self.process.terminate()
        self.process.wait()
        self.process.stdin.close()
        self.process.stdout.close()


ARTICLES = [
    velko.Article("5900001000017", "CHLEB ŻYTNI", Decimal("4.50")),
    velko.Article("5900001000031", "MASŁO EKSTRA 200G", Decimal("7.99"), flag=1, group=2),
    velko.Article("42", "ŹDŹBŁO", Decimal("0.10"), group=128),
]


class PackageTest(unittest.TestCase):
    def test_a_day_at_the_device(self):
        sim = Simulator("--refuse", "42")
        try:
            seen = []
            with velko.Line(sim.path) as line:
                with self.assertRaises(velko.VelkoError) as refused:
                    line.upload(ARTICLES)
                self.assertEqual(refused.exception.code, 4)
                self.assertEqual(refused.exception.counts.accepted, 2)
                self.assertTrue(str(refused.exception).startswith("VELKO_ERR_READ: "))
                counts = line.upload(ARTICLES, continue_on_refusal=True, progress=seen.append)
                self.assertEqual((counts.accepted, counts.refused), (2, 1))
                self.assertEqual(seen, [1, 2, 3])

                sim.sell("5900001000017", "2.5")
                table = list(line.download())
                self.assertEqual([a.code for a in table], ["5900001000017", "5900001000031"])
                self.assertEqual(table[0].name, "CHLEB ŻYTNI")
                self.assertEqual((table[0].quantity, table[0].value),
                                 (Decimal("2.500"), Decimal("11.25")))
                self.assertEqual((table[1].price, table[1].flag, table[1].group),
                                 (Decimal("7.99"), 1, 2))

                first = next(iter(line.download()))  # leaving early ends the download
                self.assertEqual(first.code, "5900001000017")
                line.zero_counters()
                self.assertEqual(line.delete(["5900001000031"]), 1)
                self.assertEqual([a.quantity for a in line.download()], [Decimal("0.000")])
        finally:
            sim.stop()

    def test_a_missing_port_is_an_open_error(self):
        with velko.Line("/dev/velko-no-such-port") as line:
            with self.assertRaises(velko.VelkoError) as missing:
                line.zero_counters()
            self.assertEqual(missing.exception.code, 2)


if __name__ == "__main__":
    unittest.main()
