"""Sealed archives (c -encrypt): names and contents hidden, the tree given back with the right
passphrase or key only, nothing written with a wrong one, damaged segments costing only the
files in their chunks, the key derivation's cost bounded, and both builds reading each other's."""
import filecmp
import os
import random
import stat
import subprocess

from harness import needs_peer, only

CHEAP = {"QV5_TEST_SEAL_COST": "1,64", "QV5_TEST_SEAL_SEED": "fixed for tests"}
HEADER = 28 + 76 + 32  # a passphrase archive's header
SEGMENT = 65536 + 16


def make_tree(ctx):
    rng = random.Random(5)
    ctx.write("in/Confidential-Plans.txt", "".join(f"secret line {i} unmistakable\n" for i in range(30_000)))
    ctx.write("in/deep/er/Quarterly-Numbers.csv", "".join(f"{i},{i * i}\n" for i in range(20_000)))
    ctx.write("in/noise.bin", bytes(rng.randrange(256) for _ in range(200_000)))
    ctx.write("in/empty.txt", "")
    ctx.write("pw", "correct horse battery\n")
    ctx.write("wrong", "correct horse batterz\n")


def same_tree(ctx, left, right):
    comparison = filecmp.dircmp(ctx.path(left), ctx.path(right))
    assert not comparison.left_only and not comparison.right_only and not comparison.diff_files, comparison.report()
    for name in comparison.common_files:
        assert ctx.read(os.path.join(left, name)) == ctx.read(os.path.join(right, name)), name
    for sub in comparison.common_dirs:
        same_tree(ctx, os.path.join(left, sub), os.path.join(right, sub))


def hidden(ctx, archive):
    data = ctx.read(archive)
    for secret in [b"Confidential-Plans", b"Quarterly-Numbers", b"unmistakable", b"1000,1000000", b"deep"]:
        assert secret not in data, secret


def reads_back(ctx, archive, *key, run=None):
    run = run or ctx.run
    r = run("l", *key, archive, env=CHEAP)
    assert r.rc == 0 and "Confidential-Plans.txt" in r.out and "4 files" in r.out, r
    r = run("t", *key, archive, env=CHEAP)
    assert r.rc == 0 and r.out.count("Tested ") == 4 and "INVALID" not in r.out, r
    r = run("d", *key, archive, "out", env=CHEAP)
    assert r.rc == 0, r
    same_tree(ctx, "in", "out/in")


def test_a_passphrase_sealed_tree_hides_its_names_and_comes_back_exactly(ctx):
    make_tree(ctx)
    r = ctx.run("c", "-encrypt", "-password-file=pw", "a.qv5", "in", env=CHEAP)
    assert r.rc == 0, r
    hidden(ctx, "a.qv5")
    reads_back(ctx, "a.qv5", "-password-file=pw")
    # A selection, and one file's bytes to standard output.
    r = ctx.run("d", "-password-file=pw", "a.qv5", "one", "*Numbers.csv", env=CHEAP)
    assert r.rc == 0 and ctx.read("one/in/deep/er/Quarterly-Numbers.csv") == ctx.read("in/deep/er/Quarterly-Numbers.csv"), r
    assert not os.path.exists(ctx.path("one/in/Confidential-Plans.txt"))
    # With the header's randomness fixed, the thread count changes no byte.
    r = ctx.run("-t1", "c", "-encrypt", "-password-file=pw", "b.qv5", "in", env=CHEAP)
    assert r.rc == 0 and ctx.read("b.qv5") == ctx.read("a.qv5"), r


def test_a_wrong_passphrase_fails_before_anything_is_written(ctx):
    make_tree(ctx)
    assert ctx.run("c", "-encrypt", "-password-file=pw", "a.qv5", "in", env=CHEAP).rc == 0
    for command in (["l"], ["t"], ["d"]):
        args = command + ["-password-file=wrong", "a.qv5"] + (["out"] if command == ["d"] else [])
        r = ctx.run(*args, env=CHEAP)
        assert r.rc == 1 and "Error: wrong password or key\n" in r.out + r.err and "Tested" not in r.out, r
        assert "Confidential" not in r.out + r.err, r
    assert not os.path.exists(ctx.path("out"))
    # Read as a plain archive it is none; -identity does not open a passphrase archive.
    r = ctx.run("t", "-identity=pw", "a.qv5", env=CHEAP)
    assert r.rc == 1 and "Error: wrong password or key" in r.out, r


def test_two_recipients_each_open_it_and_a_stranger_does_not(ctx):
    make_tree(ctx)
    for name in ("alice", "bob", "eve"):
        r = ctx.run("k", name)
        assert r.rc == 0 and os.path.exists(ctx.path(name + ".pub")), r
        if not ctx.wine:
            assert stat.S_IMODE(os.stat(ctx.path(name)).st_mode) == 0o600
    secret = ctx.read("alice").decode().strip()
    r = ctx.run("c", "-encrypt", "-recipient=alice.pub", "-recipient=bob.pub", "a.qv5", "in", env=CHEAP)
    assert r.rc == 0 and secret not in r.out + r.err, r
    hidden(ctx, "a.qv5")
    reads_back(ctx, "a.qv5", "-identity=alice")
    r = ctx.run("t", "-identity=bob", "a.qv5", env=CHEAP)
    assert r.rc == 0 and r.out.count("Tested ") == 4, r
    r = ctx.run("d", "-identity=eve", "a.qv5", "eve-out", env=CHEAP)
    assert r.rc == 1 and "Error: wrong password or key\n" in r.out and not os.path.exists(ctx.path("eve-out")), r
    r = ctx.run("t", "-password-file=pw", "a.qv5", env=CHEAP)
    assert r.rc == 1 and "-identity=KEYFILE" in r.out, r
    # A key without -encrypt would write an open archive: refused.
    r = ctx.run("c", "-recipient=alice.pub", "open.qv5", "in", env=CHEAP)
    assert r.rc == 1 and "only with -encrypt" in r.out and not os.path.exists(ctx.path("open.qv5")), r
    # A passphrase stanza stands alone.
    r = ctx.run("c", "-encrypt", "-recipient=alice.pub", "-password-file=pw", "b.qv5", "in", env=CHEAP)
    assert r.rc == 1 and not os.path.exists(ctx.path("b.qv5")), r


def test_damaged_segments_cost_only_their_files_and_nothing_unauthenticated_is_written(ctx):
    # Three files of 12 MB of noise: three chunks, the second and third file each in two.
    rng = random.Random(9)
    for i in range(3):
        ctx.write(f"big/f{i}.bin", rng.randbytes(12_000_000))
    ctx.write("pw", "pass\n")
    r = ctx.run("c", "-encrypt", "-password-file=pw", "a.qv5", "big", env=CHEAP)
    assert r.rc == 0, r
    data = ctx.read("a.qv5")
    at = HEADER + 300 * SEGMENT  # in the second chunk
    flipped = bytearray(data)
    flipped[at + 100] ^= 1
    swapped = bytearray(data)
    swapped[at:at + SEGMENT], swapped[at + SEGMENT:at + 2 * SEGMENT] = data[at + SEGMENT:at + 2 * SEGMENT], data[at:at + SEGMENT]
    damaged = {
        "flipped": bytes(flipped),
        "swapped": bytes(swapped),
        "removed": data[:at] + data[at + SEGMENT:],
        "cut": data[:len(data) - 100_000],
        "cut-at-edge": data[:HEADER + (len(data) - HEADER) // SEGMENT * SEGMENT],
    }
    for name, bytes_ in damaged.items():
        ctx.write(name + ".qv5", bytes_)
        for command in (["t"], ["d", name + "-out"]):
            r = ctx.run(command[0], "-password-file=pw", name + ".qv5", *command[1:], env=CHEAP)
            assert r.rc == 1 and "damaged" in r.out + r.err, (name, r)
        written = os.listdir(ctx.path(name + "-out", "big")) if os.path.exists(ctx.path(name + "-out", "big")) else []
        # The files before the damage come back; none is written from bytes that did not
        # authenticate (each written file is its source).
        assert written, (name, r)
        for file in written:
            assert ctx.read(os.path.join(name + "-out", "big", file)) == ctx.read(os.path.join("big", file)), (name, file)
        if name in ("flipped", "swapped"):
            assert len(written) == 1 and "Not written " in r.out, (name, r)
            assert "(chunk 2: a sealed segment failed authentication)" in r.out, (name, r)


def test_the_key_derivation_cost_is_honoured_and_bounded(ctx):
    make_tree(ctx)
    assert ctx.run("c", "-encrypt", "-password-file=pw", "a.qv5", "in", env=CHEAP).rc == 0
    data = ctx.read("a.qv5")
    cost = HEADER - 32 - 76  # passes, memory KiB, lanes
    # 1 TiB of memory asked for: refused before any work, nothing written.
    costly = bytearray(data)
    costly[cost + 4:cost + 8] = (1 << 30).to_bytes(4, "little")
    ctx.write("costly.qv5", bytes(costly))
    r = ctx.run("d", "-password-file=pw", "costly.qv5", "out", env=CHEAP)
    assert r.rc == 1 and "more memory or time" in r.out and not os.path.exists(ctx.path("out")), r
    # Another cost within the bounds is used as written: the key differs, the header fails.
    other = bytearray(data)
    other[cost:cost + 4] = (2).to_bytes(4, "little")
    ctx.write("other.qv5", bytes(other))
    r = ctx.run("t", "-password-file=pw", "other.qv5", env=CHEAP)
    assert r.rc == 1 and "Error: wrong password or key" in r.out, r


@needs_peer
def test_both_builds_read_each_others_sealed_archives(ctx):
    make_tree(ctx)
    assert ctx.run("c", "-encrypt", "-password-file=pw", "mine.qv5", "in", env=CHEAP).rc == 0
    r = ctx.run_peer("c", "-encrypt", "-password-file=pw", "theirs.qv5", "in", env=CHEAP)
    assert r.rc == 0, r
    assert ctx.run("k", "alice").rc == 0
    r = ctx.run_peer("c", "-encrypt", "-recipient=alice.pub", "theirs-key.qv5", "in", env=CHEAP)
    assert r.rc == 0, r
    assert ctx.run("c", "-encrypt", "-recipient=alice.pub", "mine-key.qv5", "in", env=CHEAP).rc == 0
    # The same randomness gives the same header on both: Argon2id, the AEAD, HKDF, HMAC and
    # X25519 agree between the builds.
    assert ctx.read("mine.qv5")[:HEADER] == ctx.read("theirs.qv5")[:HEADER]
    assert ctx.read("mine-key.qv5")[:28 + 80 + 32] == ctx.read("theirs-key.qv5")[:28 + 80 + 32]
    reads_back(ctx, "mine.qv5", "-password-file=pw", run=ctx.run_peer)
    for archive, key in (("theirs.qv5", "-password-file=pw"), ("theirs-key.qv5", "-identity=alice")):
        r = ctx.run("d", key, archive, "back-" + archive, env=CHEAP)
        assert r.rc == 0, r
        same_tree(ctx, "in", os.path.join("back-" + archive, "in"))


def test_recovery_data_covers_the_sealed_bytes_and_repairs_them_without_the_key(ctx):
    make_tree(ctx)
    r = ctx.run("c", "-encrypt", "-protect=10", "-password-file=pw", "a.qv5", "in", env=CHEAP)
    assert r.rc == 0 and "Recovery data: " in r.out, r
    data = ctx.read("a.qv5")
    damaged = bytearray(data)
    damaged[0:4096] = bytes(4096)  # the sealed header with its magic, and the first segment
    damaged[200_000] ^= 0x20
    ctx.write("bad.qv5", bytes(damaged))
    # Without the key: t tells what the recovery data can rebuild, r rebuilds it byte for byte.
    r = ctx.run("t", "bad.qv5", env=CHEAP)
    assert r.rc == 1 and "the recovery data can rebuild them" in r.out, r
    r = ctx.run("r", "bad.qv5", "fixed.qv5")
    assert r.rc == 0 and ctx.read("fixed.qv5") == data, r
    # With it, t and d read the damaged file as repaired.
    r = ctx.run("d", "-password-file=pw", "bad.qv5", "out", env=CHEAP)
    assert r.rc == 0 and "Reading the archive as repaired" in r.out, r
    same_tree(ctx, "in", "out/in")


def raw(ctx, *args, stdin=b""):
    """The program run with its standard output kept as bytes (the archive or a file's bytes)."""
    command = (["wine", ctx.binary] if ctx.wine else [ctx.binary]) + list(args)
    env = dict(os.environ, WINEDEBUG="-all", **CHEAP)
    return subprocess.run(command, input=stdin, cwd=ctx.work, capture_output=True, env=env, timeout=300)


def test_sealed_archives_travel_through_pipes(ctx):
    make_tree(ctx)
    made = raw(ctx, "c", "-encrypt", "-password-file=pw", "-", "in")
    assert made.returncode == 0 and made.stdout, made
    piped = made.stdout
    ctx.write("piped.qv5", piped)
    hidden(ctx, "piped.qv5")
    reads_back(ctx, "piped.qv5", "-password-file=pw")
    # d - reads it from standard input, in order, given its key.
    r = ctx.run("d", "-password-file=pw", "-", "from-pipe", stdin=piped, env=CHEAP)
    assert r.rc == 0, r
    same_tree(ctx, "in", "from-pipe/in")
    one = raw(ctx, "d", "-password-file=pw", "-", "-", "*Numbers.csv", stdin=piped)
    assert one.returncode == 0 and one.stdout == ctx.read("in/deep/er/Quarterly-Numbers.csv"), one.stderr
    r = ctx.run("t", "-password-file=wrong", "-", stdin=piped, env=CHEAP)
    assert r.rc == 1 and "Error: wrong password or key" in r.err, r


def on_terminal(ctx, *args, answers, binary=None, cwd=None):
    """Runs the program on a terminal of its own, typing each answer after each passphrase
    prompt; its status and everything the terminal showed."""
    import pty
    import time
    binary = binary or ctx.binary
    pid, fd = pty.fork()
    if pid == 0:
        os.chdir(cwd or ctx.work)
        os.environ.update(CHEAP)
        os.execv(binary, [binary] + list(args))
    seen = b""
    for answer in answers:
        while b"Passphrase" not in seen[-40:]:
            seen += os.read(fd, 4096)
        time.sleep(0.2)
        os.write(fd, answer)
        seen = seen.replace(b"Passphrase", b"asked")
    paused = False
    while True:
        try:
            chunk = os.read(fd, 4096)
        except OSError:
            break
        if not chunk:
            break
        seen += chunk
        if not paused and b"Press any key" in seen:  # a self-extracting copy's pause
            paused = True
            os.write(fd, b"\n")
    _, status = os.waitpid(pid, 0)
    return os.waitstatus_to_exitcode(status), seen.decode("latin-1")


@only("linux")
def test_the_passphrase_is_asked_twice_on_the_terminal_without_echo(ctx):
    make_tree(ctx)

    rc, seen = on_terminal(ctx, "c", "-encrypt", "a.qv5", "in", answers=[b"typed secret\n", b"typed secret\n"])
    assert rc == 0 and "typed secret" not in seen, seen
    r = ctx.run("t", "-password-file=pw", "a.qv5", env=CHEAP)
    assert r.rc == 1 and "wrong password or key" in r.out, r
    rc, seen = on_terminal(ctx, "t", "a.qv5", answers=[b"typed secret\n"])
    assert rc == 0 and "Tested " in seen and "typed secret" not in seen, seen
    # Two answers that differ write nothing.
    rc, seen = on_terminal(ctx, "c", "-encrypt", "b.qv5", "in", answers=[b"one\n", b"two\n"])
    assert rc == 1 and "the passphrases differ" in seen and not os.path.exists(ctx.path("b.qv5")), seen


@only("linux")
def test_a_sealed_self_extracting_copy_asks_for_its_passphrase(ctx):
    make_tree(ctx)
    r = ctx.run("-sfx", "c", "-encrypt", "-password-file=pw", "x.sfx", "in", env=CHEAP)
    assert r.rc == 0, r
    hidden(ctx, "x.sfx")
    os.makedirs(ctx.path("elsewhere"))
    # No terminal to ask on: nothing written.
    r = ctx.run(binary=ctx.path("x.sfx"), cwd=ctx.path("elsewhere"), env=CHEAP)
    assert r.rc == 1 and "no terminal" in r.out and not os.listdir(ctx.path("elsewhere")), r
    rc, seen = on_terminal(ctx, answers=[b"correct horse batterz\n"], binary=ctx.path("x.sfx"), cwd=ctx.path("elsewhere"))
    assert rc == 1 and "wrong password or key" in seen and not os.listdir(ctx.path("elsewhere")), seen
    rc, seen = on_terminal(ctx, answers=[b"correct horse battery\n"], binary=ctx.path("x.sfx"),
                           cwd=ctx.path("elsewhere"))
    assert rc == 0, seen
    same_tree(ctx, "in", "elsewhere/in")
