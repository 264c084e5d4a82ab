"""Hostile archives: stored names that try to leave the output folder, tables that promise
more than the file holds, and blocks built to reach outside the window or the history.
Each must be refused with a message and exit status 1, without a file written outside the
output folder; the valid oddities must extract exactly."""
import os
import resource
import shutil
import subprocess

import archive_maker as m
from harness import needs_root, only
from test_sfx import MARKER


def save(ctx, name, data):
    with open(ctx.path(name), "wb") as f:
        f.write(data)


def stub(ctx, archive):
    """A self-extracting copy of the program carrying archive: the only way to extract
    without an output argument. Kept in bin/, which everything() leaves out."""
    with open(ctx.binary, "rb") as f:
        program = bytearray(f.read())
    at = program.find(MARKER)
    program[at:at + 4] = len(program).to_bytes(4, "little")
    os.makedirs(ctx.path("bin"), exist_ok=True)
    path = ctx.path("bin", "stub" + ctx.exe_suffix)
    with open(path, "wb") as f:
        f.write(program + archive)
    os.chmod(path, 0o755)
    return path


def extract_here(ctx, archive, stdin=b""):
    return ctx.run(binary=stub(ctx, archive), stdin=stdin)


def everything(ctx):
    """Every file and folder below the test folder but bin/, as relative paths with '/'."""
    found = set()
    for folder, dirs, files in os.walk(ctx.work):
        for name in dirs + files:
            found.add(os.path.relpath(os.path.join(folder, name), ctx.work).replace(os.sep, "/"))
    return {name for name in found if name != "bin" and not name.startswith("bin/")}


def test_parent_references_anywhere_are_refused(ctx):
    escape = os.path.basename(ctx.work) + "-escaped"  # would land beside the test folder
    names = ["../" + escape, "..\\" + escape, "/a/../../" + escape, "\\a\\..\\..\\" + escape,
             "/x/..\\..\\" + escape, "/a/b/../../../" + escape, "/end/../", "\\end\\..\\"]
    for name in names:
        raw = name.encode()
        for files in ([(raw, b"bad", 0)], [(b"/ok", b"fine", 0), (raw, b"bad", 0)]):
            save(ctx, "p.qv5", m.archive(files))
            for r in (ctx.run("d", "p.qv5", "out"), extract_here(ctx, m.archive(files))):
                assert r.rc == 1 and f"Error: output filename contains ../ ({name})\n" in r.body, (name, r)
            assert everything(ctx) == {"p.qv5"}, (name, everything(ctx))  # not even /ok
            r = ctx.run("l", "p.qv5")  # a listing writes nothing and shows the name as stored
            assert r.rc == 0 and f": {name}, 3 B, CRC32: " in r.body, r
    assert not os.path.exists(os.path.join(os.path.dirname(ctx.work), escape))


def test_absolute_names_land_inside_the_output_folder(ctx):
    files = [(b"//root-abs/x", b"1", 0), (b"/abs", b"22", 0), (b"\\\\server\\share\\f", b"333", 0),
             (b"\\/mixed/y", b"4444", 0)]
    save(ctx, "a.qv5", m.archive(files))
    r = ctx.run("d", "a.qv5", "out")
    assert r.rc == 0 and "INVALID" not in r.body, r
    assert everything(ctx) == {"a.qv5", "out", "out/root-abs", "out/root-abs/x", "out/abs", "out/server",
                               "out/server/share", "out/server/share/f", "out/mixed", "out/mixed/y"}, everything(ctx)
    assert ctx.read("out/server/share/f") == b"333" and ctx.read("out/mixed/y") == b"4444"
    # A one-file archive without an output argument drops the leading separators.
    for name in (b"//one-abs", b"\\\\one-abs", b"/\\one-abs"):
        r = extract_here(ctx, m.archive([(name, b"one", 0)]), stdin=b"y\n")
        assert r.rc == 0 and ctx.read("one-abs") == b"one", (name, r)


def test_names_without_a_leading_separator_are_refused(ctx):
    # Appended to the prefix out, the name x would give outx, beside the output folder.
    for files in ([(b"/ok", b"1", 0), (b"x", b"2", 0)], [(b"x", b"2", 0), (b"/ok", b"1", 0)],
                  [(b"/ok", b"1", 0), (b"", b"", 0)]):
        save(ctx, "n.qv5", m.archive(files))
        r = ctx.run("d", "n.qv5", "out")
        assert r.rc == 1 and "Error: damaged archive (stored name without a leading separator)\n" in r.body, r
        assert everything(ctx) == {"n.qv5"}, everything(ctx)
    # In a one-file archive the name only matters without an output argument.
    r = extract_here(ctx, m.archive([(b"plain", b"p", 0)]))
    assert r.rc == 0 and ctx.read("plain") == b"p", r


@only("windows")
def test_drive_letters_and_streams_are_refused(ctx):
    for name in (b"C:\\evil", b"\\C:\\evil", b"c:evil", b"\\file.txt:stream", b"\\\\?\\C:\\evil"):
        for files in ([(name, b"bad", 0)], [(b"\\ok", b"fine", 0), (name, b"bad", 0)]):
            save(ctx, "w.qv5", m.archive(files))
            for r in (ctx.run("d", "w.qv5", "out"), extract_here(ctx, m.archive(files))):
                assert r.rc == 1 and f"Error: output filename is not relative ({name.decode()})\n" in r.body, (name, r)
            assert everything(ctx) == {"w.qv5"}, (name, everything(ctx))


def test_tables_that_do_not_fit_are_refused(ctx):
    cases = {
        # name length field (12 bits) above the 2047 bytes an entry holds
        "long-name": (m.archive([(b"/" + b"n" * 3000, b"1", 0), (b"/b", b"2", 0)]), "damaged archive (stored name too long)"),
        # prefix + name of 1024 bytes or more does not fit the path buffer
        "long-path": (m.archive([(b"/" + b"p" * 1100, b"1", 0), (b"/b", b"2", 0)]), "path too long: out/"),
        # the last entry cannot be a duplicate of a following one
        "dup-last": (m.archive([(b"/a", b"1", 0), (b"/b", b"1", 1)]), "damaged archive (duplicate without a matching file)"),
        "dup-size": (m.archive([(b"/a", b"1", 1), (b"/b", b"22", 0)]), "damaged archive (duplicate without a matching file)"),
        # no entries, yet a stored stream; entries larger than the stream
        "no-entries": (m.archive([], stored_total=5, blocks=[[97] * 5]), "damaged archive (stored stream larger than its files)"),
        "short-total": (m.archive([(b"/a", b"abcdef", 0), (b"/b", b"x", 0)], stored_total=3),
                        "damaged archive (files larger than the stored stream)"),
    }
    for name, (data, message) in cases.items():
        save(ctx, name, data)
        r = ctx.run("-force-overwrite", "d", name, "out", timeout=60)
        assert r.rc == 1 and message in r.body, (name, r)
        assert not os.path.exists(ctx.path("out")), name
        r = ctx.run("l", name, timeout=60)
        assert r.rc in (0, 1), (name, r)


def test_blocks_that_reach_outside_are_refused(ctx):
    cases = {
        # D = 2 in a ring that holds one entry: the slot is empty
        "part-ring": ([(b"/a", b"abaXXXX", 0)], [[97, 98, 97, (4, 2)]], "match refers to an empty history slot"),
        # a match longer than what is left of the chunk
        "past-chunk": ([(b"/a", b"aaaaaa", 0)], [[97, 97, (8, 1)]], "block runs past the end of the chunk"),
        # the blocks end before the chunk does: what follows are made-up zero bits
        "short-chunk": ([(b"/a", b"abcdef", 0)], [[97, 98, 99]], "damaged archive ("),
    }
    for name, (files, blocks, message) in cases.items():
        save(ctx, name, m.archive(files, blocks=blocks))
        r = ctx.run("-force-overwrite", "d", name, "out", timeout=60)
        assert r.rc == 1 and message in r.body, (name, r)
        assert not os.path.exists(ctx.path("out")), name


def test_unused_distance_table_is_harmless(ctx):
    # A literal-only block may carry a distance code it never uses; the data stays exact.
    counts = [0] * 60
    counts[3] = counts[40] = counts[59] = 1
    content = b"literals only, with a distance table"
    save(ctx, "u.qv5", m.archive([(b"/u", content, 0)], distance_counts=counts))
    r = ctx.run("d", "u.qv5", "out")
    assert r.rc == 0 and "INVALID" not in r.body and ctx.read("out") == content, r


def test_huge_count_backed_by_a_sparse_file(ctx):
    # 2^31 - 1 entries fit the file's size when it is a 40 GB hole of zeros: the table must
    # not be sized from the count (it would take about 120 GB), and the zero entries, without
    # names, are refused at the first one.
    save(ctx, "s.qv5", m.archive([(b"/a", b"", 0)], entry_count=(1 << 31) - 1))
    with open(ctx.path("s.qv5"), "r+b") as f:
        f.truncate(40 << 30)
    if os.environ.get("QV5_SANITIZER"):
        # A sanitizer's shadow memory needs far more address space than any limit that would
        # still catch the table: its allocator's own cap stands in for the limit.
        options = os.environ.get("ASAN_OPTIONS", "")
        r = ctx.run("d", "s.qv5", "out", timeout=60, env={"ASAN_OPTIONS": options + ":max_allocation_size_mb=8192"})
    else:
        r = ctx.run("d", "s.qv5", "out", timeout=60, preexec=None if ctx.wine else _memory_limit)
    assert r.rc == 1 and "Error: damaged archive (stored name without a leading separator)\n" in r.body, r
    assert not os.path.exists(ctx.path("out"))


def _memory_limit():
    # Far below the 120 GB the entry table would take, far above what extraction needs.
    import resource
    resource.setrlimit(resource.RLIMIT_AS, (8 << 30, 8 << 30))


# ---- Links, odd entries and odd names in the output folder ------------------------------


def two_files():
    return m.archive([(b"/docs/x", b"new x", 0), (b"/a.txt", b"new a", 0)])


@only("linux")
def test_output_paths_never_lead_through_links(ctx):
    elsewhere = ctx.path("bin", "elsewhere")  # bin/ is outside everything()
    os.makedirs(elsewhere)
    save(ctx, "s.qv5", two_files())
    os.makedirs(ctx.path("out"))
    os.symlink(elsewhere, ctx.path("out", "docs"))
    r = ctx.run("-force-overwrite", "d", "s.qv5", "out")
    assert r.rc == 1 and "Error: output path out/docs/x leads through a link\n" in r.body, r
    assert os.listdir(elsewhere) == [] and not os.path.exists(ctx.path("out", "a.txt"))  # nothing written
    # The self-extracting copy forms its paths from the stored names too.
    os.symlink(elsewhere, ctx.path("docs"))
    r = extract_here(ctx, two_files())
    assert r.rc == 1 and "Error: output path .//docs/x leads through a link\n" in r.body, r
    assert os.listdir(elsewhere) == [] and not os.path.exists(ctx.path("a.txt"))
    # The output prefix is the user's own: it may be a link.
    os.makedirs(ctx.path("real"))
    os.symlink("real", ctx.path("linked"))
    r = ctx.run("d", "s.qv5", "linked")
    assert r.rc == 0 and ctx.read("real/docs/x") == b"new x" and ctx.read("real/a.txt") == b"new a", r


@only("linux")
def test_links_and_special_files_at_output_names_are_replaced_not_followed(ctx):
    target = ctx.path("bin", "target")
    os.makedirs(ctx.path("bin"))
    with open(target, "wb") as f:
        f.write(b"precious")
    save(ctx, "s.qv5", two_files())

    def fresh_out(kind):
        shutil.rmtree(ctx.path("out"), ignore_errors=True)
        os.makedirs(ctx.path("out"))
        at = ctx.path("out", "a.txt")
        if kind == "link":
            os.symlink(target, at)
        elif kind == "dangling":
            os.symlink(ctx.path("bin", "nowhere"), at)
        elif kind == "fifo":
            os.mkfifo(at)
        return at

    prompt = "Error: Output file out/a.txt already exists. Press Y to overwrite it, A to overwrite all"
    for kind in ("link", "dangling", "fifo"):
        # Anything standing at the name counts as existing: the prompt, and N leaves it.
        at = fresh_out(kind)
        r = ctx.run("d", "s.qv5", "out", stdin=b"n\n", timeout=20)
        assert r.rc == 1 and prompt in r.body, (kind, r)
        assert os.path.lexists(at) and not os.path.exists(ctx.path("bin", "nowhere")), kind
        # Allowed to overwrite, the entry itself is replaced by a new regular file.
        for allow in (dict(args=("-force-overwrite",)), dict(args=(), stdin=b"y\n")):
            at = fresh_out(kind)
            r = ctx.run(*allow["args"], "d", "s.qv5", "out", stdin=allow.get("stdin", b""), timeout=20)
            assert r.rc == 0 and "INVALID" not in r.body, (kind, r)
            assert not os.path.islink(at) and ctx.read("out/a.txt") == b"new a", kind
    assert open(target, "rb").read() == b"precious"
    assert not os.path.exists(ctx.path("bin", "nowhere"))

    # Duplicate copies follow the same rules.
    save(ctx, "dup.qv5", m.archive([(b"/a.txt", b"same", 1), (b"/b.txt", b"same", 0)]))
    shutil.rmtree(ctx.path("out"))
    os.makedirs(ctx.path("out"))
    os.symlink(target, ctx.path("out", "b.txt"))
    r = ctx.run("-force-overwrite", "d", "dup.qv5", "out")
    assert r.rc == 0 and ctx.read("out/b.txt") == b"same" and not os.path.islink(ctx.path("out", "b.txt")), r
    assert open(target, "rb").read() == b"precious"

    # A folder at an output name stays the error it was; no prompt.
    shutil.rmtree(ctx.path("out"))
    os.makedirs(ctx.path("out", "a.txt"))
    r = ctx.run("d", "s.qv5", "out")
    assert r.rc == 1 and "\nError opening output file out/a.txt\n" in r.body and "Press Y" not in r.body, r

    # The path typed for a one-file archive is used as given: a link there is written through.
    save(ctx, "one.qv5", m.archive([(b"/one", b"through", 0)]))
    os.symlink(target, ctx.path("typed"))
    r = ctx.run("-force-overwrite", "d", "one.qv5", "typed")
    assert r.rc == 0 and open(target, "rb").read() == b"through" and os.path.islink(ctx.path("typed")), r


def test_only_whole_parent_components_are_refused(ctx):
    # ".." inside a longer component is an ordinary name.
    files = [(b"/to be continued../p2.txt", b"part two", 0), (b"/a..b", b"ab", 0), (b"/..x/y..", b"xy", 0)]
    save(ctx, "p.qv5", m.archive(files))
    r = ctx.run("d", "p.qv5", "out")
    if ctx.wine:
        # Trailing dots are the file system's business there (Wine does not drop them from
        # folders as Windows does); the name must not be refused.
        assert "contains ../" not in r.body, r
        files = [(b"/to be..continued/p2.txt", b"part two", 0), (b"/a..b", b"ab", 0)]
        save(ctx, "p.qv5", m.archive(files))
        shutil.rmtree(ctx.path("out"), ignore_errors=True)
        r = ctx.run("d", "p.qv5", "out")
    assert r.rc == 0 and "INVALID" not in r.body, r
    if not ctx.wine:
        assert ctx.read("out/to be continued../p2.txt") == b"part two" and ctx.read("out/..x/y..") == b"xy"
    assert ctx.read("out/a..b") == b"ab"
    # Windows drops a component's trailing dots and spaces: made of dots and spaces alone, with
    # two dots or more, it climbs like "..". On Linux such a name is an ordinary one.
    for name in (b"/.../x", b"/. ./x", b"/.. /x", b"\\a\\ ..\\x"):
        save(ctx, "w.qv5", m.archive([(b"/ok", b"1", 0), (name, b"2", 0)]))
        shutil.rmtree(ctx.path("out"), ignore_errors=True)
        r = ctx.run("d", "w.qv5", "out")
        if ctx.wine:
            assert r.rc == 1 and f"Error: output filename contains ../ ({name.decode()})\n" in r.body, (name, r)
            assert not os.path.exists(ctx.path("out")), name
        else:
            assert r.rc == 0 and "INVALID" not in r.body, (name, r)


def test_device_names_are_refused_on_windows(ctx):
    names = [b"/CON", b"/docs/nul.txt", b"\\com1.log", b"/LpT9", b"/aux .txt", b"/sub/Prn.tar.gz"]
    for name in names:
        save(ctx, "v.qv5", m.archive([(b"/ok", b"1", 0), (name, b"2", 0)]))
        shutil.rmtree(ctx.path("out"), ignore_errors=True)
        r = ctx.run("d", "v.qv5", "out")
        if ctx.wine:
            assert r.rc == 1 and f"Error: output filename names a device ({name.decode()})\n" in r.body, (name, r)
            assert not os.path.exists(ctx.path("out")), name
        else:
            assert r.rc == 0 and "INVALID" not in r.body, (name, r)
    # Names that only begin like a device are ordinary everywhere.
    save(ctx, "o.qv5", m.archive([(b"/console", b"1", 0), (b"/com10", b"2", 0), (b"/nul-x.txt", b"3", 0)]))
    r = ctx.run("d", "o.qv5", "fine")
    assert r.rc == 0 and ctx.read("fine/com10") == b"2", r


@only("windows")
def test_windows_spellings_of_one_name_are_one_name(ctx):
    """Windows takes COM and LPT with a superscript digit as devices, and names that differ
    in case or by trailing dots and spaces as one: an archive may not hold both spellings,
    nor put a file below a link spelled another way; c does not store both."""
    for name in ("/COM\u00b9", "/docs/lpt\u00b2.txt", "/Com\u00b3.log"):
        save(ctx, "v.qv5", m.archive([(b"/ok", b"1", 0), (name.encode(), b"2", 0)]))
        r = ctx.run("d", "v.qv5", "dev")
        assert r.rc == 1 and "Error: output filename names a device (" in r.body, (name, r)
        assert not os.path.exists(ctx.path("dev")), name
    clashes = {"link beside a file": m.meta_archive([(b"/A.txt", b"file", 0)], links=[(b"/a.txt", b"x", 0, 0o777, 0)]),
               "trailing dot": m.meta_archive([(b"/doc", b"file", 0)], folders=[(b"/DOC.", 0, 0o755)]),
               "below a link": m.meta_archive([(b"/Dir/f.txt", b"file", 0)], links=[(b"/dir", b"elsewhere", 0, 0o777, 1)])}
    for what, data in clashes.items():
        save(ctx, "c.qv5", data)
        r = ctx.run("d", "c.qv5", "out")
        assert r.rc == 1 and "Error: damaged archive (" in r.body, (what, r)
        assert not os.path.exists(ctx.path("out")), what
    ctx.write("p/a.txt", "one")
    ctx.write("q/A.txt", "two")
    r = ctx.run("c", "x.qv5", "p/a.txt", "q/A.txt")
    assert r.rc == 1 and "Error: \\A.txt is already in the archive\n" in r.body, r
    # A wildcard that matches nothing is silent, as on Linux.
    r = ctx.run("-force-overwrite", "c", "x.qv5", "p", "nomatch*.zz", "p/x*")
    assert r.rc == 0 and "Warning" not in r.out, r


def test_control_characters_in_names_are_shown_escaped(ctx):
    name = b"/e\x1b]0;owned\x07\x1b[2J\rx\x7f\x01"
    shown = "/e\\x1B]0;owned\\x07\\x1B[2J\\x0Dx\\x7F\\x01"
    save(ctx, "c.qv5", m.archive([(name, b"payload", 0), (b"/plain", b"p", 0)]))
    r = ctx.run("l", "c.qv5")
    assert r.rc == 0 and f"[1]: {shown}, 7 B, CRC32: " in r.body, r
    r = ctx.run("d", "c.qv5", "out")
    # Linux writes the file under its real name; Windows refuses such a name.
    assert (f"Wrote {shown}, validating" in r.body) if r.rc == 0 else (f"out{shown}" in r.body), r
    for result in (ctx.run("l", "c.qv5"), r):
        assert not any(c in result.out for c in "\x1b\x07\x7f\x01"), result
        assert result.out.count("\r") == result.out.count("\rProcessing "), result  # progress lines only
    # C1 control characters and the controls that make text read backwards show as \u escapes.
    name = "/x\u009b31m-\u202egpj.exe".encode()
    shown = "/x\\u009B31m-\\u202Egpj.exe"
    save(ctx, "u.qv5", m.archive([(name, b"u", 0), (b"/plain", b"p", 0)]))
    for r in (ctx.run("l", "u.qv5"), ctx.run("d", "u.qv5", "out-u")):
        assert shown in r.body and r.rc == 0, r
        assert "\xc2\x9b" not in r.out and "\xe2\x80\xae" not in r.out, r  # the raw UTF-8 bytes


# ---- Hostile trees and failed runs -------------------------------------------------------


def run_with_prompt(ctx, args, at_prompt, answer=b"y\n"):
    """Runs the program until it asks its first question, calls at_prompt(), then answers."""
    command = (["wine", ctx.binary] if ctx.wine else [ctx.binary]) + list(args)
    env = dict(os.environ, WINEDEBUG="-all")
    proc = subprocess.Popen(command, cwd=ctx.work, stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env)
    out = b""
    while b"Press Y" not in out:
        chunk = proc.stdout.read1(4096)
        assert chunk, out
        out += chunk
    at_prompt()
    rest, _ = proc.communicate(answer, timeout=120)
    return proc.returncode, (out + rest).decode("latin-1").replace("\r\n", "\n")


def leftovers(ctx):
    return [name for name in os.listdir(ctx.work) if ".tmp-" in name]


def test_a_file_changed_after_hashing_is_stored_as_read(ctx):
    ctx.write("in/a.txt", "first version\n" * 500)
    ctx.write("in/b.txt", "other\n")
    ctx.write("in/c.txt", "goes away\n")
    old = b"the archive that was here"
    # While the program asks whether to replace the old archive, after every file was hashed:
    # a file grows, or is rewritten in place with its size unchanged (only its checksum can
    # tell), or goes. The archive is written all the same and takes the old one's place; it
    # holds the file as read, or leaves it out, and says so.
    path = ctx.path("in", "a.txt").replace("/", "\\") if ctx.wine else ctx.path("in", "a.txt")
    changes = {"grows": lambda: open(ctx.path("in/a.txt"), "ab").write(b"more"),
               "rewritten": lambda: open(ctx.path("in/a.txt"), "r+b").write(b"F"),
               "goes": lambda: os.remove(ctx.path("in/c.txt"))}
    for name, change in changes.items():
        ctx.write("x.qv5", old)
        rc, out = run_with_prompt(ctx, ["c", "x.qv5", "in"], change)
        out = out.replace("Z:" + path, path)
        if name == "goes":
            assert rc == 1 and "\nWarning: " in out and "c.txt: " in out, (name, out)
        else:
            assert rc == 1 and f"\nWarning: {path}: changed while being read; stored as read\n" in out, (name, out)
        assert ctx.read("x.qv5")[:4] == b"QV5x" and leftovers(ctx) == [], name
        r = ctx.run("d", "x.qv5", name)
        assert r.rc == 0 and ctx.read(f"{name}/in/a.txt") == ctx.read("in/a.txt") and "INVALID" not in r.body, r
        assert ctx.read(f"{name}/in/b.txt") == b"other\n"
        assert os.path.exists(ctx.path(f"{name}/in/c.txt")) == (name != "goes"), name


@only("linux")
def test_archive_paths_that_are_links_or_private_files(ctx):
    ctx.write("in/a.txt", "data\n")
    os.makedirs(ctx.path("bin"))
    real = ctx.path("bin", "real.qv5")
    with open(real, "wb") as f:
        f.write(b"old")
    os.chmod(real, 0o600)
    os.symlink(real, ctx.path("link.qv5"))
    r = ctx.run("-force-overwrite", "c", "link.qv5", "in")
    # The link stays; its target is replaced and keeps its permissions.
    assert r.rc == 0 and os.path.islink(ctx.path("link.qv5")), r
    assert open(real, "rb").read(4) == b"QV5x" and (os.stat(real).st_mode & 0o777) == 0o600
    assert not [n for n in os.listdir(ctx.path("bin")) if ".tmp-" in n] and leftovers(ctx) == []
    # Something that is not a regular file is written directly, as before.
    r = ctx.run("-force-overwrite", "c", "/dev/null", "in")
    assert r.rc == 0 and leftovers(ctx) == [], r


@only("linux")
@needs_root
def test_links_planted_in_a_shared_folder_are_not_followed(ctx):
    """A link another user made in a sticky folder anyone may write (/tmp) is not followed by
    c or r, whatever the system's own rule is set to; one of the user's own is. r never
    replaces a FIFO or a device with its file."""
    ctx.write("src/a.txt", "data\n")
    os.makedirs(ctx.path("private"), mode=0o700)
    secret = ctx.path("private", "secret.qv5")
    save(ctx, "private/secret.qv5", b"root's own")
    os.chmod(secret, 0o600)
    os.makedirs(ctx.path("shared"))
    os.chmod(ctx.path("shared"), 0o1777)
    os.symlink(secret, ctx.path("shared", "planted.qv5"))
    os.lchown(ctx.path("shared", "planted.qv5"), 65534, 65534)
    for args in (["-force-overwrite", "c", "shared/planted.qv5", "src"],
                 ["-force-overwrite", "-protect=10", "c", "shared/planted.qv5", "src"]):
        r = ctx.run(*args)
        assert r.rc == 1 and "Error opening output file shared/planted.qv5\n" in r.body, r
        assert "a link another user made in a shared folder is not followed" in r.err, r
        assert ctx.read("private/secret.qv5") == b"root's own"
    assert ctx.run("-protect=10", "c", "p.qv5", "src").rc == 0
    r = ctx.run("-force-overwrite", "r", "p.qv5", "shared/planted.qv5")
    assert r.rc == 1 and "a link another user made in a shared folder is not followed" in r.err, r
    assert ctx.read("private/secret.qv5") == b"root's own"
    # The user's own link there is followed: the file it leads to is replaced.
    os.symlink(secret, ctx.path("shared", "mine.qv5"))
    r = ctx.run("-force-overwrite", "c", "shared/mine.qv5", "src")
    assert r.rc == 0 and ctx.read("private/secret.qv5")[:4] == b"QV5x", r
    assert os.path.islink(ctx.path("shared", "mine.qv5"))
    r = ctx.run("-force-overwrite", "r", "p.qv5", "shared/mine.qv5")
    assert r.rc == 0 and ctx.read("private/secret.qv5") == ctx.read("p.qv5"), r
    # A FIFO as r's output stays a FIFO.
    os.mkfifo(ctx.path("pipe"))
    r = ctx.run("-force-overwrite", "r", "p.qv5", "pipe")
    assert r.rc == 1 and "Error: the output pipe is not a regular file; r writes a new file\n" in r.body, r
    assert os.path.exists(ctx.path("pipe")) and not os.path.isfile(ctx.path("pipe"))


@only("linux")
def test_names_with_backslashes_stop_compression(ctx):
    # A legal Linux name that, read through a translated path, would be another file.
    ctx.write("victim/id_rsa", "SECRET")
    ctx.write("sub/..\\..\\victim\\id_rsa", "decoy")
    ctx.write("x.qv5", "keep")
    r = ctx.run("-force-overwrite", "c", "x.qv5", "sub")
    assert r.rc == 1 and r.body.endswith(
        f"Finding files...\nError: file name contains a backslash: {ctx.path('sub')}/..\\..\\victim\\id_rsa\n"), r
    assert ctx.read("x.qv5") == b"keep"
    os.remove(ctx.path("sub/..\\..\\victim\\id_rsa"))
    os.makedirs(ctx.path("sub", "a\\b"))
    r = ctx.run("c", "y.qv5", "sub")
    assert r.rc == 1 and "Error: file name contains a backslash: " in r.body and not os.path.exists(ctx.path("y.qv5"))


@only("linux")
def test_folders_reached_again_through_links_are_walked_once(ctx):
    # Two links per level to the next level, ten levels: once each, not 1,024 times.
    for k in range(11):
        ctx.write(f"fan/L{k}/f{k}", str(k))
        if k:
            os.symlink(f"../L{k}", ctx.path(f"fan/L{k - 1}/a"))
            os.symlink(f"../L{k}", ctx.path(f"fan/L{k - 1}/b"))
    r = ctx.run("c", "fan.qv5", "fan", timeout=60)
    assert r.rc == 0 and sorted(listed(r)) == sorted(f"/fan/L{k}/f{k}" for k in range(11)), r
    # A link beside its target: the files keep their real path. A folder outside the tree
    # reached by two links: stored once, under the first link met.
    ctx.write("tree/v2/app", "v2")
    os.symlink("v2", ctx.path("tree/latest"))
    ctx.write("outside/shared", "s")
    os.symlink("../outside", ctx.path("tree/one"))
    os.symlink("../outside", ctx.path("tree/two"))
    r = ctx.run("c", "tree.qv5", "tree")
    assert r.rc == 0 and listed(r) == ["/tree/one/shared", "/tree/v2/app"], r


def listed(result):
    return [line[3:] for line in result.body.split("\n") if line.startswith("-> ")]


@only("linux")
def test_running_out_of_memory_is_reported_and_cleaned_up(ctx):
    if os.environ.get("QV5_SANITIZER"):
        return  # the sanitizer's shadow memory does not fit any useful limit
    import random
    rng = random.Random(5)
    ctx.write("in/big.bin", bytes(rng.getrandbits(8) for _ in range(1 << 16)) * 300)  # two chunks
    ctx.write("in/small.txt", "small")
    old = b"the archive that was here"
    outcomes = set()
    for megabytes in (24, 64, 160, 240, 320, 1024):
        ctx.write("x.qv5", old)
        limit = megabytes << 20
        r = ctx.run("-force-overwrite", "-t2", "c", "x.qv5", "in", timeout=120,
                    preexec=lambda: resource.setrlimit(resource.RLIMIT_AS, (limit, limit)))
        assert r.rc in (0, 1) and leftovers(ctx) == [], (megabytes, r)
        if r.rc == 1:
            assert r.out.endswith("Error: out of memory\n") and ctx.read("x.qv5") == old, (megabytes, r)
        outcomes.add(r.rc)
    assert outcomes == {0, 1}, outcomes
    outcomes = set()
    for megabytes in (24, 48, 64, 1024):
        limit = megabytes << 20
        shutil.rmtree(ctx.path("out"), ignore_errors=True)
        r = ctx.run("-t2", "d", "x.qv5", "out", timeout=120,
                    preexec=lambda: resource.setrlimit(resource.RLIMIT_AS, (limit, limit)))
        assert r.rc in (0, 1) and (r.rc == 0 or r.out.endswith("Error: out of memory\n")), (megabytes, r)
        outcomes.add(r.rc)
    assert outcomes == {0, 1}, outcomes


def test_a_zeroed_header_is_damage_not_an_empty_archive(ctx):
    ctx.write("in/a.txt", "alpha " * 1000)
    ctx.write("in/b.txt", "bravo")
    assert ctx.run("c", "x.qv5", "in").rc == 0
    data = ctx.read("x.qv5")
    save(ctx, "z.qv5", bytes(32) + data[32:])  # read as the older header form: no entries
    for args in (("l", "z.qv5"), ("t", "z.qv5"), ("d", "z.qv5", "out")):
        r = ctx.run(*args)
        assert r.rc == 1 and "Error: damaged archive (data after an empty archive)\n" in r.body, (args, r)
    # A real empty archive is still one.
    save(ctx, "empty.qv5", m.archive([]))
    r = ctx.run("l", "empty.qv5")
    assert r.rc == 0 and r.body.endswith("0 files\n"), r


@only("linux")
def test_a_fifo_as_archive_path_carries_the_whole_archive(ctx):
    # Written directly like any path that is not a regular file: what a reader of the FIFO
    # takes is the complete archive, with and without -meta (whose header cannot be patched
    # there afterwards).
    import threading
    ctx.write("in/a.txt", "data\n" * 1000)
    ctx.write("in/b.txt", "other\n")
    for flags in ((), ("-meta",)):
        fifo = ctx.path("pipe.qv5")
        if os.path.exists(fifo):
            os.remove(fifo)
        os.mkfifo(fifo)
        taken = []
        reader = threading.Thread(target=lambda: taken.append(open(fifo, "rb").read()))
        reader.start()
        r = ctx.run(*flags, "-force-overwrite", "c", fifo, "in", timeout=60)
        reader.join(60)
        assert r.rc == 0, (flags, r)
        out = "out" + "".join(flags)
        read = ctx.run("d", "-", out, stdin=taken[0])
        assert read.rc == 0 and ctx.read(out + "/in/a.txt") == b"data\n" * 1000, (flags, read)


def _held(path):
    """The planted file as its planter keeps it: open and mapped for writing."""
    import mmap
    fd = os.open(path, os.O_RDWR)
    return fd, mmap.mmap(fd, os.fstat(fd).st_size, mmap.MAP_SHARED)


def _sees_nothing_new(fd, mapping, old, owner):
    st = os.fstat(fd)
    assert mapping[:] == old and os.pread(fd, 4096, 0) == old
    assert st.st_uid == owner and st.st_mode & 0o7777 == 0o666, oct(st.st_mode)


@only("linux")
@needs_root
def test_overwriting_makes_a_new_file_that_no_holder_of_the_old_one_sees(ctx):
    """A file planted at an output path by someone who keeps it open and mapped: the output
    replaces it, so that neither the new bytes nor the owner and set-ID mode set on them
    reach the planter; as root, as a user, and for a one-entry archive's typed output."""
    old = b"planted, kept open and mapped by its maker" * 4
    ctx.write("in/prog", b"#!/bin/sh\necho restored\n")
    os.chmod(ctx.path("in/prog"), 0o4755)
    assert ctx.run("-meta", "c", "m.qv5", "in").rc == 0
    os.makedirs(ctx.path("out/in"))

    def plant(path, owner):
        save(ctx, os.path.relpath(path, ctx.work), old)
        os.chown(path, owner, owner)
        os.chmod(path, 0o666)
        return _held(path)

    planted = ctx.path("out/in/prog")
    fd, mapping = plant(planted, 65534)
    r = ctx.run("-force-overwrite", "d", "m.qv5", "out")
    assert r.rc == 0, r
    _sees_nothing_new(fd, mapping, old, 65534)
    st = os.lstat(planted)
    assert ctx.read("out/in/prog") == ctx.read("in/prog") and st.st_uid == 0 and st.st_mode & 0o7777 == 0o4755
    assert not [n for n in os.listdir(ctx.path("out/in")) if n.startswith(".qv5-")]

    # A user overwriting a file another user planted in a folder both may write.
    ctx.write("one/secret.txt", b"the user's own secret\n")
    ctx.write("one/other.txt", b"a second file: the archive is a tree\n")
    assert ctx.run("c", "one.qv5", "one/secret.txt").rc == 0
    assert ctx.run("c", "two.qv5", "one").rc == 0
    os.chmod(ctx.work, 0o777)
    for name in ("one.qv5", "two.qv5"):
        os.chmod(ctx.path(name), 0o644)
    os.makedirs(ctx.path("shared/one"))
    os.chmod(ctx.path("shared"), 0o777)
    os.chmod(ctx.path("shared/one"), 0o777)

    def as_nobody():
        os.setgid(65534)
        os.setuid(65534)
        os.umask(0o077)
    for args, target in ((["d", "two.qv5", "shared"], "shared/one/secret.txt"),
                         (["d", "one.qv5", "shared/typed.txt"], "shared/typed.txt")):
        fd2, mapping2 = plant(ctx.path(target), 1)
        r = ctx.run("-force-overwrite", *args, preexec=as_nobody)
        assert r.rc == 0, r
        _sees_nothing_new(fd2, mapping2, old, 1)
        st = os.lstat(ctx.path(target))
        assert ctx.read(target) == b"the user's own secret\n" and st.st_uid == 65534, st
        assert st.st_mode & 0o077 == 0, oct(st.st_mode)

    # A file of the user's own keeps its permissions when replaced by a plain archive.
    ctx.write("mine/one/secret.txt", b"x")
    os.chmod(ctx.path("mine/one/secret.txt"), 0o640)
    assert ctx.run("-force-overwrite", "d", "two.qv5", "mine").rc == 0
    assert os.lstat(ctx.path("mine/one/secret.txt")).st_mode & 0o777 == 0o640
