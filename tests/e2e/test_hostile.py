"""Hostile archives: stored names that try to leave the output folder, tables that promise
more than the file holds, and blocks built to reach outside the window or the history.
Each must be refused with a message and exit status 1, without a file written outside the
output folder; the valid oddities must extract exactly."""
import os

import archive_maker as m
from harness import only
from test_sfx import MARKER


def save(ctx, name, data):
    with open(ctx.path(name), "wb") as f:
        f.write(data)


def stub(ctx, archive):
    """A self-extracting copy of the program carrying archive: the only way to extract
    without an output argument. Kept in bin/, which everything() leaves out."""
    with open(ctx.binary, "rb") as f:
        program = bytearray(f.read())
    at = program.find(MARKER)
    program[at:at + 4] = len(program).to_bytes(4, "little")
    os.makedirs(ctx.path("bin"), exist_ok=True)
    path = ctx.path("bin", "stub" + ctx.exe_suffix)
    with open(path, "wb") as f:
        f.write(program + archive)
    os.chmod(path, 0o755)
    return path


def extract_here(ctx, archive, stdin=b""):
    return ctx.run(binary=stub(ctx, archive), stdin=stdin)


def everything(ctx):
    """Every file and folder below the test folder but bin/, as relative paths with '/'."""
    found = set()
    for folder, dirs, files in os.walk(ctx.work):
        for name in dirs + files:
            found.add(os.path.relpath(os.path.join(folder, name), ctx.work).replace(os.sep, "/"))
    return {name for name in found if name != "bin" and not name.startswith("bin/")}


def test_parent_references_anywhere_are_refused(ctx):
    escape = os.path.basename(ctx.work) + "-escaped"  # would land beside the test folder
    names = ["../" + escape, "..\\" + escape, "/a/../../" + escape, "\\a\\..\\..\\" + escape,
             "/x/..\\..\\" + escape, "/a/b/../../../" + escape, "/end/../", "\\end\\..\\"]
    for name in names:
        raw = name.encode()
        for files in ([(raw, b"bad", 0)], [(b"/ok", b"fine", 0), (raw, b"bad", 0)]):
            save(ctx, "p.qv5", m.archive(files))
            for r in (ctx.run("d", "p.qv5", "out"), extract_here(ctx, m.archive(files))):
                assert r.rc == 1 and f"Error: output filename contains ../ ({name})\n" in r.body, (name, r)
            assert everything(ctx) == {"p.qv5"}, (name, everything(ctx))  # not even /ok
            r = ctx.run("l", "p.qv5")  # a listing writes nothing and shows the name as stored
            assert r.rc == 0 and f": {name}, 3 B, CRC32: " in r.body, r
    assert not os.path.exists(os.path.join(os.path.dirname(ctx.work), escape))


def test_absolute_names_land_inside_the_output_folder(ctx):
    files = [(b"//root-abs/x", b"1", 0), (b"/abs", b"22", 0), (b"\\\\server\\share\\f", b"333", 0),
             (b"\\/mixed/y", b"4444", 0)]
    save(ctx, "a.qv5", m.archive(files))
    r = ctx.run("d", "a.qv5", "out")
    assert r.rc == 0 and "INVALID" not in r.body, r
    assert everything(ctx) == {"a.qv5", "out", "out/root-abs", "out/root-abs/x", "out/abs", "out/server",
                               "out/server/share", "out/server/share/f", "out/mixed", "out/mixed/y"}, everything(ctx)
    assert ctx.read("out/server/share/f") == b"333" and ctx.read("out/mixed/y") == b"4444"
    # A one-file archive without an output argument drops the leading separators.
    for name in (b"//one-abs", b"\\\\one-abs", b"/\\one-abs"):
        r = extract_here(ctx, m.archive([(name, b"one", 0)]), stdin=b"y\n")
        assert r.rc == 0 and ctx.read("one-abs") == b"one", (name, r)


def test_names_without_a_leading_separator_are_refused(ctx):
    # Appended to the prefix out, the name x would give outx, beside the output folder.
    for files in ([(b"/ok", b"1", 0), (b"x", b"2", 0)], [(b"x", b"2", 0), (b"/ok", b"1", 0)],
                  [(b"/ok", b"1", 0), (b"", b"", 0)]):
        save(ctx, "n.qv5", m.archive(files))
        r = ctx.run("d", "n.qv5", "out")
        assert r.rc == 1 and "Error: damaged archive (stored name without a leading separator)\n" in r.body, r
        assert everything(ctx) == {"n.qv5"}, everything(ctx)
    # In a one-file archive the name only matters without an output argument.
    r = extract_here(ctx, m.archive([(b"plain", b"p", 0)]))
    assert r.rc == 0 and ctx.read("plain") == b"p", r


@only("windows")
def test_drive_letters_and_streams_are_refused(ctx):
    for name in (b"C:\\evil", b"\\C:\\evil", b"c:evil", b"\\file.txt:stream", b"\\\\?\\C:\\evil"):
        for files in ([(name, b"bad", 0)], [(b"\\ok", b"fine", 0), (name, b"bad", 0)]):
            save(ctx, "w.qv5", m.archive(files))
            for r in (ctx.run("d", "w.qv5", "out"), extract_here(ctx, m.archive(files))):
                assert r.rc == 1 and f"Error: output filename is not relative ({name.decode()})\n" in r.body, (name, r)
            assert everything(ctx) == {"w.qv5"}, (name, everything(ctx))


def test_tables_that_do_not_fit_are_refused(ctx):
    cases = {
        # name length field (12 bits) above the 2047 bytes an entry holds
        "long-name": (m.archive([(b"/" + b"n" * 3000, b"1", 0), (b"/b", b"2", 0)]), "damaged archive (stored name too long)"),
        # prefix + name of 1024 bytes or more does not fit the path buffer
        "long-path": (m.archive([(b"/" + b"p" * 1100, b"1", 0), (b"/b", b"2", 0)]), "path too long: out/"),
        # the last entry cannot be a duplicate of a following one
        "dup-last": (m.archive([(b"/a", b"1", 0), (b"/b", b"1", 1)]), "damaged archive (duplicate without a matching file)"),
        "dup-size": (m.archive([(b"/a", b"1", 1), (b"/b", b"22", 0)]), "damaged archive (duplicate without a matching file)"),
        # no entries, yet a stored stream; entries larger than the stream
        "no-entries": (m.archive([], stored_total=5, blocks=[[97] * 5]), "damaged archive (stored stream larger than its files)"),
        "short-total": (m.archive([(b"/a", b"abcdef", 0), (b"/b", b"x", 0)], stored_total=3),
                        "damaged archive (files larger than the stored stream)"),
    }
    for name, (data, message) in cases.items():
        save(ctx, name, data)
        r = ctx.run("-force-overwrite", "d", name, "out", timeout=60)
        assert r.rc == 1 and message in r.body, (name, r)
        assert not os.path.exists(ctx.path("out")), name
        r = ctx.run("l", name, timeout=60)
        assert r.rc in (0, 1), (name, r)


def test_blocks_that_reach_outside_are_refused(ctx):
    cases = {
        # D = 2 in a ring that holds one entry: the slot is empty
        "part-ring": ([(b"/a", b"abaXXXX", 0)], [[97, 98, 97, (4, 2)]], "match refers to an empty history slot"),
        # a match longer than what is left of the chunk
        "past-chunk": ([(b"/a", b"aaaaaa", 0)], [[97, 97, (8, 1)]], "block runs past the end of the chunk"),
        # the blocks end before the chunk does: what follows are made-up zero bits
        "short-chunk": ([(b"/a", b"abcdef", 0)], [[97, 98, 99]], "damaged archive ("),
    }
    for name, (files, blocks, message) in cases.items():
        save(ctx, name, m.archive(files, blocks=blocks))
        r = ctx.run("-force-overwrite", "d", name, "out", timeout=60)
        assert r.rc == 1 and message in r.body, (name, r)
        assert not os.path.exists(ctx.path("out")), name


def test_unused_distance_table_is_harmless(ctx):
    # A literal-only block may carry a distance code it never uses; the data stays exact.
    counts = [0] * 60
    counts[3] = counts[40] = counts[59] = 1
    content = b"literals only, with a distance table"
    save(ctx, "u.qv5", m.archive([(b"/u", content, 0)], distance_counts=counts))
    r = ctx.run("d", "u.qv5", "out")
    assert r.rc == 0 and "INVALID" not in r.body and ctx.read("out") == content, r


def test_huge_count_backed_by_a_sparse_file(ctx):
    # 2^31 - 1 entries fit the file's size when it is a 40 GB hole of zeros: the table must
    # not be sized from the count (it would take about 120 GB), and the zero entries, without
    # names, are refused at the first one.
    save(ctx, "s.qv5", m.archive([(b"/a", b"", 0)], entry_count=(1 << 31) - 1))
    with open(ctx.path("s.qv5"), "r+b") as f:
        f.truncate(40 << 30)
    if os.environ.get("QV5_SANITIZER"):
        # A sanitizer's shadow memory needs far more address space than any limit that would
        # still catch the table: its allocator's own cap stands in for the limit.
        options = os.environ.get("ASAN_OPTIONS", "")
        r = ctx.run("d", "s.qv5", "out", timeout=60, env={"ASAN_OPTIONS": options + ":max_allocation_size_mb=8192"})
    else:
        r = ctx.run("d", "s.qv5", "out", timeout=60, preexec=None if ctx.wine else _memory_limit)
    assert r.rc == 1 and "Error: damaged archive (stored name without a leading separator)\n" in r.body, r
    assert not os.path.exists(ctx.path("out"))


def _memory_limit():
    # Far below the 120 GB the entry table would take, far above what extraction needs.
    import resource
    resource.setrlimit(resource.RLIMIT_AS, (8 << 30, 8 << 30))
