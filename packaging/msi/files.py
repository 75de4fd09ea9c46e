#!/usr/bin/env python3
"""The installer's files, as a WiX fragment: every file under STAGE but the ones velko.wxs
names itself, in component group "Files", one component per file under INSTALLDIR.

  files.py STAGE > files.wxs

A component's GUID is made from its file's place in the installation, so it stays the same
from one version to the next: that is what lets a newer package replace the files of an older
one, and what Windows counts a file's users by."""
import os
import sys
import uuid
from xml.sax.saxutils import quoteattr

# Named in velko.wxs: the program (with its service), and the Start menu's page entry (menu/).
OWN = {"bin/velko.exe"}
SKIP_DIRS = {"menu"}
# Folders that velko.wxs declares or points at.
DIRECTORY_IDS = {"": "INSTALLDIR", "bin": "BinFolder", "docs": "DocsFolder"}
# The components' GUIDs are made in this namespace from their paths: never change it.
NAMESPACE = uuid.UUID("82d04c12-3d37-4ec1-9f46-820ddee93e35")


def ident(prefix, relative):
    """An identifier MSI takes (letters, digits, '_' and '.', 72 characters at most) that is
    the same for the same path every time."""
    text = "".join(c if c.isalnum() or c in "_." else "_" for c in relative)
    if len(prefix) + len(text) > 60:
        text = text[-40:] + "_" + uuid.uuid5(NAMESPACE, relative).hex[:12]
    return prefix + text


def directory_id(relative):
    return DIRECTORY_IDS.get(relative) or ident("Dir_", relative)


def main():
    stage = sys.argv[1]
    tree = {}  # folder (relative) -> its files and its subfolders
    for root, dirs, files in os.walk(stage):
        relative = os.path.relpath(root, stage).replace(os.sep, "/")
        relative = "" if relative == "." else relative
        dirs[:] = sorted(d for d in dirs if not (relative == "" and d in SKIP_DIRS))
        tree[relative] = (sorted(files), [f"{relative}/{d}".lstrip("/") for d in dirs])

    components, identifiers = [], set()
    out = ['<?xml version="1.0" encoding="utf-8"?>',
           '<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi">', "  <Fragment>"]

    def folder(relative, depth):
        files, subfolders = tree[relative]
        pad = "  " * depth
        lines = []
        for name in files:
            path = f"{relative}/{name}".lstrip("/")
            if path in OWN:
                continue
            component = ident("C_", path)
            # Two names that differ only where MSI takes no character would be one component.
            if component in identifiers:
                sys.exit(f"files.py: {path} makes the identifier {component} a second time")
            identifiers.add(component)
            components.append(component)
            guid = str(uuid.uuid5(NAMESPACE, path)).upper()
            lines += [f'{pad}<Component Id="{component}" Guid="{guid}" Win64="yes">',
                      f'{pad}  <File Id={quoteattr(ident("F_", path))} Name={quoteattr(name)} '
                      f'Source={quoteattr(path)} KeyPath="yes"/>',
                      f"{pad}</Component>"]
        for sub in subfolders:
            if sub in DIRECTORY_IDS:  # declared in velko.wxs, filled below
                continue
            lines.append(f'{pad}<Directory Id="{directory_id(sub)}" '
                         f'Name={quoteattr(os.path.basename(sub))}>')
            lines += folder(sub, depth + 1)
            lines.append(f"{pad}</Directory>")
        return lines

    for relative in [d for d in DIRECTORY_IDS if d in tree]:
        out.append(f'    <DirectoryRef Id="{directory_id(relative)}">')
        out += folder(relative, 3)
        out.append("    </DirectoryRef>")
    out.append('    <ComponentGroup Id="Files">')
    out += [f'      <ComponentRef Id="{c}"/>' for c in components]
    out += ["    </ComponentGroup>", "  </Fragment>", "</Wix>"]
    print("\n".join(out))


if __name__ == "__main__":
    main()
