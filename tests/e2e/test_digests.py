"""The archive bytes are fixed by the format and the match finder's rules: archives of a fixed
set of generated inputs, at every level, must keep the SHA-256 digests recorded in
digests.json. Run with QV5_RECORD_DIGESTS=1 to record them for a new input set only."""
import hashlib
import json
import os
import random
import struct

DIGESTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "digests.json")


def words_text(rng, size):
    vocabulary = ["the", "match", "finder", "context", "ring", "block", "chunk", "huffman", "code", "table",
                  "stream", "archive", "file", "entry", "length", "distance", "symbol", "literal", "of", "a",
                  "and", "to", "in", "is", "for", "with", "bytes", "bits", "static", "int", "return", "void",
                  "{", "}", "(", ")", ";", "=", "+", "0", "1", "256", "4096", "0xFF", "if", "else", "while"]
    weights = [1.0 / (i + 1) for i in range(len(vocabulary))]
    out = []
    total = 0
    while total < size:
        line = " ".join(rng.choices(vocabulary, weights, k=rng.randint(3, 14))) + "\n"
        out.append(line)
        total += len(line)
    return "".join(out).encode()[:size]


def records(rng, count):
    return b"".join(struct.pack("<IIHHd", i, i * 7 + rng.randint(0, 3), rng.randint(0, 50), 0xABCD, i / 3.0)
                    for i in range(count))


def make_inputs(ctx):
    rng = random.Random(20261208)
    text = words_text(rng, 3 << 20)
    ctx.write("in/text.txt", text)
    ctx.write("in/copy-of-text.txt", text)
    ctx.write("in/records.bin", records(rng, 100000))
    ctx.write("in/random.bin", rng.randbytes(256 << 10))
    ctx.write("in/runs.bin", b"\0" * 100000 + b"ab" * 50000 + bytes(range(256)) * 200)
    ctx.write("in/empty", b"")
    big = bytearray()
    while len(big) < (16 << 20) + 1000:
        big += words_text(rng, 1 << 20) + rng.randbytes(64 << 10) + records(rng, 20000)
    ctx.write("in/sub/big.bin", bytes(big[:(16 << 20) + 1000]))


def check_recorded(key, got):
    """The digests got against those recorded under key; with QV5_RECORD_DIGESTS=1 a key not
    yet recorded is recorded."""
    with open(DIGESTS) as f:
        recorded = json.load(f)
    if os.environ.get("QV5_RECORD_DIGESTS") == "1" and key not in recorded:
        recorded[key] = got
        with open(DIGESTS, "w") as f:
            json.dump(recorded, f, indent=2, sort_keys=True)
            f.write("\n")
    assert got == recorded[key], (got, recorded.get(key))


def test_archive_bytes_match_the_recorded_digests(ctx):
    make_inputs(ctx)
    got = {}
    for level in range(1, 7):
        r = ctx.run(f"c{level}", f"x{level}.qv5", "in")
        assert r.rc == 0, r
        got[str(level)] = hashlib.sha256(ctx.read(f"x{level}.qv5")).hexdigest()
    check_recorded("windows" if ctx.wine else "linux", got)
    # Extraction restores what was compressed (one level suffices here).
    r = ctx.run("d", "x2.qv5", "out")
    assert r.rc == 0 and "INVALID" not in r.body
    assert ctx.read("out/in/sub/big.bin") == ctx.read("in/sub/big.bin")


def make_incompressible_inputs(ctx):
    rng = random.Random(20261209)
    # Noise over a chunk boundary: the skip interval reaches its limit in the first chunk and
    # the second starts with it; text inside the noise and after it brings it down again.
    noise = rng.randbytes(17 << 20)
    text = words_text(rng, 1 << 20)
    ctx.write("noise/a.bin", noise[:9 << 20] + text[:300000] + noise[9 << 20:])
    ctx.write("noise/b.txt", text)
    ctx.write("noise/c.bin", rng.randbytes(3 << 20))


def test_incompressible_archive_bytes_match_the_recorded_digests(ctx):
    """Input where the match finder mostly skips its searches, at every level, on one thread
    and on two: the archives of the release this guards, byte for byte."""
    make_incompressible_inputs(ctx)
    got = {}
    for level in range(1, 7):
        for threads in ("-t1", "-t2"):
            r = ctx.run("-force-overwrite", threads, f"c{level}", "n.qv5", "noise")
            assert r.rc == 0, r
            digest = hashlib.sha256(ctx.read("n.qv5")).hexdigest()
            assert got.setdefault(str(level), digest) == digest, (level, threads)
    check_recorded(("windows" if ctx.wine else "linux") + "-incompressible", got)
