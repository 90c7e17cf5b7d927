#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Aligned archives on a file system that shares blocks: unbcl on an archive made with
bcl create --align 4096, on the same members unaligned, and cp --reflink=never of the same
bytes, with the space each extraction takes.

Runs as root on a freshly made XFS file system with reflink on a loop device (mkfs.xfs from
xfsprogs); the generated data is removed afterwards.
"""
import argparse
import math
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench import GIB, MIB, Pattern, run_once, shape_sizes  # noqa: E402

ALIGN = 4096
# A small first member puts every later one off any block boundary unless aligned.
LEAD = 100

SHAPES = {
    "big1": "1 x 1 GiB",
    "mixed": "10,000 mixed 1 B-2 MiB",
}


def mount_xfs(base, size_gib):
    image = os.path.join(base, "xfs.img")
    mnt = os.path.join(base, "mnt")
    os.makedirs(mnt)
    with open(image, "wb") as f:
        f.truncate(size_gib * GIB)
    subprocess.run(["mkfs.xfs", "-q", "-m", "reflink=1", image], check=True)
    device = subprocess.run(["losetup", "--direct-io=on", "--find", "--show", image],
                            check=True, capture_output=True, text=True).stdout.strip()
    subprocess.run(["mount", device, mnt], check=True)
    return mnt, device


def write_members(where, sizes, pattern):
    """The members as files, named so that they sort in the order generated."""
    tree = os.path.join(where, "tree")
    os.makedirs(tree)
    names = ["a-lead.txt"] + ["m%07d.bin" % i for i in range(len(sizes))]
    offset = 0
    with open(os.path.join(tree, names[0]), "wb") as f:
        f.write(b"L" * LEAD)
    for name, size in zip(names[1:], sizes):
        with open(os.path.join(tree, name), "wb") as f:
            for piece in pattern.bytes_at(offset, size):
                f.write(piece)
        offset += size
    return tree


def used_kib(path):
    st = os.statvfs(path)
    return (st.f_blocks - st.f_bfree) * st.f_frsize // 1024


def settled_used_kib(path):
    """Space in use once the file system has caught up: XFS frees a removed file's blocks in
    the background, so one reading right after a removal still counts them."""
    subprocess.run(["sync"], check=True)
    last = used_kib(path)
    for _ in range(50):
        time.sleep(0.2)
        now = used_kib(path)
        if now == last:
            return now
        last = now
    return last


def bench_shape(shape, args, unbcl, bcl, work, pattern):
    where = os.path.join(work, shape)
    os.makedirs(where)
    sizes = shape_sizes(shape, args.scale)
    tree = write_members(where, sizes, pattern)
    for name, extra in (("U", []), ("A", ["--align", str(ALIGN)])):
        subprocess.run([bcl, "create", os.path.join(where, name + ".BCL"), "-C", tree, "."] + extra, check=True)
    # The members' bytes as one file, for cp.
    with open(os.path.join(where, "members.bin"), "wb") as f:
        for piece in pattern.bytes_at(0, sum(sizes)):
            f.write(piece)
    shutil.rmtree(tree)
    commands = {
        "aligned": [unbcl, os.path.join(where, "A.BCL"), os.path.join(where, "A.BCD")],
        "unaligned": [unbcl, os.path.join(where, "U.BCL"), os.path.join(where, "U.BCD")],
        "cp": ["cp", "--reflink=never", os.path.join(where, "members.bin"), "copy"],
    }
    times = {tool: [] for tool in commands}
    space = {tool: [] for tool in commands}
    for run in range(args.runs):
        for tool, argv in commands.items():  # alternating, so drift hits every tool alike
            out = os.path.join(work, f"out-{shape}-{tool}-{run}")
            os.mkdir(out)
            before = settled_used_kib(work)
            elapsed, _, code, err = run_once(argv, out)
            if code != 0:
                raise SystemExit(f"bench_align: {tool} on {shape} ended with {code}: {err.decode(errors='replace')}")
            times[tool].append(elapsed)
            space[tool].append((settled_used_kib(work) - before) / 1024)
            shutil.rmtree(out)
    shutil.rmtree(where)
    return SHAPES[shape], {t: statistics.median(v) for t, v in times.items()}, \
        {t: statistics.median(v) for t, v in space.items()}


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--unbcl", default="build-bench/unbcl")
    ap.add_argument("--bcl", default="build-bench/bcl")
    ap.add_argument("--runs", type=int, default=5, help="timed runs of each command (median reported)")
    ap.add_argument("--scale", type=float, default=1.0, help="shrink sizes and counts, e.g. 0.001 for a smoke run")
    ap.add_argument("--shapes", default=",".join(SHAPES))
    args = ap.parse_args()
    unbcl, bcl = os.path.abspath(args.unbcl), os.path.abspath(args.bcl)
    if os.geteuid() != 0 or shutil.which("mkfs.xfs") is None:
        print("bench_align: skipped: needs root and mkfs.xfs (xfsprogs) for a scratch XFS", file=sys.stderr)
        return
    base = tempfile.mkdtemp(prefix="unbcl-align-")
    mounted = device = None
    try:
        mounted, device = mount_xfs(base, max(2, int(math.ceil(10 * min(1.0, args.scale * 4)))))
        pattern = Pattern()
        rows = [bench_shape(shape, args, unbcl, bcl, mounted, pattern) for shape in args.shapes.split(",")]
    finally:
        if mounted:
            subprocess.run(["umount", mounted], check=False)
            subprocess.run(["losetup", "-d", device], check=False)
        shutil.rmtree(base, ignore_errors=True)
    print(f"aligned archives (--align {ALIGN}) on XFS with reflink; runs: {args.runs} (medians), scale: {args.scale}")
    print("| shape | aligned s | unaligned s | cp s | aligned/unaligned | aligned/cp "
          "| aligned MiB used | unaligned MiB used | cp MiB used |")
    print("|---|---:|---:|---:|---:|---:|---:|---:|---:|")
    for label, t, used in rows:
        print(f"| {label} | {t['aligned']:.3f} | {t['unaligned']:.3f} | {t['cp']:.3f} | "
              f"{t['aligned'] / t['unaligned']:.3f} | {t['aligned'] / t['cp']:.3f} | "
              f"{used['aligned']:.1f} | {used['unaligned']:.1f} | {used['cp']:.1f} |")


if __name__ == "__main__":
    main()
