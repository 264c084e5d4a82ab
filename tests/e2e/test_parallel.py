"""Compression on several threads writes exactly the bytes of the sequential run, also on
inputs built to make the guessed search state of a chunk wrong."""
import os
import random
import re
import subprocess
import sys

from harness import only
from test_archive import files_under
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


def timeless(text):
    """Console text without the figures that depend on the clock."""
    text = re.sub(r"\d[\d,]*/[\d,]* KB[^\r\n]*", "<chunk>", text)
    return re.sub(r"\d+\.\d+ seconds", "<seconds>", text)


def extract_both_ways(ctx, archive, tag, stdin=b""):
    """Extracts archive with one thread and with two; both must say and write the same."""
    results = []
    for count in (1, 2):
        out = f"{tag}-t{count}"
        r = ctx.run(f"-t{count}", "d", archive, out, stdin=stdin)
        results.append((r.rc, timeless(r.body).replace(out, tag), files_under(ctx.path(out))))
    assert results[0] == results[1], (archive, results[0][:2], results[1][:2])
    return results[0]


def test_extraction_decoding_ahead_says_and_writes_what_one_thread_does(ctx):
    rng = random.Random(74)
    # Three chunks, files ending inside each and one across the second boundary.
    ctx.write("ahead/a.txt", words_text(rng, 10 * MIB))
    ctx.write("ahead/b.txt", words_text(rng, 12 * MIB))
    ctx.write("ahead/c.bin", rng.randbytes(7 * MIB))
    ctx.write("ahead/d.txt", words_text(rng, 5 * MIB))
    ctx.write("ahead/e.txt", b"")
    r = ctx.run("-t1", "c1", "ahead.qv5", "ahead")
    assert r.rc == 0, r
    rc, body, files = extract_both_ways(ctx, "ahead.qv5", "whole")
    assert rc == 0 and body.count("<chunk>") == 3 and "INVALID" not in body
    assert len(files) == 5

    # Damage in the second or the third chunk: the files finished before it are written,
    # the same message ends both runs.
    good = ctx.read("ahead.qv5")
    for fraction in (0.45, 0.7, 0.97):
        spot = int(len(good) * fraction)
        ctx.write("hurt.qv5", good[:spot] + bytes([good[spot] ^ 0x5A]) + good[spot + 1:])
        rc, body, _ = extract_both_ways(ctx, "hurt.qv5", f"hurt{fraction}")
        assert rc != 0 or "INVALID CHECKSUM" in body, (fraction, body[-300:])
    ctx.write("cut.qv5", good[: len(good) * 2 // 3])
    rc, body, _ = extract_both_ways(ctx, "cut.qv5", "cut")
    assert rc == 1 and "Error: damaged archive (" in body

    # Declining the prompt for the first file stops while the next chunk is being decoded.
    for count in (1, 2):
        for name in files:
            ctx.write(f"taken-t{count}/{name}", b"mine")
    rc, body, taken = extract_both_ways(ctx, "ahead.qv5", "taken", stdin=b"n")
    assert rc == 1 and body.count("already exists") == 1 and taken == {name: b"mine" for name in files}


def _address_space_limit():
    import resource
    resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))


def test_more_threads_than_chunks(ctx):
    # Two chunks on -t64: no more workers and chunk slots than the input has chunks, so the
    # run fits in 1 GiB of address space (64 workers with their histories, stacks and 65 chunk
    # slots would not) and writes the one-thread archive.
    rng = random.Random(75)
    ctx.write("few/a.txt", words_text(rng, 16 * MIB + 4096))
    sequential = compare_threads(ctx, "few", "c1", counts=())
    limit = None if ctx.wine or os.environ.get("QV5_SANITIZER") else _address_space_limit
    r = ctx.run("-force-overwrite", "-t64", "c1", "few-t64.qv5", "few", preexec=limit)
    assert r.rc == 0 and ctx.read("few-t64.qv5") == sequential, r


def peak_memory(ctx, *args):
    """The peak resident memory (KiB) of one run, measured by a process of its own."""
    probe = ("import resource, subprocess, sys\n"
             "rc = subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL).returncode\n"
             "print(rc, resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)\n")
    done = subprocess.run([sys.executable, "-c", probe, ctx.binary, *args], cwd=ctx.work, capture_output=True,
                          text=True, timeout=300)
    rc, peak = done.stdout.split()
    assert rc == "0", (args, done)
    return int(peak)


@only("linux")
def test_threads_beyond_the_cores_take_no_more_memory(ctx):
    # Five chunks: without a bound every thread asked for holds a chunk's working storage.
    rng = random.Random(76)
    ctx.write("five/a.bin", rng.randbytes(5 * 16 * MIB - 4096))
    margin = 16 * 1024
    default = peak_memory(ctx, "-quiet", "-meta", "c1", "default.qv5", "five")
    many = peak_memory(ctx, "-quiet", "-meta", "-t16", "c1", "many.qv5", "five")
    assert many <= default + margin and ctx.read("many.qv5") == ctx.read("default.qv5"), (default, many)
    # Decoding by the chunk index: one window per thread.
    default = peak_memory(ctx, "-quiet", "t", "default.qv5")
    many = peak_memory(ctx, "-quiet", "-t16", "t", "default.qv5")
    assert many <= default + margin, (default, many)
