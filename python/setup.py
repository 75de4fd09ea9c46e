"""The version, set once in the library's header, and the package's own copy of it.

The header is ../include/velko/velko.h in a checkout and in every package ./scripts/package
makes; a copy of this folder taken alone still has velko/_version.py, which the packages carry.
"""
import os
import re

from setuptools import setup
from setuptools.command.build_py import build_py
from setuptools.dist import Distribution

HERE = os.path.dirname(os.path.abspath(__file__))
HEADER = os.path.join(HERE, os.pardir, "include", "velko", "velko.h")
WRITTEN = os.path.join(HERE, "velko", "_version.py")


def version() -> str:
    for path, pattern in ((HEADER, r'^#define VELKO_VERSION_STRING "([0-9][^"]*)"'),
                          (WRITTEN, r'^version = "([0-9][^"]*)"')):
        try:
            with open(path, encoding="utf-8") as f:
                found = re.search(pattern, f.read(), re.M)
        except OSError:
            continue
        if found:
            return found.group(1)
    raise SystemExit(f"velko: no version: neither {HEADER} nor {WRITTEN} gives one")


VERSION = version()
LIBRARIES = {"libvelko.so.1", "VELKO_DLL.dll"}


class BuildWithVersion(build_py):
    """Writes velko/_version.py into what is installed, so the package knows its version
    without the header."""

    def run(self):
        super().run()
        target = os.path.join(self.build_lib, "velko", "_version.py")
        with open(target, "w", encoding="ascii") as f:
            f.write(f'version = "{VERSION}"\n')


class WithLibrary(Distribution):
    """A package that carries the native library is for one platform: its wheel says so."""

    def has_ext_modules(self):
        return any(LIBRARIES & set(files) for _, _, files in os.walk(os.path.join(HERE, "velko")))


commands = {"build_py": BuildWithVersion}
try:
    from wheel.bdist_wheel import bdist_wheel

    class PlatformWheel(bdist_wheel):
        """The package is pure Python loading a native library with ctypes: any Python 3 of
        the library's platform takes it (py3-none-linux_x86_64, py3-none-win_amd64), not
        only the interpreter that built it."""

        def get_tag(self):
            _, _, platform = super().get_tag()
            return "py3", "none", platform

    commands["bdist_wheel"] = PlatformWheel
except ImportError:  # no wheel package: pip builds no wheel either
    pass

setup(version=VERSION, cmdclass=commands, distclass=WithLibrary)
