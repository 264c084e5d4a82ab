"""Faithful trees with -meta: times, permissions, empty folders and links in an extension that
readers of the base format never read."""
import os
import struct

from harness import needs_peer, only


def meta_tree(ctx, links=True):
    ctx.write("src/bin/run.sh", "#!/bin/sh\necho hi\n")
    os.chmod(ctx.path("src/bin/run.sh"), 0o755)
    ctx.write("src/data/ro.txt", "read only")
    os.chmod(ctx.path("src/data/ro.txt"), 0o444)
    ctx.write("src/data/old.txt", "old")
    os.utime(ctx.path("src/data/old.txt"), ns=(0, 946684799123456789))    # 1999-12-31 23:59:59.123456789
    ctx.write("src/data/future.txt", "future")
    os.utime(ctx.path("src/data/future.txt"), ns=(0, 2208988800000000000))  # 2040
    os.makedirs(ctx.path("src/empty/deeper"))
    os.chmod(ctx.path("src/empty/deeper"), 0o700)
    os.utime(ctx.path("src/empty/deeper"), ns=(0, 978307200000000000))
    if links:
        os.symlink("../data/old.txt", ctx.path("src/bin/old-link"))
        os.symlink("../data", ctx.path("src/datalink"))
        os.symlink("/nowhere/at/all", ctx.path("src/dangling"))


def snapshot(root):
    """Every entry below root: kind, permission bits, modification time, link text."""
    found = {}
    for folder, dirs, files in os.walk(root):
        for name in dirs + files:
            path = os.path.join(folder, name)
            st = os.lstat(path)
            rel = os.path.relpath(path, root)
            if os.path.islink(path):
                found[rel] = ("link", os.readlink(path), st.st_mtime_ns)
            else:
                kind = "folder" if os.path.isdir(path) else "file"
                found[rel] = (kind, st.st_mode & 0o7777, st.st_mtime_ns)
    return found


def cut_extension(data):
    """The archive as a reader of the base format sees it: no extension, no flag, no offset."""
    flags, offset = struct.unpack_from("<QQ", data, 24)
    assert flags & 0x100 and offset, (flags, offset)
    return data[:24] + struct.pack("<QQ", flags & 0xFF, 0) + data[40:offset]


@only("linux")
def test_a_tree_comes_back_as_it_was(ctx):
    meta_tree(ctx)
    want = snapshot(ctx.path("src"))
    r = ctx.run("-meta", "c", "m.qv5", "src")
    assert r.rc == 0 and "Store metadata: true\n" in r.body, r
    # Links are stored as links, not as what they lead to.
    assert "-> /src/bin/old-link" not in r.body and "Found 4 files" in r.body, r
    r = ctx.run("d", "m.qv5", "out")
    assert r.rc == 0 and "Could not" not in r.body, r
    assert snapshot(ctx.path("out/src")) == want
    # Through a pipe, where the extension comes after the files.
    import subprocess
    c = subprocess.Popen([ctx.binary, "-quiet", "-meta", "c", "-", "src"], cwd=ctx.work, stdout=subprocess.PIPE)
    d = subprocess.run([ctx.binary, "-quiet", "d", "-", "piped"], cwd=ctx.work, stdin=c.stdout, capture_output=True)
    assert c.wait() == 0 and d.returncode == 0, d
    assert snapshot(ctx.path("piped/src")) == want
    # The listing names the links and the empty folders after the files.
    r = ctx.run("l", "m.qv5")
    assert r.rc == 0 and r.body.endswith("4 files\n[link]: /src/bin/old-link -> ../data/old.txt\n"
                                         "[link]: /src/dangling -> /nowhere/at/all\n[link]: /src/datalink -> ../data\n"
                                         "[folder]: /src/empty/deeper\n"), r
    # What cannot be restored is said, line by line; the files are written all the same.
    ctx.write("busy/src/empty", "a file where a folder should be")
    r = ctx.run("-force-overwrite", "d", "m.qv5", "busy")
    assert r.rc == 1 and "Could not create the folder busy/src/empty\n" in r.body, r
    assert "qv5: busy/src/empty: Not a directory\n" in r.err, r  # why, on standard error
    assert ctx.read("busy/src/data/old.txt") == b"old"


@only("linux")
def test_readers_of_the_base_format_read_the_files(ctx):
    meta_tree(ctx, links=False)
    assert ctx.run("c", "plain.qv5", "src").rc == 0
    assert ctx.run("-meta", "c", "meta.qv5", "src").rc == 0
    plain, meta = ctx.read("plain.qv5"), ctx.read("meta.qv5")
    # Without links the file set is the same: cut to the base format, it is the plain archive.
    assert cut_extension(meta) == plain
    with open(ctx.path("cut.qv5"), "wb") as f:
        f.write(cut_extension(meta))
    for archive in ("meta.qv5", "cut.qv5"):
        r = ctx.run("t", archive)
        assert r.rc == 0 and r.body.count("Tested ") == 4, r
    r = ctx.run("d", "cut.qv5", "base")
    assert r.rc == 0 and ctx.read("base/src/data/old.txt") == b"old", r


def test_a_damaged_extension_costs_only_the_metadata(ctx):
    ctx.write("src/a.txt", "alpha")
    ctx.write("src/b.txt", "bravo")
    assert ctx.run("-meta", "c", "m.qv5", "src").rc == 0
    good = ctx.read("m.qv5")
    offset = struct.unpack_from("<Q", good, 32)[0]
    damaged = {
        "flipped": good[:-6] + bytes([good[-6] ^ 0x40]) + good[-5:],
        "cut": good[:-3],
        "misplaced": good[:32] + struct.pack("<Q", offset + 1) + good[40:],
        "missing": good[:offset],
    }
    for name, data in damaged.items():
        with open(ctx.path(name), "wb") as f:
            f.write(data)
        # The files are written and checked all the same; nothing of the extension is applied,
        # and the damage is the last word.
        r = ctx.run("d", name, "out-" + name)
        assert r.rc == 1 and r.body.count(", validating... CRC32: ") == 2, (name, r)
        assert r.body.splitlines()[-1].startswith("Error: damaged archive (extension"), (name, r)
        assert ctx.read(f"out-{name}/src/a.txt") == b"alpha", name
        r = ctx.run("t", name)
        assert r.rc == 1 and r.body.count("Tested ") == 2, (name, r)
        assert r.body.splitlines()[-1].startswith("Error: damaged archive (extension"), (name, r)
    r = ctx.run("l", "m.qv5")
    assert r.rc == 0 and r.body.endswith("2 files\n"), r


@needs_peer
def test_metadata_crosses_between_the_builds(ctx):
    ctx.write("src/data/ro.txt", "read only")
    ctx.write("src/data/old.txt", "old")
    os.makedirs(ctx.path("src/empty"))
    os.utime(ctx.path("src/data/old.txt"), ns=(0, 946684799100000000))  # whole 100 ns: Windows keeps them
    os.utime(ctx.path("src/empty"), ns=(0, 978307200000000000))
    os.chmod(ctx.path("src/data/ro.txt"), 0o444)
    for make, read, label in ((ctx.run, ctx.run_peer, "mine"), (ctx.run_peer, ctx.run, "peer")):
        archive, out = f"{label}.qv5", f"out-{label}"
        assert make("-meta", "c", archive, "src").rc == 0, label
        r = read("d", archive, out)
        assert r.rc == 0 and "Could not" not in r.body, (label, r)
        for name in ("data/old.txt", "empty"):
            assert os.stat(ctx.path(out, "src", name)).st_mtime_ns == os.stat(ctx.path("src", name)).st_mtime_ns, name
        assert not os.access(ctx.path(out, "src/data/ro.txt"), os.W_OK) or os.getuid() == 0
        assert os.stat(ctx.path(out, "src/data/ro.txt")).st_mode & 0o222 == 0, label


@only("linux")
def test_the_self_extracting_copy_restores_metadata_too(ctx):
    meta_tree(ctx)
    want = snapshot(ctx.path("src"))
    r = ctx.run("-sfx", "-meta", "c", "setup.sfx", "src")
    assert r.rc == 0, r
    os.makedirs(ctx.path("there"))
    r = ctx.run(binary=ctx.path("setup.sfx"), cwd=ctx.path("there"), stdin=b"\n")
    assert r.rc == 0 and "Could not" not in r.out, r
    assert snapshot(ctx.path("there/src")) == want


@only("linux")
def test_a_stored_link_to_standard_output(ctx):
    ctx.write("sys/usr/lib/os-release", "ID=qv5\n")
    ctx.write("sys/etc/hosts", "127.0.0.1 localhost\n")
    os.symlink("../usr/lib/os-release", ctx.path("sys/etc/os-release"))
    os.symlink("os-release", ctx.path("sys/etc/again"))  # a link to a link
    os.symlink("../usr/lib", ctx.path("sys/etc/libs"))   # to a folder
    os.symlink("/nowhere/at/all", ctx.path("sys/etc/dangling"))
    assert ctx.run("-meta", "-fullpaths", "c", "../sys.qv5", ".", cwd=ctx.path("sys")).rc == 0
    for name in ("etc/os-release", "etc/again", "etc/libs"):
        r = ctx.run("d", "sys.qv5", "-", name)
        assert r.rc == 0 and r.out == "ID=qv5\n" and "Wrote /usr/lib/os-release, CRC32: " in r.err, (name, r)
    # A link that leads to nothing the archive holds has no bytes: said, status 1.
    r = ctx.run("d", "sys.qv5", "-", "etc/dangling")
    assert r.rc == 1 and r.out == "" and r.err.endswith(
        "Error: /etc/dangling is a link to /nowhere/at/all, which the archive does not hold: a link has no bytes\n"), r
    # A pattern that selects files as well takes the files alone, as before.
    r = ctx.run("d", "sys.qv5", "-", "etc")
    assert r.rc == 0 and r.out == "127.0.0.1 localhost\n", r


def modes(root):
    """Permission bits of every entry below root."""
    found = {}
    for folder, dirs, files in os.walk(root):
        for name in dirs + files:
            path = os.path.join(folder, name)
            found[os.path.relpath(path, root)] = os.lstat(path).st_mode & 0o7777
    return found


def umask_022():
    os.umask(0o022)


@only("linux")
def test_lost_metadata_leaves_what_was_made_owner_only(ctx):
    """Secrets stay secret when the metadata that would restore their modes cannot be read:
    files are made 0600 and folders 0700, and the closing error says so. Through a pipe the
    metadata comes after the files: they are made owner-only until it is applied."""
    ctx.write("src/etc/shadow", "root:secret")
    os.chmod(ctx.path("src/etc/shadow"), 0o640)
    ctx.write("src/etc/motd", "hello")
    os.chmod(ctx.path("src/etc"), 0o755)
    assert ctx.run("-meta", "c", "m.qv5", "src").rc == 0
    good = ctx.read("m.qv5")
    tail_zeroed = good[:-64] + b"\0" * 64
    with open(ctx.path("bad.qv5"), "wb") as f:
        f.write(tail_zeroed)
    owner_only = {"src": 0o700, "src/etc": 0o700, "src/etc/shadow": 0o600, "src/etc/motd": 0o600}
    exact = {"src": 0o755, "src/etc": 0o755, "src/etc/shadow": 0o640, "src/etc/motd": 0o644}
    os.chmod(ctx.path("src"), 0o755)
    # Read from a file, and from a pipe (where the damage is found after the files).
    for out, args, stdin in (("file", ("d", "bad.qv5", "file"), b""), ("pipe", ("d", "-", "pipe"), tail_zeroed)):
        r = ctx.run(*args, stdin=stdin, preexec=umask_022)
        text = r.out + r.err
        assert r.rc == 1 and text.splitlines()[-1].startswith("Error: damaged archive (extension") and \
            text.splitlines()[-1].endswith("); permissions were not restored"), r
        assert modes(ctx.path(out)) == owner_only, (out, modes(ctx.path(out)))
        assert ctx.read(out + "/src/etc/shadow") == b"root:secret"
    # An existing file overwritten is replaced by an owner-only one.
    ctx.write("over/src/etc/motd", "old")
    os.chmod(ctx.path("over/src/etc/motd"), 0o644)
    assert ctx.run("-force-overwrite", "d", "bad.qv5", "over", preexec=umask_022).rc == 1
    assert modes(ctx.path("over/src/etc"))["motd"] == 0o600 and ctx.read("over/src/etc/motd") == b"hello"
    # A healthy archive through a pipe gets every mode, the folders a selection makes without a
    # record of their own the mode any new folder gets.
    r = ctx.run("-quiet", "d", "-", "whole", stdin=good, preexec=umask_022)
    assert r.rc == 0 and modes(ctx.path("whole")) == exact, (r, modes(ctx.path("whole")))
    r = ctx.run("-quiet", "d", "-", "picked", "src/etc/shadow", stdin=good, preexec=umask_022)
    assert r.rc == 0 and modes(ctx.path("picked")) == {"src": 0o755, "src/etc": 0o755, "src/etc/shadow": 0o640}, \
        (r, modes(ctx.path("picked")))
    # The one file of a one-entry archive, made new at the path typed.
    assert ctx.run("-meta", "c", "one.qv5", "src/etc/shadow").rc == 0
    one = ctx.read("one.qv5")
    with open(ctx.path("one-bad.qv5"), "wb") as f:
        f.write(one[:-64] + b"\0" * 64)
    r = ctx.run("d", "one-bad.qv5", "shadow-copy", preexec=umask_022)
    assert r.rc == 1 and os.stat(ctx.path("shadow-copy")).st_mode & 0o777 == 0o600, r


def test_restoring_over_a_tree_gives_existing_folders_their_metadata(ctx):
    """With -force-overwrite (or the answer all) folders that stand there already get the
    archive's times (and on Linux modes); without it they keep their own."""
    ctx.write("src/a/b/f.txt", "f")
    ctx.write("src/a/g.txt", "g")
    os.utime(ctx.path("src/a/b"), ns=(0, 946684800000000000))
    os.utime(ctx.path("src/a"), ns=(0, 978307200000000000))
    if not ctx.wine:
        os.chmod(ctx.path("src/a/b"), 0o750)
        os.chmod(ctx.path("src/a"), 0o711)
    assert ctx.run("-meta", "c", "m.qv5", "src").rc == 0

    def existing(out):
        os.makedirs(ctx.path(out, "src/a/b"))
        if not ctx.wine:
            os.chmod(ctx.path(out, "src/a/b"), 0o777)
            os.chmod(ctx.path(out, "src/a"), 0o777)
            if os.geteuid() == 0:
                os.chown(ctx.path(out, "src/a"), 1234, 1234)
        ctx.write(out + "/src/a/g.txt", "old g")

    def times(out):
        return [os.stat(ctx.path(out, "src/a", name)).st_mtime_ns for name in ("b", ".")]

    want = [946684800000000000, 978307200000000000]
    existing("kept")
    r = ctx.run("d", "m.qv5", "kept", stdin=b"y\n")
    assert r.rc == 0 and times("kept") != want, r
    for out, flags, stdin in (("forced", ("-force-overwrite",), b""), ("all", (), b"a\n")):
        existing(out)
        r = ctx.run(*flags, "d", "m.qv5", out, stdin=stdin)
        assert r.rc == 0 and "Could not" not in r.body and times(out) == want, (out, r, times(out))
        if not ctx.wine:
            got = modes(ctx.path(out, "src"))
            assert (got["a"], got["a/b"]) == (0o711, 0o750), (out, got)
            assert os.geteuid() != 0 or os.stat(ctx.path(out, "src/a")).st_uid == os.stat(ctx.path("src/a")).st_uid
    if not ctx.wine:
        assert modes(ctx.path("kept", "src"))["a/b"] == 0o777


@only("linux")
def test_the_long_listing_marks_and_names_extended_attributes(ctx):
    ctx.write("src/plain.txt", "p")
    ctx.write("src/tagged.txt", "t")
    os.makedirs(ctx.path("src/dir"))
    os.setxattr(ctx.path("src/tagged.txt"), "user.origin", b"x")
    os.setxattr(ctx.path("src/tagged.txt"), "user.\x1b[31mred", b"y")
    os.setxattr(ctx.path("src/dir"), "user.folder", b"z")
    assert ctx.run("-meta", "c", "m.qv5", "src").rc == 0
    r = ctx.run("-v", "l", "m.qv5")
    lines = {line.split()[-1]: line for line in r.body.splitlines() if line.startswith(("-", "d"))}
    assert r.rc == 0 and lines["/src/plain.txt"].startswith("-rw-r--r-- "), r
    assert lines["/src/tagged.txt"].startswith("-rw-r--r--+ ") and lines["/src/dir"].startswith("drwxr-xr-x+ "), r
    # The mark takes a column of the owner's: the columns after it stay where they were.
    assert len(lines["/src/tagged.txt"]) == len(lines["/src/plain.txt"]) + 1, r
    assert "user.origin" not in r.body, r
    for flags in (("-vv",), ("-v", "-v")):
        r = ctx.run(*flags, "l", "m.qv5")
        body = r.body.split("\n")
        at = body.index(lines["/src/tagged.txt"])
        # Names from the archive are shown escaped, as every name is.
        assert sorted(body[at + 1:at + 3]) == [" " * 12 + "user.\\x1B[31mred", " " * 12 + "user.origin"], body
        assert body[body.index(lines["/src/dir"]) + 1] == " " * 12 + "user.folder", body
        assert body[body.index(lines["/src/plain.txt"]) + 1].startswith(("-", "d", "1 file", "3 files")), body
    if ctx.peer:
        r = ctx.run_peer("-vv", "l", "m.qv5")
        assert r.rc == 0 and " " * 12 + "user.origin\n" in r.out and "-rw-r--r--+ " in r.out, r


def test_one_file_with_records_extracts_as_a_tree(ctx):
    """An archive of one file and its folder, link and empty folder is a tree like any other:
    extracted below the output folder, records and all. One file alone is still written to
    the path given."""
    ctx.write("src/only.txt", "the one file\n")
    os.makedirs(ctx.path("src/empty"))
    if not ctx.wine:
        os.symlink("only.txt", ctx.path("src/link"))
    assert ctx.run("-meta", "c", "t.qv5", "src").rc == 0
    r = ctx.run("d", "t.qv5", "out")
    assert r.rc == 0, r
    assert ctx.read("out/src/only.txt") == b"the one file\n"
    assert os.path.isdir(ctx.path("out/src/empty"))
    if not ctx.wine:
        assert os.readlink(ctx.path("out/src/link")) == "only.txt"
    assert ctx.run("-meta", "c", "f.qv5", "src/only.txt").rc == 0
    r = ctx.run("d", "f.qv5", "copy.txt")
    assert r.rc == 0 and ctx.read("copy.txt") == b"the one file\n", r
