#!/usr/bin/env bash
# Duplicate detection on files forged to share size and CRC-32: generates trees of N small
# files (64 bytes, all different, all with the same CRC-32) under /tmp and times the whole
# "qv5 -t1 c1" on each, with a warm page cache; prints the wall seconds and the duplicate
# line. Comparing every pair of such files byte by byte is quadratic in N.
#
#   bash bench/forged_duplicates.sh [file counts...]     default: 600 50000
#   QV5_OLD=/path/to/older/qv5 bash bench/forged_duplicates.sh 600 2000 50000
#
# Environment:
#   QV5              the binary timed (default: the release build, built here)
#   QV5_OLD          a second binary timed on the same trees, e.g. one built from an earlier
#                    commit; both must write the same archive, which is checked
#   OLD_MAX          largest count QV5_OLD is timed on (default 2000: 50,000 take hours there)
#   RUNS             runs per measurement, the median is printed (default 3)
#   QV5_FORGED_ROOT  where the trees are kept for later runs (default /tmp/qv5-forged)
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
root=${QV5_FORGED_ROOT:-/tmp/qv5-forged}
counts=("$@")
[ ${#counts[@]} -gt 0 ] || counts=(600 50000)

if [ -z "${QV5:-}" ]; then
    if [ ! -f "$here/build/release/build.ninja" ]; then cmake --preset release -S "$here" >/dev/null; fi
    cmake --build "$here/build/release" -j2 --target qv5 >/dev/null
    QV5=$here/build/release/src/cli/qv5
fi

export QV5 QV5_OLD="${QV5_OLD:-}" OLD_MAX="${OLD_MAX:-2000}" RUNS="${RUNS:-3}" ROOT="$root"
python3 - "${counts[@]}" <<'PY'
import os, random, re, statistics, subprocess, sys, time, zlib

qv5, old, old_max = os.environ["QV5"], os.environ["QV5_OLD"], int(os.environ["OLD_MAX"])
runs, root = int(os.environ["RUNS"]), os.environ["ROOT"]

table = []
for i in range(256):
    r = i
    for _ in range(8):
        r = (r >> 1) ^ (0xEDB88320 if r & 1 else 0)
    table.append(r)
top = {t >> 24: i for i, t in enumerate(table)}

def forge_crc(data, target):
    """Four bytes that, appended to data, give the CRC-32 target."""
    reg, indices = target ^ 0xFFFFFFFF, []
    for _ in range(4):
        i = top[reg >> 24]
        indices.append(i)
        reg = ((reg ^ table[i]) << 8) & 0xFFFFFFFF
    reg, out = zlib.crc32(data) ^ 0xFFFFFFFF, bytearray()
    for i in reversed(indices):
        out.append((reg ^ i) & 0xFF)
        reg = (reg >> 8) ^ table[i]
    return bytes(out)

def tree(count):
    folder = f"{root}/{count}"
    if not os.path.exists(f"{folder}/complete"):
        print(f"generating {count:,} files in {folder}/tree", flush=True)
        subprocess.run(["rm", "-rf", folder], check=True)
        rng = random.Random(count)
        for k in range(count):
            sub = f"{folder}/tree/d{k // 1000:03d}"
            os.makedirs(sub, exist_ok=True)
            head = k.to_bytes(4, "little") + rng.randbytes(56)  # all different
            with open(f"{sub}/f{k:06d}", "wb") as f:
                f.write(head + forge_crc(head, 0x5EEDC0DE))
        open(f"{folder}/complete", "w").close()
    for dirpath, _, files in os.walk(f"{folder}/tree"):  # warm the cache
        for name in files:
            with open(os.path.join(dirpath, name), "rb") as f:
                f.read()
    return folder

def measure(binary, folder, archive):
    walls, line = [], ""
    for _ in range(runs):
        start = time.perf_counter()
        done = subprocess.run([binary, "-force-overwrite", "-t1", "c1", archive, f"{folder}/tree"],
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        walls.append(time.perf_counter() - start)
        out = done.stdout.decode("latin-1")
        if done.returncode != 0:
            raise SystemExit(f"{binary} failed ({done.returncode}):\n{out[-2000:]}")
        line = re.search(r"Checking duplicates\.\.\. (\d+/\d+)", out).group(1)
    return statistics.median(walls), line

print(f"qv5 -t1 c1, median of {runs} runs, wall seconds")
for count in map(int, sys.argv[1:]):
    folder = tree(count)
    wall, line = measure(qv5, folder, f"{folder}/new.qv5")
    print(f"{count:>7,} files  {wall:8.2f} s  duplicates {line}   {qv5}", flush=True)
    if old and count <= old_max:
        wall, line = measure(old, folder, f"{folder}/old.qv5")
        same = open(f"{folder}/new.qv5", "rb").read() == open(f"{folder}/old.qv5", "rb").read()
        print(f"{count:>7,} files  {wall:8.2f} s  duplicates {line}   {old}"
              f"  ({'same archive' if same else 'ARCHIVES DIFFER'})", flush=True)
PY
