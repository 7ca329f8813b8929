"""Packs a release and keeps its record.

    pack-release.py pack VERSION DATE EXE OUT
        writes watchdog-VERSION-win64.zip, SHA256SUMS and the release's record
        watchdog-VERSION.buildinfo into OUT, and prints what it made. DATE
        (YYYY-MM-DD, from the changelog) dates every entry; the order and
        modes are fixed, so that the zip's bytes follow from its contents and
        its version alone.
    pack-release.py compare RECORD OTHER
        fails, naming each shipped file that differs and whether the build
        environment does, unless the two records have the same checksums.

A record is written in the manner of Debian's .buildinfo files. Its checksum
lines, without their leading blank, are what "sha256sum -c" reads, in a
folder holding the zip and what it unpacks to."""

import hashlib
import os
import platform
import re
import shutil
import subprocess
import sys
import time
import zipfile
import zlib

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")

TOOLCHAIN = os.path.join(ROOT, "cmake", "mingw-w64-x86_64.cmake")


def text_for_windows(path):
    """A text file of the checkout with CRLF line ends, which every Notepad
    shows as lines."""
    with open(os.path.join(ROOT, path), "rb") as f:
        text = f.read().replace(b"\r\n", b"\n")
    try:
        text.decode("ascii")  # plain ASCII reads the same under any code page
    except UnicodeDecodeError as e:
        sys.exit(f"pack-release: {path} is not plain ASCII: byte {e.start}"
                 f" is 0x{text[e.start]:02X}")
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
    """The Debian packages of the files that make the release's bytes, with
    their versions: the toolchain file's compiler and resource compiler, what
    the compiler runs and links (cc1plus, ld, libgcc), MinGW-w64's headers and
    C runtime, the build tools, and the zlib of the Python that packs the zip;
    and that Python."""
    with open(TOOLCHAIN) as f:
        toolchain = f.read()
    tool = dict(re.findall(r"^set\((CMAKE_\w+) (\S+)\)$", toolchain, re.MULTILINE))
    cxx = shutil.which(tool["CMAKE_CXX_COMPILER"])
    asked = [subprocess.run([cxx, flag], capture_output=True, text=True, check=True).stdout.strip()
             for flag in ("-print-prog-name=cc1plus", "-print-prog-name=ld",
                          "-print-libgcc-file-name")]
    with open("/proc/self/maps") as f:
        libz = next(line.split()[-1] for line in f if "/libz.so" in line)
    root = tool["CMAKE_FIND_ROOT_PATH"]
    files = [cxx, shutil.which(tool["CMAKE_RC_COMPILER"]), *asked, f"{root}/include/windows.h",
             f"{root}/lib/libkernel32.a", shutil.which("make"), shutil.which("cmake"), libz]
    # Debian lists a library of /usr/lib under /lib or /usr/lib.
    patterns = [re.sub(r"^/usr(?=/lib/)", "*", os.path.realpath(path)) for path in files]
    owners = subprocess.run(["dpkg-query", "-S", *patterns], capture_output=True, text=True,
                            check=True).stdout
    packages = sorted({line.split(":")[0] for line in owners.splitlines()})
    versions = subprocess.run(["dpkg-query", "-W", "-f=${Package} (= ${Version})\\n", *packages],
                              capture_output=True, text=True).stdout
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


def read_record(path):
    """A record's checksums (by file name), build environment and date."""
    try:
        with open(path) as f:
            parsed, name = {}, None
            for line in f.read().splitlines():
                if line.startswith(" "):
                    parsed[name].append(line.strip())
                else:
                    name, value = line.split(":", 1)
                    parsed[name] = value.strip() or []
        sums = dict(reversed(line.split("  ", 1)) for line in parsed["Checksums-Sha256"])
        return sums, parsed["Build-Environment"], parsed["Date"]
    except (OSError, ValueError, KeyError, AttributeError) as e:
        sys.exit(f"pack-release: {path} is not a release record ({type(e).__name__}: {e})")


def compare(record_path, other_path):
    (sums, environment, date), (other_sums, other_environment, other_date) = (
        read_record(path) for path in (record_path, other_path))
    # The zip's checksum covers its version, date and files; the build
    # environment only helps to tell why a release came out otherwise.
    if sums == other_sums:
        return 0
    files = [name for name in sorted(set(sums) | set(other_sums))
             if not name.endswith(".zip") and sums.get(name) != other_sums.get(name)]
    for name in files:
        print(f"check-release: {name} "
              + ("differs" if name in sums and name in other_sums else "is in only one of them"))
    if not files:
        print("check-release: the zips hold the same files, "
              + (f"but are dated {date} and {other_date}" if date != other_date
                 else "packed differently"))
    new = sorted(set(other_environment) - set(environment))
    old = sorted(set(environment) - set(other_environment))
    if new or old:
        print(f"check-release: the build environment differs: {'; '.join(new)} (in"
              f" {record_path}: {'; '.join(old)}). Where nothing that the zip ships has"
              " changed, the release comes out otherwise because the build tools have:"
              " release a new version, whose record is made with them")
    else:
        print("check-release: the build environment is the same")
    return 1


def pack(version, date, exe, out):
    released = time.strptime(date, "%Y-%m-%d")[:3]
    folder = f"watchdog-{version}/"
    name = f"watchdog-{version}-win64.zip"
    with open(exe, "rb") as f:
        program = f.read()
    contents = [
        (folder + "watchdog.exe", program, 0o100755),
        (folder + "run-watchdog.cmd", text_for_windows("deploy/run-watchdog.cmd"), 0o100644),
        (folder + "watchdog-task.ps1", text_for_windows("deploy/watchdog-task.ps1"), 0o100644),
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
    verbs = {"pack": pack, "compare": compare}
    verb, args = (sys.argv[1:2] or [""])[0], sys.argv[2:]
    if verb not in verbs or len(args) != verbs[verb].__code__.co_argcount:
        sys.exit("pack-release: usage: pack VERSION DATE EXE OUT, or compare RECORD OTHER")
    sys.exit(verbs[verb](*args))
