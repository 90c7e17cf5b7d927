#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Writes the example archive (MOLVARE.BCL, MOLVARE.BCD) into the current directory, or with
--check DIR verifies that DIR holds its members byte for byte."""
import os
import sys

MEMBERS = [
    ("HELLO.TXT", b"Hello from the unbcl example archive.\n"),
    ("NOTES.TXT", b"Members are stored back to back in MOLVARE.BCD;\nthe index gives each one's offset and length.\n"),
    ("BYTES.BIN", bytes(range(256))),
    ("EMPTY.TXT", b""),
]


def write_archive():
    # CR LF line ends, as indexes written on other systems have them.
    index = b"UNBCL EXAMPLE ARCHIVE\r\n%d FILES\r\n" % len(MEMBERS)
    data = b""
    for name, body in MEMBERS:
        index += b"[%s]\r\n%d\r\n%d\r\n" % (name.encode(), len(data), len(body))
        data += body
    with open("MOLVARE.BCL", "wb") as f:
        f.write(index)
    with open("MOLVARE.BCD", "wb") as f:
        f.write(data)


def check(directory):
    bad = 0
    for name, body in MEMBERS:
        path = os.path.join(directory, name)
        try:
            with open(path, "rb") as f:
                got = f.read()
        except OSError as e:
            print(f"make-example: {path}: {e.strerror}", file=sys.stderr)
            bad += 1
            continue
        if got != body:
            print(f"make-example: {path}: bytes differ", file=sys.stderr)
            bad += 1
    return 1 if bad else 0


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "--check":
        sys.exit(check(sys.argv[2]))
    write_archive()
