"""What c leaves out is named, with status 1 and the archive holding everything else; unknown
flags are named; after the message of a failed system call comes the system's reason on
standard error, standard output keeping the program's own texts."""
import os
import re
import socket
import subprocess

from harness import file_size_limit, needs_root, only
from test_beneath import run_as_nobody


def warnings(result):
    return [line for line in result.out.split("\n") if line.startswith("Warning: ")]


def listed(result):
    return [line[3:] for line in result.body.split("\n") if line.startswith("-> ")]


def reasons(result):
    return [line for line in result.err.split("\n") if line.startswith("qv5: ")]


def tested(ctx, archive):
    """The names an archive holds, as t reads them back."""
    r = ctx.run("t", archive)
    assert r.rc == 0, r
    return [line[7:].split(", ")[0] for line in r.body.split("\n") if line.startswith("Tested ")]


def missing_reason(ctx):
    """The system's words for a name that is not there: any on Windows (Wine has its own)."""
    return ".+" if ctx.wine else re.escape("No such file or directory")


def test_arguments_that_add_nothing_are_named(ctx):
    ctx.write("p/a.txt", "a")
    ctx.write("p/.git/config", "g")
    ctx.write("q.txt", "q")
    r = ctx.run("c", "x.qv5", "p", "typo.txt", "p/.git", "nomatch*", "q.txt")
    assert r.rc == 1, r
    # In the order met; a wildcard that matches nothing stays silent.
    got = warnings(r)
    assert len(got) == 2, r
    assert re.fullmatch("Warning: typo.txt: " + missing_reason(ctx), got[0]), got
    assert got[1] == "Warning: p/.git: a folder whose name begins with '.' is walked only with -dotfolders", got
    # Right after "Finding files...", before the files found; everything else is stored.
    assert r.body.startswith("Finding files...\n" + got[0] + "\n" + got[1] + "\n-> "), r
    assert listed(r) == [ctx.native("/p/a.txt"), ctx.native("/q.txt")]
    assert sorted(tested(ctx, "x.qv5")) == sorted(listed(r))
    # Shown when quiet, and nothing else is.
    r = ctx.run("-quiet", "c", "y.qv5", "typo.txt", "q.txt")
    assert r.rc == 1 and re.fullmatch("Warning: typo.txt: " + missing_reason(ctx) + "\n", r.out), r
    # Asked for, the dot folder is walked; left out by a pattern, nothing is said.
    r = ctx.run("-dotfolders", "c", "z.qv5", "p/.git")
    assert r.rc == 0 and warnings(r) == [] and listed(r) == [ctx.native("/.git/config")], r
    r = ctx.run("-exclude=.git", "c", "e.qv5", "p/.git", "q.txt")
    assert r.rc == 0 and warnings(r) == [], r


@only("linux")
def test_what_cannot_be_stored_is_named(ctx):
    ctx.write("p/a.txt", "a")
    ctx.write("p/sub/b.txt", "b")
    os.mkfifo(ctx.path("p/fifo"))
    os.symlink("nowhere", ctx.path("p/dangling"))
    os.symlink("/dev/null", ctx.path("p/null"))  # a device, once the link is followed
    os.symlink("sub", ctx.path("p/again"))  # a folder reached again: nothing is lost
    listener = socket.socket(socket.AF_UNIX)
    try:
        listener.bind(ctx.path("p/sock"))
        r = ctx.run("c", "x.qv5", "p", timeout=30)
        assert r.rc == 1, r
        assert warnings(r) == ["Warning: p/dangling: a link that leads nowhere is stored only with -meta",
                               "Warning: p/fifo: a FIFO is stored only with -meta",
                               "Warning: p/null: a device is stored only with -meta",
                               "Warning: p/sock: a socket cannot be stored"], r
        assert sorted(listed(r)) == ["/p/a.txt", "/p/sub/b.txt"], r
        assert sorted(tested(ctx, "x.qv5")) == ["/p/a.txt", "/p/sub/b.txt"]
        # With -meta, links are kept as links and FIFOs and devices as what they are; a socket
        # still has no place in an archive.
        r = ctx.run("-meta", "c", "m.qv5", "p", timeout=30)
        assert r.rc == 1 and warnings(r) == ["Warning: p/sock: a socket cannot be stored"], r
        # Left out as asked: nothing to say.
        r = ctx.run("-exclude=fifo", "-exclude=sock", "-exclude=dangling", "-exclude=null", "c", "e.qv5", "p")
        assert r.rc == 0 and warnings(r) == [], r
        # Named as arguments, each is shown as typed.
        r = ctx.run("c", "n.qv5", "fifo", "./sock", "sub/../null", "a.txt", cwd=ctx.path("p"), timeout=30)
        assert r.rc == 1 and warnings(r) == ["Warning: fifo: a FIFO is stored only with -meta",
                                             "Warning: ./sock: a socket cannot be stored",
                                             "Warning: sub/../null: a device is stored only with -meta"], r
    finally:
        listener.close()


@only("linux")
@needs_root
def test_unreadable_folders_are_named(ctx):
    os.chmod(ctx.work, 0o777)
    ctx.write("p/a.txt", "a")
    ctx.write("p/locked/x.txt", "x")
    ctx.write("p/listed/y.txt", "y")
    ctx.write("closed/inner/z.txt", "z")
    os.chmod(ctx.path("p/locked"), 0)
    os.chmod(ctx.path("p/listed"), 0o444)  # its names can be read, not what they are
    os.chmod(ctx.path("closed"), 0)
    expected = ["Warning: p/listed/y.txt: Permission denied", "Warning: p/locked: Permission denied",
                "Warning: closed/inner: Permission denied"]
    for flags in ((), ("-meta",)):
        r = ctx.run(*flags, "c", "x.qv5", "p", "closed/inner", preexec=run_as_nobody())
        assert r.rc == 1 and warnings(r) == expected, (flags, r)
        assert listed(r) == ["/p/a.txt"], r
        assert tested(ctx, "x.qv5") == ["/p/a.txt"]
        os.remove(ctx.path("x.qv5"))


def test_warnings_go_to_standard_error_with_the_archive_on_standard_output(ctx):
    ctx.write("p/a.txt", "alpha")
    ctx.write("p/b.txt", "bravo")
    command = (["wine"] if ctx.wine else []) + [ctx.binary]
    env = dict(os.environ, WINEDEBUG="-all")
    made = subprocess.run(command + ["-zz", "c", "-", "p", "typo.txt"], cwd=ctx.work, capture_output=True, env=env)
    assert made.returncode == 1, made
    err = made.stderr.decode("latin-1")
    assert "Warning: unknown flag -zz ignored" in err and "Warning: typo.txt: " in err, err
    read = subprocess.run(command + ["d", "-", "out"], cwd=ctx.work, input=made.stdout, capture_output=True, env=env)
    assert read.returncode == 0 and ctx.read("out/p/a.txt") == b"alpha", read


def test_unknown_flags_are_named_and_ignored(ctx):
    ctx.write("a.txt", "a")
    r = ctx.run("-metaa", "-exlude=*.o", "--quiet", "-tx", "-R1x", "-protect=5", "-Exclude=*.none", "-T2", "-h", "c",
                "x.qv5", "a.txt")
    assert r.rc == 0, r
    # Every flag beginning with -r is the ordering flag; the recovery flag belongs to the
    # program too.
    assert r.body.startswith("Warning: unknown flag -metaa ignored\nWarning: unknown flag -exlude=*.o ignored\n"
                             "Warning: unknown flag --quiet ignored\nWarning: unknown flag -tx ignored\n"
                             "Re-order files method: 1\nFinding files...\n"), r
    # Shown when quiet too; the status is the command's.
    r = ctx.run("-quiet", "-zz", "l", "x.qv5")
    assert r.rc == 0 and r.out.startswith("Warning: unknown flag -zz ignored\n[1]: "), r
    r = ctx.run("-zz", "l")
    assert r.rc == 1 and "Warning: unknown flag -zz ignored\nUsage:" in r.body, r


def test_reasons_follow_the_messages_of_failed_calls(ctx):
    ctx.write("a.txt", "a")
    # Opening: the message stays as it was on standard output; the reason is on standard error.
    r = ctx.run("l", "missing.qv5")
    assert r.rc == 1 and r.body == "Error opening missing.qv5\n", r
    assert len(reasons(r)) == 1 and re.fullmatch("qv5: missing.qv5: " + missing_reason(ctx), reasons(r)[0]), r
    # Creating: the archive in a folder that is not there.
    path = ctx.native("nowhere/x.qv5")
    r = ctx.run("c", path, "a.txt")
    assert r.rc == 1 and r.body.endswith(f"Error opening output file {path}\n"), r
    assert len(reasons(r)) == 1 and reasons(r)[0].startswith(f"qv5: {path}: ") and len(reasons(r)[0]) > len(path) + 7
    assert "qv5: " not in r.out
    # Nothing on standard error when nothing failed.
    r = ctx.run("c", "x.qv5", "a.txt")
    assert r.rc == 0 and reasons(r) == [], r


@only("linux")
def test_a_full_disk_is_named_for_what_was_written(ctx):
    ctx.write("in/big.bin", os.urandom(300000))
    r = ctx.run("c", "x.qv5", "in", preexec=file_size_limit(100000))
    assert r.rc == 1 and "Error writing archive x.qv5\n" in r.body, r
    assert reasons(r) == ["qv5: x.qv5: File too large"], r
    assert not os.path.exists(ctx.path("x.qv5"))
    assert ctx.run("c", "x.qv5", "in").rc == 0
    r = ctx.run("d", "x.qv5", "out", preexec=file_size_limit(100000))
    assert r.rc == 1 and "\nError writing output file out\n" in r.body, r
    assert reasons(r) == ["qv5: out: File too large"], r


@only("linux")
@needs_root
def test_reasons_are_those_of_the_call_that_failed(ctx):
    os.chmod(ctx.work, 0o777)
    ctx.write("p/a.txt", "alpha")
    ctx.write("p/b.txt", "bravo")
    ctx.write("secret.txt", "s")
    os.chmod(ctx.path("secret.txt"), 0)
    os.makedirs(ctx.path("ro"), mode=0o555)
    os.chmod(ctx.path("ro"), 0o555)
    nobody = run_as_nobody()
    # An input that cannot be opened: named with the reason, and nothing is left to store.
    r = ctx.run("c", "x.qv5", "secret.txt", preexec=nobody)
    secret = ctx.path("secret.txt")
    assert r.rc == 1 and f"Warning: {secret}: Permission denied\nError: no input files\n" in r.body, r
    assert reasons(r) == [] and not os.path.exists(ctx.path("x.qv5")), r
    # An archive in a folder that is read-only.
    r = ctx.run("c", "ro/x.qv5", "p", preexec=nobody)
    assert r.rc == 1 and "Error opening output file ro/x.qv5\n" in r.body, r
    assert reasons(r) == ["qv5: ro/x.qv5: Permission denied"], r
    # Extraction: the folder p cannot be made in ro. The reason is that refusal, not the
    # missing folder that opening it then finds.
    assert ctx.run("c", "x.qv5", "p").rc == 0
    r = ctx.run("d", "x.qv5", "ro", preexec=nobody)
    assert r.rc == 1 and "Error opening output file ro/p/b.txt\n" in r.body, r  # the first in the archive
    assert reasons(r) == ["qv5: ro/p/b.txt: Permission denied"], r


@only("linux")
def test_recovery_data_and_repair_give_reasons(ctx):
    ctx.write("a.bin", os.urandom(200000))
    assert ctx.run("c", "plain.qv5", "a.bin").rc == 0
    assert ctx.run("-protect=10", "c", "p.qv5", "a.bin").rc == 0
    # The archive fits, its recovery data does not.
    limit = file_size_limit(os.path.getsize(ctx.path("plain.qv5")) + 100)
    r = ctx.run("-protect=10", "c", "q.qv5", "a.bin", preexec=limit)
    assert r.rc == 1 and "Error writing archive q.qv5\n" in r.body and reasons(r) == ["qv5: q.qv5: File too large"], r
    r = ctx.run("r", "p.qv5", "nowhere/f.qv5")
    assert r.rc == 1 and r.body.endswith("Error opening output file nowhere/f.qv5\n"), r
    assert reasons(r) == ["qv5: nowhere/f.qv5: No such file or directory"], r
    r = ctx.run("r", "p.qv5", "f.qv5", preexec=file_size_limit(1000))
    assert r.rc == 1 and r.body.endswith("Error writing f.qv5\n") and reasons(r) == ["qv5: f.qv5: File too large"], r
    assert not os.path.exists(ctx.path("f.qv5"))
