#!/usr/bin/env python3
"""Damages a copy of an archive written with -protect in many separate places, repairs it with
r and checks that the repair is the archive byte for byte.

    bench/recovery_damage.py QV5 ARCHIVE [--places 50] [--share 2.0] [--seed 1] [--runs 1]

The damage: the first 4 KiB zeroed (the header), a third of the places single flipped bits, a
third zeroed 4 KiB runs, and the rest zeroed runs that make up the share (in percent of the
file) together; places never overlap or touch. Prints, per run, the damaged slices against the
parity slices (from t) and whether r restored every byte."""
import argparse
import os
import random
import re
import subprocess
import sys
import tempfile


def damage(data, places, share, rng):
    size = len(data)
    total = int(size * share / 100)
    flips = (places - 1) // 3
    runs4k = (places - 1) // 3
    large = places - 1 - flips - runs4k
    lengths = [4096] + [1] * flips + [4096] * runs4k
    rest = max(0, total - sum(lengths))
    lengths += [rest // large] * large if large else []
    # Non-overlapping places with a gap: cut the file into as many stretches as places.
    order = lengths[1:]
    rng.shuffle(order)
    stretch = (size - 8192) // len(order)
    out = bytearray(data)
    out[0:4096] = bytes(4096)
    for i, length in enumerate(order):
        base = 8192 + i * stretch
        at = base + rng.randrange(max(1, stretch - length - 1))
        if length == 1:
            out[at] ^= 1 << rng.randrange(8)
        else:
            out[at : at + length] = bytes(length)
    return out, sum(lengths)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("qv5")
    parser.add_argument("archive")
    parser.add_argument("--places", type=int, default=50)
    parser.add_argument("--share", type=float, default=2.0)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--runs", type=int, default=1)
    args = parser.parse_args()
    original = open(args.archive, "rb").read()
    failures = 0
    with tempfile.TemporaryDirectory() as folder:
        for run in range(args.runs):
            rng = random.Random(args.seed + run)
            damaged, bytes_damaged = damage(original, args.places, args.share, rng)
            bad = os.path.join(folder, "damaged.qv5")
            fixed = os.path.join(folder, "repaired.qv5")
            open(bad, "wb").write(damaged)
            if os.path.exists(fixed):
                os.remove(fixed)
            test = subprocess.run([args.qv5, "t", bad], capture_output=True, text=True)
            found = re.search(r"Damaged: ([\d,]+) of ([\d,]+) slices.*?(?:, more than the ([\d,]+) parity|can rebuild)", test.stdout + test.stderr)
            repair = subprocess.run([args.qv5, "-force-overwrite", "r", bad, fixed], capture_output=True, text=True)
            same = os.path.exists(fixed) and open(fixed, "rb").read() == original
            failures += 0 if same else 1
            print(f"run {run}: {args.places} places, {bytes_damaged:,} bytes ({bytes_damaged * 100 / len(original):.2f}%) damaged; "
                  f"t: {found.group(0) if found else 'no verdict'}; r status {repair.returncode}, "
                  f"{'byte for byte' if same else 'NOT restored'}")
    print(f"recovery-damage: {args.runs - failures} passed, {failures} failed")
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
