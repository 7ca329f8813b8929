"""Packs a release and keeps its record.

    pack-release.py pack VERSION DATE EXE OUT
        writes watchdog-VERSION-win64.zip, SHA256SUMS and the release's record
        watchdog-VERSION.buildinfo into OUT, and prints what it made. DATE
        (YYYY-MM-DD, from the changelog) dates every entry; the order and
        modes are fixed, so that the zip's bytes follow from its contents and
        its version alone.
    pack-release.py record ZIP
        prints the record of a zip made before: the zip's and each shipped
        file's SHA-256, and the build environment of this machine.
    pack-release.py compare RECORDED MADE
        fails, naming each shipped file that differs and whether the build
        environment does, unless the two records have the same checksums.

A record is written in the manner of Debian's .buildinfo files. Its checksum
lines, without their leading blank, are what "sha256sum -c" reads, in a
folder holding the zip and what it unpacks to."""

import hashlib
import os
import platform
import subprocess
import sys
import time
import zipfile
import zlib

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")

# What makes the release's bytes: the compiler, linker and resource compiler
# of the toolchain file, MinGW-w64's headers and C runtime, the build tools,
# and the deflate of the Python that packs the zip.
BUILD_PACKAGES = ("binutils-mingw-w64-x86-64", "cmake", "g++-mingw-w64-x86-64-posix",
                  "gcc-mingw-w64-x86-64-posix", "make", "mingw-w64-common",
                  "mingw-w64-x86-64-dev", "zlib1g")


def text_for_windows(path):
    """A text file of the checkout with CRLF line ends, which every Notepad
    shows as lines."""
    with open(os.path.join(ROOT, path), "rb") as f:
        text = f.read().replace(b"\r\n", b"\n")
    text.decode("ascii")  # plain ASCII reads the same under any code page
    return text.replace(b"\n", b"\r\n")


def entry(name, released, mode):
    # Zip times are local times with no zone: midnight of the release date.
    info = zipfile.ZipInfo(name, date_time=(*released, 0, 0, 0))
    info.create_system = 3  # Unix, so that the modes below are read
    info.external_attr = mode << 16
    if name.endswith("/"):
        info.external_attr |= 0x10  # MS-DOS directory flag
    else:
        info.compress_type = zipfile.ZIP_DEFLATED
    return info


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def environment():
    versions = subprocess.run(["dpkg-query", "-W", "-f=${Package} (= ${Version})\\n",
                               *BUILD_PACKAGES], capture_output=True, text=True).stdout
    return sorted(versions.splitlines()) + [
        f"python3 {platform.python_version()} with zlib {zlib.ZLIB_RUNTIME_VERSION}"]


def record(archive):
    """The record of a release zip: its version and date as the zip holds
    them, the checksums, and the build environment of this machine."""
    with open(archive, "rb") as f:
        packed = f.read()
    with zipfile.ZipFile(archive) as zf:
        files = [(info.filename, zf.read(info)) for info in zf.infolist() if not info.is_dir()]
        dated = zf.infolist()[0].date_time
    version = files[0][0].split("/")[0].removeprefix("watchdog-")
    lines = [f"Version: {version}", "Date: %04d-%02d-%02d" % dated[:3], "Checksums-Sha256:",
             f" {sha256(packed)}  {os.path.basename(archive)}"]
    lines += [f" {sha256(data)}  {name}" for name, data in files]
    lines += ["Build-Environment:"] + [f" {line}" for line in environment()]
    return "".join(line + "\n" for line in lines)


def fields(text):
    """A record's fields: a list of lines for each field that has them."""
    parsed, name = {}, None
    for line in text.splitlines():
        if line.startswith(" "):
            parsed[name].append(line.strip())
        else:
            name, value = line.split(":", 1)
            parsed[name] = value.strip() or []
    return parsed


def compare(recorded_path, made_path):
    with open(recorded_path) as f, open(made_path) as g:
        recorded, made = fields(f.read()), fields(g.read())
    # The zip's checksum covers its version, date and files; the build
    # environment only helps to tell why a release came out otherwise.
    if recorded["Checksums-Sha256"] == made["Checksums-Sha256"]:
        return 0
    sums = [dict(reversed(line.split("  ", 1)) for line in r["Checksums-Sha256"])
            for r in (recorded, made)]
    files = [name for name in sorted(set(sums[0]) | set(sums[1]))
             if not name.endswith(".zip") and sums[0].get(name) != sums[1].get(name)]
    for name in files:
        how = ("differs from the one on record" if name in sums[0] and name in sums[1]
               else "is in only one of the recorded and the made release")
        print(f"check-release: {name} {how}")
    if not files:
        print("check-release: the zip holds the recorded files, "
              + (f"but is dated {made['Date']}, not {recorded['Date']}"
                 if made["Date"] != recorded["Date"] else "packed differently"))
    new = sorted(set(made["Build-Environment"]) - set(recorded["Build-Environment"]))
    old = sorted(set(recorded["Build-Environment"]) - set(made["Build-Environment"]))
    print("check-release: the build environment "
          + (f"differs from the recorded one: {'; '.join(new)} (on record: {'; '.join(old)})"
             if new or old else "is the recorded one"))
    return 1


def pack(version, date, exe, out):
    released = time.strptime(date, "%Y-%m-%d")[:3]
    folder = f"watchdog-{version}/"
    name = f"watchdog-{version}-win64.zip"
    with open(exe, "rb") as f:
        program = f.read()
    contents = [
        (folder + "watchdog.exe", program, 0o100755),
        (folder + "README.txt", text_for_windows("docs/operating.md"), 0o100644),
        (folder + "LICENSE.txt", text_for_windows("LICENSE"), 0o100644),
    ]

    os.makedirs(out, exist_ok=True)
    archive = os.path.join(out, name)
    with zipfile.ZipFile(archive, "w") as zf:
        zf.writestr(entry(folder, released, 0o40755), b"")
        for path, data, mode in contents:
            zf.writestr(entry(path, released, mode), data, compresslevel=9)
    with open(archive, "rb") as f:
        packed = f.read()
    with open(os.path.join(out, "SHA256SUMS"), "w") as f:
        f.write(f"{sha256(packed)}  {name}\n")
    info = os.path.join(out, f"watchdog-{version}.buildinfo")
    with open(info, "w") as f:
        f.write(record(archive))

    print(f"watchdog {version}, released {date}")
    print(f"  {archive}  {len(packed)} bytes  sha256 {sha256(packed)}")
    print(f"    {folder}watchdog.exe  {len(program)} bytes  sha256 {sha256(program)}")
    for path, data, _ in contents[1:]:
        print(f"    {path}  {len(data)} bytes")
    print(f"  {os.path.join(out, 'SHA256SUMS')}\n  {info}")
    return 0


if __name__ == "__main__":
    verb, *args = sys.argv[1:]
    if verb == "record":
        sys.stdout.write(record(*args))
        sys.exit(0)
    sys.exit({"pack": pack, "compare": compare}[verb](*args))
