"""-meta against tar: a tree with every kind of thing a Linux system keeps (owners, hard
links, FIFOs, devices, set-user/set-group/sticky modes, sparse files, extended attributes,
capabilities, ACLs) comes back from qv5 as it comes back from tar, and what a user who is not
root may not restore is left out as tar leaves it out, or reported."""
import os
import re
import stat
import struct
import subprocess
import sys

from harness import needs_root, only


def acl_access(user_id):
    """A POSIX ACL granting user_id read and write, as the kernel stores it."""
    entries = [(0x01, 6, 0xFFFFFFFF), (0x02, 6, user_id), (0x04, 4, 0xFFFFFFFF), (0x10, 6, 0xFFFFFFFF),
               (0x20, 4, 0xFFFFFFFF)]
    return struct.pack("<I", 2) + b"".join(struct.pack("<HHI", tag, perm, uid) for tag, perm, uid in entries)


def capability(bit):
    """security.capability (version 2) with one permitted and effective capability."""
    return struct.pack("<IIIII", 0x02000001, 1 << bit, 0, 0, 0)


def make_tree(root):
    os.makedirs(os.path.join(root, "sub"))
    os.makedirs(os.path.join(root, "empty"))
    os.makedirs(os.path.join(root, "shared"))
    at = lambda *parts: os.path.join(root, *parts)
    for name, data in (("owned.txt", b"owned"), ("daemon.txt", b"daemon"), ("hard1", b"linked twice"),
                       ("suid", b"#!/bin/sh\n"), ("sgid", b"#!/bin/sh\n"), ("attr.txt", b"attributes"),
                       ("ping", b"\x7fELF pretend"), ("acl.txt", b"acl")):
        with open(at(name), "wb") as f:
            f.write(data)
    os.chown(at("owned.txt"), 1234, 5678)
    os.chown(at("daemon.txt"), 1, 1)  # daemon:daemon, names that exist
    os.chown(at("sub"), 2, 2)
    os.link(at("hard1"), at("sub", "hard2"))
    os.mkfifo(at("fifo"), 0o640)
    os.mknod(at("null"), 0o666 | stat.S_IFCHR, os.makedev(1, 3))
    os.chmod(at("suid"), 0o4755)
    os.chmod(at("sgid"), 0o2755)
    os.chmod(at("shared"), 0o1777)
    with open(at("sparse.bin"), "wb") as f:
        f.truncate(8 << 20)
        f.seek(3 << 20)
        f.write(b"data in the middle")
    os.setxattr(at("attr.txt"), "user.color", b"blue")
    os.setxattr(at("attr.txt"), "user.empty", b"")
    os.setxattr(at("ping"), "security.capability", capability(13))  # cap_net_raw
    os.setxattr(at("acl.txt"), "system.posix_acl_access", acl_access(1234))
    os.symlink("hard1", at("link"))
    os.utime(at("owned.txt"), ns=(0, 1234567890123456789))
    os.utime(at("empty"), ns=(0, 978307200000000000))


def state(root):
    """What a restore must give back, path by path: kind, mode, owner, size, time (to the
    second: tar's default format keeps no more), contents or link text or device, whether it
    has holes, its extended attributes; and which paths share an inode."""
    found, inodes = {}, {}
    for folder, dirs, files in os.walk(root):
        for name in dirs + files:
            path = os.path.join(folder, name)
            rel = os.path.relpath(path, root)
            st = os.lstat(path)
            kind = stat.S_IFMT(st.st_mode)
            body = None
            if stat.S_ISREG(st.st_mode):
                with open(path, "rb") as f:
                    body = f.read()
            elif stat.S_ISLNK(st.st_mode):
                body = os.readlink(path)
            elif stat.S_ISCHR(st.st_mode) or stat.S_ISBLK(st.st_mode):
                body = st.st_rdev
            attributes = {} if stat.S_ISLNK(st.st_mode) else \
                {a: os.getxattr(path, a, follow_symlinks=False) for a in os.listxattr(path, follow_symlinks=False)}
            holes = stat.S_ISREG(st.st_mode) and st.st_blocks * 512 < st.st_size
            times = None if stat.S_ISLNK(st.st_mode) else st.st_mtime_ns // 10**9
            found[rel] = (kind, stat.S_IMODE(st.st_mode), st.st_uid, st.st_gid, body, holes, attributes, times)
            inodes.setdefault(st.st_ino, []).append(rel)
    links = sorted(sorted(names) for names in inodes.values() if len(names) > 1)
    return found, links


@only("linux")
@needs_root
def test_a_system_tree_comes_back_as_tar_restores_it(ctx):
    make_tree(ctx.path("src"))
    tar_flags = ["--xattrs", "--xattrs-include=*", "--acls", "--sparse", "--numeric-owner"]
    subprocess.run(["tar", *tar_flags, "-cpf", "t.tar", "src"], cwd=ctx.work, check=True)
    os.makedirs(ctx.path("by-tar"))
    subprocess.run(["tar", *tar_flags, "-xpf", "../t.tar"], cwd=ctx.path("by-tar"), check=True)
    r = ctx.run("-meta", "c", "q.qv5", "src")
    assert r.rc == 0, r
    r = ctx.run("-xattrs", "d", "q.qv5", "by-qv5")
    assert r.rc == 0 and "Could not" not in r.body and "Skipped" not in r.body, r
    want, qv5 = state(ctx.path("by-tar", "src")), state(ctx.path("by-qv5", "src"))
    for path in sorted(set(want[0]) | set(qv5[0])):
        assert want[0].get(path) == qv5[0].get(path), (path, want[0].get(path), qv5[0].get(path))
    assert want[1] == qv5[1] == [["hard1", "sub/hard2"]]
    assert qv5[0]["sparse.bin"][5], "the sparse file comes back with holes"
    assert qv5[0]["ping"][6]["security.capability"] == capability(13)
    # Read from a pipe, where the metadata comes after the files, the same tree comes back.
    with open(ctx.path("q.qv5"), "rb") as f:
        r = ctx.run("-xattrs", "d", "-", "by-pipe", stdin=f.read())
    assert r.rc == 0 and "Could not" not in r.body, r
    piped = state(ctx.path("by-pipe", "src"))
    differ = [path for path in sorted(set(qv5[0]) | set(piped[0])) if qv5[0].get(path) != piped[0].get(path)]
    assert not differ and piped[1] == qv5[1], differ
    # Sub-second times too, which tar's default format drops.
    assert os.stat(ctx.path("by-qv5/src/owned.txt")).st_mtime_ns == 1234567890123456789
    # The long listing shows it all.
    r = ctx.run("-v", "l", "q.qv5")
    assert r.rc == 0, r
    for line in (r"-rwsr-xr-x root/root +10 ", r"drwxrwxrwt root/root +0 ", r"crw-r--r-- root/root +1,3 .* /src/null",
                 r"prw-r----- root/root +0 ", r"-rw-r--r-- 1234/5678 +5 2009-02-13 23:31:30 /src/owned.txt",
                 r"-rw-r--r-- daemon/daemon ", r"lrwxrwxrwx root/root +0 .* /src/link -> hard1",
                 r"-rw-r--r--\+ root/root +12 .* /src/ping$", r"-rw-rw-r--\+ root/root +3 .* /src/acl.txt$"):
        assert re.search("^" + line, r.body, re.M), (line, r.body)
    assert " link to /src/" in r.body and "security.capability" not in r.body, r.body
    for flags in (("-vv",), ("-v", "-v")):
        r = ctx.run(*flags, "l", "q.qv5")
        assert r.rc == 0 and re.search(r"/src/ping\n {12}security\.capability\n", r.body), r
        assert re.search(r"/src/attr.txt\n {12}user\.color\n {12}user\.empty\n", r.body), r


@only("linux")
@needs_root
def test_capabilities_and_access_lists_need_xattrs(ctx):
    make_tree(ctx.path("src"))
    assert ctx.run("-meta", "c", "q.qv5", "src").rc == 0
    # Without -xattrs root restores user attributes only, and says how many items had others.
    for name, run in (("plain", lambda: ctx.run("d", "q.qv5", "plain")),
                      ("piped", lambda: ctx.run("-quiet", "d", "-", "piped", stdin=ctx.read("q.qv5")))):
        r = run()
        assert r.rc == 0, (name, r)
        assert "Skipped security, trusted and ACL attributes of 2 items (-xattrs restores them)\n" in r.out + r.err, \
            (name, r)
        got, _ = state(ctx.path(name, "src"))
        assert got["ping"][6] == {} and got["acl.txt"][6] == {}, (name, got["ping"], got["acl.txt"])
        assert got["attr.txt"][6] == {"user.color": b"blue", "user.empty": b""}, name
        assert got["suid"][1] == 0o4755 and got["owned.txt"][2:4] == (1234, 5678), name


@only("linux")
@needs_root
def test_a_user_restores_what_a_user_may(ctx):
    make_tree(ctx.path("src"))
    r = ctx.run("-meta", "c", "q.qv5", "src")
    assert r.rc == 0, r
    os.chmod(ctx.work, 0o777)
    os.chmod(ctx.path("q.qv5"), 0o644)

    def as_nobody():
        os.setgid(65534)
        os.setuid(65534)
        os.umask(0o022)
    r = ctx.run("d", "q.qv5", "mine", preexec=as_nobody)
    # The device is refused and said so; everything else is written. What a user may not
    # restore is counted: the owners of all 15 items (files, folders, link, FIFO; the hard
    # link is one of them), and the ACL that -xattrs would restore.
    assert r.rc == 1 and "Could not create the device mine/src/null\n" in r.body, r
    assert "Skipped security, trusted and ACL attributes of 1 item (-xattrs restores them)\n" in r.body, r
    assert "Skipped owners, set-ID bits and root-only attributes of 15 items (only root restores them)\n" in r.body, r
    got, links = state(ctx.path("mine", "src"))
    assert "null" not in got and stat.S_ISFIFO(got["fifo"][0]), got
    assert {(v[2], v[3]) for v in got.values()} == {(65534, 65534)}, "owners are root's to restore"
    assert got["suid"][1] == 0o755 and got["shared"][1] == 0o1755, (got["suid"], got["shared"])
    assert got["attr.txt"][6] == {"user.color": b"blue", "user.empty": b""}
    assert got["ping"][6] == {} and got["acl.txt"][6] == {}, "system attributes need -xattrs"
    assert links == [["hard1", "sub/hard2"]] and got["sparse.bin"][5]
    # With -xattrs a user restores the access list of a file the run made (its mask then
    # follows the umask, as the mode does); a capability stays root's.
    r = ctx.run("-xattrs", "d", "q.qv5", "mine-x", preexec=as_nobody)
    assert r.rc == 1 and "Skipped security" not in r.body and "root-only attributes of 15 items" in r.body, r
    got, _ = state(ctx.path("mine-x", "src"))
    acl = got["acl.txt"][6].get("system.posix_acl_access", b"")
    assert struct.pack("<HHI", 2, 6, 1234) in acl and got["ping"][6] == {}, (acl, got["ping"][6])
    # A user's own tree comes back with the user's own owner, which is no loss: only its
    # set-user bit is counted.
    for name, mode in (("own", 0o755), ("own/a.txt", 0o640), ("own/run", 0o4755)):
        if name == "own":
            os.makedirs(ctx.path(name))
        else:
            ctx.write(name, name)
        os.chown(ctx.path(name), 65534, 65534)
        os.chmod(ctx.path(name), mode)
    assert ctx.run("-meta", "c", "own.qv5", "own", preexec=as_nobody).rc == 0
    r = ctx.run("d", "own.qv5", "own-back", preexec=as_nobody)
    assert r.rc == 0 and "Skipped owners, set-ID bits and root-only attributes of 1 item (" in r.body, r
    assert "Skipped security" not in r.body, r


@only("linux")
def test_a_sparse_file_read_from_a_pipe_gets_its_holes(ctx):
    """The metadata of an archive read from a pipe comes after the files: a sparse file is
    written whole first, and its holes are made when its metadata is set. Here as the one
    file of an archive, extracted to a name of its own."""
    with open(ctx.path("sparse.bin"), "wb") as f:
        f.truncate(4 << 20)
        f.seek(1 << 20)
        f.write(b"island")
    r = ctx.run("-meta", "c", "one.qv5", "sparse.bin")
    assert r.rc == 0, r
    with open(ctx.path("one.qv5"), "rb") as f:
        r = ctx.run("d", "-", "back.bin", stdin=f.read())
    assert r.rc == 0, r
    with open(ctx.path("sparse.bin"), "rb") as a, open(ctx.path("back.bin"), "rb") as b:
        assert a.read() == b.read()
    st = os.stat(ctx.path("back.bin"))
    assert st.st_blocks * 512 < 1 << 20, st.st_blocks
    assert st.st_mtime_ns == os.stat(ctx.path("sparse.bin")).st_mtime_ns, "the time is set after the holes"


@only("linux")
@needs_root
def test_many_owners_are_named_and_restored_by_name(ctx):
    """Owners beyond the few looked up one by one are named from one walk of the system's
    lists: the named ones are listed and restored by name, the others by number."""
    import pwd
    named = {entry.pw_uid: entry.pw_name for entry in pwd.getpwall()}
    uids = sorted(named)[:10] + list(range(300000, 300040))
    for uid in uids:
        path = ctx.path("src", "u%d" % uid)
        ctx.write("src/u%d" % uid, "x")
        os.chown(path, uid, uid)
    assert ctx.run("-meta", "c", "o.qv5", "src").rc == 0
    listing = ctx.run("-v", "l", "o.qv5").body
    for uid in uids:
        owner = named.get(uid, str(uid))
        assert re.search(r"^\S+ %s/\S+ .* /src/u%d$" % (re.escape(owner), uid), listing, re.M), (uid, listing)
    r = ctx.run("d", "o.qv5", "out")
    assert r.rc == 0, r
    for uid in uids:
        assert os.lstat(ctx.path("out", "src", "u%d" % uid)).st_uid == uid


def with_attributes(data, count, name):
    """The archive with its attribute record replaced by one giving its item count attributes
    named name, with empty values; the block's length and CRC-32 made right."""
    import zlib
    offset = struct.unpack_from("<Q", data, 32)[0]
    block = bytearray(data[offset:])
    at = 16
    while block[at] != 8:
        at += 5 + struct.unpack_from("<I", block, at + 1)[0]
    length = struct.unpack_from("<I", block, at + 1)[0]
    item = bytes(block[at + 5:at + 10])
    one = struct.pack("<H", len(name)) + name + struct.pack("<I", 0)
    payload = item + struct.pack("<I", count) + one * count
    block[at:at + 5 + length] = struct.pack("<BI", 8, len(payload)) + payload
    block = block[:-4]
    struct.pack_into("<Q", block, 8, len(block) + 4)
    return data[:offset] + bytes(block) + struct.pack("<I", zlib.crc32(bytes(block)))


@only("linux")
def test_attribute_records_take_memory_in_proportion(ctx):
    """A record of many small attributes costs a small multiple of its size in memory; an
    attribute name no system could hold is damage of the metadata."""
    import resource
    ctx.write("src/a.txt", "a")
    ctx.write("src/b.txt", "b")
    os.setxattr(ctx.path("src/a.txt"), "user.a", b"1")
    assert ctx.run("-meta", "c", "a.qv5", "src").rc == 0
    data = ctx.read("a.qv5")
    count = 400000
    with open(ctx.path("many.qv5"), "wb") as f:
        f.write(with_attributes(data, count, b"user.a"))
    with open(ctx.path("bad.qv5"), "wb") as f:
        f.write(with_attributes(data, 3, b"a"))

    def peak(archive):
        measure = ("import resource, subprocess, sys\n"
                   "r = subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL)\n"
                   "print(r.returncode, resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)")
        r = subprocess.run([sys.executable, "-c", measure, ctx.binary, "t", archive], cwd=ctx.work,
                           capture_output=True, text=True)
        status, kilobytes = map(int, r.stdout.split())
        assert status == 0, r
        return kilobytes * 1024
    if not os.environ.get("QV5_SANITIZER"):  # a sanitizer's own bookkeeping is no measure
        extra = peak("many.qv5") - peak("a.qv5")
        # 12 bytes an attribute in the record; before, about 12 times that was held.
        assert extra < 7 * count * 12, (extra, count * 12)
    r = ctx.run("t", "bad.qv5")
    assert r.rc == 1 and "extension attribute record" in r.body, r
