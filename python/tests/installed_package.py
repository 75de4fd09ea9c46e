"""The package as installed by pip with its library in lib/, run from outside the repository
without VELKO_LIBRARY: it loads the library it carries, knows its version, and does a round
trip of Polish names with velko-sim. Run by check_install.sh."""
import os
import sys
import unittest
from decimal import Decimal

import velko
from test_velko import Simulator

# The device keeps upper case only: names in it come back byte for byte.
ARTICLES = [
    velko.Article("5900001000017", "ZAŻÓŁĆ GĘŚLĄ JAŹŃ", Decimal("12.34"), flag=1, group=7),
    velko.Article("5900001000024", "ŚLIWKI ŁĄCKIE 1/2", Decimal("-0.01"), group=128),
    velko.Article("77", "ŹDŹBŁO ŻYTA Ś-Ń 5%", Decimal("21474836.47"), group=0),
]


def _fields(article):
    return (article.code, article.name.encode("cp1250"), article.price, article.flag,
            article.group)


class InstalledPackageTest(unittest.TestCase):
    def test_the_installed_package_stands_on_its_own(self):
        repository = os.path.realpath(os.environ["VELKO_REPOSITORY"])
        package = os.path.dirname(os.path.realpath(velko.__file__))
        self.assertFalse(package.startswith(repository + os.sep), package)
        self.assertEqual(os.path.realpath(velko.library()._name),
                         os.path.join(package, "lib", "libvelko.so.1"))
        self.assertEqual(velko.__version__, os.environ["VELKO_HEADER_VERSION"])
        self.assertEqual(velko.library_version(), velko.__version__)

        sim = Simulator()
        try:
            with velko.Line(sim.path) as line:
                self.assertEqual(line.upload(ARTICLES).accepted, 3)
                by_code = sorted(ARTICLES, key=lambda a: int(a.code))  # the device's order
                self.assertEqual([_fields(a) for a in line.download()],
                                 [_fields(a) for a in by_code])
                self.assertEqual(line.delete([a.code for a in ARTICLES]), 3)
                self.assertEqual(list(line.download()), [])
                with self.assertRaises(velko.ReadError) as absent:
                    line.delete(["77"])
                self.assertEqual(absent.exception.code, 4)
        finally:
            sim.stop()


if __name__ == "__main__":
    sys.exit(not unittest.main(exit=False).result.wasSuccessful())
