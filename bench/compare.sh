#!/usr/bin/env bash
# Side-by-side benchmark of qv5 against peer compressors on the mix corpus (see
# bench/README.md for how to build it), single-threaded, in one invocation; the rows marked
# -t2 are qv5 on two threads (its default on this machine).
#
#   bash bench/compare.sh                 # everything, 3 rounds (tar -x: the plain tar extracted)
#   RUNS=5 bash bench/compare.sh
#   ONLY='qv5 (c1|c2|d)|gzip' bash bench/compare.sh    # commands whose label matches
#   QV5_BASE=../base/build/release/src/cli/qv5 bash bench/compare.sh   # before and after
#
# Environment:
#   BENCH    corpus folder holding mix/ and mix.tar (default ~/.cache/qv5-bench)
#   WORK     scratch folder for archives and extracted output (default $BENCH/compare-work,
#            on the corpus' disk). The previous run's folder is removed at the end of the
#            next run, after its measurements.
#   RUNS     rounds (default 3); every round runs every command once, in the same order,
#            so that the commands alternate and share whatever load the machine has
#   SUBSET   folder of mix/ used for the c6 row and its like-for-like peers (default markup)
#   QV5      the qv5 binary (default: the release build, built here)
#   ONLY     extended regular expression; only commands whose label matches run (select the
#            compression that a decompression reads too: qv5 l, t and d read the c2 archive)
#   QV5_BASE a second qv5 binary (another build, e.g. the code before a change): every qv5 row
#            runs with it too, as "base ...", in the same rounds, and the ratios of the two
#            are printed, with a check that both wrote the same archives
#   RANDOM_MB size of the incompressible input, in MB (default 200): seeded random bytes
#            made once in $BENCH/random.bin, standing for photos, video and packages
# $BENCH/photos, made once too: fifty files of 2 to 6 MB of seeded random bytes, each behind
# 20 KB of repeated header words, as photos are: searches there hit now and then.
#
# Measured per command: wall seconds (median over the rounds; "wall spread" is the range of
# the rounds over the median, a measure of the noise), user+system CPU seconds (median) and
# the throughput by CPU time (CPU MB/s, the payload per CPU second: on a shared machine it
# moves less than the wall figure), and peak resident set size (the largest single process of a pipeline) from
# /usr/bin/time. MB/s is the corpus' file bytes (the payload, the same for every tool) per
# wall second, MB = 10^6 bytes, with a warm page cache. Every extraction and decompression
# writes new files into a new folder on the corpus' disk, and nothing is deleted while
# measuring: on ext4, creating thousands of files shortly after deleting as many is slowed
# down by inode allocation, and rewriting truncated files starts their writeback on close,
# both of which measure the file system rather than the tools. So a run right after
# another one (within minutes) measures slower extractions. Before every command, untimed,
# sync writes back what the commands before it left in the page cache.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
BENCH=${BENCH:-$HOME/.cache/qv5-bench}
WORK=${WORK:-$BENCH/compare-work}
RUNS=${RUNS:-3}
SUBSET=${SUBSET:-markup}
ONLY=${ONLY:-}
QV5_BASE=${QV5_BASE:-}
RANDOM_MB=${RANDOM_MB:-200}

if [ ! -d "$BENCH/mix" ] || [ ! -f "$BENCH/mix.tar" ]; then
    echo "corpus not found in $BENCH: build it with bench/corpus/make-mix.sh (see bench/README.md)" >&2
    exit 1
fi

# Peers from Debian's packages, installed when missing.
need=()
command -v gzip >/dev/null || need+=(gzip)
command -v zstd >/dev/null || need+=(zstd)
command -v xz >/dev/null || need+=(xz-utils)
command -v libdeflate-gzip >/dev/null || need+=(libdeflate-tools)
command -v 7zz >/dev/null || need+=(7zip)
[ -x /usr/bin/time ] || need+=(time)
command -v python3 >/dev/null || need+=(python3)
if [ ${#need[@]} -gt 0 ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq && apt-get install -y -qq "${need[@]}" >/dev/null
fi

if [ -z "${QV5:-}" ]; then
    if [ ! -f "$here/build/release/build.ninja" ]; then cmake --preset release -S "$here" >/dev/null; fi
    cmake --build "$here/build/release" --target qv5 >/dev/null
    QV5=$here/build/release/src/cli/qv5
fi

# The incompressible input: the same bytes on every run for a given size.
if [ "$(stat -c %s "$BENCH/random.bin" 2>/dev/null)" != "$((RANDOM_MB * 1000000))" ]; then
    python3 -c "import random, sys; sys.stdout.buffer.write(random.Random(24).randbytes($RANDOM_MB * 1000000))" \
        >"$BENCH/random.bin"
fi

if [ ! -e "$BENCH/photos.made" ]; then
    rm -rf "$BENCH/photos" && mkdir -p "$BENCH/photos"
    python3 - "$BENCH/photos" <<'PYTHON'
import random, sys
rng = random.Random(7)
words = [b"Exif", b"Camera ", b"Model ", b"\0\0\0\0", b"ISO ", b"2026:12:09 ", b"FocalLength ", b"\xff\xdb\x00\x43"]
for i in range(50):
    head = b"".join(rng.choice(words) for _ in range(3000))
    with open(f"{sys.argv[1]}/IMG_{i:04d}.jpg", "wb") as f:
        f.write(head + rng.randbytes(rng.randint(2 << 20, 6 << 20)))
PYTHON
    touch "$BENCH/photos.made"
fi

old=""
if [ -e "$WORK" ]; then old="$WORK.old.$$"; mv "$WORK" "$old"; fi
mkdir -p "$WORK"
tar cf "$WORK/subset.tar" -C "$BENCH/mix" "$SUBSET"

export BENCH WORK RUNS SUBSET ONLY QV5 QV5_BASE
python3 - <<'PYTHON'
import os, re, shlex, statistics, subprocess, time

bench, work, runs = os.environ["BENCH"], os.environ["WORK"], int(os.environ["RUNS"])
subset, only, qv5 = os.environ["SUBSET"], os.environ["ONLY"], os.environ["QV5"]
base = os.environ["QV5_BASE"]
mix, tar, noise, photos = f"{bench}/mix", f"{bench}/mix.tar", f"{bench}/random.bin", f"{bench}/photos"
q = shlex.quote

def payload(folder):
    total = 0
    for root, _, files in os.walk(folder):
        for name in files:
            path = os.path.join(root, name)
            if os.path.isfile(path) and not os.path.islink(path):
                total += os.path.getsize(path)
    return total

corpus = {"mix": payload(mix), subset: payload(f"{mix}/{subset}"), "random": os.path.getsize(noise),
          "photos": payload(photos)}

# (label, corpus, kind, command, output whose size is the archive size). Decompressions come
# after the compression that makes their input.
W = work
with open(f"{W}/pass", "w") as f:
    f.write("bench passphrase\n")
sealed = "env QV5_TEST_SEAL_COST=1,64"
commands = [
    ("qv5 c1", "mix", "c", f"{q(qv5)} -force-overwrite -t1 c1 {W}/c1.qv5 {q(mix)}", f"{W}/c1.qv5"),
    ("qv5 c2", "mix", "c", f"{q(qv5)} -force-overwrite -t1 c2 {W}/c2.qv5 {q(mix)}", f"{W}/c2.qv5"),
    ("qv5 c3", "mix", "c", f"{q(qv5)} -force-overwrite -t1 c3 {W}/c3.qv5 {q(mix)}", f"{W}/c3.qv5"),
    ("qv5 c4", "mix", "c", f"{q(qv5)} -force-overwrite -t1 c4 {W}/c4.qv5 {q(mix)}", f"{W}/c4.qv5"),
    ("qv5 c5", "mix", "c", f"{q(qv5)} -force-overwrite -t1 c5 {W}/c5.qv5 {q(mix)}", f"{W}/c5.qv5"),
    ("qv5 c1 -t2", "mix", "c", f"{q(qv5)} -force-overwrite -t2 c1 {W}/c1t2.qv5 {q(mix)}", f"{W}/c1t2.qv5"),
    ("qv5 c2 -t2", "mix", "c", f"{q(qv5)} -force-overwrite -t2 c2 {W}/c2t2.qv5 {q(mix)}", f"{W}/c2t2.qv5"),
    ("qv5 c3 -t2", "mix", "c", f"{q(qv5)} -force-overwrite -t2 c3 {W}/c3t2.qv5 {q(mix)}", f"{W}/c3t2.qv5"),
    ("qv5 c4 -t2", "mix", "c", f"{q(qv5)} -force-overwrite -t2 c4 {W}/c4t2.qv5 {q(mix)}", f"{W}/c4t2.qv5"),
    ("qv5 c2 -meta", "mix", "c", f"{q(qv5)} -force-overwrite -t1 -meta c2 {W}/c2m.qv5 {q(mix)}", f"{W}/c2m.qv5"),
    ("qv5 l", "mix", "l", f"{q(qv5)} l {W}/c2.qv5", None),
    ("qv5 d", "mix", "d", f"{q(qv5)} -force-overwrite -t1 d {W}/c2.qv5 {W}/qv5-out{{R}}", None),
    ("qv5 d -t2", "mix", "d", f"{q(qv5)} -force-overwrite -t2 d {W}/c2.qv5 {W}/qv5-t2-out{{R}}", None),
    ("qv5 d (-meta)", "mix", "d", f"{q(qv5)} -force-overwrite -t1 d {W}/c2m.qv5 {W}/qv5-meta-out{{R}}", None),
    ("qv5 t", "mix", "d", f"{q(qv5)} -t1 t {W}/c2.qv5", None),
    ("qv5 t -t2", "mix", "d", f"{q(qv5)} -t2 t {W}/c2.qv5", None),
    # A -meta archive carries the chunk index: its chunks decode on both threads.
    ("qv5 t (-meta)", "mix", "d", f"{q(qv5)} -t1 t {W}/c2m.qv5", None),
    ("qv5 t -t2 (-meta)", "mix", "d", f"{q(qv5)} -t2 t {W}/c2m.qv5", None),
    ("qv5 d -t2 (-meta)", "mix", "d", f"{q(qv5)} -force-overwrite -t2 d {W}/c2m.qv5 {W}/qv5-meta-t2-out{{R}}", None),
    # Sealed (-encrypt stores metadata, so it compares with the -meta rows). The passphrase
    # hash runs at a token cost here: its own time (about 0.8 s at the default cost) is
    # measured apart, by the "qv5 c1 -encrypt (default cost, one tiny file)" row.
    ("qv5 c2 -encrypt", "mix", "c", f"{sealed} {q(qv5)} -force-overwrite -t1 -encrypt -password-file={W}/pass c2 "
     f"{W}/c2e.qv5 {q(mix)}", f"{W}/c2e.qv5"),
    ("qv5 t (-encrypt)", "mix", "d", f"{sealed} {q(qv5)} -t1 -password-file={W}/pass t {W}/c2e.qv5", None),
    ("qv5 t -t2 (-encrypt)", "mix", "d", f"{sealed} {q(qv5)} -t2 -password-file={W}/pass t {W}/c2e.qv5", None),
    ("qv5 d (-encrypt)", "mix", "d", f"{sealed} {q(qv5)} -force-overwrite -t1 -password-file={W}/pass d {W}/c2e.qv5 "
     f"{W}/qv5-sealed-out{{R}}", None),
    ("qv5 l (-encrypt)", "mix", "l", f"{sealed} {q(qv5)} -password-file={W}/pass l {W}/c2e.qv5", None),
    # The passphrase hash at its default cost, alone: one tiny file sealed.
    ("qv5 c1 -encrypt (default cost, one tiny file)", "mix", "l",
     f"{q(qv5)} -force-overwrite -encrypt -password-file={W}/pass c1 {W}/kdf.qv5 {W}/pass", None),
    ("gzip -6", "mix", "c", f"tar cf - -C {q(bench)} mix | gzip -6 > {W}/mix.tar.gz", f"{W}/mix.tar.gz"),
    ("gzip -d", "mix", "d", f"gzip -dc {W}/mix.tar.gz > {W}/gzip-out{{R}}.tar", None),
    ("tar -x", "mix", "d", f"mkdir {W}/tar-out{{R}} && tar -xf {q(tar)} -C {W}/tar-out{{R}}", None),
    ("libdeflate-gzip -6", "mix", "c", f"libdeflate-gzip -6 -c {q(tar)} > {W}/mix.tar.ldgz", f"{W}/mix.tar.ldgz"),
    ("libdeflate-gzip -d", "mix", "d", f"libdeflate-gzip -d -c {W}/mix.tar.ldgz > {W}/ldgz-out{{R}}.tar", None),
    ("zstd -3", "mix", "c", f"tar cf - -C {q(bench)} mix | zstd -q -3 -T1 > {W}/mix.tar.zst3", f"{W}/mix.tar.zst3"),
    ("zstd -d (-3)", "mix", "d", f"zstd -q -d -c {W}/mix.tar.zst3 > {W}/zst3-out{{R}}.tar", None),
    ("zstd -6", "mix", "c", f"tar cf - -C {q(bench)} mix | zstd -q -6 -T1 > {W}/mix.tar.zst6", f"{W}/mix.tar.zst6"),
    ("tar --zstd -x (-6)", "mix", "d", f"mkdir {W}/tzst-out{{R}} && tar --zstd -xf {W}/mix.tar.zst6 -C {W}/tzst-out{{R}}",
     None),
    ("zstd -19", "mix", "c", f"tar cf - -C {q(bench)} mix | zstd -q -19 -T1 > {W}/mix.tar.zst19", f"{W}/mix.tar.zst19"),
    ("zstd -d (-19)", "mix", "d", f"zstd -q -d -c {W}/mix.tar.zst19 > {W}/zst19-out{{R}}.tar", None),
    ("xz -6", "mix", "c", f"tar cf - -C {q(bench)} mix | xz -q -6 -T1 > {W}/mix.tar.xz", f"{W}/mix.tar.xz"),
    ("xz -d", "mix", "d", f"xz -q -d -c {W}/mix.tar.xz > {W}/xz-out{{R}}.tar", None),
    ("7zz -mx=5", "mix", "c", f"rm -f {W}/mix.7z && cd {q(bench)} && 7zz a -bd -bso0 -mx=5 -mmt=1 {W}/mix.7z mix",
     f"{W}/mix.7z"),
    ("7zz x", "mix", "d", f"7zz x -bd -bso0 -mmt=1 -o{W}/7z-out{{R}} {W}/mix.7z", None),
    ("qv5 c6", subset, "c", f"{q(qv5)} -force-overwrite -t1 c6 {W}/c6.qv5 {q(mix + '/' + subset)}", f"{W}/c6.qv5"),
    ("qv5 d (c6)", subset, "d", f"{q(qv5)} -force-overwrite -t1 d {W}/c6.qv5 {W}/qv5-out6-{{R}}", None),
    ("zstd -19 (subset)", subset, "c", f"zstd -q -19 -T1 -c {W}/subset.tar > {W}/subset.tar.zst19", f"{W}/subset.tar.zst19"),
    ("xz -6 (subset)", subset, "c", f"xz -q -6 -T1 -c {W}/subset.tar > {W}/subset.tar.xz", f"{W}/subset.tar.xz"),
] + [(f"qv5 c{n} (random)", "random", "c", f"{q(qv5)} -force-overwrite -t1 c{n} {W}/r{n}.qv5 {q(noise)}",
      f"{W}/r{n}.qv5") for n in range(1, 7)] + [
    (f"qv5 c{n} -t2 (random)", "random", "c", f"{q(qv5)} -force-overwrite -t2 c{n} {W}/r{n}t2.qv5 {q(noise)}",
     f"{W}/r{n}t2.qv5") for n in (1, 3)] + [
    ("qv5 c1 (photos)", "photos", "c", f"{q(qv5)} -force-overwrite -t1 c1 {W}/p1.qv5 {q(photos)}", f"{W}/p1.qv5"),
    ("qv5 c1 -t2 (photos)", "photos", "c", f"{q(qv5)} -force-overwrite -t2 c1 {W}/p1t2.qv5 {q(photos)}",
     f"{W}/p1t2.qv5"),
    ("qv5 t (random)", "random", "d", f"{q(qv5)} -t1 t {W}/r1.qv5", None),
    ("gzip -1 (random)", "random", "c", f"gzip -1 -c {q(noise)} > {W}/random.gz", f"{W}/random.gz"),
    ("zstd -3 (random)", "random", "c", f"zstd -q -3 -T1 -c {q(noise)} > {W}/random.zst", f"{W}/random.zst"),
    ("zstd -d (random)", "random", "d", f"zstd -q -d -c {W}/random.zst > {W}/random-out{{R}}", None),
]
if base:
    # Every qv5 row again with the base binary, right after its own row, into files of its
    # own; "t" and "d" rows read the base's archives.
    paired = []
    for label, corp, kind, command, archive in commands:
        paired.append((label, corp, kind, command, archive))
        if label.startswith("qv5"):
            tagged = command.replace(q(qv5), q(base)).replace(f"{W}/", f"{W}/base-")
            paired.append(("base" + label[3:], corp, kind, tagged,
                           archive.replace(f"{W}/", f"{W}/base-") if archive else None))
    commands = paired
if only:
    commands = [c for c in commands if re.search(only, c[0])]

def run(command):
    out = f"{work}/time.txt"
    # Untimed: the dirty pages the previous command left are written back now, rather than
    # by the kernel's flusher threads while this command runs on the same two cores.
    subprocess.run(["sync"], check=True)
    start = time.perf_counter()
    done = subprocess.run(["/usr/bin/time", "-f", "%U %S %M", "-o", out, "sh", "-c", command],
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    wall = time.perf_counter() - start
    if done.returncode != 0:
        raise SystemExit(f"failed ({done.returncode}): {command}\n{done.stderr.decode(errors='replace')}")
    user, system, rss = open(out).read().split()[-3:]
    return wall, float(user) + float(system), int(rss)

samples = {c[0]: [] for c in commands}
for r in range(runs):
    for label, _, kind, command, _ in commands:
        samples[label].append(run(command.replace("{R}", str(r + 1))))
    print(f"round {r + 1}/{runs} done", flush=True)

rows = []
for label, corp, kind, command, archive in commands:
    s = samples[label]
    walls = [x[0] for x in s]
    wall = statistics.median(walls)
    rows.append(dict(label=label, corpus=corp, kind=kind, wall=wall, cpu=statistics.median(x[1] for x in s),
                     archive=archive,
                     rss=max(x[2] for x in s), spread=(max(walls) - min(walls)) / wall,
                     size=os.path.getsize(archive) if archive else None,
                     rate=corpus[corp] / wall / 1e6))

print()
print(f"corpus mix: {corpus['mix']:,} bytes; subset {subset}: {corpus[subset]:,} bytes; "
      f"random: {corpus['random']:,} bytes; photos: {corpus['photos']:,} bytes; {runs} rounds; medians")
print(f"machine: {os.cpu_count()} cores, " + next((l.split(':', 1)[1].strip() for l in open('/proc/cpuinfo')
                                                 if l.startswith('model name')), '?'))
print()
print("| command | corpus | archive bytes | files/archive | wall s | MB/s | CPU s | CPU MB/s | peak RSS MiB "
      "| wall spread |")
print("| --- | --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: |")
for row in rows:
    size = f"{row['size']:,}" if row["size"] else ""
    ratio = f"{corpus[row['corpus']] / row['size']:.2f}" if row["size"] else ""
    rate = f"{row['rate']:.1f}" if row["kind"] != "l" else ""
    cpuRate = f"{corpus[row['corpus']] / max(row['cpu'], 0.005) / 1e6:.1f}" if row["kind"] != "l" else ""
    print(f"| {row['label']} | {row['corpus']} | {size} | {ratio} | {row['wall']:.2f} | {rate} | {row['cpu']:.2f} | "
          f"{cpuRate} | {row['rss'] / 1024:.1f} | {row['spread'] * 100:.0f}% |")

def same_archives(one, two):
    a, b = byLabel[one]["archive"], byLabel[two]["archive"]
    if not a or not b:
        return ""
    return ", archives identical" if open(a, "rb").read() == open(b, "rb").read() else ", ARCHIVES DIFFER"

peers = [r for r in rows if not r["label"].startswith(("qv5", "base"))]
byLabel = {r["label"]: r for r in rows}
print()
print("Two threads against one (wall: speed-up; CPU: CPU time of -t2 over that of -t1):")
print()
for one in [r["label"] for r in rows if r["label"].startswith(("qv5", "base"))]:
    two = re.sub(r"^(\S+ \S+)", r"\1 -t2", one) if "-t2" not in one else None
    if two in byLabel:
        cpu = f"CPU {byLabel[two]['cpu'] / byLabel[one]['cpu']:.2f}" if byLabel[one]["cpu"] > 0 else "CPU -"
        print(f"- {two} / {one}: {byLabel[two]['rate'] / byLabel[one]['rate']:.2f}x wall, {cpu}"
              f"{same_archives(one, two)}")
if base:
    print()
    print("This build against the base build (speed-up of wall and of CPU time, medians):")
    print()
    for row in rows:
        if row["label"].startswith("qv5"):
            other = "base" + row["label"][3:]
            if other in byLabel:
                b = byLabel[other]
                cpu = f"{b['cpu'] / row['cpu']:.2f}x CPU" if row["cpu"] > 0 else "CPU below the clock's step"
                print(f"- {row['label']}: {row['rate'] / b['rate']:.2f}x wall, {cpu}"
                      f"{same_archives(row['label'], other)}")
# Extraction against decoding: d on two threads against t on one (wall), and its CPU time
# against that of t plus tar -x (the work of decoding plus that of writing the files).
for prefix in ("qv5", "base"):
    d2, t1 = byLabel.get(f"{prefix} d -t2"), byLabel.get(f"{prefix} t")
    if d2 and t1:
        tar = byLabel.get("tar -x")
        budget = f", CPU {d2['cpu']:.2f} s against t + tar -x {t1['cpu'] + tar['cpu']:.2f} s" if tar else ""
        print()
        print(f"{prefix} d -t2 / {prefix} t: {d2['wall'] / t1['wall']:.2f}x wall{budget}")
        # Where writing the files takes longer than decoding them, writing sets the pace: the
        # most overlap can give is the slower of the two.
        if tar:
            slower = max(t1["wall"], tar["wall"])
            print(f"{prefix} d -t2 / the slower of {prefix} t and tar -x: {d2['wall'] / slower:.2f}x wall")
# The indexed archive: decoding on two threads against one (wall speed-up, and CPU of -t2
# over -t1: the cost of working in parallel), and its extraction against tar with zstd.
for prefix in ("qv5", "base"):
    t1, t2 = byLabel.get(f"{prefix} t (-meta)"), byLabel.get(f"{prefix} t -t2 (-meta)")
    if t1 and t2:
        print()
        print(f"{prefix} t -t2 (-meta) against -t1: {t1['wall'] / t2['wall']:.2f}x wall, "
              f"{t2['cpu'] / max(t1['cpu'], 0.005):.2f}x CPU")
    d2, tz = byLabel.get(f"{prefix} d -t2 (-meta)"), byLabel.get("tar --zstd -x (-6)")
    if d2 and tz:
        print(f"{prefix} d -t2 (-meta) / tar --zstd -x: {d2['wall'] / tz['wall']:.2f}x wall, "
              f"{d2['cpu'] / max(tz['cpu'], 0.005):.2f}x CPU")
# Ratios of medians: each qv5 row against each peer row of the same corpus and kind
# (compression against compression, extraction against decompression).
print()
print("Throughput ratios (qv5 median MB/s / peer median MB/s, same run):")
print()
for row in rows:
    if not row["label"].startswith(("qv5", "base")) or row["kind"] == "l":
        continue
    same = [p for p in peers if p["corpus"] == row["corpus"] and p["kind"] == row["kind"]]
    if same:
        print(f"- {row['label']}: " + ", ".join(f"{p['label']} {row['rate'] / p['rate']:.2f}x" for p in same))
PYTHON
[ -z "$old" ] || rm -rf "$old"
