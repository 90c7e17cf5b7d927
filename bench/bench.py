#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Times unbcl against tar and cp on the same bytes and prints a table of medians and ratios.

Archives are generated deterministically into a scratch directory (removed afterwards). As root
the work happens on a freshly made, loop-mounted ext4 file system, so that timings of many-file
shapes do not depend on what ran on the disk before; otherwise it happens in place, with a
warning.
"""
import argparse
import math
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

KIB = 1024
MIB = 1024 * KIB
GIB = 1024 * MIB

# name: (description, member sizes as a function of the scale, compare with cp, listing only)
def shape_sizes(name, scale):
    def count(n):
        return max(1, int(n * scale))
    def size(n):
        return max(1, int(n * scale))
    if name == "big1":
        return [size(GIB)]
    if name == "big4":
        return [size(256 * MIB)] * 4
    if name in ("k1", "small-tree"):
        return [KIB] * count(100_000)
    if name == "list16":
        return [16] * count(1_000_000)
    if name == "mixed":
        rng = random.Random(7)
        top = math.log(2 * MIB)
        return [max(1, int(math.exp(rng.uniform(0, top)))) for _ in range(count(10_000))]
    raise SystemExit(f"unknown shape {name}")

SHAPES = {
    "big1": ("1 x 1 GiB", True, False),
    "big4": ("4 x 256 MiB", True, False),
    "mixed": ("10,000 mixed 1 B-2 MiB", False, False),
    "k1": ("100,000 x 1 KiB", False, False),
    "small-tree": ("100,000 x 1 KiB in 256 directories (made beforehand)", False, False),
    "list16": ("1,000,000 x 16 B, listing only", False, True),
}

# Indexes for the memory bound (peak at most twice the index plus 16 MiB), listed without a
# data file. name: (description, record count at scale 1, one record's bytes from its number)
MEMORY_SHAPES = {
    "short": ("4.2 million short records", 4_200_000, lambda i: b"[F%07d]\n0\n1\n" % i),
    "empty": ("63 MB of records with empty names", 9_000_000, lambda i: b"[]\n0\n0\n"),
    "densest": ("densest records: 5 bytes each", 12_600_000, lambda i: b"0 0]\n"),
}

TREE_DIRECTORIES = 256

# Jobs for the bcl extract rows (--bcl).
BCL_JOBS = (1, 2, 4)
# An earlier build's tools (--before-unbcl, --before-bcl) are named with this prefix, and timed
# with these jobs for bcl.
BEFORE = "before "
BEFORE_JOBS = (1, 2)


def member_name(shape, i):
    if shape == "small-tree":
        return b"d%03d/m%07d.bin" % (i % TREE_DIRECTORIES, i)
    return b"m%07d.bin" % i


PATTERN_SIZE = 4 * MIB + 7  # odd length, so members do not all start with the same bytes


class Pattern:
    def __init__(self):
        self.block = random.Random(1).randbytes(PATTERN_SIZE)

    def bytes_at(self, offset, length):
        """Yields the data file's bytes [offset, offset + length) in pieces."""
        while length > 0:
            start = offset % PATTERN_SIZE
            piece = min(length, PATTERN_SIZE - start, 8 * MIB)
            yield self.block[start:start + piece]
            offset += piece
            length -= piece


def tar_header(name, size):
    def octal(value, width):
        return (b"%0*o" % (width - 1, value)) + b"\0"
    h = bytearray(512)
    h[0:len(name)] = name
    h[100:108] = octal(0o644, 8)
    h[108:116] = octal(0, 8)
    h[116:124] = octal(0, 8)
    h[124:136] = octal(size, 12)
    h[136:148] = octal(1_700_000_000, 12)
    h[148:156] = b" " * 8
    h[156:157] = b"0"
    h[257:263] = b"ustar\0"
    h[263:265] = b"00"
    h[265:269] = b"root"
    h[297:301] = b"root"
    h[148:156] = b"%06o\0 " % sum(h)
    return bytes(h)


def generate(shape, scale, where, pattern):
    sizes = shape_sizes(shape, scale)
    os.makedirs(where, exist_ok=True)
    with open(os.path.join(where, "MOLVARE.BCL"), "wb") as index, \
         open(os.path.join(where, "MOLVARE.BCD"), "wb") as data, \
         open(os.path.join(where, "members.tar"), "wb") as tar:
        index.write(b"BENCH ARCHIVE\n%d FILES\n" % len(sizes))
        offset = 0
        lines = []
        for i, size in enumerate(sizes):
            name = member_name(shape, i)
            lines.append(b"[%s]\n%d\n%d\n" % (name, offset, size))
            tar.write(tar_header(name, size))
            for piece in pattern.bytes_at(offset, size):
                data.write(piece)
                tar.write(piece)
            tar.write(b"\0" * (-size % 512))
            offset += size
            if len(lines) >= 10_000:
                index.write(b"".join(lines))
                lines.clear()
        index.write(b"".join(lines))
        tar.write(b"\0" * 1024)
    return sizes


def run_once(argv, cwd):
    """Wall time in seconds and peak resident memory in MiB of one run.

    GNU time measures the memory: a child forked straight from this Python process would count
    the interpreter's own pages in its peak."""
    with tempfile.NamedTemporaryFile("r") as peak_file, open(os.devnull, "wb") as null:
        start = time.perf_counter()
        proc = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", peak_file.name] + argv,
                              cwd=cwd, stdout=null, stderr=subprocess.PIPE, check=False)
        elapsed = time.perf_counter() - start
        peak_kib = int(peak_file.read().strip().splitlines()[-1])
    return elapsed, peak_kib / 1024, proc.returncode, proc.stderr


def mount_scratch(base, size_gib):
    """A fresh ext4 file system with a journal on a loop device. Direct I/O on the loop device
    keeps its blocks out of the host's page cache, so writeback is not paid twice."""
    image = os.path.join(base, "fs.img")
    mnt = os.path.join(base, "mnt")
    os.makedirs(mnt)
    with open(image, "wb") as f:
        f.truncate(size_gib * GIB)
    subprocess.run(["mkfs.ext4", "-q", "-F", "-O", "has_journal", image], check=True)
    device = subprocess.run(["losetup", "--direct-io=on", "--find", "--show", image],
                            check=True, capture_output=True, text=True).stdout.strip()
    subprocess.run(["mount", device, mnt], check=True)
    return mnt, device


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--unbcl", default="build-bench/unbcl", help="the unbcl binary to time")
    ap.add_argument("--bcl", default=None, help="also time bcl extract -j 1, 2 and 4 with this binary")
    ap.add_argument("--dir", default=None, help="where generated data goes (default: under the system's temporary directory)")
    ap.add_argument("--runs", type=int, default=5, help="timed runs of each command (median reported)")
    ap.add_argument("--scale", type=float, default=1.0, help="shrink sizes and counts, e.g. 0.001 for a smoke run")
    ap.add_argument("--shapes", default=",".join(SHAPES), help="comma-separated: " + ",".join(SHAPES))
    ap.add_argument("--memory-shapes", default=",".join(MEMORY_SHAPES),
                    help="comma-separated indexes for the memory bound, or none: " + ",".join(MEMORY_SHAPES))
    ap.add_argument("--in-place", action="store_true", help="do not mount a scratch file system")
    ap.add_argument("--before-unbcl", default=None,
                    help="also time this unbcl (an earlier build), alternating with the one measured")
    ap.add_argument("--before-bcl", default=None,
                    help="also time bcl extract -j 1 and 2 of this bcl (an earlier build)")
    args = ap.parse_args()
    for option in ("before_unbcl", "before_bcl"):
        if getattr(args, option) is not None:
            setattr(args, option, os.path.abspath(getattr(args, option)))

    unbcl = os.path.abspath(args.unbcl)
    if not os.access(unbcl, os.X_OK):
        raise SystemExit(f"bench: {unbcl}: not an executable")
    if args.bcl is not None:
        args.bcl = os.path.abspath(args.bcl)
        if not os.access(args.bcl, os.X_OK):
            raise SystemExit(f"bench: {args.bcl}: not an executable")
    base = tempfile.mkdtemp(prefix="unbcl-bench-", dir=args.dir)
    mounted = None
    try:
        if os.geteuid() == 0 and not args.in_place:
            mounted, device = mount_scratch(base, max(2, int(math.ceil(16 * min(1.0, args.scale * 4)))))
            work = mounted
        else:
            print("bench: warning: timing in place, not on a fresh file system; "
                  "many-file shapes may drift with what ran on this disk before", file=sys.stderr)
            work = base
        pattern = Pattern()
        args.baseline_peak = baseline_peak(unbcl, work)
        rows = []
        for shape in filter(None, args.shapes.split(",")):
            rows.append(bench_shape(shape, args, unbcl, work, pattern))
        print_table(rows, args)
        print_bcl_table(rows, args)
        print_before_table(rows)
        memory_rows = [bench_memory(shape, args, unbcl, work)
                       for shape in filter(None, args.memory_shapes.split(",")) if shape != "none"]
        print_memory_table(memory_rows)
    finally:
        if mounted:
            subprocess.run(["umount", mounted], check=False)
            subprocess.run(["losetup", "-d", device], check=False)
        shutil.rmtree(base, ignore_errors=True)


def bench_shape(shape, args, unbcl, work, pattern):
    label, with_cp, listing_only = SHAPES[shape]
    where = os.path.join(work, shape)
    t0 = time.perf_counter()
    sizes = generate(shape, args.scale, where, pattern)
    print(f"bench: {shape}: generated {len(sizes)} members, {sum(sizes)} bytes "
          f"in {time.perf_counter() - t0:.1f} s", file=sys.stderr)
    index = os.path.join(where, "MOLVARE.BCL")
    data = os.path.join(where, "MOLVARE.BCD") if not listing_only else os.path.join(where, "absent.bcd")
    tar = os.path.join(where, "members.tar")
    commands = {"unbcl": [unbcl, index, data],
                "tar": ["tar", "-tvf", tar] if listing_only else ["tar", "-xf", tar]}
    if with_cp:
        commands["cp"] = ["cp", os.path.join(where, "MOLVARE.BCD"), "copy"]
    expected_code = {"unbcl": 2 if listing_only else 0, "tar": 0, "cp": 0}
    if args.bcl and not listing_only:
        for jobs in BCL_JOBS:
            tool = f"bcl -j{jobs}"
            commands[tool] = [args.bcl, "-i", index, "-d", data, "extract", "--no-progress", "-j", str(jobs)]
            expected_code[tool] = 0
    if args.before_unbcl:
        commands[BEFORE + "unbcl"] = [args.before_unbcl, index, data]
        expected_code[BEFORE + "unbcl"] = expected_code["unbcl"]
    if args.before_bcl and not listing_only:
        for jobs in BEFORE_JOBS:
            tool = BEFORE + f"bcl -j{jobs}"
            commands[tool] = [args.before_bcl, "-i", index, "-d", data, "extract", "--no-progress", "-j", str(jobs)]
            expected_code[tool] = 0
    times = {tool: [] for tool in commands}
    peaks = {tool: [] for tool in commands}
    subprocess.run(["cat", index, os.path.join(where, "MOLVARE.BCD"), tar], stdout=subprocess.DEVNULL, check=True)
    for run in range(args.runs):
        for tool, argv in commands.items():  # alternating, so drift hits every tool alike
            out = os.path.join(work, f"out-{shape}-{tool}-{run}")
            os.mkdir(out)
            if shape == "small-tree":
                # unbcl makes no directories: every tool finds them made.
                for d in range(TREE_DIRECTORIES):
                    os.mkdir(os.path.join(out, "d%03d" % d))
            subprocess.run(["sync"], check=True)
            elapsed, peak, code, err = run_once(argv, out)
            if code != expected_code[tool]:
                raise SystemExit(f"bench: {tool} on {shape} ended with {code}: {err.decode(errors='replace')}")
            ours = tool.removeprefix(BEFORE)
            if (ours == "unbcl" or ours.startswith("bcl")) and run == 0 and not listing_only:
                check_output(out, sizes, where, shape)
            times[tool].append(elapsed)
            peaks[tool].append(peak)
            shutil.rmtree(out)
    shutil.rmtree(where)
    return shape, label, len(sizes), {t: statistics.median(v) for t, v in times.items()}, \
        {t: max(v) for t, v in peaks.items()}


def bench_memory(shape, args, unbcl, work):
    """unbcl's peak memory while it lists (and keeps) every entry of a large index."""
    label, count, record = MEMORY_SHAPES[shape]
    where = os.path.join(work, "memory-" + shape)
    os.mkdir(where)
    index = os.path.join(where, "MOLVARE.BCL")
    count = max(1, int(count * args.scale))
    with open(index, "wb") as f:
        # The densest shape's first name line stands alone; every later one ends a length line.
        f.write(b"H\nH\n]\n" if shape == "densest" else b"H\nH\n")
        for start in range(0, count, 100_000):
            f.write(b"".join(record(i) for i in range(start, min(count, start + 100_000))))
    size = os.path.getsize(index)
    _, peak, code, err = run_once([unbcl, index, os.path.join(where, "absent.bcd")], where)
    if code != 2:
        raise SystemExit(f"bench: unbcl on the {shape} index ended with {code}: {err.decode(errors='replace')}")
    shutil.rmtree(where)
    return label, count, size / MIB, peak


def print_memory_table(rows):
    if not rows:
        return
    print()
    print("| index | records | index MiB | unbcl peak MiB | bound MiB (2 x index + 16) | peak / index |")
    print("|---|---:|---:|---:|---:|---:|")
    for label, count, size, peak in rows:
        print(f"| {label} | {count:,} | {size:.1f} | {peak:.1f} | {2 * size + 16:.1f} | {peak / size:.2f} |")


def print_bcl_table(rows, args):
    """bcl extract with 1, 2 and 4 threads against unbcl and tar on the same shapes."""
    rows = [row for row in rows if "bcl -j1" in row[3]]
    if not rows:
        return
    print()
    print("| shape | unbcl s | tar s | " + " | ".join(f"bcl -j{j} s" for j in BCL_JOBS) + " | " +
          " | ".join(f"-j1/-j{j}" for j in BCL_JOBS[1:]) + " | bcl -j1/unbcl | bcl -j4 peak MiB |")
    print("|---|" + "---:|" * (3 + 2 * len(BCL_JOBS)))
    for shape, label, count, t, peak in rows:
        one = t["bcl -j1"]
        print(f"| {label} | {t['unbcl']:.3f} | {t['tar']:.3f} | " +
              " | ".join(f"{t[f'bcl -j{j}']:.3f}" for j in BCL_JOBS) + " | " +
              " | ".join(f"{one / t[f'bcl -j{j}']:.2f}" for j in BCL_JOBS[1:]) +
              f" | {one / t['unbcl']:.2f} | {peak['bcl -j4']:.1f} |")


def print_before_table(rows):
    """The same tools from an earlier build, timed in the same alternating runs."""
    pairs = [tool.removeprefix(BEFORE) for tool in (rows[0][3] if rows else {}) if tool.startswith(BEFORE)]
    if not pairs:
        return
    print()
    print("| shape | " + " | ".join(f"{t} before s | {t} now s | now/before" for t in pairs) + " |")
    print("|---|" + "---:|---:|---:|" * len(pairs))
    for shape, label, count, t, peak in rows:
        cells = []
        for tool in pairs:
            if tool in t and BEFORE + tool in t:
                cells.append(f"{t[BEFORE + tool]:.3f} | {t[tool]:.3f} | {t[tool] / t[BEFORE + tool]:.3f}")
            else:
                cells.append("- | - | -")
        print(f"| {label} | " + " | ".join(cells) + " |")


def baseline_peak(unbcl, work):
    """unbcl's peak memory for an index with no entries, to price each entry."""
    where = os.path.join(work, "baseline")
    os.mkdir(where)
    with open(os.path.join(where, "MOLVARE.BCL"), "wb") as f:
        f.write(b"H\nH\n")
    _, peak, _, _ = run_once([unbcl, "MOLVARE.BCL", "absent.bcd"], where)
    shutil.rmtree(where)
    return peak


def check_output(out, sizes, where, shape):
    made = sum(len(files) for _, _, files in os.walk(out))
    if made != len(sizes):
        raise SystemExit(f"bench: {made} files made in {out}, expected {len(sizes)}")
    with open(os.path.join(where, "MOLVARE.BCD"), "rb") as data:
        for i in sorted({0, len(sizes) // 2, len(sizes) - 1}):
            offset = sum(sizes[:i])
            data.seek(offset)
            name = member_name(shape, i).decode()
            with open(os.path.join(out, name), "rb") as member:
                if member.read(MIB) != data.read(min(MIB, sizes[i])):
                    raise SystemExit(f"bench: {name} differs from its bytes in the data file")


def print_table(rows, args):
    print(f"runs: {args.runs} (medians), scale: {args.scale}")
    print("| shape | unbcl s | tar s | cp s | unbcl/tar | unbcl/cp | unbcl peak MiB | tar peak MiB | cp peak MiB |")
    print("|---|---:|---:|---:|---:|---:|---:|---:|---:|")
    for shape, label, count, t, peak in rows:
        cp = t.get("cp")
        print(f"| {label} | {t['unbcl']:.3f} | {t['tar']:.3f} | {cp:.3f} | " if cp is not None else
              f"| {label} | {t['unbcl']:.3f} | {t['tar']:.3f} | - | ", end="")
        print(f"{t['unbcl'] / t['tar']:.2f} | " + (f"{t['unbcl'] / cp:.2f}" if cp is not None else "-") +
              f" | {peak['unbcl']:.1f} | {peak['tar']:.1f} | " + (f"{peak['cp']:.1f} |" if cp is not None else "- |"))
    for shape, label, count, t, peak in rows:
        if shape == "list16":
            extra = (peak["unbcl"] - args.baseline_peak) * MIB
            print(f"listing: {count} entries, unbcl peak {peak['unbcl']:.1f} MiB, "
                  f"{args.baseline_peak:.1f} MiB with no entries: about {extra / count:.0f} bytes per entry")


if __name__ == "__main__":
    main()
