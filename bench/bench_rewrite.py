#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Peak memory of bcl's writers and of bcl mount on one large index, against twice the index plus 32 MiB.

The index has 5,000,000 entries of 16-byte members in 1000 directories (bench_mount.py's
records). Each writer runs on a fresh copy of the archive: rename and delete change one member,
update replaces one and adds one, append adds one. GNU time measures each peak; every run is
then checked with bcl test, so that a writer that saved memory by writing less is caught.
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench import MIB, run_once  # noqa: E402
from bench_mount import bench_mount_memory, mount_record, verdict  # noqa: E402


def make_archive(where, count):
    index = os.path.join(where, "BIG.BCL")
    with open(index, "wb") as f:
        f.write(b"REWRITE BENCH\n%d FILES\n" % count)
        for start in range(0, count, 100_000):
            f.write(b"".join(mount_record(i, False) for i in range(start, min(count, start + 100_000))))
    with open(os.path.join(where, "BIG.BCD"), "wb") as data:
        data.truncate(16 * count)
    return os.path.getsize(index) / MIB


def writer_runs(count):
    last = count - 1
    member = f"d{last % 1000:03d}/m{last:07d}.bin"
    return {
        "rename": (["rename", member, "renamed.bin"], count),
        "delete": (["delete", member], count - 1),
        "update": (["update", "-C", "files", member, "added.bin"], count + 1),
        "append": (["append", "-C", "files", "appended.bin"], count + 1),
    }


def bench_writer(bcl, where, argv, expected_entries):
    for suffix in ("BCL", "BCD"):
        shutil.copyfile(os.path.join(where, "BIG." + suffix), os.path.join(where, "RUN." + suffix))
    archive = ["-i", os.path.join(where, "RUN.BCL"), "-d", os.path.join(where, "RUN.BCD")]
    elapsed, peak, code, err = run_once([bcl] + archive + argv, where)
    if code != 0:
        raise SystemExit(f"bench: bcl {argv[0]} ended with {code}: {err.decode(errors='replace')}")
    checked = subprocess.run([bcl] + archive + ["test"], cwd=where, capture_output=True, text=True)
    expected = f"{expected_entries} entries checked: 0 errors"
    if checked.returncode != 0 or expected not in checked.stdout:
        raise SystemExit(f"bench: bcl {argv[0]} left an archive that bcl test does not pass: "
                         f"{checked.stdout.strip()} {checked.stderr.strip()}")
    return elapsed, peak


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--bcl", default="build-bench/bcl", help="the bcl binary to measure")
    ap.add_argument("--dir", default=None, help="where generated data goes (default: the system's temporary directory)")
    ap.add_argument("--entries", type=int, default=5_000_000, help="entries in the index")
    ap.add_argument("--no-mount", action="store_true", help="leave out bcl mount")
    args = ap.parse_args()
    args.bcl = os.path.abspath(args.bcl)
    args.runs = 1
    if not os.access(args.bcl, os.X_OK):
        raise SystemExit(f"bench: {args.bcl}: not an executable")
    where = tempfile.mkdtemp(prefix="bcl-rewrite-bench-", dir=args.dir)
    try:
        index_mib = make_archive(where, args.entries)
        os.makedirs(os.path.join(where, "files"))
        for name in ("added.bin", "appended.bin", f"d{(args.entries - 1) % 1000:03d}"):
            path = os.path.join(where, "files", name)
            if name.startswith("d"):
                os.makedirs(path)
                path = os.path.join(path, f"m{args.entries - 1:07d}.bin")
            with open(path, "wb") as f:
                f.write(b"new bytes\n")
        bound = 2 * index_mib + 32
        print(f"| {args.entries:,} entries, index {index_mib:.1f} MiB | peak MiB | seconds | bound MiB (2 x index + 32) | peak / bound |")
        print("|---|---:|---:|---:|---:|")
        for command, (argv, expected) in writer_runs(args.entries).items():
            elapsed, peak = bench_writer(args.bcl, where, argv, expected)
            print(f"| bcl {command} | {peak:.1f} | {elapsed:.2f} | {bound:.1f} | {peak / bound:.2f} {verdict(peak <= bound)} |",
                  flush=True)
    finally:
        shutil.rmtree(where, ignore_errors=True)
    if not args.no_mount:
        m = bench_mount_memory(args, args.entries, False)
        mount_bound = 2 * m["index"] + 32
        peak = max(m["peak"], m["served"])
        print(f"| bcl mount (building {m['peak']:.1f}, serving after a walk {m['served']:.1f}) | {peak:.1f} | "
              f"{m['seconds']:.2f} | {mount_bound:.1f} | {peak / mount_bound:.2f} {verdict(peak <= mount_bound)} |")


if __name__ == "__main__":
    main()
