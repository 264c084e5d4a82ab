#!/usr/bin/env bash
# hashFile throughput on a cached file of 1 GiB (or FILE), next to `cat FILE > /dev/null`
# on the same file, alternating, 5 runs each; prints the medians in MB/s (10^6 bytes).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
file=${1:-/tmp/qv5-hash-bench.bin}
if [ ! -f "$file" ]; then
    head -c $((1 << 30)) /dev/urandom > "$file"
fi
cmake --preset bench -S "$here" >/dev/null && cmake --build "$here/build/bench" --target qv5_bench_hash_file >/dev/null
bin=$here/build/bench/bench/qv5_bench_hash_file
cat "$file" > /dev/null # into the page cache
python3 - "$file" "$bin" <<'PY'
import os, statistics, subprocess, sys, time
path, binary = sys.argv[1], sys.argv[2]
size = os.path.getsize(path)
runs = {"hashFile": [], "cat": []}
for _ in range(5):
    for name, cmd in (("hashFile", [binary, path]), ("cat", ["sh", "-c", f"cat '{path}' > /dev/null"])):
        start = time.perf_counter()
        subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL)
        runs[name].append(size / (time.perf_counter() - start) / 1e6)
for name, rates in runs.items():
    print(f"{name:9} median {statistics.median(rates):7.0f} MB/s  (min {min(rates):.0f}, max {max(rates):.0f}) over {size:,} bytes")
print(f"hashFile / cat: {statistics.median(runs['hashFile']) / statistics.median(runs['cat']):.2f}")
PY
