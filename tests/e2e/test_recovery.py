"""Recovery data (-protect=N): the block after the archive, t's verdict, r's repair byte for
byte, and t and d reading repairable damage as repaired without r; a cut end repaired like other
damage, one beyond the parity and a lost end found where the archive ends; the flag's values."""
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
    # t and d read the damaged file as repaired, without r, and say how to write it repaired.
    r = ctx.run("t", "bad.qv5")
    assert r.rc == 0 and "Damaged: " in r.body and "can rebuild them: r bad.qv5 OUTPUT" in r.body, r
    assert r.body.count("Tested ") == 3 and "INVALID" not in r.body, r
    r = ctx.run("d", "bad.qv5", "out")
    assert r.rc == 0 and "can rebuild them: r bad.qv5 OUTPUT" in r.body, r
    same_tree(ctx, "in", os.path.join("out", "in"))
    r = ctx.run("r", "bad.qv5", "fixed.qv5")
    assert r.rc == 0 and "Rebuilt " in r.body and f"wrote fixed.qv5 ({len(data):,} bytes)" in r.body, r
    assert ctx.read("fixed.qv5") == data
    r = ctx.run("d", "fixed.qv5", "out1")
    assert r.rc == 0 and "Damaged" not in r.body, r
    same_tree(ctx, "in", os.path.join("out1", "in"))
    # Only the block's own copies damaged: the archive is extracted, the line names r, which
    # mends the copies.
    damaged_copy(ctx, data, "copies.qv5", [(-DESCRIPTION, DESCRIPTION)])
    r = ctx.run("d", "copies.qv5", "out2")
    assert r.rc == 0 and "Damaged: a copy of the recovery data's description" in r.body, r
    same_tree(ctx, "in", os.path.join("out2", "in"))
    assert ctx.run("-force-overwrite", "r", "copies.qv5", "fixed.qv5").rc == 0 and ctx.read("fixed.qv5") == data


def test_beyond_repair_writes_nothing(ctx):
    data = protect(ctx, percent=2)
    damaged_copy(ctx, data, "bad.qv5", [(at, 1024) for at in range(1000, 200_000, 20_000)])
    r = ctx.run("t", "bad.qv5")
    assert r.rc == 1 and "more than the " in r.body and "beyond repair" in r.body, r
    r = ctx.run("r", "bad.qv5", "fixed.qv5")
    assert r.rc == 1 and "beyond repair" in r.body and "Error: nothing written\n" in r.body, r
    assert not os.path.exists(ctx.path("fixed.qv5"))
    # A cut end within the parity's capacity, with damage elsewhere making it too much: the
    # missing bytes are named.
    damaged_copy(ctx, data[:-5000], "short.qv5", [(at, 1) for at in range(1000, 12_000, 2048)])
    for command in (["t", "short.qv5"], ["r", "short.qv5", "fixed.qv5"]):
        r = ctx.run(*command)
        assert r.rc == 1 and "Damaged: 5,000 bytes missing at the end of the file; " in r.body, r
        assert "damaged or missing, more than the " in r.body and "beyond repair" in r.body, r
    assert not os.path.exists(ctx.path("fixed.qv5"))
    # Lengthened: not what the recovery data was written for.
    ctx.write("long.qv5", data + b"\0")
    r = ctx.run("r", "long.qv5", "fixed.qv5")
    assert r.rc == 1 and "cut short or lengthened, beyond repair" in r.body, r
    # Without recovery data r has nothing to go on; an archive is never repaired onto itself.
    assert ctx.run("c", "plain.qv5", "in").rc == 0
    r = ctx.run("r", "plain.qv5", "fixed.qv5")
    assert r.rc == 1 and "plain.qv5 holds no recovery data" in r.body, r
    r = ctx.run("r", "bad.qv5", "bad.qv5")
    assert r.rc == 1 and "is the archive being repaired" in r.body, r
    assert ctx.read("bad.qv5") != data and len(ctx.read("bad.qv5")) == len(data)


def untimed(r):
    return re.sub(r"[0-9.]+ seconds", "", r.body)


def test_t_and_d_read_repairable_damage_without_r(ctx):
    make_inputs(ctx)
    kept = lambda r: [line for line in untimed(r).splitlines() if not line.startswith(("Damaged", "Reading", "Recovery"))]
    # Plain and indexed (-meta) archives, decoded on one thread and on several.
    for n, flags in enumerate([[], ["-meta"], ["-t1"], ["-meta", "-t3"]]):
        threads = [f for f in flags if f != "-meta"]
        name, bad, fixed = f"a{n}.qv5", f"bad{n}.qv5", f"fixed{n}.qv5"
        assert ctx.run(*[f for f in flags if f == "-meta"], "-protect=10", "c", name, "in").rc == 0
        data = ctx.read(name)
        # The header, the file table, the middle of the stream and its end.
        damaged_copy(ctx, data, bad, [(0, 40), (300, 0), (150_000, 3000), (len(data) - 60_000, 0)])
        r = ctx.run(*threads, "d", bad, f"out{n}")
        assert r.rc == 0 and f"r {bad} OUTPUT writes the repaired archive" in r.body, (flags, r)
        assert "Reading the archive as repaired: " in r.body and "data slices rebuilt in memory\n" in r.body, r
        same_tree(ctx, "in", os.path.join(f"out{n}", "in"))
        tested = ctx.run(*threads, "t", bad)
        assert tested.rc == 0 and tested.body.count("Tested ") == 3 and "INVALID" not in tested.body, tested
        assert f"r {bad} OUTPUT writes the repaired archive" in tested.body, tested
        # The lines of the repaired file, but for the damage and the rebuilding.
        assert ctx.run("r", bad, fixed).rc == 0 and ctx.read(fixed) == data
        intact = ctx.run(*threads, "t", fixed)
        assert kept(tested) == kept(intact), (tested, intact)
        # One file to standard output, and a selection.
        r = ctx.run(*threads, "d", bad, "-", "in/text.txt")
        assert r.rc == 0 and r.out.encode("latin-1") == ctx.read("in/text.txt"), r.err
        r = ctx.run(*threads, "d", bad, f"sel{n}", "in/sub")
        assert r.rc == 0 and ctx.read(f"sel{n}/in/sub/small.txt") == b"small", r


def test_a_cut_end_is_repaired_like_other_damage(ctx):
    data = protect(ctx)
    ctx.write("cut.qv5", data[:-1])
    r = ctx.run("d", "cut.qv5", "out")
    assert r.rc == 0 and "Damaged: 1 byte missing at the end of the file" in r.body, r
    assert "r cut.qv5 OUTPUT writes the archive mended" in r.body, r
    same_tree(ctx, "in", os.path.join("out", "in"))
    r = ctx.run("t", "cut.qv5")
    assert r.rc == 0 and "Damaged: 1 byte missing" in r.body and r.body.count("Tested ") == 3, r
    assert ctx.run("r", "cut.qv5", "fixed.qv5").rc == 0 and ctx.read("fixed.qv5") == data
    # Parity slices cut off with the copies after them, and damage in the middle: copy A
    # describes the block, and the slices lost either way are rebuilt.
    damaged_copy(ctx, data[:-6000], "both.qv5", [(100_000, 2000)])
    for command in (["d", "both.qv5", "out2"], ["t", "both.qv5"]):
        r = ctx.run(*command)
        assert r.rc == 0 and "Damaged: 6,000 bytes missing at the end of the file; " in r.body, r
        assert "damaged or missing; the recovery data can rebuild them: r both.qv5 OUTPUT" in r.body, r
    same_tree(ctx, "in", os.path.join("out2", "in"))
    r = ctx.run("-force-overwrite", "r", "both.qv5", "fixed.qv5")
    assert r.rc == 0 and f"wrote fixed.qv5 ({len(data):,} bytes)" in r.body and ctx.read("fixed.qv5") == data, r


def test_a_lost_end_is_found_where_the_archive_ends(ctx):
    """An archive above a megabyte whose end is lost (the trailer, copy B and its table, parity
    slices) has copy A far from the file's end, where the archive's own bytes end."""
    ctx.write("in/noise.bin", random.Random(3).randbytes(1_500_000))
    ctx.write("in/small.txt", "small")
    for meta in (False, True):
        name, cut, both = ("m" if meta else "p") + ".qv5", "cut-" + str(meta), "both-" + str(meta)
        assert ctx.run(*(["-meta"] if meta else []), "-protect=20", "c", name, "in").rc == 0
        data = ctx.read(name)
        ctx.write(cut, data[:-120_000])
        for command in (["t", cut], ["d", cut, "out" + cut]):
            r = ctx.run(*command)
            assert r.rc == 0 and "Damaged: 120,000 bytes missing at the end of the file; " in r.body, r
            assert f"r {cut} OUTPUT writes the repaired archive" in r.body, r
        same_tree(ctx, "in", os.path.join("out" + cut, "in"))
        assert ctx.run("-force-overwrite", "r", cut, "fixed.qv5").rc == 0 and ctx.read("fixed.qv5") == data
        # Damage in the archive too: an archive whose header gives its extension's place is
        # read as repaired; one without says afterwards how to repair it.
        damaged_copy(ctx, data[:-120_000], both, [(700_000, 3000)])
        r = ctx.run("d", both, "out" + both)
        assert "Damaged: 120,000 bytes missing at the end of the file; " in r.body, r
        assert f"r {both} OUTPUT writes the repaired archive" in r.body, r
        if meta:
            assert r.rc == 0 and "Reading the archive as repaired: 4 data slices rebuilt in memory" in r.body, r
            same_tree(ctx, "in", os.path.join("out" + both, "in"))
        else:
            assert r.rc == 1, r


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
