"""Packs a release:

    pack-release.py VERSION DATE BUILD OUT

writes OUT/watchdog-VERSION-win64.zip with the programs of BUILD, the kit,
the guide and the license, and prints the SHA-256 of the zip and of each
file it holds, as sha256sum does. DATE (YYYY-MM-DD) dates every entry; with
their fixed order, modes and compression, the zip's bytes follow from its
contents and version alone."""

import hashlib
import os
import sys
import zipfile

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")


def text_for_windows(path):
    """CRLF line ends, which every Notepad shows as lines."""
    with open(os.path.join(ROOT, path), "rb") as f:
        return f.read().replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")


def main(version, date, build, out):
    folder = f"watchdog-{version}/"
    contents = []
    for name in ("watchdog.exe", "run-watchdog.exe"):
        with open(os.path.join(build, name), "rb") as f:
            contents.append((name, f.read(), 0o100755))
    contents += [(name, text_for_windows(path), 0o100644) for name, path in (
        ("watchdog-task.ps1", "deploy/watchdog-task.ps1"),
        ("README.txt", "docs/operating.md"), ("LICENSE.txt", "LICENSE"))]
    # Zip times are local times with no zone: midnight of the release date.
    when = (*map(int, date.split("-")), 0, 0, 0)
    archive = os.path.join(out, f"watchdog-{version}-win64.zip")
    with zipfile.ZipFile(archive, "w") as zf:
        top = zipfile.ZipInfo(folder, when)
        top.create_system, top.external_attr = 3, 0o40755 << 16 | 0x10  # Unix modes, a directory
        zf.writestr(top, b"")
        for name, data, mode in contents:
            entry = zipfile.ZipInfo(folder + name, when)
            entry.create_system, entry.external_attr = 3, mode << 16
            entry.compress_type = zipfile.ZIP_DEFLATED
            zf.writestr(entry, data, compresslevel=9)
    with open(archive, "rb") as f:
        print(f"{hashlib.sha256(f.read()).hexdigest()}  {os.path.basename(archive)}")
    for name, data, _ in contents:
        print(f"{hashlib.sha256(data).hexdigest()}  {folder}{name}")


if __name__ == "__main__":
    if len(sys.argv) != 5:
        sys.exit(__doc__)
    main(*sys.argv[1:])
