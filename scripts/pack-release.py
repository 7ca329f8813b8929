"""Packs a release: VERSION, its release date (YYYY-MM-DD, from the
changelog), the built watchdog.exe and the output folder. Writes
watchdog-VERSION-win64.zip and SHA256SUMS there and prints what it made.
Every entry is dated at the start of the release date, the order and modes
are fixed, so that the zip's bytes follow from its contents and its version
alone."""

import hashlib
import os
import sys
import time
import zipfile

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")


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


def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def main():
    version, date, exe, out = sys.argv[1:5]
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
    with open(os.path.join(out, "SHA256SUMS"), "w") as f:
        f.write(f"{sha256(archive)}  {name}\n")

    print(f"watchdog {version}, released {date}")
    print(f"  {archive}  {os.path.getsize(archive)} bytes  sha256 {sha256(archive)}")
    print(f"    {folder}watchdog.exe  {len(program)} bytes"
          f"  sha256 {hashlib.sha256(program).hexdigest()}")
    for path, data, _ in contents[1:]:
        print(f"    {path}  {len(data)} bytes")
    print(f"  {os.path.join(out, 'SHA256SUMS')}")


if __name__ == "__main__":
    main()
