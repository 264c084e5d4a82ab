"""What c leaves out is named, with status 1 and the archive holding everything else; unknown
flags are named; after the message of a failed system call comes the system's reason on
standard error, standard output keeping the program's own texts."""
import os
import re
import resource
import signal
import socket
import subprocess

from harness import needs_root, only
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


def test_unknown_flags_are_named_and_ignored(ctx):
    ctx.write("a.txt", "a")
    r = ctx.run("-metaa", "-exlude=*.o", "--quiet", "-t", "-R1x", "-protect=5", "-Exclude=*.none", "-T2", "-h", "c",
                "x.qv5", "a.txt")
    assert r.rc == 0, r
    # Every flag beginning with -r is the ordering flag; the recovery flag belongs to the
    # program too.
    assert r.body.startswith("Warning: unknown flag -metaa ignored\nWarning: unknown flag -exlude=*.o ignored\n"
                             "Warning: unknown flag --quiet ignored\nWarning: unknown flag -t ignored\n"
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


def _file_limit(limit):
    def apply():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
    return apply


@only("linux")
def test_a_full_disk_is_named_for_what_was_written(ctx):
    ctx.write("in/big.bin", os.urandom(300000))
    r = ctx.run("c", "x.qv5", "in", preexec=_file_limit(100000))
    assert r.rc == 1 and "Error writing archive x.qv5\n" in r.body, r
    assert reasons(r) == ["qv5: x.qv5: File too large"], r
    assert ctx.run("c", "x.qv5", "in").rc == 0
    r = ctx.run("d", "x.qv5", "out", preexec=_file_limit(100000))
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
    # An input that cannot be opened.
    r = ctx.run("c", "x.qv5", "secret.txt", preexec=nobody)
    secret = ctx.path("secret.txt")
    assert r.rc == 1 and f"Error opening input file {secret}\n" in r.body, r
    assert reasons(r) == [f"qv5: {secret}: Permission denied"], r
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
