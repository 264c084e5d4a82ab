"""Everyday use: testing an archive, extracting some files, leaving files out, quiet runs,
archives through pipes, help and version."""
import os
import subprocess
import zlib

import archive_maker as m
from harness import BANNER_LINES, only


def tree(ctx):
    ctx.write("docs/a.txt", "alpha\n" * 300)
    ctx.write("docs/sub/b.txt", "bravo\n" * 200)
    ctx.write("docs/sub/c.txt", "same bytes\n")
    ctx.write("docs/d.TXT", "same bytes\n")      # a copy of c.txt: stored once
    ctx.write("docs/build/x.o", "object code")
    ctx.write("docs/.git/config", "[core]")
    ctx.write("docs/.env", "KEY=1")


def archived(ctx):
    """What an archive of docs holds: folders beginning with '.' are skipped."""
    return {k: v for k, v in files_below(ctx, "docs").items() if not k.startswith(".git/")}


def files_below(ctx, folder):
    found = {}
    for root, _, names in os.walk(ctx.path(folder)):
        for name in names:
            found[os.path.relpath(os.path.join(root, name), ctx.path(folder)).replace(os.sep, "/")] = \
                open(os.path.join(root, name), "rb").read()
    return found


def test_test_checks_every_checksum_and_writes_nothing(ctx):
    tree(ctx)
    assert ctx.run("c", "x.qv5", "docs").rc == 0
    before = sorted(os.listdir(ctx.work))
    r = ctx.run("t", "x.qv5")
    lines = r.body.split("\n")
    tested = [line for line in lines if line.startswith("Tested ")]
    assert r.rc == 0 and len(tested) == 6 and "INVALID" not in r.body, r
    assert all(", CRC32: " in line for line in tested), r
    assert lines[0] == "Model: 25,091 KB" and " bytes - " in lines[-2], r
    assert sorted(os.listdir(ctx.work)) == before
    # A stored checksum that does not match is reported as d reports it; the status is 1.
    files = [(b"/good", b"good bytes", 0), (b"/bad", b"bad bytes", 0)]
    with open(ctx.path("bad.qv5"), "wb") as f:
        f.write(m.archive(files, crcs=[zlib.crc32(b"good bytes"), 0x1234ABCD]))
    r = ctx.run("t", "bad.qv5")
    assert "Tested /bad, CRC32: %X\nINVALID CHECKSUM: Expected 1234ABCD\n" % zlib.crc32(b"bad bytes") in r.body, r
    assert r.body.endswith("Invalid checksums: 1\n"), r
    # Damage is damage: the status is 1 and nothing is claimed.
    with open(ctx.path("cut.qv5"), "wb") as f:
        f.write(m.archive([(b"/a", b"abcdef" * 1000, 0)], blocks=[[97, 98, 99]]))
    r = ctx.run("t", "cut.qv5")
    assert r.rc == 1 and "Error: damaged archive (" in r.body and "Tested" not in r.body, r


def test_extract_only_what_the_patterns_select(ctx):
    tree(ctx)
    assert ctx.run("c", "x.qv5", "docs").rc == 0
    whole = files_below(ctx, "docs")
    cases = {
        ("docs/sub/b.txt",): {"sub/b.txt"},
        ("docs/sub",): {"sub/b.txt", "sub/c.txt"},                 # a folder selects what is below it
        ("docs\\sub\\",): {"sub/b.txt", "sub/c.txt"},              # either separator
        ("*.txt",): {"a.txt", "sub/b.txt", "sub/c.txt"} | ({"d.TXT"} if ctx.wine else set()),
        ("docs/d.TXT", "docs/a.?xt"): {"d.TXT", "a.txt"},
    }
    for patterns, expected in cases.items():
        out = "out" + str(len(os.listdir(ctx.work)))
        r = ctx.run("d", "x.qv5", out, *patterns)
        assert r.rc == 0 and "INVALID" not in r.body, (patterns, r)
        got = files_below(ctx, out + "/docs")
        assert got == {k: whole[k] for k in expected}, (patterns, got)
        assert r.body.count("\nWrote ") == len(expected), (patterns, r)
    # d.TXT is a copy whose stored bytes belong to c.txt: selected alone it is still written.
    r = ctx.run("d", "x.qv5", "copy", "docs/d.TXT")
    assert r.rc == 0 and files_below(ctx, "copy/docs") == {"d.TXT": whole["d.TXT"]}, r
    # Case: exact on Linux, either way on Windows.
    r = ctx.run("d", "x.qv5", "case", "DOCS/A.TXT")
    if ctx.wine:
        assert r.rc == 0 and files_below(ctx, "case/docs") == {"a.txt": whole["a.txt"]}, r
    else:
        assert r.rc == 1 and "Error: no file in the archive matches DOCS/A.TXT\n" in r.body, r
    # A pattern that selects nothing stops before anything is written, even with others that do.
    r = ctx.run("d", "x.qv5", "none", "docs/a.txt", "nothing*")
    assert r.rc == 1 and "Error: no file in the archive matches nothing*\n" in r.body, r
    assert not os.path.exists(ctx.path("none"))
    # Only the selected entries are asked about.
    ctx.write("ask/docs/a.txt", "old")
    ctx.write("ask/docs/sub/b.txt", "old")
    r = ctx.run("d", "x.qv5", "ask", "docs/a.txt", stdin=b"y\n")
    assert r.rc == 0 and r.body.count("already exists") == 1 and ctx.read("ask/docs/sub/b.txt") == b"old", r


def test_exclude_and_dot_folders(ctx):
    tree(ctx)
    listed = lambda r: sorted(line[3:].replace("\\", "/") for line in r.body.split("\n") if line.startswith("-> "))
    r = ctx.run("c", "x.qv5", "docs")
    assert listed(r) == ["/docs/.env", "/docs/a.txt", "/docs/build/x.o", "/docs/d.TXT", "/docs/sub/b.txt",
                         "/docs/sub/c.txt"], r
    r = ctx.run("-exclude=build", "-EXCLUDE=*.TXT", "-exclude=docs/sub/c.txt", "c", "y.qv5", "docs")
    # Patterns keep their case; names compare as the system compares them.
    assert r.rc == 0 and listed(r) == (["/docs/.env", "/docs/a.txt", "/docs/sub/b.txt"] if not ctx.wine else
                                       ["/docs/.env"]), r
    r = ctx.run("-dotfolders", "c", "z.qv5", "docs")
    assert r.rc == 0 and "/docs/.git/config" in listed(r), r


def test_quiet_runs_show_only_what_must_be_seen(ctx):
    tree(ctx)
    r = ctx.run("-quiet", "c", "x.qv5", "docs")
    assert r.rc == 0 and r.out == "", r
    r = ctx.run("-quiet", "-force-overwrite", "d", "x.qv5", "out")
    assert r.rc == 0 and r.out == "" and files_below(ctx, "out/docs") == archived(ctx), r
    r = ctx.run("-quiet", "t", "x.qv5")
    assert r.rc == 0 and r.out == "", r
    # Questions and failures are still shown.
    r = ctx.run("-quiet", "d", "x.qv5", "out", stdin=b"n\n")
    assert r.rc == 1 and r.out.startswith("\nError: Output file ") and "Press Y" in r.out, r
    files = [(b"/good", b"good bytes", 0), (b"/bad", b"bad bytes", 0)]
    with open(ctx.path("bad.qv5"), "wb") as f:
        f.write(m.archive(files, crcs=[zlib.crc32(b"good bytes"), 1]))
    # The file whose checksum does not match is named, with -quiet too.
    bad = "/bad, CRC32: %X\nINVALID CHECKSUM: Expected 1\n" % zlib.crc32(b"bad bytes")
    r = ctx.run("-quiet", "t", "bad.qv5")
    assert r.rc == 1 and r.out == "Tested " + bad + "Invalid checksums: 1\n", r
    r = ctx.run("-quiet", "d", "bad.qv5", "bad-out")
    assert r.rc == 1 and r.out == "Wrote " + bad.replace(", ", ", validating... ") + "Invalid checksums: 1\n", r
    r = ctx.run("-quiet", "d", "bad.qv5", "-", "bad")
    assert r.rc == 1 and r.out == "bad bytes" and r.err.endswith("Wrote " + bad + "Invalid checksums: 1\n"), r
    r = ctx.run("-quiet", "l", "x.qv5")  # a listing is what l is for
    assert r.rc == 0 and r.out.endswith("6 files\n") and not r.out.startswith("QV5"), r


def test_help_and_version(ctx):
    for flag in ("--help", "-h", "-?", "--HELP"):
        r = ctx.run(flag)
        assert r.rc == 0 and r.body.startswith("Usage:\nCompression: ") and \
            "-force-overwrite = Overwrite files without warning\n\nMore commands and flags:\n" in r.body, (flag, r)
        assert "t archive = test" in r.body and "-quiet" in r.body and "-exclude=PATTERN" in r.body, r
    r = ctx.run("--version")
    assert r.rc == 0 and r.out == "qv5 0.1.0\n", r
    # Anything else keeps the usage text and status 1.
    r = ctx.run("--help", "x")
    assert r.rc == 1 and "More commands" not in r.out, r


@only("linux")
def test_archives_through_pipes(ctx):
    tree(ctx)

    def pipeline(*commands):
        procs, previous = [], None
        for command in commands:
            proc = subprocess.Popen(command, cwd=ctx.work, stdin=previous.stdout if previous else subprocess.DEVNULL,
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            if previous:
                previous.stdout.close()
            procs.append(proc)
            previous = proc
        out, err = procs[-1].communicate(timeout=60)
        results = [(p.wait(timeout=60), p.stderr.read()) for p in procs[:-1]] + [(procs[-1].returncode, err)]
        return out, results

    q = ctx.binary
    out, results = pipeline([q, "c", "-", "docs"], [q, "-force-overwrite", "d", "-", "restored"])
    assert [rc for rc, _ in results] == [0, 0], results
    assert out == b"", out  # every text went to standard error
    assert b"Found 6 files" in results[0][1] and b"Wrote /docs/a.txt" in results[1][1], results
    assert files_below(ctx, "restored/docs") == archived(ctx)
    # Through another program, and the archive alone on the pipe.
    out, results = pipeline([q, "-quiet", "c", "-", "docs"], ["gzip", "-1"], ["gzip", "-d"], [q, "t", "-"])
    assert [rc for rc, _ in results] == [0, 0, 0, 0] and results[3][1].count(b"Tested ") == 6, results
    out, results = pipeline([q, "-quiet", "c3", "-", "docs"], ["cat"])
    with open(ctx.path("piped.qv5"), "wb") as f:
        f.write(out)
    r = ctx.run("c3", "file.qv5", "docs")
    assert out == ctx.read("file.qv5"), "the same archive either way"
    out, results = pipeline(["cat", "piped.qv5"], [q, "l", "-"])
    assert results[1][0] == 0 and b"6 files" in out, results  # standard output is free for the listing
    # A self-extracting archive needs a file.
    out, results = pipeline([q, "-sfx", "c", "-", "docs"], ["cat"])
    assert results[0][0] == 1 and out == b"", results
    assert b"Error: a self-extracting archive cannot be written to standard output\n" in results[0][1], results


def run_binary(ctx, *args, stdin=b""):
    """The program with its standard output and error apart (bytes)."""
    command = (["wine", ctx.binary] if ctx.wine else [ctx.binary]) + list(args)
    return subprocess.run(command, cwd=ctx.work, input=stdin, capture_output=True,
                          env=dict(os.environ, WINEDEBUG="-all"))


def test_files_to_standard_output_and_tests_by_pattern(ctx):
    tree(ctx)
    assert ctx.run("c", "x.qv5", "docs").rc == 0
    order = [line.split("]: ")[1].split(", ")[0] for line in ctx.run("l", "x.qv5").body.splitlines()
             if line.startswith("[")]
    contents = archived(ctx)
    want = lambda names: b"".join(contents[name.replace("\\", "/")[len("/docs/"):]] for name in names)
    # Every file, in archive order; the texts go to standard error.
    r = run_binary(ctx, "d", "x.qv5", "-")
    assert r.returncode == 0 and r.stdout == want(order), r
    assert r.stderr.count(b"Wrote ") == 6 and b"INVALID" not in r.stderr, r
    # A copy whose stored twin is not selected still gets its bytes; patterns select in
    # archive order, not in the order given.
    for patterns in (["docs/d.TXT"], ["docs/sub/c.txt"], ["docs/sub", "docs/a.txt"]):
        r = run_binary(ctx, "d", "x.qv5", "-", *patterns)
        chosen = [name for name in order if any(
            name.replace("\\", "/")[1:] == p or name.replace("\\", "/")[1:].startswith(p + "/") for p in patterns)]
        assert r.returncode == 0 and r.stdout == want(chosen), (patterns, r)
    # t takes the same patterns, and says when one selects nothing.
    r = ctx.run("t", "x.qv5", "docs/sub")
    tested = sorted(line for line in r.body.splitlines() if line.startswith("Tested "))
    assert r.rc == 0 and len(tested) == 2 and all("sub" in line for line in tested), r
    r = ctx.run("t", "x.qv5", "nothing/here")
    assert r.rc == 1 and "Error: no file in the archive matches nothing/here\n" in r.body, r


def test_long_listing(ctx):
    ctx.write("src/a.txt", "alpha")
    ctx.write("src/b/c.txt", "charlie")
    os.utime(ctx.path("src/a.txt"), ns=(0, 946684799000000000))  # 1999-12-31 23:59:59 UTC
    assert ctx.run("c", "plain.qv5", "src").rc == 0
    assert ctx.run("-meta", "c", "meta.qv5", "src").rc == 0
    r = ctx.run("-v", "l", "plain.qv5")
    sep = ctx.sep
    assert r.rc == 0 and f"{'-':<10} {'-':<17} {5:>12} {'-':<19} {sep}src{sep}a.txt\n" in r.body, r
    r = ctx.run("-v", "l", "meta.qv5")
    owner = "-" if ctx.wine else "root/root"
    assert r.rc == 0 and f"-rw-r--r-- {owner:<17} {5:>12} 1999-12-31 23:59:59 {sep}src{sep}a.txt\n" in r.body, r
    assert f" {sep}src{sep}b\n" in r.body and r.body.count("\ndrwx") + r.body.startswith("drwx") == 2, r
    assert r.body.endswith("2 files\n"), r
