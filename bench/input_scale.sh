#!/usr/bin/env bash
# Input set at scale: generates trees of many small files (some identical, some empty) under
# /tmp and times the preparation of the c command on them: every phase several times with
# qv5_bench_input_scale, the preparation once per ordering method as the program runs it, and
# "qv5 c1" as a whole; peak memory from /usr/bin/time -v.
#
#   bench/input_scale.sh [file counts...]     default: 50000 200000
#
# Environment: QV5_SCALE_ROOT (default /tmp/qv5-input-scale) holds the trees; they are kept
# for later runs and can be removed with rm -rf. Timings are with a warm page cache: each
# tree is walked once before it is measured.
set -euo pipefail

here="$(cd "$(dirname "$0")/.." && pwd)"
root="${QV5_SCALE_ROOT:-/tmp/qv5-input-scale}"
counts=("$@")
[ ${#counts[@]} -gt 0 ] || counts=(50000 200000)

cmake --preset bench -S "$here" >/dev/null
cmake --build --preset bench -j2 --target qv5 qv5_bench_input_scale >/dev/null
bench="$here/build/bench/bench/qv5_bench_input_scale"
program="$here/build/bench/src/cli/qv5"

generate() { # count folder
    python3 - "$1" "$2" <<'PY'
import os, random, sys
count, folder = int(sys.argv[1]), sys.argv[2]
rng = random.Random(count)
words = "the of and to in is that for it as with was on be by this are from or have not".split()
extensions = [".txt", ".c", ".h", ".md", ".json", ".TXT", ".bin", ".exe", ".dll", ""]
contents = []
for k in range(count):
    sub = os.path.join(folder, "d%03d" % (k // 1000), "s%d" % (k % 7))
    os.makedirs(sub, exist_ok=True)
    ext = extensions[rng.randrange(len(extensions))]
    roll = rng.random()
    if contents and roll < 0.05:            # a copy of an earlier file
        data = contents[rng.randrange(len(contents))]
    elif roll < 0.06:                        # empty
        data = b""
    elif ext in (".bin", ".exe", ".dll"):
        data = (b"MZ" if ext != ".bin" else b"") + rng.randbytes(rng.randrange(16, 3000))
    else:
        data = " ".join(rng.choice(words) for _ in range(rng.randrange(4, 400))).encode()
    if len(contents) < 5000:
        contents.append(data)
    with open(os.path.join(sub, "f%06d%s" % (k, ext)), "wb") as f:
        f.write(data)
PY
}

measure() { # label command... ; prints elapsed wall time and peak resident memory
    local label="$1"
    shift
    local log
    log="$(mktemp)"
    /usr/bin/time -v "$@" >/dev/null 2>"$log" || true
    grep -v -e '^\s' "$log" | grep -v '^Command exited' || true
    local wall rss
    wall="$(sed -n 's/.*Elapsed (wall clock) time (h:mm:ss or m:ss): //p' "$log")"
    rss="$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$log")"
    printf '%-28s wall %s, peak RSS %s KiB\n' "$label" "$wall" "$rss"
    rm -f "$log"
}

for count in "${counts[@]}"; do
    tree="$root/$count/tree"
    if [ ! -f "$root/$count/complete" ]; then
        echo "generating $count files in $tree"
        rm -rf "$root/$count"
        mkdir -p "$tree"
        generate "$count" "$tree"
        touch "$root/$count/complete"
    fi
    find "$tree" -type f | wc -l >/dev/null # warm the cache
    echo "== $count files"
    measure "phases (qv5_bench_input_scale)" "$bench" "$tree"
    for method in 0 1 2; do
        measure "preparation with -r$method" "$bench" "$tree" "-r$method"
    done
    rm -f "$root/$count/out.qv5"
    measure "qv5 c1 (to 'Ordered files')" "$program" c1 "$root/$count/out.qv5" "$tree"
done
