"""The command line as people type it: flags after the command word, refusals that say why,
listings that take patterns, a file that is no archive."""
import os
import subprocess

from harness import only
from test_parallel import timeless


def small_tree(ctx):
    ctx.write("src/a.txt", "alpha " * 50)
    ctx.write("src/notes/b.txt", "beta " * 40)
    ctx.write("src/notes/c.md", "gamma " * 30)


def test_flags_after_the_command_word(ctx):
    small_tree(ctx)
    before = ctx.run("-force-overwrite", "-meta", "c", "before.qv5", "src")
    after = ctx.run("c", "-force-overwrite", "-META", "after.qv5", "src")
    assert after.rc == 0 and timeless(after.body) == timeless(before.body), (before, after)
    assert ctx.read("after.qv5") == ctx.read("before.qv5")
    # The long listing as tar and 7z users type it, and flags on both sides of the word.
    r = ctx.run("l", "-v", "after.qv5")
    assert r.rc == 0 and r.body == ctx.run("-v", "l", "after.qv5").body and "-rw" in r.body, r
    r = ctx.run("-quiet", "t", "-t1", "after.qv5")
    assert r.rc == 0 and r.out == "", r
    # After the archive path every word is an input, output or pattern, as ever; "-" as the
    # archive is the standard stream, not a flag; "--" ends the flags.
    ctx.write("-v", "a file named -v")
    r = ctx.run("c", "-force-overwrite", "dash.qv5", "-v")
    assert r.rc == 0 and f"-> {ctx.sep}-v\n" in r.body, r
    r = ctx.run("c", "-force-overwrite", "--", "-odd.qv5", "src")
    assert r.rc == 0 and os.path.exists(ctx.path("-odd.qv5")), r
    r = ctx.run("l", "--", "-odd.qv5")
    assert r.rc == 0 and "3 files\n" in r.body, r
    r = ctx.run("l", "-", stdin=ctx.read("after.qv5"))
    assert r.rc == 0 and "3 files\n" in r.out, r
    # An unknown flag after the command word is named and ignored like one before it.
    r = ctx.run("l", "-vv2", "after.qv5")
    assert r.rc == 0 and r.body.startswith("Warning: unknown flag -vv2 ignored\n[1]: "), r


def test_refusals_say_why(ctx):
    small_tree(ctx)
    for word in ("x", "extract", "Xtract"):
        r = ctx.run(word, "a.qv5")
        assert r.rc == 1 and "Usage:\n" in r.out and r.err.endswith(f"qv5: unknown command {word}\n"), r
    # Known words keep the usage text alone.
    r = ctx.run("d", "a.qv5")
    assert r.rc == 1 and "Usage:\n" in r.out and "unknown command" not in r.out + r.err, r
    # A thread count that is no number from 1 up stops before anything is written.
    for flags in (["-t0"], ["-t", "2"], ["-T00"], ["-t-1"], ["-t=4"]):
        r = ctx.run(*flags, "c", "x.qv5", "src")
        assert r.rc == 1 and r.body == f"Error: {flags[0]}: the thread count is a whole number from 1 up, " \
                                       "right after -t (as in -t4)\n", (flags, r)
        assert not os.path.exists(ctx.path("x.qv5")) and not os.path.exists(ctx.path("2")), flags
    r = ctx.run("c", "-t", "2", "x.qv5", "src")
    assert r.rc == 1 and "the thread count is a whole number" in r.body, r
    assert not os.path.exists(ctx.path("2")) and not os.path.exists(ctx.path("x.qv5"))
    # Levels outside 1-6 keep their clamping; more threads than cores run, to the same bytes.
    assert ctx.run("-t1", "c6", "six.qv5", "src").rc == 0
    r = ctx.run("-t16", "c7", "seven.qv5", "src")
    assert r.rc == 0 and ctx.read("seven.qv5") == ctx.read("six.qv5"), r


def test_a_file_that_is_no_archive(ctx):
    ctx.write("passwd", "root:x:0:0:root:/root:/bin/bash\ndaemon:x:1:1:daemon:/usr/sbin:/usr/sbin/nologin\n")
    ctx.write("small.bin", b"\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03" + bytes(range(256)) * 4)
    ctx.write("empty", b"")
    for name in ("passwd", "small.bin", "empty"):
        for args in (["l", name], ["t", name], ["-force-overwrite", "d", name, "out"]):
            r = ctx.run(*args)
            assert r.rc == 1 and r.body.endswith(f"Error: {name} is not a QV5 archive\n"), (args, r)
            assert "Reading old header format" not in r.body and "damaged" not in r.body, r
    r = ctx.run("l", "-", stdin=ctx.read("passwd"))
    assert r.rc == 1 and r.out.endswith("Error: standard input is not a QV5 archive\n"), r
    assert not os.path.exists(ctx.path("out"))
    # What looks like an old header stays a damaged archive: zeros, a cut-off magic.
    ctx.write("zeros", bytes(100))
    ctx.write("cut", b"QV5")
    for name in ("zeros", "cut"):
        r = ctx.run("l", name)
        assert r.rc == 1 and "Error: damaged archive (" in r.body, r


def test_listing_takes_the_patterns_of_d(ctx):
    small_tree(ctx)
    assert ctx.run("c", "x.qv5", "src").rc == 0
    whole = ctx.run("l", "x.qv5").body.split("\n")
    entries = [line for line in whole if line.startswith("[")]
    r = ctx.run("l", "x.qv5", "src/notes")
    notes = [line for line in entries if ctx.native("/src/notes/") in line]
    assert r.rc == 0 and len(notes) == 2 and r.body == "\n".join(notes) + "\n2 files\n", r
    r = ctx.run("l", "x.qv5", "*.txt", "src/notes/c.md")
    assert r.rc == 0 and r.body.endswith("3 files\n"), r
    r = ctx.run("l", "x.qv5", "src/a.txt")
    one = [line for line in entries if ctx.native("/src/a.txt") in line]
    assert r.rc == 0 and r.body == one[0] + "\n1 file\n", r
    r = ctx.run("l", "x.qv5", "src/a.txt", "nothing*")
    assert r.rc == 1 and r.body == "Error: no file in the archive matches nothing*\n", r
    r = ctx.run("-v", "l", "x.qv5", "*.md")
    assert r.rc == 0 and r.body.count("\n") == 2 and "c.md\n1 file\n" in r.body, r


@only("linux")
def test_listing_of_standard_input_goes_to_standard_output(ctx):
    small_tree(ctx)
    assert ctx.run("c", "x.qv5", "src").rc == 0
    listing = ctx.run("l", "x.qv5").out
    with open(ctx.path("x.qv5"), "rb") as archive:
        r = subprocess.run([ctx.binary, "l", "-"], stdin=archive, capture_output=True, cwd=ctx.work)
    assert r.returncode == 0 and r.stdout.decode() == listing and r.stderr == b"", r
