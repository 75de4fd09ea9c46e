"""The Python package against velko-sim: a round trip with Polish names, counts, progress,
deletion, the counter reset, an early end of the download and the errors with their detail;
the articles and the Line's arguments refused before anything is sent; a Line closed under a
paused download."""
import os
import pathlib
import signal
import threading
import subprocess
import tempfile
import unittest
from decimal import Decimal

import velko


class Simulator:
    def __init__(self, *args, table=()):
        self.listing = None
        if table:  # the device's table at start, one article a line as the device lists it
            self.listing = tempfile.NamedTemporaryFile("w", suffix=".txt", delete=False)
            self.listing.write("".join(f"0;{code};{name};1;1.00;0;0.000;0.00;\n"
                                       for code, name in table))
            self.listing.close()
            args = ("--table", self.listing.name, *args)
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
        if self.listing:
            os.unlink(self.listing.name)


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
                self.assertIsInstance(refused.exception, velko.ReadError)
                self.assertEqual(refused.exception.code, 4)
                self.assertEqual(refused.exception.counts.accepted, 2)
                self.assertEqual(refused.exception.detail,
                                 "article 2: the device refused code 42 (answered 'E')")
                self.assertEqual(str(refused.exception),
                                 "VELKO_ERR_READ: " + refused.exception.detail)
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
                self.assertEqual([a.quantity for a in line.download()],
                                 [Decimal("0.000"), Decimal("0.000")])
                self.assertEqual(line.delete(["5900001000031"]), 1)
                with self.assertRaises(velko.VelkoError) as absent:
                    line.delete(["5900001000031"])
                self.assertEqual(absent.exception.code, 4)
                self.assertIn("delete code 5900001000031 (answered 'E')", str(absent.exception))
                self.assertEqual(line.delete(["5900001000031", "5900001000017"],
                                             continue_on_refusal=True), 1)
                self.assertEqual(list(line.download()), [])
        finally:
            sim.stop()

    def test_articles_the_device_cannot_take_are_refused_before_sending(self):
        table = [("5900001000017", "CHLEB")]
        sim = Simulator(table=table)
        fresh = velko.Article("777", "NOWY", Decimal("1.00"))  # sent only if checked too late
        uploads = [  # what the last article is given, what is raised, what it says
            ({"name": "KAWA (250G)"}, ValueError, "'(' would come back as 'Ę'"),
            ({"name": "CAFÉ"}, ValueError, "byte 0xC9 is no character the device shows"),
            ({"name": "MLEKO;3,2%"}, ValueError, "';'"),
            ({"name": "X" * 19}, ValueError, "name 'XXXXXXXXXXXXXXXXXXX' has 19 characters"),
            ({"name": "AB\0CD"}, ValueError, "NUL"),
            ({"name": ""}, ValueError, "0 characters"),
            ({"name": b"KAWA"}, TypeError, "name b'KAWA'"),
            ({"code": "000"}, ValueError, "code '000' is all zeros"),
            ({"code": "123456789012345"}, ValueError, "code '123456789012345'"),
            ({"code": "12A"}, ValueError, "code '12A'"),
            ({"code": 42}, TypeError, "code 42"),
            ({"price": Decimal("4.505")}, ValueError, "price Decimal('4.505') has more than"),
            ({"price": "21474836.48"}, ValueError, "price '21474836.48' is not from"),
            ({"price": Decimal("NaN")}, ValueError, "price Decimal('NaN')"),
            ({"price": "4,50"}, ValueError, "price '4,50' is not an amount"),
            ({"price": 4.5}, TypeError, "price 4.5"),
            ({"flag": 2}, ValueError, "flag 2 is not 0 or 1"),
            ({"group": 200}, ValueError, "group 200 is not from 0 to 128"),
            ({"group": -1}, ValueError, "group -1"),
            ({"group": "2"}, TypeError, "group '2'"),
            ({"code": "000777"}, ValueError, "code '000777' is the code of articles[0] too"),
        ]
        deletions = [
            (["5900001000017", "12a"], ValueError, "codes[1]: code '12a'"),
            (["0"], ValueError, "codes[0]: code '0' is all zeros"),
            ([5900001000017], TypeError, "codes[0]: code 5900001000017"),
            ("5900001000017", TypeError, "not a str"),  # would be 13 one-digit codes
        ]
        try:
            with velko.Line(sim.path) as line:
                for change, error, says in uploads:
                    with self.subTest(change=change):
                        bad = velko.Article(**{**vars(fresh), "code": "778", **change})
                        with self.assertRaises(error) as refused:
                            line.upload([fresh, bad], continue_on_refusal=True)
                        self.assertIn(says, str(refused.exception))
                        self.assertTrue(str(refused.exception).startswith("articles[1]: "))
                with self.assertRaises(TypeError):
                    line.upload([fresh, ("778", "KAWA", 1)])
                for codes, error, says in deletions:
                    with self.subTest(codes=codes):
                        with self.assertRaises(error) as refused:
                            line.delete(codes)
                        self.assertIn(says, str(refused.exception))
                self.assertEqual([(a.code, a.name, a.price) for a in line.download()],
                                 [("5900001000017", "CHLEB", Decimal("1.00"))])
                # What the rules allow goes: the edges of every field.
                edges = [velko.Article("1", "ŻÓŁW Ą-Z 100% *#!/", Decimal("-21474836.48"),
                                       flag=True, group=0),
                         velko.Article("99999999999999", "X", "21474836.47", group=128),
                         velko.Article("5", "Y", 7)]
                self.assertEqual(line.upload(edges).accepted, 3)
                self.assertEqual([(a.code, a.name, a.price, a.flag, a.group)
                                  for a in line.download()],
                                 [("1", "ŻÓŁW Ą-Z 100% *#!/", Decimal("-21474836.48"), 1, 0),
                                  ("5", "Y", Decimal("7.00"), 0, 1),
                                  ("5900001000017", "CHLEB", Decimal("1.00"), 0, 1),
                                  ("99999999999999", "X", Decimal("21474836.47"), 0, 128)])
        finally:
            sim.stop()

    def test_ctrl_c_or_a_failing_callback_stops_at_the_next_article_and_is_raised(self):
        sim = Simulator()
        articles = [velko.Article(str(100 + n), f"ART {n}", Decimal("1.00")) for n in range(6)]

        def ctrl_c(done):
            if done == 2:
                os.kill(os.getpid(), signal.SIGINT)  # as the terminal sends it

        def fails(done):
            raise ValueError("the caller's own fault")

        try:
            with velko.Line(sim.path) as line:
                for progress, raised, held in [(ctrl_c, KeyboardInterrupt, 2),
                                               (fails, ValueError, 1)]:
                    with self.subTest(raised=raised):
                        held_before = [a.code for a in line.download()]
                        if held_before:
                            line.delete(held_before)
                        with self.assertRaises(raised):
                            line.upload(articles, progress=progress)
                        # The device's session ended properly: the line works on.
                        self.assertEqual([a.code for a in line.download()],
                                         [a.code for a in articles[:held]])
        finally:
            sim.stop()

    def test_cancel_from_another_thread_stops_the_upload_at_the_next_article(self):
        sim = Simulator()
        articles = [velko.Article(str(100 + n), f"ART {n}", Decimal("1.00")) for n in range(6)]
        try:
            with velko.Line(sim.path) as line:
                line.cancel()  # nothing runs: nothing to stop, now or later

                def cancel_at_three(done):
                    if done == 3:
                        other = threading.Thread(target=line.cancel)
                        other.start()
                        other.join()
                with self.assertRaises(velko.AbortError) as stopped:
                    line.upload(articles, progress=cancel_at_three)
                self.assertEqual(stopped.exception.counts.accepted, 3)
                self.assertIn("cancelled", str(stopped.exception))
                self.assertEqual([a.code for a in line.download()], ["100", "101", "102"])
        finally:
            sim.stop()

    def test_closing_a_line_ends_its_paused_downloads(self):
        # Enough articles that the device is still listing when the Line is closed.
        table = [(str(1000 + n), f"ART {n}") for n in range(5)]
        codes = [code for code, _ in table]
        sim = Simulator(table=table)
        try:
            line = velko.Line(sim.path)
            paused = line.download()
            self.assertEqual(next(paused).code, "1000")
            line.close()
            line.close()
            with self.assertRaises(velko.VelkoError) as resumed:
                next(paused)
            self.assertEqual((resumed.exception.code, resumed.exception.detail),
                             (9, "the line was closed"))
            for call in (lambda: line.upload([velko.Article("1", "X", 1)]), line.download,
                         lambda: line.delete(["1000"]), line.zero_counters):
                with self.assertRaises(velko.VelkoError) as closed:
                    call()
                self.assertEqual(str(closed.exception), "VELKO_ERR_HANDLE: the line was closed")
                self.assertIsInstance(closed.exception, velko.HandleError)

            with velko.Line(sim.path) as line:
                paused = line.download()
                self.assertEqual([next(paused).code, next(paused).code], ["1000", "1001"])
                # One call at a time: the paused download holds the line.
                with self.assertRaises(velko.OpenError) as busy:
                    line.zero_counters()
                self.assertIn("another call is running on this Line", str(busy.exception))
            with self.assertRaises(velko.VelkoError) as resumed:
                next(paused)
            self.assertIn("closed", str(resumed.exception))

            # The device was left out of its listing: the next Line has it whole.
            with velko.Line(sim.path) as line:
                self.assertEqual(line.upload([velko.Article("1", "X", 1)]).accepted, 1)
                self.assertEqual([a.code for a in line.download()], ["1"] + codes)
        finally:
            sim.stop()

    def test_a_missing_port_is_an_open_error(self):
        with velko.Line("/dev/velko-no-such-port") as line:
            with self.assertRaises(velko.VelkoError) as missing:
                line.zero_counters()
            self.assertIsInstance(missing.exception, velko.OpenError)
            self.assertEqual(missing.exception.code, 2)

    def test_the_errors_by_code(self):
        classes = [velko.AbortError, velko.OpenError, velko.SendError, velko.ReadError,
                   velko.FormatError, velko.CrcError, velko.PortError, velko.AddressError,
                   velko.HandleError]
        for code, kind in enumerate(classes, start=1):
            with self.subTest(kind=kind.__name__):
                self.assertTrue(issubclass(kind, velko.VelkoError))
                # The class is named after the library's name for its code.
                name = "VELKO_ERR_" + kind.__name__[:-len("Error")].upper()
                self.assertTrue(str(kind(code)).startswith(name + ":"), str(kind(code)))
        # Callers still make their own, for any code.
        made = velko.VelkoError(4, velko.Counts(accepted=2), "the device refused code 42")
        self.assertEqual((made.code, made.counts.accepted, made.detail),
                         (4, 2, "the device refused code 42"))
        self.assertEqual(str(made), "VELKO_ERR_READ: the device refused code 42")
        self.assertIsNone(velko.VelkoError(7).detail)

    def test_the_line_takes_paths_and_refuses_wrong_arguments_before_opening(self):
        sim = Simulator()
        folder = tempfile.TemporaryDirectory()
        trace = pathlib.Path(folder.name, "trace.log")
        try:
            with velko.Line(pathlib.Path(sim.path), baud=9600, device=0, trace=trace) as line:
                line.zero_counters()
                self.assertGreater(trace.stat().st_size, 0)
                for field, value, error, says in [
                        ("device", 100, ValueError, "device 100 is not from 0 to 99"),
                        ("device", 2 ** 32 + 1, ValueError, "device 4294967297"),
                        ("device", "1", TypeError, "device '1'"),
                        ("baud", 0, ValueError, "baud 0"),
                        ("baud", 2 ** 32 + 9600, ValueError, "baud 4294976896")]:
                    with self.subTest(field=field, value=value):
                        with self.assertRaises(error) as refused:
                            setattr(line, field, value)
                        self.assertIn(says, str(refused.exception))
                self.assertEqual((line.baud, line.device), (9600, 0))
        finally:
            sim.stop()
            folder.cleanup()
        wrong = [
            ({"line": 123}, TypeError, "line 123 is of type int"),
            ({"line": b"/dev/ttyUSB0"}, TypeError, "line b'/dev/ttyUSB0'"),
            ({"line": "/dev/ttyUSB0\0junk"}, ValueError, "NUL"),
            ({"line": ""}, ValueError, "not a line"),
            ({"baud": "9600"}, TypeError, "baud '9600' is of type str"),
            ({"baud": 9600.0}, TypeError, "baud 9600.0"),
            ({"baud": True}, TypeError, "baud True"),
            ({"baud": 0}, ValueError, "baud 0"),
            ({"baud": -9600}, ValueError, "baud -9600"),
            ({"device": 100}, ValueError, "device 100 is not from 0 to 99"),
            ({"device": -1}, ValueError, "device -1"),
            ({"device": "1"}, TypeError, "device '1'"),
            ({"trace": 5}, TypeError, "trace 5"),
            ({"trace": pathlib.Path("/tmp/trace\0.log")}, ValueError, "NUL"),
        ]
        for change, error, says in wrong:
            with self.subTest(change=change):
                with self.assertRaises(error) as refused:
                    velko.Line(**{"line": "/dev/velko-no-such-port", **change})
                self.assertIn(says, str(refused.exception))


if __name__ == "__main__":
    unittest.main()
