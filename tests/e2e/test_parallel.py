"""Compression on several threads writes exactly the bytes of the sequential run, also on
inputs built to make the guessed search state of a chunk wrong."""
import random

from test_digests import words_text

MIB = 1 << 20


def compare_threads(ctx, folder, level, counts=(2, 4)):
    r = ctx.run("-force-overwrite", "-t1", level, f"{folder}-t1.qv5", folder)
    assert r.rc == 0, r
    sequential = ctx.read(f"{folder}-t1.qv5")
    for count in counts:
        r = ctx.run("-force-overwrite", f"-t{count}", level, f"{folder}-t{count}.qv5", folder)
        assert r.rc == 0, r
        assert ctx.read(f"{folder}-t{count}.qv5") == sequential, (folder, level, count)
    return sequential


def test_incompressible_chunks_then_compressible_ones(ctx):
    rng = random.Random(71)
    # A whole chunk of noise drives the skip interval to its maximum with an arbitrary phase;
    # the text after it must be parsed from exactly that state.
    ctx.write("noise/a-random.bin", rng.randbytes(17 * MIB + 12345))
    ctx.write("noise/b-text.txt", words_text(rng, 9 * MIB))
    ctx.write("noise/c-random.bin", rng.randbytes(16 * MIB))
    ctx.write("noise/d-text.txt", words_text(rng, 2 * MIB))
    for level in ("c1", "c2"):
        compare_threads(ctx, "noise", level)
    r = ctx.run("-t2", "d", "noise-t2.qv5", "out")
    assert r.rc == 0 and "INVALID" not in r.body


def test_chunk_boundaries_inside_long_runs_at_every_level(ctx):
    rng = random.Random(72)
    head = words_text(rng, MIB // 2) + rng.randbytes(16 * MIB - MIB // 2 - 3000)
    ctx.write("runs/x.bin", head + b"z" * 200000 + rng.randbytes(300000) + b"ab" * 100000)
    for level in range(1, 7):
        compare_threads(ctx, "runs", f"c{level}", counts=(2,))


def test_default_is_parallel_and_identical(ctx):
    rng = random.Random(73)
    ctx.write("two/a.txt", words_text(rng, 20 * MIB))
    sequential = compare_threads(ctx, "two", "c1", counts=())
    r = ctx.run("c1", "two-default.qv5", "two")
    assert r.rc == 0 and ctx.read("two-default.qv5") == sequential
    # The console shows the same texts in the same order.
    assert r.body.count("Processing ") == 2 and "KB/sec, expect" not in r.body
