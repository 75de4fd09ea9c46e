#!/usr/bin/env python3
"""The notices of the third-party code built into our binaries, which their licences ask to
travel with the binaries. What a binary holds is read from the binary itself (a text each
component leaves in it), so a component that comes in with a new build option is not missed;
its notice is the copyright file of the Debian package the build takes it from.

  notices.py collect DIR BINARY...     writes DIR/NAME.txt for each component found
  notices.py check DIR BINARY...       fails unless DIR has the notice of each one found
  notices.py copyright BINARY...       the paragraphs a Debian copyright file adds for them
  notices.py check-copyright FILE BINARY...
                                       fails unless the copyright FILE names each one found
"""
import os
import re
import sys

DOC = "/usr/share/doc"
# Name, a text the component's code leaves in a binary, and the copyright file of the Debian
# package it is built from. (Libraries loaded at run time from Debian's packages, as on Linux,
# leave no such text: their notices come with their own packages.)
COMPONENTS = [
    ("CLI11", b"CLI11", "libcli11-dev"),
    ("nlohmann-json", b"json.exception", "nlohmann-json3-dev"),
    ("tomlplusplus", b"TOML 1.0.0", "libtomlplusplus-dev"),
    ("cpp-httplib", b"httplib", "libcpp-httplib-dev"),
    ("SQLite", b"SQLite format 3", "libsqlite3-dev"),
    ("Mosquitto", b"sending CONNECT", "libmosquitto-dev"),
    # The MinGW-w64 runtime and winpthreads, in every Windows program and DLL of ours.
    ("mingw-w64", b"Mingw-w64 runtime failure", "mingw-w64-common"),
]


def found(binaries):
    """The components in any of the binaries, in table order."""
    held = set()
    for path in binaries:
        with open(path, "rb") as f:
            data = f.read()
        held.update(name for name, marker, _ in COMPONENTS if marker in data)
    return [c for c in COMPONENTS if c[0] in held]


def notice(package):
    path = os.path.join(DOC, package, "copyright")
    with open(path, encoding="utf-8") as f:
        return f.read()


def paragraphs(text):
    """A Debian copyright file's paragraphs, each as {field: value}, continuation lines kept."""
    out = []
    for block in re.split(r"\n\s*\n", text.strip()):
        fields, last = {}, None
        for line in block.splitlines():
            if line[:1] in (" ", "\t") and last:
                fields[last] += "\n" + line
            elif ":" in line:
                last, value = line.split(":", 1)
                fields[last] = value.strip()
        out.append(fields)
    return out


def copyright_paragraphs(components):
    """For each component: its copyright and its licence, under a licence name of its own (two
    components' "BSD-3-clause" name different holders in their texts)."""
    out = []
    for name, _, package in components:
        parts = paragraphs(notice(package))
        main = next(p for p in parts if p.get("Files", "").split() == ["*"])
        licence = main["License"].split("\n", 1)
        short = licence[0].strip()
        texts = [p["License"].split("\n", 1) for p in parts if "Files" not in p and "License" in p]
        text = licence[1] if len(licence) > 1 else next(
            (t[1] for t in texts if len(t) > 1 and t[0].strip() == short), "")
        own = re.sub(r"[^A-Za-z0-9.+-]+", "-", short) + "~" + name
        out.append(f"Files: third-party/{name}/*\n"
                   f"Comment: {name}, built into the programs (Debian package {package})\n"
                   f"Copyright: {main['Copyright']}\n"
                   f"License: {own}\n{text}")
    return "\n\n".join(out)


def main(argv):
    if len(argv) < 2:
        sys.exit(__doc__)
    command, rest = argv[1], argv[2:]
    if command in ("collect", "check") and len(rest) >= 2:
        folder, binaries = rest[0], rest[1:]
        components = found(binaries)
        if command == "collect":
            os.makedirs(folder, exist_ok=True)
            for name, _, package in components:
                with open(os.path.join(folder, name + ".txt"), "w", encoding="utf-8") as f:
                    f.write(notice(package))
            print(" ".join(name for name, _, _ in components))
            return 0
        missing = [name for name, _, _ in components
                   if not os.path.isfile(os.path.join(folder, name + ".txt"))]
        if missing:
            print(f"notices: {folder} lacks the notice of {', '.join(missing)}, which "
                  f"{' '.join(binaries)} hold", file=sys.stderr)
            return 1
        return 0
    if command == "copyright" and rest:
        print(copyright_paragraphs(found(rest)))
        return 0
    if command == "check-copyright" and len(rest) >= 2:
        with open(rest[0], encoding="utf-8") as f:
            text = f.read()
        missing = [name for name, _, _ in found(rest[1:])
                   if f"Files: third-party/{name}/*" not in text]
        if missing:
            print(f"notices: {rest[0]} does not name {', '.join(missing)}", file=sys.stderr)
            return 1
        return 0
    sys.exit(__doc__)


if __name__ == "__main__":
    sys.exit(main(sys.argv))
