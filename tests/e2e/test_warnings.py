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


def _file_limit(limit):
    def apply():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
    return apply
