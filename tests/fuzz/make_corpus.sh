#!/usr/bin/env bash
# Rebuilds the generated seeds of tests/fuzz/corpus: archives made by the program (every
# level, duplicates, empty files, one file, several chunks, a self-extracting copy's archive
# part), hand-made ones from tests/e2e/archive_maker.py (old header, no CRC, blocks that reach
# across each other), and the codec seeds written by fuzz_seeds. Inputs the fuzzer found
# (crash-*, regression-*) are kept as they are.
#   tests/fuzz/make_corpus.sh [BUILD_DIR]     (default build/fuzz, built with the fuzz preset)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-$root/build/fuzz}" && pwd)
corpus=$root/tests/fuzz/corpus
qv5=$build/src/cli/qv5
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

for target in list extract read_table decode_block round_trip sealed; do
    mkdir -p "$corpus/$target"
    find "$corpus/$target" -type f ! -name 'crash-*' ! -name 'regression-*' -delete
done
"$build/tests/fuzz/fuzz_seeds" "$corpus/read_table" "$corpus/decode_block" "$corpus/round_trip"

cd "$work"
python3 - <<'EOF'
import os, random
rng = random.Random(7)
os.makedirs("in/docs", exist_ok=True)
os.makedirs("in/empty", exist_ok=True)
words = [b"alpha ", b"beta ", b"gamma ", b"delta\n", b"context ", b"ring ", b"of ", b"tokens, "]
text = b"".join(rng.choice(words) for _ in range(700))
files = {
    "in/a.txt": text,
    "in/docs/same-as-a.txt": text,             # a duplicate entry
    "in/docs/noise.bin": bytes(rng.getrandbits(8) for _ in range(400)),
    "in/docs/runs.bin": b"".join(bytes([v]) * (1 + v % 90) for v in range(0, 256, 3)),
    "in/empty/first": b"",
    "in/zz-last-empty": b"",
    "in/one": b"x",
}
for name, data in files.items():
    with open(name, "wb") as f:
        f.write(data)
EOF
make() { # archive name, qv5 arguments...
    local name=$1; shift
    ASAN_OPTIONS=detect_leaks=0 "$qv5" -force-overwrite "$@" >/dev/null
    cp "$name" "$corpus/list/${name%.qv5}"
    cp "$name" "$corpus/extract/${name%.qv5}"
}
for level in 1 2 3 4 5 6; do make "level$level.qv5" "c$level" "level$level.qv5" in; done
make one.qv5 c one.qv5 in/one
mkdir empties && : > empties/a && : > empties/b
make empties.qv5 c empties.qv5 empties
# Three chunks (16 + 16 + 1 MiB) of a pattern that codes to a few KB.
mkdir chunks && head -c $((33 << 20)) /dev/zero | tr '\0' 'q' > chunks/big && printf 'tail' > chunks/small
make chunks.qv5 c1 chunks.qv5 chunks
# Metadata: times, modes, an empty folder and links; once with the extension's place in the
# header, once after the stream (as written to a pipe).
mkdir -p meta/empty && printf 'meta' > meta/file && ln -s file meta/link && ln -s /nowhere meta/dangling
make meta.qv5 -meta c meta.qv5 meta
ASAN_OPTIONS=detect_leaks=0 "$qv5" -quiet -meta c - meta > meta-piped.qv5
cp meta-piped.qv5 "$corpus/list/meta-piped" && cp meta-piped.qv5 "$corpus/extract/meta-piped"

python3 - "$root/tests/e2e" "$corpus" <<'EOF'
import sys
sys.path.insert(0, sys.argv[1])
import archive_maker as m
files = [(b"/p.txt", b"plain text, plain text", 0), (b"\\w\\q.txt", b"x" * 40, 1), (b"\\w\\r.txt", b"x" * 40, 0)]
made = {
    "old-header.qv5": m.archive(files, header_form="old"),
    "no-crc.qv5": m.archive(files, header_length=16, flags=0),
    # Blocks whose matches reach back into earlier blocks of the chunk.
    "blocks.qv5": m.archive([(b"/b", b"abab" + b"ab" * 4 + b"a" + b"babab", 0)],
                            blocks=[[97, 98, 97, 98], [(9, 1)], [(5, 1)]]),
}
for name, data in made.items():
    for target in ("list", "extract"):
        with open(f"{sys.argv[2]}/{target}/{name[:-4]}", "wb") as f:
            f.write(data)
EOF
# Sealed archives, with the passphrase and cost the sealed target opens them with.
printf 'fuzz\n' > fuzz.pass
for name in one meta; do
    QV5_TEST_SEAL_COST=1,64 QV5_TEST_SEAL_SEED=$name ASAN_OPTIONS=detect_leaks=0 "$qv5" -quiet -force-overwrite \
        c -encrypt -password-file=fuzz.pass "sealed-$name.qv5" "$( [ $name = one ] && echo in/one || echo meta )"
    cp "sealed-$name.qv5" "$corpus/sealed/$name"
done
du -sh "$corpus"
