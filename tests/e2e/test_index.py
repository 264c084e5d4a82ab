"""Indexed archives (-meta): chunks decoded apart on every thread, only the ones a selection
needs, and a damaged chunk costing only its files, on both builds and across them."""
import os
import random
import re
import struct

from harness import needs_peer
from test_digests import words_text

MIB = 1 << 20


def indexed_tree(ctx):
    """Files over four chunks; the byte runs are repeated so that they compress fast."""
    rng = random.Random(25)
    piece = words_text(rng, MIB)
    sizes = {"a.txt": 7 * MIB, "b/c.txt": 12 * MIB, "b/d.txt": 300, "e.txt": 20 * MIB, "f/g.txt": 13 * MIB + 77,
             "f/h.txt": 5, "0-small.txt": 9}
    for n, (name, size) in enumerate(sizes.items()):
        data = (piece[n * 1000:] + piece[:n * 1000]) * (size // MIB + 1)
        ctx.write("src/" + name, data[:size])
    return {name: ctx.read("src/" + name) for name in sizes}


def chunk_marks(data):
    """The chunk index of an archive with its extension's place in the header."""
    offset = struct.unpack_from("<Q", data, 32)[0]
    at = offset + 16
    while at < len(data) - 4:
        kind, length = struct.unpack_from("<BI", data, at)
        if kind == 9:
            count = struct.unpack_from("<I", data, at + 5)[0]
            return [struct.unpack_from("<QI", data, at + 9 + 12 * i) for i in range(count)]
        at += 5 + length
    raise AssertionError("no chunk index")


def stream_layout(ctx, archive):
    """(name without the leading '/src/', first stream byte, size) of each file, in archive order."""
    layout, offset = [], 0
    for line in ctx.run("-v", "l", archive).body.splitlines():
        parts = line.split()
        if len(parts) >= 6 and parts[0].startswith("-"):
            size, name = int(parts[2]), parts[-1].replace("\\", "/")
            layout.append((name[len("/src/"):], offset, size))
            offset += size
    return layout


def in_chunk(layout, chunk):
    """The files with bytes in a chunk."""
    start, end = chunk * 16 * MIB, (chunk + 1) * 16 * MIB
    return {name for name, offset, size in layout if offset < end and offset + size > start}


def without_times(text):
    return "\n".join(line for line in text.split("\n") if " seconds" not in line and "KB" not in line)


def test_chunks_decode_on_every_thread_and_alone(ctx):
    want = indexed_tree(ctx)
    assert ctx.run("-meta", "c1", "i.qv5", "src").rc == 0
    assert len(chunk_marks(ctx.read("i.qv5"))) == 4
    # The same report on one thread and on several.
    runs = [ctx.run(f"-t{n}", "t", "i.qv5") for n in (1, 2, 3)]
    assert all(r.rc == 0 for r in runs), runs
    assert without_times(runs[0].body) == without_times(runs[1].body) == without_times(runs[2].body)
    r = ctx.run("-t2", "d", "i.qv5", "out")
    assert r.rc == 0 and "INVALID" not in r.body, r
    assert all(ctx.read("out/src/" + name) == data for name, data in want.items())
    # A small file in the last chunk alone: the chunks before it are not read.
    layout = stream_layout(ctx, "i.qv5")
    name = min(in_chunk(layout, 3) - in_chunk(layout, 2), key=lambda n: want[n].__len__())
    r = ctx.run("d", "i.qv5", "one", "src/" + name)
    assert r.rc == 0 and ctx.read("one/src/" + name) == want[name], r
    assert r.body.count("Wrote ") == 1, r


def not_written(text, verb="Not written"):
    """The names a report of d (or, with verb "Tested", of t) says were lost to damage."""
    return set(re.findall(rf"^{verb} (.*): damaged \(chunk \d+\)$", text, re.M))


def test_a_damaged_chunk_costs_only_the_files_the_damage_reaches(ctx):
    want = indexed_tree(ctx)
    assert ctx.run("-meta", "c1", "i.qv5", "src").rc == 0
    data = bytearray(ctx.read("i.qv5"))
    marks = chunk_marks(bytes(data))
    data[(marks[2][0] + marks[3][0]) // 16] ^= 0x5A  # inside the third chunk (32-48 MiB)
    with open(ctx.path("bad.qv5"), "wb") as f:
        f.write(data)
    in_damaged = {ctx.native("/src/" + name) for name in in_chunk(stream_layout(ctx, "i.qv5"), 2)}
    reports = []
    for threads in ("-t1", "-t2"):
        r = ctx.run(threads, "-force-overwrite", "d", "bad.qv5", "out" + threads)
        assert r.rc == 1 and "Error: damaged archive (chunk 3: " in r.body, r
        lost = not_written(r.body)
        # Only files with bytes in the damaged chunk are lost, and not all of them: the file
        # that ends there before the damage is kept.
        assert lost and lost < in_damaged, (lost, in_damaged)
        for name, content in want.items():
            path = ctx.path("out" + threads, "src", name)
            if ctx.native("/src/" + name) in lost:
                assert not os.path.exists(path), name
            else:
                assert ctx.read(path) == content, name
        assert "INVALID" not in r.body, r
        reports.append(lost)
    r = ctx.run("t", "bad.qv5")
    assert r.rc == 1 and not_written(r.body, "Tested") == reports[0] == reports[1], (r, reports)
    assert r.body.count(", CRC32: ") == len(want) - len(reports[0]), r


def test_files_before_the_damage_in_a_chunk_are_kept(ctx):
    """Seven photos (noise) in one chunk and one byte of the sixth flipped: the five before it
    come back, and the t and d of every thread count agree on what is lost."""
    rng = random.Random(34)
    for n in range(1, 9):
        ctx.write(f"src/p{n}.jpg", rng.randbytes(2 * MIB + rng.randrange(100000)))
    assert ctx.run("-meta", "c1", "p.qv5", "src").rc == 0
    layout = stream_layout(ctx, "p.qv5")
    assert len(in_chunk(layout, 0)) == 8, layout
    name, offset, size = layout[5]
    data = bytearray(ctx.read("p.qv5"))
    # Noise is stored nearly byte for byte: the flipped byte lies in the sixth file's bytes.
    data[chunk_marks(bytes(data))[0][0] // 8 + offset + size // 2] ^= 0x10
    with open(ctx.path("bad.qv5"), "wb") as f:
        f.write(data)
    lost = None
    for args in (("-t1", "d", "bad.qv5", "o1"), ("-t2", "d", "bad.qv5", "o2"), ("-t1", "t", "bad.qv5"),
                 ("-t2", "t", "bad.qv5")):
        r = ctx.run(*args)
        assert r.rc == 1 and "Error: damaged archive (chunk 1: " in r.body, r
        named = not_written(r.body, "Not written" if args[1] == "d" else "Tested")
        assert lost is None or named == lost, (named, lost)
        lost = named
    assert ctx.native("/src/" + name) in lost, lost
    for before, _, _ in layout[:5]:
        assert ctx.native("/src/" + before) not in lost
        assert ctx.read("o1/src/" + before) == ctx.read("o2/src/" + before) == ctx.read("src/" + before), before
    assert not os.path.exists(ctx.path("o1/src", name))


@needs_peer
def test_the_other_build_reads_the_index(ctx):
    want = indexed_tree(ctx)
    assert ctx.run("-meta", "c1", "mine.qv5", "src").rc == 0
    assert ctx.run_peer("-meta", "c1", "peer.qv5", "src").rc == 0
    for run, archive in ((ctx.run_peer, "mine.qv5"), (ctx.run, "peer.qv5")):
        r = run("-t2", "d", archive, "out-" + archive, "src/f")
        assert r.rc == 0, r
        assert ctx.read(f"out-{archive}/src/f/g.txt") == want["f/g.txt"]


def crc_forced(prefix, target):
    """Four bytes that, after prefix, give the CRC-32 target (the CRC is affine in them)."""
    import zlib
    base = zlib.crc32(prefix + b"\0\0\0\0")
    columns = [zlib.crc32(prefix + (1 << i).to_bytes(4, "little")) ^ base for i in range(32)]
    rows = [(columns[i], 1 << i) for i in range(32)]  # (image, which input bits make it)
    want, chosen = target ^ base, 0
    for bit in range(32):
        pivot = next((r for r in rows if r[0] >> bit & 1), None)
        if pivot is None:
            continue
        rows = [(r[0] ^ pivot[0], r[1] ^ pivot[1]) if r is not pivot and r[0] >> bit & 1 else r
                for r in rows if r is not pivot]
        if want >> bit & 1:
            want ^= pivot[0]
            chosen ^= pivot[1]
    assert want == 0 and zlib.crc32(prefix + chosen.to_bytes(4, "little")) == target
    return chosen.to_bytes(4, "little")


def test_a_selection_refuses_a_two_faced_index(ctx):
    """Two archives alike but for a script whose CRC-32 was forced to be the same: the second's
    encoding of the script's chunk is put before the first's extension, and the first's index
    made to point at it. A whole read follows the stream and says the index does not match it;
    a selection finds that the chunk it decoded does not end where the stream's end is
    recorded. Neither gives the other script as checked."""
    import zlib
    rng = random.Random(7)
    ctx.write("src/b.bin", (words_text(rng, MIB) * 16)[:16 * MIB])
    safe = b"#!/bin/sh\necho safe\n#"
    ctx.write("src/a.sh", safe + b"abcd")
    evil = b"#!/bin/sh\nrm -rf ~\n##"
    ctx.write("evil.sh", evil + crc_forced(evil, zlib.crc32(ctx.read("src/a.sh"))))
    assert ctx.run("-meta", "c1", "a.qv5", "src").rc == 0
    os.replace(ctx.path("evil.sh"), ctx.path("src/a.sh"))
    assert ctx.run("-meta", "c1", "b.qv5", "src").rc == 0
    a, b = ctx.read("a.qv5"), ctx.read("b.qv5")
    a_ext, b_ext = (struct.unpack_from("<Q", x, 32)[0] for x in (a, b))
    marks = chunk_marks(a)
    assert len(marks) == 2 and marks == chunk_marks(b)
    # The second encoding with its pending bits, without the zero bytes that close a stream.
    first = marks[1][0] // 8
    forged = b[first:b_ext - 8]
    extension = bytearray(a[a_ext:])
    at = 16
    while extension[at] != 9:
        at += 5 + struct.unpack_from("<I", extension, at + 1)[0]
    struct.pack_into("<Q", extension, at + 9 + 12, a_ext * 8 + marks[1][0] % 8)
    struct.pack_into("<I", extension, len(extension) - 4, zlib.crc32(bytes(extension[:-4])))
    data = bytearray(a[:a_ext] + forged + extension)
    struct.pack_into("<Q", data, 32, a_ext + len(forged))
    with open(ctx.path("two.qv5"), "wb") as f:
        f.write(data)
    r = ctx.run("t", "two.qv5")
    assert r.rc == 1 and "chunk index does not match the stream" in r.body, r
    for args in (["t", "two.qv5", "src/a.sh"], ["d", "two.qv5", "out", "src/a.sh"], ["d", "two.qv5", "-", "src/a.sh"]):
        r = ctx.run(*args)
        assert r.rc == 1 and "Error: damaged archive (" in r.out + r.err and "rm -rf" not in r.out, r
        assert "CRC32: " not in r.body, r
    assert not os.path.exists(ctx.path("out/src/a.sh"))
