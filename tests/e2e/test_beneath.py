"""Extraction stays beneath its output folder by construction: archives crafted to reach out
of it through links made in the same run, names with a NUL, records for the output folder or
stored twice, modes and times through links or onto devices, answers smuggled in the archive,
an empty output path, and records that ignore the selection. Each is refused or contained,
and nothing outside the output folder changes."""
import os
import resource
import signal
import stat
import subprocess
import threading

import archive_maker as m
from harness import only


def save(ctx, name, data):
    with open(ctx.path(name), "wb") as f:
        f.write(data)


def tree_state(root):
    """Everything below root: kind, mode and time of each entry (links as their text)."""
    found = {}
    for folder, dirs, files in os.walk(root):
        for name in dirs + files:
            path = os.path.join(folder, name)
            st = os.lstat(path)
            found[os.path.relpath(path, root)] = (os.readlink(path) if os.path.islink(path) else st.st_mode,
                                                  st.st_mtime_ns)
    return found


def run_as_nobody():
    """A preexec function that drops to an unprivileged user with umask 022."""
    def drop():
        os.setgid(65534)
        os.setuid(65534)
        os.umask(0o022)
    return drop


@only("linux")
def test_links_made_by_the_archive_are_never_gone_through(ctx):
    outside = ctx.path("outside")
    os.makedirs(outside)
    ctx.write("outside/victim", "keep")
    before = tree_state(outside)
    files = [(b"/src/a.txt", b"alpha", 0)]
    cases = {
        # a link, then a folder and a file below it
        "chain": m.meta_archive(files + [(b"/src/esc/planted", b"evil", 0)], folders=[(b"/src/esc/deeper", 0, 0o777)],
                                links=[(b"/src/esc", outside.encode(), 0, 0o777, 1)]),
        # a link below a link
        "link-in-link": m.meta_archive(files, links=[(b"/src/esc", outside.encode(), 0, 0o777, 1),
                                                     (b"/src/esc/victim", b"/etc/passwd", 0, 0o777, 0)]),
    }
    for name, data in cases.items():
        save(ctx, name + ".qv5", data)
        for flags in ((), ("-force-overwrite",)):
            r = ctx.run(*flags, "d", name + ".qv5", "out-" + name)
            assert r.rc == 1 and "Error: damaged archive (name below a link record)\n" in r.body, (name, r)
            assert not os.path.exists(ctx.path("out-" + name)), name
        assert ctx.run("t", name + ".qv5").rc == 1
    assert tree_state(outside) == before


@only("linux")
def test_record_names_are_held_to_the_entry_rules(ctx):
    parent = ctx.path("parent")
    os.makedirs(ctx.path("parent/out"))
    os.chmod(parent, 0o700)
    files = [(b"/a.txt", b"alpha", 0), (b"/b.txt", b"bravo", 0)]
    cases = {
        b"/..\0": "record name holds a NUL byte",
        b"/x/\0/y": "record name holds a NUL byte",
        b"/..": "record name with a .. component",
        b"/": "record for the output folder",
        b"/.": "record for the output folder",
        b"/x//y": "record name with a . or empty component",
        b"/x/./y": "record name with a . or empty component",
        b"x": "record name without a leading separator",
        b"/a.txt": "name stored twice",
    }
    for record, reason in cases.items():
        for kind in ("folder", "link"):
            folders = [(record, 0, 0o777)] if kind == "folder" else []
            links = [(record, b"/etc/passwd", 0, 0o777, 0)] if kind == "link" else []
            save(ctx, "r.qv5", m.meta_archive(files, folders=folders, links=links))
            r = ctx.run("-force-overwrite", "d", "r.qv5", "parent/out")
            assert r.rc == 1 and f"Error: damaged archive ({reason})\n" in r.body, (record, kind, r)
            assert os.listdir(ctx.path("parent/out")) == [], (record, kind)
            assert stat.S_IMODE(os.stat(parent).st_mode) == 0o700, (record, kind)
    # Two records of the same place, however spelled.
    save(ctx, "r.qv5", m.meta_archive(files, folders=[(b"/e", 0, 0o755), (b"\\e", 0, 0o755)]))
    r = ctx.run("d", "r.qv5", "parent/out")
    assert r.rc == 1 and "Error: damaged archive (name stored twice)\n" in r.body, r
    # The listing says so too.
    r = ctx.run("l", "r.qv5")
    assert r.rc == 1 and "Error: damaged archive (name stored twice)\n" in r.body, r


@only("linux")
def test_a_link_named_like_a_file_is_damage(ctx):
    files = [(b"/src/a.txt", b"alpha", 0), (b"/src/b.txt", b"bravo", 0)]
    save(ctx, "l.qv5", m.meta_archive(files, links=[(b"/src/a.txt", b"/etc/passwd", 0, 0o777, 0)]))
    r = ctx.run("-force-overwrite", "d", "l.qv5", "out")
    assert r.rc == 1 and "Error: damaged archive (name stored twice)\n" in r.body, r
    assert not os.path.exists(ctx.path("out"))


@only("linux")
def test_modes_and_times_go_only_to_what_the_run_made(ctx):
    outside = ctx.path("outside")
    os.makedirs(outside)
    os.chmod(outside, 0o700)
    os.utime(outside, ns=(0, 10**18))
    before = tree_state(ctx.work + "/outside"), os.stat(outside).st_mtime_ns
    files = [(b"/a.txt", b"alpha", 0), (b"/b.txt", b"bravo", 0)]
    # A link planted where a folder record lies is met before anything is written.
    os.makedirs(ctx.path("out"))
    os.symlink(outside, ctx.path("out/dir"))
    save(ctx, "f.qv5", m.meta_archive(files, folders=[(b"/dir", 5 * 10**17, 0o777)]))
    r = ctx.run("-force-overwrite", "d", "f.qv5", "out")
    assert r.rc == 1 and "Error: output path out/dir leads through a link\n" in r.body, r
    assert sorted(os.listdir(ctx.path("out"))) == ["dir"]
    assert (tree_state(outside), os.stat(outside).st_mtime_ns) == before
    assert stat.S_IMODE(os.stat(outside).st_mode) == 0o700
    # A folder that stood there keeps its own mode and time; the ones the run makes get theirs.
    os.makedirs(ctx.path("mine/kept"))
    os.chmod(ctx.path("mine/kept"), 0o750)
    save(ctx, "k.qv5", m.meta_archive(files, folders=[(b"/kept", 5 * 10**17, 0o700), (b"/made", 5 * 10**17, 0o700)]))
    r = ctx.run("d", "k.qv5", "mine")
    assert r.rc == 0 and "Could not" not in r.body, r
    assert stat.S_IMODE(os.stat(ctx.path("mine/kept")).st_mode) == 0o750
    assert stat.S_IMODE(os.stat(ctx.path("mine/made")).st_mode) == 0o700
    assert os.stat(ctx.path("mine/made")).st_mtime_ns == 5 * 10**17


@only("linux")
def test_the_typed_output_of_one_entry_gets_metadata_only_when_made_new(ctx):
    save(ctx, "one.qv5", m.meta_archive([(b"/one.txt", b"one", 0)], entry_meta=[(5 * 10**17, 0o777)]))
    # Standard output, a file the caller owns: neither mode nor time is touched.
    ctx.write("sink", "")
    os.chmod(ctx.path("sink"), 0o600)
    with open(ctx.path("sink"), "wb") as sink:
        r = subprocess.run([ctx.binary, "-quiet", "-force-overwrite", "d", "one.qv5", "/dev/stdout"], cwd=ctx.work,
                           stdout=sink, stderr=subprocess.PIPE)
    assert r.returncode == 0 and ctx.read("sink") == b"one", r
    st = os.stat(ctx.path("sink"))
    assert stat.S_IMODE(st.st_mode) == 0o600 and st.st_mtime_ns != 5 * 10**17
    # An existing file written over keeps its mode; a new one gets the stored mode and time.
    r = ctx.run("-force-overwrite", "d", "one.qv5", "sink")
    assert r.rc == 0 and stat.S_IMODE(os.stat(ctx.path("sink")).st_mode) == 0o600, r
    r = ctx.run("d", "one.qv5", "fresh")
    st = os.stat(ctx.path("fresh"))
    assert r.rc == 0 and stat.S_IMODE(st.st_mode) == 0o777 and st.st_mtime_ns == 5 * 10**17, r


@only("linux")
def test_restored_modes_keep_sticky_and_follow_the_user(ctx):
    files = [(b"/suid", b"s", 0), (b"/plain", b"p", 0)]
    folders = [(b"/shared", 0, 0o1777), (b"/group", 0, 0o2775)]
    save(ctx, "m.qv5", m.meta_archive(files, folders=folders, entry_meta=[(0, 0o4755), (0, 0o666)]))
    os.chmod(ctx.path("m.qv5"), 0o644)
    # As root: everything as stored.
    r = ctx.run("d", "m.qv5", "root")
    assert r.rc == 0, r
    modes = {name: stat.S_IMODE(os.stat(ctx.path("root", name)).st_mode) for name in ("suid", "plain", "shared", "group")}
    assert modes == {"suid": 0o4755, "plain": 0o666, "shared": 0o1777, "group": 0o2775}, modes
    # As a user: no set-user or set-group bit, the umask applied, the sticky bit kept.
    os.chmod(ctx.work, 0o777)
    r = ctx.run("d", "m.qv5", "user", preexec=run_as_nobody())
    assert r.rc == 0, r
    modes = {name: stat.S_IMODE(os.stat(ctx.path("user", name)).st_mode) for name in ("suid", "plain", "shared", "group")}
    assert modes == {"suid": 0o755, "plain": 0o644, "shared": 0o1755, "group": 0o755}, modes


@only("linux")
def test_questions_are_never_answered_by_the_archive(ctx):
    ctx.write("in/a.txt", os.urandom(3 << 20))
    ctx.write("in/b.txt", "b")
    assert ctx.run("c", "x.qv5", "in").rc == 0
    data = ctx.read("x.qv5")
    # The reader takes the archive in pieces (of 4 MiB in earlier versions): what stands after
    # the archive in the same stream is where a question's answer would be read from.
    crafted = data + b"\0" * ((4 << 20) - len(data)) + b"y\n" * 64
    assert ctx.run("-quiet", "d", "x.qv5", "out").rc == 0
    ctx.write("out/in/b.txt", "mine")
    r = subprocess.run([ctx.binary, "d", "-", "out"], cwd=ctx.work, input=crafted, capture_output=True,
                       start_new_session=True)  # no terminal to ask
    assert r.returncode == 1 and b"already exists" in r.stderr, r
    assert ctx.read("out/in/b.txt") == b"mine"


@only("linux")
def test_an_empty_output_path_is_refused(ctx):
    # Appended to nothing, the stored name would be an absolute path.
    target = ctx.path("escaped").encode()
    save(ctx, "e.qv5", m.archive([(target, b"x", 0), (target + b"2", b"y", 0)]))
    save(ctx, "one.qv5", m.archive([(b"/one", b"1", 0)]))
    for archive in ("e.qv5", "one.qv5"):
        r = ctx.run("d", archive, "")
        assert r.rc == 1 and "Error: empty output path\n" in r.body, r
    assert sorted(os.listdir(ctx.work)) == ["e.qv5", "one.qv5"]


@only("linux")
def test_a_selection_reaches_records_too(ctx):
    files = [(b"/src/a.txt", b"alpha", 0), (b"/src/sub/b.txt", b"bravo", 0)]
    save(ctx, "s.qv5", m.meta_archive(files, folders=[(b"/src", 0, 0o755), (b"/src/sub", 0, 0o755),
                                                      (b"/src/empty", 0, 0o755)],
                                      links=[(b"/src/l", b"a.txt", 0, 0o777, 0)]))
    # An unselected link does not replace what stands at its name.
    ctx.write("out/src/l", "mine")
    r = ctx.run("-force-overwrite", "d", "s.qv5", "out", "/src/sub")
    assert r.rc == 0, r
    assert sorted(tree_state(ctx.path("out"))) == ["src", "src/l", "src/sub", "src/sub/b.txt"]
    assert ctx.read("out/src/l") == b"mine"
    # A pattern may name a folder or a link record alone.
    r = ctx.run("d", "s.qv5", "rec", "/src/empty", "/src/l")
    assert r.rc == 0, r
    assert sorted(tree_state(ctx.path("rec"))) == ["src", "src/empty", "src/l"]
    assert os.readlink(ctx.path("rec/src/l")) == "a.txt"


@only("linux")
def test_pipes_read_on_to_the_extension(ctx):
    ctx.write("src/a.txt", "alpha")
    ctx.write("src/b/c.txt", "charlie")
    os.makedirs(ctx.path("src/empty"))
    os.symlink("a.txt", ctx.path("src/link"))
    os.utime(ctx.path("src/b/c.txt"), ns=(0, 10**18))
    assert ctx.run("-meta", "c", "m.qv5", "src").rc == 0
    data = ctx.read("m.qv5")
    # A file's archive through a pipe: test, list and extract, metadata and all.
    for args in (("t", "-"), ("l", "-")):
        r = subprocess.run([ctx.binary, *args], cwd=ctx.work, input=data, capture_output=True)
        assert r.returncode == 0, (args, r)
    r = subprocess.run([ctx.binary, "d", "-", "p"], cwd=ctx.work, input=data, capture_output=True)
    assert r.returncode == 0 and os.readlink(ctx.path("p/src/link")) == "a.txt", r
    assert os.stat(ctx.path("p/src/b/c.txt")).st_mtime_ns == 10**18
    # A selection stops decoding early, yet the extension is found: from a file's archive and
    # from a pipe's.
    c = subprocess.run([ctx.binary, "-meta", "c", "-", "src"], cwd=ctx.work, capture_output=True)
    for label, archive in (("file", data), ("pipe", c.stdout)):
        r = subprocess.run([ctx.binary, "d", "-", "sel-" + label, "/src/b"], cwd=ctx.work, input=archive,
                           capture_output=True)
        assert r.returncode == 0, (label, r)
        assert sorted(tree_state(ctx.path("sel-" + label))) == ["src", "src/b", "src/b/c.txt"], label
        assert os.stat(ctx.path("sel-" + label, "src/b/c.txt")).st_mtime_ns == 10**18, label


@only("linux")
def test_a_cut_archive_with_metadata_gives_back_what_it_holds(ctx):
    # Five chunks of nearly empty files: the cut loses the last chunk or part of it.
    for i in range(24):
        ctx.write(f"src/f{i:02}.bin", os.urandom(64) + bytes(3 << 20))
    assert ctx.run("c1", "plain.qv5", "src").rc == 0
    assert ctx.run("-meta", "c1", "meta.qv5", "src").rc == 0
    written = {}
    for label in ("plain", "meta"):
        data = ctx.read(label + ".qv5")
        save(ctx, label + "-cut.qv5", data[:len(data) * 9 // 10])
        r = ctx.run("d", label + "-cut.qv5", "out-" + label)
        assert r.rc == 1 and "Error: damaged archive (" in r.body, (label, r)
        written[label] = len(os.listdir(ctx.path("out-" + label, "src")))
    assert written["meta"] >= written["plain"] >= 16, written


@only("linux")
def test_a_file_size_limit_leaves_no_temporary_file(ctx):
    ctx.write("in/big.bin", os.urandom(300000))

    def limit():
        signal.signal(signal.SIGXFSZ, signal.SIG_DFL)
        resource.setrlimit(resource.RLIMIT_FSIZE, (100000, 100000))
    r = ctx.run("c", "x.qv5", "in", preexec=limit)
    assert r.rc == 1 and "Error writing archive x.qv5\n" in r.body, r
    assert sorted(os.listdir(ctx.work)) == ["in"]


@only("linux")
def test_listing_many_folder_records_takes_linear_time(ctx):
    folders = [(f"/d{i:06}".encode(), 0, 0o755) for i in range(160000)]
    save(ctx, "many.qv5", m.meta_archive([(b"/a", b"a", 0), (b"/b", b"b", 0)], folders=folders))
    r = ctx.run("l", "many.qv5", timeout=10)  # linear: a fraction of a second; quadratic: half a minute
    assert r.rc == 0 and r.body.count("[folder]: ") == 160000, r.rc


def test_trailing_dots_and_spaces_become_ordinary_names(ctx):
    files = [(b"/to be continued../a.txt", b"a", 0), (b"/trailing /b.txt", b"b", 0), (b"/end. .", b"c", 0)]
    save(ctx, "t.qv5", m.archive(files))
    r = ctx.run("d", "t.qv5", "out")
    assert r.rc == 0 and "INVALID" not in r.body, r
    if ctx.wine:  # as the system's ordinary path rules name them, so every program can open them
        assert ctx.read("out/to be continued/a.txt") == b"a" and ctx.read("out/trailing/b.txt") == b"b", r
        assert ctx.read("out/end") == b"c"
    else:
        assert ctx.read("out/to be continued../a.txt") == b"a" and ctx.read("out/end. .") == b"c"


@only("linux")
def test_links_swapped_in_during_extraction_are_never_written_through(ctx):
    """A second process keeps replacing a folder of the output tree by a link to a folder
    outside while d writes into it: no byte may land outside, whatever the timing."""
    for i in range(300):
        ctx.write(f"src/t/f{i:03}", os.urandom(3000))
    assert ctx.run("c", "r.qv5", "src").rc == 0
    outside = ctx.path("outside")
    os.makedirs(outside)
    rounds = 0
    for attempt in range(40):
        out = ctx.path(f"out{attempt}")
        stop = threading.Event()
        swaps = [0]

        def swapper():
            folder = os.path.join(out, "src", "t")
            while not stop.is_set():
                try:
                    os.rename(folder, folder + ".moved")
                    os.symlink(outside, folder)
                    swaps[0] += 1
                    os.unlink(folder)
                    os.rename(folder + ".moved", folder)
                except OSError:
                    pass

        thread = threading.Thread(target=swapper)
        thread.start()
        r = ctx.run("-quiet", "-force-overwrite", "d", "r.qv5", out)
        stop.set()
        thread.join()
        rounds += swaps[0]
        assert r.rc in (0, 1), r
        assert os.listdir(outside) == [], (attempt, os.listdir(outside))
    print(f"race: {rounds} swaps during 40 extractions, nothing written outside")
    assert rounds > 0
