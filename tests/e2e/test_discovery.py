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
