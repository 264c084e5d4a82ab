"""Discovery of input files: stored names, folders, dot rules, wildcards, limits."""
import os

from harness import only


def listed(result):
    return [line[3:] for line in result.body.split("\n") if line.startswith("-> ")]


def names(ctx, *names):
    return [ctx.native(n) for n in names]


def tree(ctx):
    ctx.write("a.txt", "a")
    ctx.write("B.txt", "B")
    ctx.write("docs/b.txt", "b")
    ctx.write("docs/sub/c.txt", "c")
    ctx.write("docs/.cache/hidden.txt", "x")
    ctx.write("docs/.profile", "p")
    ctx.write("dir.txt/inner.bin", "i")


def test_single_file_and_folder(ctx):
    tree(ctx)
    r = ctx.run("c", "x.qv5", "a.txt")
    assert listed(r) == names(ctx, "/a.txt")
    assert "Found 1 file\n" in r.body
    r = ctx.run("c", "x.qv5", "docs")
    assert sorted(listed(r)) == sorted(names(ctx, "/docs/.profile", "/docs/b.txt", "/docs/sub/c.txt"))
    assert "Found 3 files\n" in r.body


def test_trailing_separators_mean_the_folder(ctx):
    tree(ctx)
    expected = sorted(names(ctx, "/docs/.profile", "/docs/b.txt", "/docs/sub/c.txt"))
    for argument in ("docs/", "docs\\", "docs//", "./docs/"):
        assert sorted(listed(ctx.run("c", "x.qv5", argument))) == expected, argument


def test_dot_folder_argument_yields_nothing(ctx):
    tree(ctx)
    r = ctx.run("c", "x.qv5", "docs/.cache")
    assert listed(r) == [] and "Found 0 files\nError: no input files\n" in r.body and r.rc == 1
    # ... and says why.
    assert "Warning: docs/.cache: a folder whose name begins with '.' is walked only with -dotfolders\n" in r.body


def test_wildcard_matches_files_and_expands_folders(ctx):
    tree(ctx)
    r = ctx.run("c", "x.qv5", "*.txt")
    got = listed(r)
    assert sorted(got) == sorted(names(ctx, "/B.txt", "/a.txt", "/dir.txt/inner.bin"))


def test_only_a_wildcard_matching_nothing_is_silent(ctx):
    tree(ctx)
    r = ctx.run("c", "x.qv5", "nope.txt", "a.txt", "z*")
    assert listed(r) == names(ctx, "/a.txt")
    # A name typed that is not there is said (status 1, the archive written); the wildcard is not.
    assert r.out.count("Warning: ") == 1 and "Warning: nope.txt: " in r.body and "z*" not in r.out, r
    assert r.rc == 1 and "Found 1 file\n" in r.body


def test_method_zero_orders_by_source_path_bytes(ctx):
    tree(ctx)
    r = ctx.run("c", "x.qv5", "a.txt", "docs", "B.txt")
    # Discovery order is argument order; the clash check and hashing see the sorted list.
    assert listed(r) == names(ctx, "/a.txt", "/docs/.profile", "/docs/b.txt", "/docs/sub/c.txt", "/B.txt")


def test_path_too_long_stops_before_the_archive(ctx):
    limit = 1023  # bytes of UTF-8 on both builds: the width of the name fields
    base_len = len(ctx.work) + (3 if ctx.wine else 0)  # Wine shows the folder as Z:\...
    folder = "d"
    need = limit - base_len - len(folder) - 2 + 5
    parts = []
    while need > 0:
        take = min(need, 200)
        parts.append("n" * take)
        need -= take
    rel = os.path.join(folder, *parts[:-1]) if len(parts) > 1 else folder
    os.makedirs(ctx.path(rel), exist_ok=True)
    ctx.write(os.path.join(rel, parts[-1]), "x")
    ctx.write("x.qv5", "keep")
    r = ctx.run("c", "x.qv5", folder)
    assert "Error: path too long: " in r.body and r.rc == 1, r
    assert ctx.read("x.qv5") == b"keep"


@only("linux")
def test_symbolic_link_cycles_are_not_followed(ctx):
    tree(ctx)
    os.symlink("..", ctx.path("docs/sub/up"))
    os.symlink("sub", ctx.path("docs/same"))
    os.symlink("missing", ctx.path("docs/dangling"))
    os.mkfifo(ctx.path("docs/fifo"))
    r = ctx.run("c", "x.qv5", "docs")
    got = listed(r)
    # docs/same leads to a folder the walk reaches anyway: its files keep their real path,
    # and nothing is said about it. What cannot be stored without -meta is said.
    assert sorted(got) == sorted(["/docs/.profile", "/docs/b.txt", "/docs/sub/c.txt"])
    assert [line for line in r.body.split("\n") if line.startswith("Warning: ")] == [
        "Warning: docs/dangling: a link that leads nowhere is stored only with -meta",
        "Warning: docs/fifo: a FIFO is stored only with -meta"], r
    assert r.rc == 1
    os.symlink("../a.txt", ctx.path("docs/file-link"))  # a link to a file is read as the file
    assert "/docs/file-link" in listed(ctx.run("c", "y.qv5", "docs"))


def test_a_wildcard_for_a_whole_folder_walks_it_once(ctx):
    # "docs/*" takes every entry of docs, as "docs" does: a link below that leads back to
    # docs stores nothing a second time, whichever way the folder was named.
    tree(ctx)
    os.symlink("..", ctx.path("docs/sub/up"))
    whole = sorted(name[len("/docs"):] for name in listed(ctx.run("c", "x.qv5", "docs")))
    for pattern in ("docs/*", "docs/*.*"):
        r = ctx.run("c", pattern.replace("/", "_").replace("*", "s") + ".qv5", pattern)
        assert sorted(listed(r)) == whole, (pattern, r)


def test_full_paths_keep_the_paths_as_typed(ctx):
    ctx.write("srv/app1/conf/x.conf", "one")
    ctx.write("srv/app2/conf/x.conf", "two")
    ctx.write("srv/app2/conf/sub/y.conf", "why")
    ctx.write("top.txt", "top")
    # Without the flag only the last component is stored, and the two folders clash.
    r = ctx.run("c", "x.qv5", "srv/app1/conf", "srv/app2/conf")
    assert r.rc == 1 and f"Error: {ctx.native('/conf/x.conf')} is already in the archive\n" in r.body, r
    r = ctx.run("-fullpaths", "c", "x.qv5", "srv/app1/conf", "./srv//app2/conf/", "top.txt")
    assert r.rc == 0 and sorted(listed(r)) == names(ctx, "/srv/app1/conf/x.conf", "/srv/app2/conf/sub/y.conf",
                                                    "/srv/app2/conf/x.conf", "/top.txt"), r
    # A wildcard keeps the folder it was typed in; "." is the folder itself; an absolute path
    # is stored without its root (and drive).
    r = ctx.run("c", "-fullpaths", "-force-overwrite", "w.qv5", "srv/app2/conf/*.conf")
    assert r.rc == 0 and listed(r) == names(ctx, "/srv/app2/conf/x.conf"), r
    r = ctx.run("-fullpaths", "-force-overwrite", "c", "dot.qv5", ".", cwd=ctx.path("srv", "app1"))
    assert r.rc == 0 and listed(r) == names(ctx, "/conf/x.conf"), r
    absolute = ctx.path("srv", "app2", "conf")
    if ctx.wine:
        absolute = "Z:" + absolute.replace("/", "\\")
    r = ctx.run("-fullpaths", "-force-overwrite", "c", "abs.qv5", absolute)
    stored = ctx.native(ctx.path("srv", "app2", "conf", "sub", "y.conf"))
    assert r.rc == 0 and stored in listed(r) and len(listed(r)) == 2, r
    # Restored below any folder, as tar restores a tree given from "/".
    r = ctx.run("d", "abs.qv5", "restored")
    assert r.rc == 0 and ctx.read("restored" + stored.replace("\\", "/")) == b"why", r
    r = ctx.run("d", "x.qv5", "out")
    assert r.rc == 0 and ctx.read("out/srv/app2/conf/sub/y.conf") == b"why" and ctx.read("out/top.txt") == b"top"
    # A ".." component would climb out of any output folder: refused before anything is written.
    for argument in ("../x/srv", "srv/app1/../app2", ".."):
        r = ctx.run("-fullpaths", "c", "up.qv5", argument, cwd=ctx.path("srv"))
        assert r.rc == 1 and r.body.endswith(f"Error: {argument}: a path with a .. component cannot be stored as "
                                             "typed (-fullpaths)\n"), r
        assert not os.path.exists(ctx.path("srv", "up.qv5"))
    # Exclusions see the stored path.
    r = ctx.run("-fullpaths", "-exclude=/srv/app2/conf/sub", "-force-overwrite", "c", "e.qv5", "srv/app2/conf")
    assert r.rc == 0 and listed(r) == names(ctx, "/srv/app2/conf/x.conf"), r
