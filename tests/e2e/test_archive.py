"""Archives end to end: exact bytes, round trips, console texts, prompts, output locations,
old headers and the refusal of damaged or hostile archives."""
import os
import random
import re
import zlib

import archive_maker
from harness import needs_peer, only

PAD = lambda text: "\r" + text.ljust(79)
TIME = r"\d+\.\d{3} seconds"

# The worked example: one file a holding "abc". Windows stores it as \a, Linux as /a.
HEADER = bytes.fromhex("51563578 20000000 0100000000000000 0300000000000000 0100000000000000 0000000000000000")
NAME_TABLE = {"\\": "010c000000100200", "/": "010a008000000200"}
REST = "0000030000000000000004 40e120929a010008 20a001000000000000000000340000000000000000000000"


def example_bytes(sep):
    return HEADER + bytes.fromhex(NAME_TABLE[sep] + REST.replace(" ", ""))


def compress(ctx, archive, *inputs, level="c", flags=(), stdin=b""):
    return ctx.run(*flags, level, archive, *inputs, stdin=stdin)


def files_under(root):
    found = {}
    for folder, _, names in os.walk(root):
        for name in names:
            path = os.path.join(folder, name)
            with open(path, "rb") as f:
                found[os.path.relpath(path, root)] = f.read()
    return found


def edge_tree(ctx, big=False):
    rng = random.Random(5)
    ctx.write("in/0-empty-first", b"")
    ctx.write("in/1-text.txt", b"".join(b"line %d of some text, repeated words words words\n" % i for i in range(3000)))
    ctx.write("in/2-empty-middle", b"")
    ctx.write("in/3-runs.bin", b"a" * 5000 + b"b" * 70000 + bytes(range(256)) * 40 + b"\0" * 9000)
    ctx.write("in/4-random.bin", bytes(rng.getrandbits(8) for _ in range(60000)))
    ctx.write("in/sub/5-mixed.bin", (b"abcdefgh" * 300 + bytes(rng.getrandbits(8) for _ in range(300))) * 20)
    ctx.write("in/sub/6-one", b"x")
    ctx.write("in/zz-empty-last", b"")


def test_worked_example_is_byte_exact(ctx):
    ctx.write("a", "abc")
    r = compress(ctx, "x.qv5", "a")
    assert r.rc == 0, r
    assert ctx.read("x.qv5") == example_bytes(ctx.sep)
    assert re.fullmatch(r"Finding files\.\.\.\n-> .a\nFound 1 file\nScanning, ordering and hashing files\.\.\.\n"
                        + re.escape(PAD("") + "\r") + r"Ordered files\nModel: 29,187 KB\nLoading\.\.\."
                        + re.escape(PAD("Processing 0/0 KB")) + r"\n3 -> 91 bytes \(91 B, 3033\.33%\) - " + TIME + r"\n",
                        r.body), r.body
    r = ctx.run("l", "x.qv5")
    assert r.body == f"[1]: {ctx.sep}a, 3 B, CRC32: 352441C2\n1 file\n" and r.rc == 0
    r = ctx.run("d", "x.qv5", "copy")
    assert re.fullmatch(r"Model: 25,091 KB\n" + re.escape(PAD("Processing 0/0 KB")) + r"\nWrote .a, validating\.\.\. "
                        r"CRC32: 352441C2\n91 -> 3 bytes - " + TIME + r"\n", r.body), r.body
    assert ctx.read("copy") == b"abc" and r.rc == 0


@needs_peer
def test_archives_cross_between_builds(ctx):
    edge_tree(ctx)
    for maker, reader in ((ctx.run, ctx.run_peer), (ctx.run_peer, ctx.run)):
        r = maker("-force-overwrite", "c3", "x.qv5", "in")
        assert r.rc == 0, r
        r = reader("-force-overwrite", "d", "x.qv5", "out")
        assert r.rc == 0 and "INVALID" not in r.out, r
        assert files_under(ctx.path("out", "in")) == files_under(ctx.path("in"))
    # The worked example of each build reads on the other.
    for sep, runner in (("\\", ctx.run if ctx.wine else ctx.run_peer), ("/", ctx.run_peer if ctx.wine else ctx.run)):
        with open(ctx.path("ex.qv5"), "wb") as f:
            f.write(example_bytes(sep))
        for other in (ctx.run, ctx.run_peer):
            r = other("-force-overwrite", "d", "ex.qv5", "ex.out")
            assert r.rc == 0 and ctx.read("ex.out") == b"abc", r


def test_round_trip_at_every_level(ctx):
    edge_tree(ctx)
    expected = files_under(ctx.path("in"))
    sizes = []
    for level in range(1, 7):
        r = compress(ctx, f"x{level}.qv5", "in", level=f"c{level}")
        assert r.rc == 0, r
        sizes.append(os.path.getsize(ctx.path(f"x{level}.qv5")))
        r = ctx.run("d", f"x{level}.qv5", f"out{level}")
        assert r.rc == 0 and "INVALID" not in r.out, r
        assert files_under(ctx.path(f"out{level}", "in")) == expected
        listing = ctx.run("l", f"x{level}.qv5")
        assert listing.body.endswith("8 files\n")
    assert sizes[5] <= sizes[0], sizes


def test_chunk_boundaries_and_progress_texts(ctx):
    rng = random.Random(9)
    piece = bytes(rng.getrandbits(8) for _ in range(4096))
    mib = 1 << 20
    data = (piece + piece[:1000]) * (40 * mib // 5096 + 1)
    ctx.write("one/exact16", data[:16 * mib])
    ctx.write("two/over16", data[:16 * mib + 1])
    ctx.write("three/a-first", data[:10 * mib])
    ctx.write("three/b-spans", data[:30 * mib])
    for folder in ("one", "two", "three"):
        r = compress(ctx, f"{folder}.qv5", folder, level="c1")
        assert r.rc == 0, r
        r2 = ctx.run("d", f"{folder}.qv5", f"out-{folder}")
        assert r2.rc == 0 and "INVALID" not in r2.out, r2
        if folder == "three":
            assert files_under(ctx.path(f"out-{folder}", folder)) == files_under(ctx.path(folder))
        else:  # a one-file archive is written to the output path itself
            assert [ctx.read(f"out-{folder}")] == list(files_under(ctx.path(folder)).values())
        if folder == "three":
            # 40 MiB: 16 + 16 + 8; only the middle chunk shows the rate form.
            texts = re.findall(r"\r([^\r\n]*?) *(?=\r|\n)", r.body)
            chunk_texts = [t for t in texts if "KB" in t]
            assert chunk_texts[0] == "Processing 16,384/40,960 KB", chunk_texts
            assert re.fullmatch(r"32,768/40,960 KB, \d+:\d\d left, [\d,]+ KB/sec, expect [\d,.]+ [KMG]?B \(\d+\.\d\d%\)",
                                chunk_texts[1]), chunk_texts
            assert chunk_texts[2] == "Processing 40,960/40,960 KB", chunk_texts
            texts = [t for t in re.findall(r"\r([^\r\n]*?) *(?=\r|\n)", r2.body) if "KB" in t]
            assert texts[0] == "Processing 16,384/40,960 KB"
            assert re.fullmatch(r"32,768/40,960 KB, \d+:\d\d left, [\d,]+ KB/sec", texts[1]), texts
            assert texts[2] == "Processing 40,960/40,960 KB"
        if folder == "two":
            texts = [t for t in re.findall(r"\r([^\r\n]*?) *(?=\r|\n)", r.body) if "KB" in t]
            assert texts == ["Processing 16,384/16,384 KB", "Processing 16,384/16,384 KB"], texts


def test_all_files_empty(ctx):
    for name in ("a", "b", "c/d"):
        ctx.write(f"in/{name}", b"")
    r = compress(ctx, "x.qv5", "in")
    assert r.rc == 0
    assert "Loading...\n0 -> " in r.body and " B, 0.00%) - " in r.body, r.body
    r = ctx.run("d", "x.qv5", "out")
    assert r.rc == 0 and sorted(files_under(ctx.path("out", "in"))) == sorted(["a", "b", os.path.join("c", "d")])
    r = ctx.run("l", "x.qv5")
    assert r.body.endswith(", 0 B, CRC32: 0\n3 files\n")


def test_output_location_rules(ctx):
    ctx.write("single.txt", "one")
    ctx.write("multi/a.txt", "A")
    ctx.write("multi/docs/b.txt", "B")
    assert compress(ctx, "one.qv5", "single.txt").rc == 0
    assert compress(ctx, "many.qv5", "multi").rc == 0
    # A one-file archive writes exactly the output path, whatever the stored name.
    r = ctx.run("d", "one.qv5", "renamed.bin")
    assert r.rc == 0 and ctx.read("renamed.bin") == b"one"
    os.mkdir(ctx.path("afolder"))
    r = ctx.run("d", "one.qv5", "afolder")
    assert r.rc == 1 and "\nError opening output file (as single file) afolder\n" in r.body, r
    # A multi-file archive appends each stored name to the prefix, creating folders.
    r = ctx.run("d", "many.qv5", "out")
    assert r.rc == 0
    assert ctx.read("out/multi/a.txt") == b"A" and ctx.read("out/multi/docs/b.txt") == b"B"


def test_overwrite_prompts(ctx):
    ctx.write("in/a.txt", "new a")
    ctx.write("in/b.txt", "new b")
    assert compress(ctx, "x.qv5", "in").rc == 0
    prompt = "\nError: Output file out{0}in{0}{1} already exists. Press Y to overwrite it, A to overwrite all, or any other key to exit: "
    # The archive holds the reverse of the ordered list: b.txt comes first.
    for answer in (b"\n", b"", b"n\n"):
        ctx.write("out/in/b.txt", "old b")
        r = ctx.run("d", "x.qv5", "out", stdin=answer)
        assert r.rc == 1 and r.body.endswith(prompt.format(ctx.sep, "b.txt")), (answer, r)
        assert ctx.read("out/in/b.txt") == b"old b"
    for answer in (b"y\n", b"Y\n"):
        ctx.write("out/in/a.txt", "old a")
        ctx.write("out/in/b.txt", "old b")
        r = ctx.run("d", "x.qv5", "out", stdin=answer + b"y\n")
        assert r.rc == 0 and r.body.count("already exists") == 2, r
        assert ctx.read("out/in/a.txt") == b"new a" and ctx.read("out/in/b.txt") == b"new b"
    for answer in (b"a\n", b"A\n"):
        ctx.write("out/in/a.txt", "old a")
        ctx.write("out/in/b.txt", "old b")
        r = ctx.run("d", "x.qv5", "out", stdin=answer)
        assert r.rc == 0 and r.body.count("already exists") == 1, r
        assert ctx.read("out/in/b.txt") == b"new b"
    r = ctx.run("-force-overwrite", "d", "x.qv5", "out")
    assert r.rc == 0 and "already exists" not in r.out


def test_existing_archive_prompt(ctx):
    ctx.write("a.txt", "a")
    ctx.write("x.qv5", "old archive")
    question = "Error: Archive file x.qv5 already exists. Press Y to overwrite it, or any other key to exit: "
    r = compress(ctx, "x.qv5", "a.txt", stdin=b"n\n")
    assert r.rc == 1 and r.body.endswith(question) and ctx.read("x.qv5") == b"old archive"
    r = compress(ctx, "x.qv5", "a.txt", stdin=b"")
    assert r.rc == 1 and ctx.read("x.qv5") == b"old archive"
    r = compress(ctx, "x.qv5", "a.txt", stdin=b"Y\n")
    assert r.rc == 0 and question in r.body and ctx.read("x.qv5")[:4] == b"QV5x"
    r = compress(ctx, "x.qv5", "a.txt", flags=["-force-overwrite"])
    assert r.rc == 0 and "already exists" not in r.body


def test_old_and_short_header_forms(ctx):
    ctx.write("in/a.txt", "alpha " * 100)
    ctx.write("in/b.txt", "beta " * 100)
    assert compress(ctx, "x.qv5", "in").rc == 0
    data = ctx.read("x.qv5")
    listing = ctx.run("l", "x.qv5").body
    old = data[8:32] + data[40:]
    short24 = data[:4] + (24).to_bytes(4, "little") + data[8:32] + data[40:]
    for name, content, message in (("old.qv5", old, "Reading old header format\n"), ("h24.qv5", short24, "")):
        with open(ctx.path(name), "wb") as f:
            f.write(content)
        r = ctx.run("l", name)
        assert r.rc == 0 and r.body == message + listing, (name, r)
        r = ctx.run("d", name, "out-" + name)
        assert r.rc == 0 and r.body.startswith("Model: 25,091 KB\n" + message), r
        assert files_under(ctx.path("out-" + name)) == files_under(ctx.path("."+os.sep+"in")) or \
            files_under(ctx.path("out-" + name, "in")) == files_under(ctx.path("in"))
    # A header length of 16 leaves flags 0: the entries carry no CRC-32.
    with open(ctx.path("h16.qv5"), "wb") as f:
        f.write(archive_maker.archive([(b"/p.txt", b"plain", 0), (b"/q.txt", b"text", 0)], header_length=16, flags=0))
    r = ctx.run("l", "h16.qv5")
    assert r.body == "[1]: /p.txt, 5 B\n[2]: /q.txt, 4 B\n2 files\n", r
    r = ctx.run("d", "h16.qv5", "o16")
    assert r.rc == 0 and "\nWrote /p.txt\nWrote /q.txt\n" in r.body and ctx.read("o16/p.txt") == b"plain", r


def test_invalid_checksum_fails_the_extraction(ctx):
    ctx.write("a", "abc")
    assert compress(ctx, "x.qv5", "a").rc == 0
    data = bytearray(ctx.read("x.qv5"))
    data[60] ^= 1  # stream bit 160 is bit 1 of the stored CRC-32
    with open(ctx.path("bad.qv5"), "wb") as f:
        f.write(data)
    r = ctx.run("d", "bad.qv5", "out")
    assert "\nINVALID CHECKSUM: Expected 352441C0\n" in r.body and r.body.endswith("Invalid checksums: 1\n"), r
    assert r.rc == 1 and ctx.read("out") == b"abc"


def test_validation_reads_what_the_disk_holds(ctx):
    # Two entries of one path: the second overwrites the first before the report, so the
    # first validates against the other content, of the same size, and fails.
    with open(ctx.path("twice.qv5"), "wb") as f:
        f.write(archive_maker.archive([(b"/t.txt", b"first", 0), (b"/t.txt", b"other", 0), (b"/u.txt", b"u", 0)]))
    r = ctx.run("-force-overwrite", "d", "twice.qv5", "o")
    expected = zlib.crc32(b"other")
    assert f"Wrote /t.txt, validating... CRC32: {expected:X}\nINVALID CHECKSUM: Expected {zlib.crc32(b'first'):X}\n" in r.body, r
    assert f"Wrote /t.txt, validating... CRC32: {expected:X}\nWrote" in r.body and r.body.endswith("Invalid checksums: 1\n"), r
    assert r.rc == 1 and ctx.read("o/t.txt") == b"other", r


def test_damaged_archives_are_rejected_cleanly(ctx):
    edge_tree(ctx)
    assert compress(ctx, "x.qv5", "in").rc == 0
    data = ctx.read("x.qv5")
    rng = random.Random(3)
    cuts = sorted(set([0, 3, 4, 8, 20, 39, 40, 41] + [rng.randrange(40, len(data)) for _ in range(12)]
                      + list(range(len(data) - 17, len(data)))))
    if ctx.wine:
        cuts = cuts[::3]
    for cut in cuts:
        with open(ctx.path("cut.qv5"), "wb") as f:
            f.write(data[:cut])
        r = ctx.run("-force-overwrite", "d", "cut.qv5", "out", timeout=60)
        if cut == 0:
            assert r.rc == 1 and "Error: cut.qv5 is not a QV5 archive\n" in r.body, (cut, r)
        elif cut < len(data) - 16:
            assert r.rc == 1 and "Error: damaged archive (" in r.body, (cut, r)
        else:
            assert r.rc in (0, 1) and "INVALID" not in r.body, (cut, r)
        r = ctx.run("l", "cut.qv5", timeout=60)
        assert r.rc in (0, 1), (cut, r)
    flips = 12 if ctx.wine else 60
    for _ in range(flips):
        bad = bytearray(data)
        at = rng.randrange(8, len(bad))
        bad[at] ^= 1 << rng.randrange(8)
        with open(ctx.path("flip.qv5"), "wb") as f:
            f.write(bad)
        r = ctx.run("-force-overwrite", "d", "flip.qv5", "flipped", timeout=60)
        assert r.rc in (0, 1), (at, r)  # a signal would show as a negative status
        if r.rc == 0:
            assert "INVALID" not in r.body


def test_hostile_names_and_counts(ctx):
    cases = {
        "up.qv5": archive_maker.archive([(b"/ok", b"1", 0), (b"/a/../../evil", b"2", 0)]),
        "back.qv5": archive_maker.archive([(b"\\x\\..\\evil", b"2", 0)]),
        "nulbyte.qv5": archive_maker.archive([(b"/a\0b", b"2", 0)]),
        "count.qv5": archive_maker.archive([(b"/a", b"2", 0)], entry_count=1 << 31),
        "many.qv5": archive_maker.archive([(b"/a", b"2", 0)], entry_count=(1 << 31) - 1),
        "hlen.qv5": archive_maker.archive([(b"/a", b"2", 0)], header_length=0xFFFFFFFF),
        "total.qv5": archive_maker.archive([(b"/a", b"2", 0)], stored_total=1 << 40),
        "words.qv5": archive_maker.archive([(b"/a", b"abc", 0)], word_count=524287),
        "promise.qv5": archive_maker.archive([(b"/a", b"abc", 0)], sizes=[1 << 40], stored_total=1 << 40),
        "slot.qv5": archive_maker.archive([(b"/a", b"abcabcabcabc", 0)], blocks=[[97, 98, 99, (9, 1)]]),
        "dist.qv5": archive_maker.archive([(b"/a", b"aaaaaaaa", 0)], blocks=[[97, 97, (6, 0)]]),
    }
    for name, content in cases.items():
        with open(ctx.path(name), "wb") as f:
            f.write(content)
        r = ctx.run("d", name, "out", timeout=60)
        assert r.rc == 1, (name, r)
        if name in ("up.qv5", "back.qv5"):
            assert "Error: output filename contains ../ (" in r.body, r
        else:
            assert "Error: damaged archive (" in r.body, (name, r)
        r = ctx.run("l", name, timeout=60)
        assert r.rc in (0, 1), (name, r)
    assert not os.path.exists(ctx.path("out"))
    assert not os.path.exists(ctx.path("evil"))


def test_names_with_a_colon(ctx):
    with open(ctx.path("c.qv5"), "wb") as f:
        f.write(archive_maker.archive([(b"/c:x", b"1", 0), (b"/y", b"2", 0)]))
    r = ctx.run("d", "c.qv5", "out")
    if ctx.wine:
        assert r.rc == 1 and "Error: output filename is not relative (/c:x)\n" in r.body, r
        assert not os.path.exists(ctx.path("out"))
    else:
        assert r.rc == 0 and ctx.read("out/c:x") == b"1"


def test_never_writes_over_the_archive_it_reads(ctx):
    ctx.write("a.txt", "abc")
    assert compress(ctx, "x.qv5", "a.txt").rc == 0
    before = ctx.read("x.qv5")
    r = ctx.run("-force-overwrite", "d", "x.qv5", "." + ctx.sep + "x.qv5")
    assert r.rc == 1 and "\nError: output file ." + ctx.sep + "x.qv5 is the archive being read\n" in r.body, r
    assert ctx.read("x.qv5") == before
    ctx.write("p/q", "q")
    ctx.write("p/r", "r")
    assert compress(ctx, "pq.qv5", "p").rc == 0
    os.replace(ctx.path("pq.qv5"), ctx.path("p", "q"))
    before = ctx.read("p/q")
    r = ctx.run("-force-overwrite", "d", "p/q", ".")
    assert r.rc == 1 and "is the archive being read" in r.body, r
    assert ctx.read("p/q") == before
