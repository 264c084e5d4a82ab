"""Recovery data (-protect=N): the block after the archive, t's verdict, d's advice and r's
repair byte for byte; damage beyond the parity and a cut-short file; the flag's values."""
import filecmp
import os
import random
import re

from harness import needs_peer, only

DESCRIPTION = 64


def make_inputs(ctx, seed=1):
    rng = random.Random(seed)
    ctx.write("in/random.bin", bytes(rng.randrange(256) for _ in range(300_000)))
    ctx.write("in/text.txt", "".join(f"line {i} of the text\n" for i in range(20_000)))
    ctx.write("in/sub/small.txt", "small")


def protect(ctx, name="a.qv5", *flags, percent=10):
    make_inputs(ctx)
    r = ctx.run(*flags, f"-protect={percent}", "c", name, "in")
    assert r.rc == 0 and "Recovery data: " in r.body and " parity slices of 1,024 bytes for " in r.body, r
    return ctx.read(name)


def damaged_copy(ctx, data, name, places):
    """Writes data with each (offset, length) place zeroed (a negative offset counts from the
    end) and, for length 0, one bit flipped."""
    out = bytearray(data)
    for at, length in places:
        at = at if at >= 0 else len(out) + at
        if length == 0:
            out[at] ^= 0x20
        else:
            out[at:at + length] = bytes(length)
    ctx.write(name, bytes(out))


def same_tree(ctx, left, right):
    comparison = filecmp.dircmp(ctx.path(left), ctx.path(right))
    assert not comparison.left_only and not comparison.right_only and not comparison.diff_files, comparison.report()
    for sub in comparison.common_dirs:
        same_tree(ctx, os.path.join(left, sub), os.path.join(right, sub))


def test_damage_in_many_places_is_repaired_byte_for_byte(ctx):
    data = protect(ctx)
    r = ctx.run("t", "a.qv5")
    assert r.rc == 0 and "Recovery data: " in r.body and "all intact" in r.body, r
    # The header zeroed, flipped bits, 4 KiB zeroed in the stream and in the parity, the
    # trailer zeroed: every copy of what the block needs is elsewhere.
    places = [(0, 40), (9_000, 0), (50_000, 4096), (120_000, 0), (len(data) - 20_000, 4096), (-DESCRIPTION, DESCRIPTION)]
    damaged_copy(ctx, data, "bad.qv5", places)
    r = ctx.run("t", "bad.qv5")
    assert r.rc == 1 and "Damaged: " in r.body and "can rebuild them: r bad.qv5 OUTPUT" in r.body, r
    r = ctx.run("d", "bad.qv5", "out")
    assert r.rc == 1 and "Nothing extracted: repair the archive first\n" in r.body, r
    assert not os.path.exists(ctx.path("out"))
    r = ctx.run("r", "bad.qv5", "fixed.qv5")
    assert r.rc == 0 and "Rebuilt " in r.body and f"wrote fixed.qv5 ({len(data):,} bytes)" in r.body, r
    assert ctx.read("fixed.qv5") == data
    r = ctx.run("d", "fixed.qv5", "out")
    assert r.rc == 0, r
    same_tree(ctx, "in", os.path.join("out", "in"))
    # Only the block's own copies damaged: the archive is extracted, the status tells, and r
    # mends the copies.
    damaged_copy(ctx, data, "copies.qv5", [(-DESCRIPTION, DESCRIPTION)])
    r = ctx.run("d", "copies.qv5", "out2")
    assert r.rc == 1 and "Damaged: a copy of the recovery data's description" in r.body, r
    same_tree(ctx, "in", os.path.join("out2", "in"))
    assert ctx.run("-force-overwrite", "r", "copies.qv5", "fixed.qv5").rc == 0 and ctx.read("fixed.qv5") == data


def test_beyond_repair_and_cut_short_write_nothing(ctx):
    data = protect(ctx, percent=2)
    damaged_copy(ctx, data, "bad.qv5", [(at, 1024) for at in range(1000, 200_000, 20_000)])
    r = ctx.run("t", "bad.qv5")
    assert r.rc == 1 and "more than the " in r.body and "beyond repair" in r.body, r
    r = ctx.run("r", "bad.qv5", "fixed.qv5")
    assert r.rc == 1 and "beyond repair" in r.body and "Error: nothing written\n" in r.body, r
    assert not os.path.exists(ctx.path("fixed.qv5"))
    for cut in (1, 5000):
        ctx.write("short.qv5", data[:-cut])
        r = ctx.run("r", "short.qv5", "fixed.qv5")
        assert r.rc == 1 and "cut short or lengthened, beyond repair" in r.body, r
        assert not os.path.exists(ctx.path("fixed.qv5"))
    r = ctx.run("t", "short.qv5")
    assert r.rc == 1 and "cut short or lengthened" in r.body, r
    # Without recovery data r has nothing to go on; an archive is never repaired onto itself.
    assert ctx.run("c", "plain.qv5", "in").rc == 0
    r = ctx.run("r", "plain.qv5", "fixed.qv5")
    assert r.rc == 1 and "plain.qv5 holds no recovery data" in r.body, r
    r = ctx.run("r", "bad.qv5", "bad.qv5")
    assert r.rc == 1 and "is the archive being repaired" in r.body, r
    assert ctx.read("bad.qv5") != data and len(ctx.read("bad.qv5")) == len(data)


def test_protect_values_outside_one_to_fifty_stop_c(ctx):
    make_inputs(ctx)
    for value in ("-protect=0", "-protect=51", "-protect=abc", "-protect=", "-protect", "-protect=5x", "-protect=-3"):
        r = ctx.run(value, "c", "a.qv5", "in")
        assert r.rc == 1 and "the recovery data is a whole percentage from 1 to 50" in r.body, (value, r)
        assert "Finding files" not in r.body and not os.path.exists(ctx.path("a.qv5")), (value, r)
    for value, name in (("-protect=1", "one.qv5"), ("-PROTECT=50", "fifty.qv5")):
        r = ctx.run(value, "c", name, "in")
        assert r.rc == 0 and "Recovery data: " in r.body, r
    # Only c takes it: elsewhere it changes nothing.
    plain = ctx.run("c", "plain.qv5", "in")
    untimed = lambda r: re.sub(r"[0-9.]+ seconds", "", r.out)
    assert untimed(ctx.run("-protect=7", "t", "plain.qv5")) == untimed(ctx.run("t", "plain.qv5"))
    assert "Recovery data" not in plain.out and "Recovery data" not in ctx.run("t", "plain.qv5").out


@only("linux")
def test_protect_needs_an_archive_file(ctx):
    make_inputs(ctx)
    r = ctx.run("-protect=5", "c", "-", "in")
    assert r.rc == 1 and r.out == "", r
    os.mkfifo(ctx.path("fifo"))
    r = ctx.run("-protect=5", "c", "fifo", "in")
    assert r.rc == 1 and "Error: -protect needs an archive file" in r.body, r


def test_protect_with_metadata_and_self_extracting_copy(ctx):
    data = protect(ctx, "m.qv5", "-meta")
    damaged_copy(ctx, data, "bad.qv5", [(0, 4096), (len(data) // 2, 0)])
    assert ctx.run("r", "bad.qv5", "fixed.qv5").rc == 0 and ctx.read("fixed.qv5") == data
    r = ctx.run("d", "fixed.qv5", "out")
    assert r.rc == 0, r
    same_tree(ctx, "in", os.path.join("out", "in"))
    # The self-extracting copy: every byte before the block is protected, the program's too.
    name = "x" + (".exe" if ctx.wine else ".sfx")
    r = ctx.run("-sfx", "-protect=5", "c", name, "in")
    assert r.rc == 0, r
    sfx = ctx.read(name)
    damaged_copy(ctx, sfx, "bad" + name, [(100, 4096), (len(sfx) - 100_000, 0)])
    assert ctx.run("r", "bad" + name, "fixed" + name).rc == 0 and ctx.read("fixed" + name) == sfx
    os.makedirs(ctx.path("here"))
    r = ctx.run(binary=ctx.path(name), cwd=ctx.path("here"))
    assert r.rc == 0, r
    same_tree(ctx, "in", os.path.join("here", "in"))


@needs_peer
def test_the_other_build_repairs_it(ctx):
    data = protect(ctx)
    damaged_copy(ctx, data, "bad.qv5", [(0, 4096), (70_000, 4096)])
    r = ctx.run_peer("r", "bad.qv5", "fixed.qv5")
    assert r.rc == 0 and ctx.read("fixed.qv5") == data, r


def test_help_names_the_protect_flag_with_one_percent_sign(ctx):
    r = ctx.run("--help")
    assert r.rc == 0 and "-protect=N = add recovery data of N% (1-50)" in r.out, r
