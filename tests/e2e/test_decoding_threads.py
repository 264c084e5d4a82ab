"""Damaged archives decoded on one thread and on two: the same report, the same status and the
same files, and nothing left on disk that looks like a file restored whole when it was not."""
import os
import random
import struct

from test_archive import files_under
from test_everyday import run_binary
from test_index import chunk_marks
from test_parallel import timeless
from test_digests import words_text

MIB = 1 << 20


def damaged_copy(ctx, archive, name, at, mask=0x5A):
    data = bytearray(ctx.read(archive))
    data[at] ^= mask
    ctx.write(name, bytes(data))
    return bytes(data)


def piped(ctx, args, data):
    """The program reading the archive from a pipe (texts go to standard error)."""
    proc = run_binary(ctx, *args, stdin=data)
    return proc.returncode, timeless(proc.stderr.decode("latin-1"))


def test_an_empty_file_at_the_start_of_a_damaged_first_chunk(ctx):
    # Stored in reverse order of names: the empty file takes the stream's first place, with no
    # byte of its own in chunk 1; chunk 1 is damaged, chunk 2 is not.
    rng = random.Random(81)
    ctx.write("src/zz-empty.txt", b"")
    ctx.write("src/b.txt", words_text(rng, 20 * MIB))
    ctx.write("src/a.txt", words_text(rng, 3000))
    assert ctx.run("-meta", "c1", "e.qv5", "src").rc == 0
    listing = ctx.run("-v", "l", "e.qv5").body
    assert listing.index(ctx.native("/src/zz-empty.txt")) < listing.index(ctx.native("/src/b.txt")), listing
    marks = chunk_marks(ctx.read("e.qv5"))
    damaged_copy(ctx, "e.qv5", "bad.qv5", (marks[0][0] + marks[1][0]) // 16)
    empty = ctx.native("/src/zz-empty.txt")
    tested = ctx.run("t", "bad.qv5")
    assert tested.rc == 1 and "Error: damaged archive (chunk 1: " in tested.body, tested
    lost_in_test = f"Tested {empty}: damaged (chunk 1)" in tested.body
    for threads in ("-t1", "-t2"):
        r = ctx.run(threads, "d", "bad.qv5", "out" + threads)
        assert r.rc == 1 and "Error: damaged archive (chunk 1: " in r.body, r
        # The report runs to its end: each file named once, the summary last.
        assert "Error opening" not in r.body and " bytes - " in r.body, r
        assert f"Not written {ctx.native('/src/b.txt')}: damaged (chunk 1)" in r.body, r
        assert ctx.read(f"out{threads}/src/a.txt") == ctx.read("src/a.txt")
        written = os.path.exists(ctx.path(f"out{threads}", "src", "zz-empty.txt"))
        not_written = f"Not written {empty}: damaged (chunk 1)" in r.body
        # Either made, or named as lost; t and d agree on which.
        assert written != not_written and not_written == lost_in_test, (written, not_written, r, tested)


def test_a_selection_from_a_pipe_ignores_damage_past_it(ctx):
    # From a pipe the stream is read in order and the extension after it; a selection stops
    # decoding after its last file. Damage in a chunk the selection does not need changes
    # nothing, on one thread or two.
    rng = random.Random(82)
    ctx.write("src/z-first.txt", words_text(rng, 16 * MIB))
    ctx.write("src/y-second.txt", words_text(rng, 2 * MIB))
    assert ctx.run("-meta", "c1", "p.qv5", "src").rc == 0
    good = ctx.read("p.qv5")
    extension_at = struct.unpack_from("<Q", good, 32)[0]
    want = ctx.read("src/z-first.txt")
    tried = 0
    for at in range(extension_at - 64, extension_at - 8):  # the last chunk's last bytes
        data = damaged_copy(ctx, "p.qv5", "hurt.qv5", at)
        if ctx.run("-t1", "t", "hurt.qv5").rc == 0:
            continue  # the flip changed nothing decoded
        tried += 1
        if tried > 5:
            break
        for command in (["t", "-", "src/z-first.txt"], ["-force-overwrite", "d", "-", "out", "src/z-first.txt"]):
            runs = [piped(ctx, [threads] + command, data) for threads in ("-t1", "-t2")]
            assert runs[0] == runs[1], (at, command, runs)
            assert runs[0][0] == 0, (at, command, runs)
            if command[1] == "d":
                assert ctx.read("out/src/z-first.txt") == want
    assert tried > 5, tried


def test_a_damaged_plain_archive_leaves_no_unfinished_file(ctx):
    # No chunk index: the stream is decoded in order and stops at the damage. A file the
    # damage cuts short, or one about to begin where a damaged chunk begins, is not left
    # behind looking restored; the files finished before it are.
    rng = random.Random(83)
    ctx.write("src/c.txt", words_text(rng, 16 * MIB))  # chunk 1 exactly
    ctx.write("src/b.txt", words_text(rng, 5))  # first bytes of chunk 2
    ctx.write("src/a.txt", words_text(rng, 6 * MIB))
    assert ctx.run("-meta", "c1", "i.qv5", "src").rc == 0
    assert ctx.run("c1", "plain.qv5", "src").rc == 0
    marks = chunk_marks(ctx.read("i.qv5"))
    listing = ctx.run("-v", "l", "plain.qv5").body
    names = [listing.index(ctx.native(f"/src/{name}")) for name in ("c.txt", "b.txt", "a.txt")]
    assert names == sorted(names), listing
    # The plain archive's stream has the same bytes at the same places.
    second = marks[1][0] // 8 + 2
    whole = {"src/" + name: ctx.read("src/" + name) for name in ("a.txt", "b.txt", "c.txt")}
    for at in (second, second + 4000):
        damaged_copy(ctx, "plain.qv5", "hurt.qv5", at)
        results = []
        for threads in ("-t1", "-t2"):
            out = f"out{at}{threads}"
            r = ctx.run(threads, "d", "hurt.qv5", out)
            assert r.rc == 1 and "Error: damaged archive (" in r.body, r
            files = files_under(ctx.path(out))
            assert files.get("src/c.txt") == whole["src/c.txt"], (at, sorted(files))
            for name, content in files.items():
                assert content == whole[name], (at, threads, name, len(content), len(whole[name]))
            results.append((timeless(r.body).replace(out, "out"), sorted(files)))
        assert results[0] == results[1], (at, results)
