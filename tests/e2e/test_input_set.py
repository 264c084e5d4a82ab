"""Ordering methods and duplicate detection, seen through the archive's listing (which holds
the reverse of the ordered list) and through extraction."""
import os
import random
import re
import zlib

from harness import needs_root, only
from test_beneath import run_as_nobody

CRC_TABLE = []
for _i in range(256):
    _r = _i
    for _ in range(8):
        _r = (_r >> 1) ^ (0xEDB88320 if _r & 1 else 0)
    CRC_TABLE.append(_r)


def forge_crc(data, target):
    """Four bytes that, appended to data, give the CRC-32 target."""
    top = {t >> 24: i for i, t in enumerate(CRC_TABLE)}
    reg = target ^ 0xFFFFFFFF
    indices = []
    for _ in range(4):
        i = top[reg >> 24]
        indices.append(i)
        reg = ((reg ^ CRC_TABLE[i]) << 8) & 0xFFFFFFFF
    reg = zlib.crc32(data) ^ 0xFFFFFFFF
    out = bytearray()
    for i in reversed(indices):
        b = (reg ^ i) & 0xFF
        out.append(b)
        reg = (reg >> 8) ^ CRC_TABLE[i]
    return bytes(out)


def listed_names(ctx, archive):
    r = ctx.run("l", archive)
    assert r.rc == 0, r
    return [m.group(1) for m in re.finditer(r"^\[\d+\]: (.*?), [\d,.]+ [KMG]?B, CRC32", r.body, re.M)]


def stored(ctx, *names):
    return [ctx.native("/in/" + n) for n in names]


def test_method_zero_by_path_bytes(ctx):
    for name in ("a.txt", "B.txt", "a", "sub/z"):
        ctx.write("in/" + name, name)
    assert ctx.run("c", "x.qv5", "in").rc == 0
    # Ordered: B.txt, a, a.txt, sub/z (byte order); the archive holds the reverse.
    assert listed_names(ctx, "x.qv5") == stored(ctx, "sub/z", "a.txt", "a", "B.txt")


def test_method_one_by_extension(ctx):
    for name in ("b.txt", "a.TXT", "c.c", "noext", "my.dir/README", "z.dat"):
        ctx.write("in/" + name, name)
    r = ctx.run("-r1", "c", "x.qv5", "in")
    assert r.rc == 0 and "Re-order files method: 1\n" in r.body
    # .c < .dat < .dir/README < .TXT = .txt (then by path) < NONE
    expected = ["c.c", "z.dat", "my.dir/README", "a.TXT", "b.txt", "noext"]
    assert listed_names(ctx, "x.qv5") == stored(ctx, *reversed(expected))
    # The scan ends with a blank progress line.
    assert "\r" + " " * 79 + "Ordered files" in r.body or ("\r" + " " * 79) in r.body


def test_method_two_by_content_class(ctx):
    mz = lambda k: b"MZ" + bytes(200) + bytes([k])  # distinct, so no duplicates regroup them
    files = {
        "tool.exe": mz(1), "TOOL.DLL": mz(2), "x.pdb": mz(3), "tool.bin": mz(4),
        "notmz.exe": b"plain text, not an image\n",
        "8print": b"abcdefgh", "9print": b"abcdefghi", "empty": b"",
        "big.bin": bytes(131072) + b"text " * 10000,
    }
    for name, content in files.items():
        ctx.write("in/" + name, content)
    r = ctx.run("-r2", "c", "x.qv5", "in")
    assert r.rc == 0, r
    expected = ["TOOL.DLL", "tool.exe", "x.pdb", "9print", "notmz.exe", "8print", "big.bin", "empty", "tool.bin"]
    assert listed_names(ctx, "x.qv5") == stored(ctx, *reversed(expected))


@only("linux")
def test_method_two_stops_on_an_unreadable_file(ctx):
    ctx.write("in/a", "a")
    ctx.write("in/b", "b")
    os.chmod(ctx.path("in/b"), 0)
    if os.access(ctx.path("in/b"), os.R_OK):  # root reads anything: nothing to check
        return
    r = ctx.run("-r2", "c", "x.qv5", "in")
    assert r.rc == 1 and "\nError opening input file " in r.body
    assert not os.path.exists(ctx.path("x.qv5"))


@only("linux")
@needs_root
def test_hashing_on_several_threads_names_what_one_thread_names(ctx):
    # Three of forty files cannot be read: whatever the thread count, the run names each of
    # them in the order the files are taken, prints what one thread prints, and stores the
    # others.
    os.chmod(ctx.work, 0o777)
    for k in range(40):
        ctx.write(f"in/f{k:02d}.txt", f"file {k} " * (k * 400))
    for k in (11, 23, 37):
        os.chmod(ctx.path(f"in/f{k:02d}.txt"), 0)
    runs = {}
    for t in ("-t1", "-t2", "-t4"):
        runs[t] = ctx.run(t, "-force-overwrite", "c", "x.qv5", "in", preexec=run_as_nobody())
        runs[t].listing = ctx.run("l", "x.qv5").body
    after = {t: r.out[r.out.index("Found 40 files"):r.out.index("Model: ")] for t, r in runs.items()}
    named = [line.split("\r")[-1] for line in after["-t1"].split("\n") if "Warning: " in line]
    assert runs["-t1"].rc == 1 and named == [
        f"Warning: {ctx.path(f'in/f{k}.txt')}: Permission denied" for k in (11, 23, 37)], runs["-t1"]
    for t in ("-t2", "-t4"):
        assert (runs[t].rc, after[t], runs[t].err, runs[t].listing) == \
            (1, after["-t1"], runs["-t1"].err, runs["-t1"].listing), runs[t]
    assert "37 files" in runs["-t1"].listing


def test_duplicates_far_apart_are_stored_once(ctx):
    same = b"identical content " * 500
    for name in ("a1", "b", "c", "d"):
        ctx.write("in/" + name, same if name == "a1" else name.encode() * 100)
    ctx.write("in/z1", same)
    r = ctx.run("c", "x.qv5", "in")
    assert r.rc == 0 and "Checking duplicates... 1/5\n" in r.body, r
    # a1 found z1: z1 moved behind it, b took z1's place; the archive holds the reverse.
    assert listed_names(ctx, "x.qv5") == stored(ctx, "b", "d", "c", "z1", "a1")
    r = ctx.run("d", "x.qv5", "out")
    assert r.rc == 0 and f"Wrote {ctx.native('/in/z1')} (duplicated), validating" in r.body, r
    for name in ("a1", "b", "c", "d", "z1"):
        assert ctx.read("out/in/" + name) == ctx.read("in/" + name)
    single = ctx.run("c", "solo.qv5", "in/a1")
    assert single.rc == 0 and "Checking duplicates" not in single.body


def test_three_identical_and_all_empty_runs(ctx):
    for name in ("p", "q", "r"):
        ctx.write("three/" + name, "the same")
    ctx.write("three/other", "different")
    r = ctx.run("c", "t.qv5", "three")
    assert "Checking duplicates... 2/4\n" in r.body, r
    for name in ("e1", "e2", "e3"):
        ctx.write("empty/" + name, "")
    r = ctx.run("c", "e.qv5", "empty")
    assert "Checking duplicates... 2/3\n" in r.body, r
    for archive, folder in (("t.qv5", "three"), ("e.qv5", "empty")):
        out = ctx.run("d", archive, "out-" + folder)
        assert out.rc == 0 and out.body.count("(duplicated)") == 2, out
        for name in os.listdir(ctx.path(folder)):
            assert ctx.read(f"out-{folder}/{folder}/{name}") == ctx.read(f"{folder}/{name}")
    # The stored stream holds the shared content once.
    two = ctx.run("l", "t.qv5").body
    assert two.count("8 B, CRC32") == 3


def test_same_size_and_crc_but_different_bytes(ctx):
    rng = random.Random(4)
    a = bytes(rng.getrandbits(8) for _ in range(1000))
    b = bytes(rng.getrandbits(8) for _ in range(996))
    b += forge_crc(b, zlib.crc32(a))
    assert zlib.crc32(a) == zlib.crc32(b) and len(a) == len(b) and a != b
    ctx.write("in/a", a)
    ctx.write("in/b", b)
    r = ctx.run("c", "x.qv5", "in")
    assert "Checking duplicates... 0/2\n" in r.body, r
    r = ctx.run("d", "x.qv5", "out")
    assert r.rc == 0 and "(duplicated)" not in r.body
    assert ctx.read("out/in/a") == a and ctx.read("out/in/b") == b


def test_many_files_forged_to_one_size_and_crc(ctx):
    # Hundreds of different files share size and CRC-32, with real copies among them: the
    # copies alone are marked, and every file comes back exactly.
    rng = random.Random(6)
    files = {}
    for k in range(400):
        head = rng.randbytes(60)
        files["f%03d" % k] = head + forge_crc(head, 0x5EEDC0DE)
    originals = list(files.values())
    assert len(set(originals)) == 400 and {zlib.crc32(data) for data in originals} == {0x5EEDC0DE}
    for k in range(30):
        files["copy%02d" % k] = rng.choice(originals)
    for name, data in files.items():
        ctx.write("in/" + name, data)
    r = ctx.run("c", "x.qv5", "in")
    assert r.rc == 0 and "Checking duplicates... 30/430\n" in r.body, r
    r = ctx.run("d", "x.qv5", "out")
    assert r.rc == 0 and r.body.count("(duplicated)") == 30, r
    for name, data in files.items():
        assert ctx.read("out/in/" + name) == data, name


def test_archive_is_never_its_own_input(ctx):
    ctx.write("data/a.txt", "a" * 100)
    ctx.write("data/b.txt", "b" * 100)
    assert ctx.run("c", "data/out.qv5", "data").rc == 0
    r = ctx.run("-force-overwrite", "c", "data/out.qv5", "data")
    assert r.rc == 0 and "out.qv5" not in r.body.split("Model:")[0], r
    assert listed_names(ctx, "data/out.qv5") == [ctx.native("/data/b.txt"), ctx.native("/data/a.txt")]
    if not ctx.wine:
        os.link(ctx.path("data/out.qv5"), ctx.path("data/link.bin"))  # same file, other name
        r = ctx.run("-force-overwrite", "c", "data/out.qv5", "data")
        assert r.rc == 0 and "link.bin" not in r.body, r


# Under Wine a standard output handed over from Linux has another identity than the same
# file opened by its path, which the Windows build cannot tell apart here.
@only("linux")
def test_archive_on_standard_output_is_never_its_own_input(ctx):
    """With "-" as archive path the archive is the file standard output writes to: that file
    is left out when it lies among the inputs, and a file that happens to be named "-" is an
    input like any other."""
    import subprocess
    command = (["wine"] if ctx.wine else []) + [ctx.binary]
    env = dict(os.environ, WINEDEBUG="-all")
    ctx.write("data/a.txt", "a" * 100)
    ctx.write("-", "a file named like standard output")
    with open(ctx.path("data/out.qv5"), "wb") as out:
        made = subprocess.run(command + ["c", "-", "data", "-"], cwd=ctx.work, stdout=out,
                              stderr=subprocess.PIPE, env=env)
    assert made.returncode == 0, made
    names = listed_names(ctx, "data/out.qv5")
    assert ctx.native("/data/out.qv5") not in names, names
    assert sorted(names) == [ctx.native("/-"), ctx.native("/data/a.txt")], names
