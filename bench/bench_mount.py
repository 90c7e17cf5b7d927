#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Times reads through bcl mount against the extracted files, the data file and archivemount.

Archives are generated as bench.py generates them (its functions are imported unchanged), on a
fresh loop-mounted ext4 file system when run as root. Every read through bcl mount happens on
a fresh mount, so that the kernel's cache of the mount holds nothing and every byte comes
through the FUSE server; the data file and the extracted files are read with a warm page
cache. Timed commands alternate between runs and medians are reported.
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
from bench import GIB, MIB, Pattern, generate, mount_scratch, run_once  # noqa: E402

READ_TREE = "find . -type f -print0 | xargs -0 -r cat > /dev/null"


def timed(argv, cwd, timeout=None):
    start = time.perf_counter()
    subprocess.run(argv, cwd=cwd, check=True, stdout=subprocess.DEVNULL, timeout=timeout)
    return time.perf_counter() - start


def read_file(path, timeout=None):
    return timed(["cat", path], cwd="/", timeout=timeout)


def read_tree(root, timeout=None):
    return timed(["sh", "-c", READ_TREE], cwd=root, timeout=timeout)


class BclMount:
    """bcl mount in the background for the length of a with-block."""

    def __init__(self, bcl, where, mnt):
        self.argv = [bcl, "-i", os.path.join(where, "MOLVARE.BCL"), "-d", os.path.join(where, "MOLVARE.BCD"),
                     "mount", mnt]
        self.bcl = bcl
        self.mnt = mnt

    def __enter__(self):
        os.makedirs(self.mnt, exist_ok=True)
        subprocess.run(self.argv, check=True)
        return self.mnt

    def __exit__(self, *exc):
        subprocess.run([self.bcl, "umount", self.mnt], check=True)


class ArchiveMount:
    def __init__(self, tar, mnt):
        self.tar = tar
        self.mnt = mnt

    def __enter__(self):
        os.makedirs(self.mnt, exist_ok=True)
        start = time.perf_counter()
        subprocess.run(["archivemount", "-o", "readonly", self.tar, self.mnt], check=True)
        self.mount_seconds = time.perf_counter() - start
        return self

    def __exit__(self, *exc):
        subprocess.run(["fusermount", "-u", self.mnt], check=False)
        subprocess.run(["fusermount3", "-u", self.mnt], check=False, stderr=subprocess.DEVNULL)


def bcl_daemon_peak_mib(mnt):
    """VmHWM of the process that serves mnt."""
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                args = f.read().split(b"\0")
            if mnt.encode() not in args or b"mount" not in args:
                continue
            with open(f"/proc/{pid}/status") as f:
                for line in f:
                    if line.startswith("VmHWM:"):
                        return int(line.split()[1]) / 1024
        except OSError:
            continue
    return float("nan")


def extract(bcl, where, out):
    os.makedirs(out)
    subprocess.run([bcl, "-i", os.path.join(where, "MOLVARE.BCL"), "-d", os.path.join(where, "MOLVARE.BCD"),
                    "extract", "-C", out], check=True)


def warm(*paths):
    for p in paths:
        if os.path.isdir(p):
            read_tree(p)
        else:
            read_file(p)


def bench_big_member(args, work, pattern):
    where = os.path.join(work, "big")
    sizes = generate("big1", args.scale, where, pattern)
    data = os.path.join(where, "MOLVARE.BCD")
    out = os.path.join(where, "out")
    extract(args.bcl, where, out)
    member = "m0000000.bin"
    extracted = os.path.join(out, member)
    mnt = os.path.join(work, "mnt")
    warm(data, extracted)
    times = {"mount": [], "mount-again": [], "extracted": [], "data": []}
    for _ in range(args.runs):
        with BclMount(args.bcl, where, mnt):
            times["mount"].append(read_file(os.path.join(mnt, member)))
            times["mount-again"].append(read_file(os.path.join(mnt, member)))
        times["extracted"].append(read_file(extracted))
        times["data"].append(read_file(data))
    result = {k: statistics.median(v) for k, v in times.items()}
    with ArchiveMount(os.path.join(where, "members.tar"), mnt) as am:
        try:
            result["archivemount"] = read_file(os.path.join(mnt, member), timeout=args.archivemount_timeout)
            result["archivemount-bound"] = False
        except subprocess.TimeoutExpired:
            result["archivemount"] = args.archivemount_timeout
            result["archivemount-bound"] = True
        result["archivemount-mount"] = am.mount_seconds
    shutil.rmtree(where)
    result["bytes"] = sizes[0]
    return result


def bench_many_members(args, work, pattern, count, with_archivemount):
    """Every member of a count x 1 KiB archive through bcl mount and from the extracted tree;
    with_archivemount adds one bounded run through archivemount on the same members' tar."""
    where = os.path.join(work, f"k1-{count}")
    generate("k1", count / 100_000, where, pattern)
    out = os.path.join(where, "out")
    extract(args.bcl, where, out)
    mnt = os.path.join(work, "mnt")
    warm(os.path.join(where, "MOLVARE.BCD"), out)
    times = {"mount": [], "extracted": []}
    for _ in range(args.runs):
        with BclMount(args.bcl, where, mnt):
            times["mount"].append(read_tree(mnt))
        times["extracted"].append(read_tree(out))
    result = {k: statistics.median(v) for k, v in times.items()}
    if with_archivemount:
        warm(os.path.join(where, "members.tar"))
        with ArchiveMount(os.path.join(where, "members.tar"), mnt) as am:
            result["archivemount-mount"] = am.mount_seconds
            try:
                result["archivemount"] = read_tree(mnt, timeout=args.archivemount_timeout)
                result["archivemount-bound"] = False
            except subprocess.TimeoutExpired:
                result["archivemount"] = args.archivemount_timeout
                result["archivemount-bound"] = True
    shutil.rmtree(where)
    return result


def mount_record(i, flat):
    """One record of the mount benchmark's index: 16-byte members in 1000 directories, or
    1-byte members with short names all in the root (flat), the smallest index per entry."""
    if flat:
        return b"[m%07d]\n%d\n1\n" % (i, i)
    return b"[d%03d/m%07d.bin]\n%d\n16\n" % (i % 1000, i, 16 * i)


def bench_mount_time(args, work, count, flat=False):
    """Mounting an index of count entries: the time until bcl mount returns (the mount is then
    usable) and the peak memory of building the tree and of serving it after a walk of it."""
    where = os.path.join(work, "entries")
    os.makedirs(where)
    with open(os.path.join(where, "MOLVARE.BCL"), "wb") as index:
        index.write(b"MOUNT BENCH\n%d FILES\n" % count)
        for start in range(0, count, 100_000):
            index.write(b"".join(mount_record(i, flat) for i in range(start, min(count, start + 100_000))))
    with open(os.path.join(where, "MOLVARE.BCD"), "wb") as data:
        data.truncate(16 * count)
    index_mib = os.path.getsize(os.path.join(where, "MOLVARE.BCL")) / MIB
    mnt = os.path.join(work, "mnt")
    argv = [args.bcl, "-i", os.path.join(where, "MOLVARE.BCL"), "-d", os.path.join(where, "MOLVARE.BCD"),
            "mount", mnt]
    warm(os.path.join(where, "MOLVARE.BCL"))
    seconds, peaks, served = [], [], []
    for _ in range(args.runs):
        elapsed, peak, code, err = run_once(argv, where)
        if code != 0:
            raise SystemExit(f"bench: bcl mount ended with {code}: {err.decode(errors='replace')}")
        try:
            subprocess.run(["find", mnt, "-type", "f"], check=True, stdout=subprocess.DEVNULL)
            served.append(bcl_daemon_peak_mib(mnt))
        finally:
            subprocess.run([args.bcl, "umount", mnt], check=True)
        seconds.append(elapsed)
        peaks.append(peak)
    shutil.rmtree(where)
    return {"count": count, "seconds": statistics.median(seconds), "peak": max(peaks),
            "served": max(served), "index": index_mib}


def bench_mount_memory(args, count, flat):
    """bench_mount_time alone, in a scratch directory of the system's temporary directory."""
    work = tempfile.mkdtemp(prefix="bcl-mount-memory-", dir=args.dir)
    os.makedirs(os.path.join(work, "mnt"))
    try:
        return bench_mount_time(args, work, count, flat)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def print_mount_memory(m, flat):
    bound = 2 * m["index"] + 32
    print(f"| {'flat' if flat else 'in 1000 directories'} | index MiB | peak building MiB | peak serving MiB | bound MiB (2 x index + 32) | building / bound |")
    print(f"|---:|---:|---:|---:|---:|---:|")
    print(f"| {m['count']:,} entries | {m['index']:.1f} | {m['peak']:.1f} | {m['served']:.1f} | {bound:.1f} | "
          f"{m['peak'] / bound:.2f} {verdict(m['peak'] <= bound)} |")


def verdict(ok):
    return "met" if ok else "**missed**"


def print_table(args, big, many, versus, mounting):
    print(f"runs: {args.runs} (medians), scale: {args.scale}")
    print("| measurement | bcl mount | compared with | ratio | target | result |")
    print("|---|---:|---|---:|---|---|")
    if big:
        gib = big["bytes"] / GIB
        def rate(t):
            return f"{gib / t:.2f} GiB/s"
        ratio = big["extracted"] / big["mount"]
        print(f"| {big['bytes'] / MIB:.0f} MiB member, cat (fresh mount) | {big['mount']:.3f} s, {rate(big['mount'])} | "
              f"extracted file {big['extracted']:.3f} s, {rate(big['extracted'])} | {ratio:.2f}x throughput | "
              f">= 0.7x | {verdict(ratio >= 0.7)} |")
        print(f"| same member, cat again (mount's page cache) | {big['mount-again']:.3f} s, {rate(big['mount-again'])} | "
              f"data file {big['data']:.3f} s, {rate(big['data'])} | {big['data'] / big['mount-again']:.2f}x throughput | - | - |")
        bound = ">" if big["archivemount-bound"] else ""
        at_most = "<" if bound else ""
        print(f"| same member through archivemount (one run) | - | {bound}{big['archivemount']:.3f} s, "
              f"{at_most}{rate(big['archivemount'])}; its mount {big['archivemount-mount']:.2f} s | "
              f"{bound}{big['archivemount'] / big['mount']:.0f}x bcl's time | - | - |")
    if many:
        ratio = many["mount"] / many["extracted"]
        print(f"| {args.many_count:,} x 1 KiB, every member (fresh mount) | {many['mount']:.3f} s | "
              f"extracted tree, warm cache {many['extracted']:.3f} s | {ratio:.2f}x time | <= 5x | {verdict(ratio <= 5)} |")
    if versus:
        bound = ">" if versus["archivemount-bound"] else ""
        speedup = versus["archivemount"] / versus["mount"]
        print(f"| {args.versus_count:,} x 1 KiB, every member (fresh mount) | {versus['mount']:.3f} s | "
              f"archivemount (one run) {bound}{versus['archivemount']:.1f} s, its mount {versus['archivemount-mount']:.2f} s; "
              f"extracted tree {versus['extracted']:.3f} s | {bound}{speedup:.0f}x faster | > 100x | {verdict(speedup > 100)} |")
    if mounting:
        bound = 2 * mounting["index"] + 32
        peak = max(mounting["peak"], mounting["served"])
        print(f"| mount {mounting['count']:,} entries (until usable) | {mounting['seconds']:.3f} s | - | - | < 2 s | "
              f"{verdict(mounting['seconds'] < 2)} |")
        print(f"| peak memory, {mounting['count']:,} entries (index {mounting['index']:.1f} MiB) | "
              f"{mounting['peak']:.1f} MiB building, {mounting['served']:.1f} MiB serving after a walk of every entry | "
              f"bound 2 x index + 32 = {bound:.1f} MiB | {peak / bound:.2f} of the bound | <= bound | {verdict(peak <= bound)} |")


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--bcl", default="build-bench/bcl", help="the bcl binary to time")
    ap.add_argument("--dir", default=None, help="where generated data goes (default: the system's temporary directory)")
    ap.add_argument("--runs", type=int, default=5, help="timed runs of each read (median reported)")
    ap.add_argument("--scale", type=float, default=1.0, help="shrink sizes and counts, e.g. 0.001 for a smoke run")
    ap.add_argument("--archivemount-timeout", type=float, default=600,
                    help="seconds after which an archivemount read is stopped and reported as a lower bound")
    ap.add_argument("--in-place", action="store_true", help="do not mount a scratch file system")
    ap.add_argument("--mount-memory", type=int, metavar="COUNT", default=None,
                    help="only mount an index of COUNT entries and report its peak memory against the bound")
    args = ap.parse_args()
    args.bcl = os.path.abspath(args.bcl)
    args.many_count = max(1, int(100_000 * args.scale))
    args.versus_count = max(1, int(20_000 * args.scale))
    mount_count = max(1, int(1_000_000 * args.scale))
    if not os.access(args.bcl, os.X_OK):
        raise SystemExit(f"bench: {args.bcl}: not an executable")
    if args.mount_memory is not None:
        for flat in (False, True):
            print_mount_memory(bench_mount_memory(args, args.mount_memory, flat), flat)
        return
    if shutil.which("archivemount") is None:
        raise SystemExit("bench: archivemount is not installed (Debian: archivemount)")

    base = tempfile.mkdtemp(prefix="bcl-mount-bench-", dir=args.dir)
    mounted = None
    try:
        if os.geteuid() == 0 and not args.in_place:
            mounted, device = mount_scratch(base, max(2, int(math.ceil(8 * min(1.0, args.scale * 4)))))
            work = mounted
        else:
            print("bench: warning: timing in place, not on a fresh file system", file=sys.stderr)
            work = base
        pattern = Pattern()
        big = bench_big_member(args, work, pattern)
        print(f"bench: big member done", file=sys.stderr)
        many = bench_many_members(args, work, pattern, args.many_count, with_archivemount=False)
        print(f"bench: {args.many_count} members done", file=sys.stderr)
        versus = bench_many_members(args, work, pattern, args.versus_count, with_archivemount=True)
        print(f"bench: {args.versus_count} members against archivemount done", file=sys.stderr)
        mounting = bench_mount_time(args, work, mount_count)
        print_table(args, big, many, versus, mounting)
    finally:
        if mounted:
            subprocess.run(["umount", mounted], check=False)
            subprocess.run(["losetup", "-d", device], check=False)
        shutil.rmtree(base, ignore_errors=True)


if __name__ == "__main__":
    main()
