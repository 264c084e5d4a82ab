"""Backups of live trees: a file that changes, vanishes or cannot be read while c runs is named
in a warning and never costs the rest; the archive holds every other file exactly and never a
size or checksum that its bytes do not match."""
import os
import random
import subprocess
import threading
import time

from harness import needs_root, only
from test_beneath import run_as_nobody


def warnings(text):
    """The warnings, each on the line it ends (after a progress line rewritten in place)."""
    lines = [line.split("\r")[-1] for line in text.split("\n")]
    return [line for line in lines if line.startswith("Warning: ")]


def make_tree(ctx, files=4, size=6 << 20):
    """Files of compressible but distinct bytes, enough for several chunks; their contents."""
    rng = random.Random(files * 7 + size)
    words = [b"live ", b"backup ", b"chunk ", b"table ", b"stream ", b"entry ", b"log "]
    contents = {}
    for i in range(files):
        data = b"".join(rng.choice(words) for _ in range(size // 6))[:size]
        contents[f"tree/z{i}.bin"] = data
        ctx.write(f"tree/z{i}.bin", data)
    return contents


def restored_exactly(ctx, archive, contents, out="out"):
    r = ctx.run("t", archive)
    assert r.rc == 0, r
    r = ctx.run("d", archive, out)
    assert r.rc == 0, r
    for name, data in contents.items():
        assert ctx.read(os.path.join(out, name)) == data, name


def start(ctx, *args):
    command = (["wine"] if ctx.wine else []) + [ctx.binary] + list(args)
    env = dict(os.environ, WINEDEBUG="-all")
    return subprocess.Popen(command, cwd=ctx.work, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)


def test_a_file_appended_to_for_the_whole_run_costs_nothing_else(ctx):
    contents = make_tree(ctx)
    log = ctx.path("tree/app.log")
    ctx.write("tree/app.log", "started\n")
    for threads in ("-t1", "-t2"):
        # The appender is a thread of this test: on a loaded machine it may not get to run
        # between hashing and packing. Such a run must still be exact; it is tried again.
        for attempt in range(3):
            stop = threading.Event()

            def append():
                n = 0
                while not stop.is_set():
                    with open(log, "ab") as f:
                        f.write(b"line %d\n" % n)
                    n += 1

            appender = threading.Thread(target=append)
            appender.start()
            try:
                r = ctx.run("-force-overwrite", threads, "c", f"a{threads}.qv5", "tree")
            finally:
                stop.set()
                appender.join()
            out = f"out{threads}-{attempt}"
            restored_exactly(ctx, f"a{threads}.qv5", contents, out)
            # Stored as read: what was in the file then, which only grew since.
            assert ctx.read("tree/app.log").startswith(ctx.read(f"{out}/tree/app.log"))
            if r.rc == 0 and not warnings(r.out):
                continue
            assert r.rc == 1, r
            named = [w for w in warnings(r.out) if "app.log" in w]
            assert named and all(w.endswith(": changed while being read; stored as read") for w in named), r
            assert len(warnings(r.out)) == len(named), r
            break
        else:
            assert False, f"{threads}: the log never changed between the passes: {r!r}"


def test_a_file_deleted_once_compression_has_started_is_left_out(ctx):
    contents = make_tree(ctx, files=5)
    # The archive holds the files in the reverse of their order: a_* are read last, a_copy.bin
    # (which holds the bytes of its copy z1) after a_victim.txt.
    ctx.write("tree/a_victim.txt", "deleted while c runs")
    ctx.write("tree/a_copy.bin", contents["tree/z1.bin"])  # holds the bytes of its copy z1
    proc = start(ctx, "-t1", "c", "x.qv5", "tree")
    seen = b""
    while b"Processing" not in seen:
        piece = proc.stdout.read1(4096)
        assert piece, seen
        seen += piece
    os.remove(ctx.path("tree/a_victim.txt"))
    os.remove(ctx.path("tree/a_copy.bin"))
    out, err = proc.communicate()
    out = (seen + out).decode("latin-1").replace("\r\n", "\n")
    assert proc.returncode == 1, (out, err)
    named = warnings(out)
    assert len(named) == 2 and "a_victim.txt: " in named[0] and "a_copy.bin: " in named[1], out
    # Its copy keeps its own bytes; the rest is exact; the table no longer names them.
    restored_exactly(ctx, "x.qv5", contents)
    assert not os.path.exists(ctx.path("out/tree/a_victim.txt"))
    assert "a_victim" not in ctx.run("l", "x.qv5").out


@only("linux")
@needs_root
def test_a_file_a_user_cannot_read_is_left_out(ctx):
    os.chmod(ctx.work, 0o777)
    contents = {"p/a.txt": b"alpha", "p/sub/b.txt": b"bravo" * 1000}
    for name, data in contents.items():
        ctx.write(name, data)
    ctx.write("p/secret.txt", "root only")
    os.chmod(ctx.path("p/secret.txt"), 0)
    for path in ("p", "p/sub"):
        os.chmod(ctx.path(path), 0o777)
    for flags in ((), ("-meta",), ("-r2",)):
        r = ctx.run(*flags, "c", "x.qv5", "p", preexec=run_as_nobody())
        assert r.rc == 1, (flags, r)
        assert warnings(r.out) == [f"Warning: {ctx.path('p/secret.txt')}: Permission denied"], (flags, r)
        restored_exactly(ctx, "x.qv5", contents, "out" + "".join(flags))
        os.remove(ctx.path("x.qv5"))


@only("linux")
def test_files_made_when_read_are_stored_as_read(ctx):
    # A link into /proc: its size says 0, its bytes are there when read.
    ctx.write("p/a.txt", "alpha")
    os.symlink("/proc/self/mounts", ctx.path("p/mounts"))
    os.symlink("/proc/version", ctx.path("p/version"))
    r = ctx.run("c", "x.qv5", "p", "/proc/cpuinfo")
    assert r.rc == 0 and not warnings(r.out), r
    r = ctx.run("d", "x.qv5", "out")
    assert r.rc == 0, r
    with open("/proc/version", "rb") as f:
        assert ctx.read("out/p/version") == f.read()
    assert b" / " in ctx.read("out/p/mounts") and ctx.read("out/cpuinfo")


def test_an_archive_on_standard_output_keeps_the_sizes_it_promised(ctx):
    """On a pipe the table cannot be corrected: a file that went is stored as zeros of its
    size, named, and extraction finds its checksum does not match."""
    contents = make_tree(ctx, files=4)
    ctx.write("tree/a_victim.txt", "deleted while c runs")
    proc = start(ctx, "-t1", "c", "-", "tree")
    archive = b""
    seen = b""
    while b"Processing" not in seen:
        piece = proc.stderr.read1(4096)
        assert piece, seen
        seen += piece
    os.remove(ctx.path("tree/a_victim.txt"))
    archive, err = proc.communicate()
    err = (seen + err).decode("latin-1").replace("\r\n", "\n")
    assert proc.returncode == 1, err
    assert [w for w in warnings(err) if "a_victim.txt: " in w and w.endswith("its checksum will not match")], err
    with open(ctx.path("x.qv5"), "wb") as f:
        f.write(archive)
    r = ctx.run("d", "x.qv5", "out")
    assert r.rc == 1 and "INVALID CHECKSUM" in r.out, r
    assert ctx.read("out/tree/a_victim.txt") == b"\0" * len("deleted while c runs")
    for name, data in contents.items():
        assert ctx.read(os.path.join("out", name)) == data, name


def test_dot_folders_skipped_below_an_input_are_counted(ctx):
    ctx.write("home/a.txt", "a")
    for folder in (".ssh", ".config", ".local", ".cache"):
        ctx.write(f"home/{folder}/x", folder)
    ctx.write("home/sub/.git/config", "git")
    r = ctx.run("c", "x.qv5", "home")
    assert r.rc == 0, r
    lines = r.body.split("\n")
    found = lines.index("Found 1 file")
    sep = ctx.sep
    assert lines[found + 1] == (f"Skipped 5 folders whose names begin with '.' (-dotfolders includes them): "
                                f"home{sep}.cache, home{sep}.config, home{sep}.local, ..."), r
    r = ctx.run("-force-overwrite", "c", "x.qv5", "home/sub")
    line = [x for x in r.body.split("\n") if x.startswith("Skipped ")]
    assert line == [f"Skipped 1 folder whose name begins with '.' (-dotfolders includes it): home/sub{sep}.git"], r
    # None skipped: no line; with -meta the folders are walked, as a faithful tree has them.
    for flags in (("-dotfolders",), ("-meta",)):
        r = ctx.run("-force-overwrite", *flags, "c", "x.qv5", "home")
        assert r.rc == 0 and "Skipped" not in r.out, r
        assert "Found 6 files" in r.body, r


def test_files_gone_before_packing_leave_a_whole_archive_with_metadata_and_recovery_data(ctx):
    """Files that go after hashing (here while c asks about the old archive) shorten the file
    table: the stream moves behind it, with the extension's chunk index and the recovery data
    made for the archive as it ends up."""
    from test_hostile import run_with_prompt
    contents = make_tree(ctx, files=3)
    for flags in (("-meta",), ("-protect=10",), ("-meta", "-protect=5", "-t2")):
        ctx.write("x.qv5", "the archive that was here")
        for name in ("tree/a_gone.txt", "tree/y_gone.txt"):
            ctx.write(name, name)
        gone = lambda: [os.remove(ctx.path(n)) for n in ("tree/a_gone.txt", "tree/y_gone.txt")]
        rc, out = run_with_prompt(ctx, [*flags, "c", "x.qv5", "tree"], gone)
        assert rc == 1 and len([w for w in warnings(out) if "_gone.txt: " in w]) == 2, (flags, out)
        out_folder = "out" + "".join(flags)
        restored_exactly(ctx, "x.qv5", contents, out_folder)
        assert sorted(os.listdir(ctx.path(out_folder, "tree"))) == ["z0.bin", "z1.bin", "z2.bin"], flags
