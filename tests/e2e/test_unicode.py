"""Names beyond ASCII and long paths: every name and byte intact on each build and between
them, names that older archives stored in a code page, and names differing in case only."""
import os

import archive_maker
from harness import needs_peer

# Greek, CJK, emoji outside the BMP (surrogate pairs in UTF-16), a combining accent beside its
# precomposed twin (two names: neither build normalises), and a space.
NAMES = [
    "Ωmega.txt",
    "Αλφάβητο/βήτα γάμμα.txt",
    "日本語/ファイル.txt",
    "中文.bin",
    "emoji 😀🎉/🦀.txt",
    "cafe\u0301.txt",
    "caf\u00e9.txt",
]
# A path of more than 259 characters below the test folder: the reach of the plain Windows
# calls, well within the 1023 bytes of UTF-8 both builds take.
LONG = "/".join(["a" * 60, "β" * 60, "c" * 60, "日" * 40, "e" * 30, "long 😀 file.txt"])


def shown(text):
    """UTF-8 text as the harness holds the program's output."""
    return text.encode().decode("latin-1")


def unicode_tree(ctx, folder="in"):
    for i, name in enumerate(NAMES + [LONG]):
        ctx.write(f"{folder}/{name}", f"{i}: {name}\n" * (i * 50 + 1))
    assert len(ctx.path(folder, LONG)) > 259


def tree_under(root):
    """Every file below root by its relative path in bytes: the names exactly as on disk."""
    found = {}
    for folder, _, names in os.walk(os.fsencode(root)):
        for name in names:
            path = os.path.join(folder, name)
            with open(path, "rb") as f:
                found[os.path.relpath(path, os.fsencode(root))] = f.read()
    return found


def test_names_and_long_paths_round_trip(ctx):
    unicode_tree(ctx)
    # Arguments beyond ASCII too: the archive, the output folder and a pattern.
    r = ctx.run("c", "αρχείο 日本.qv5", "in")
    assert r.rc == 0, r
    for name in NAMES + [LONG]:
        assert shown(f"-> {ctx.native('/in/' + name)}\n") in r.body, (name, r)
    r = ctx.run("l", "αρχείο 日本.qv5")
    assert r.rc == 0 and r.body.endswith(f"{len(NAMES) + 1} files\n"), r
    for name in NAMES + [LONG]:
        assert shown(f": {ctx.native('/in/' + name)}, ") in r.body, (name, r)
    r = ctx.run("d", "αρχείο 日本.qv5", "出力")
    assert r.rc == 0 and "INVALID" not in r.body, r
    assert shown(f"Wrote {ctx.native('/in/' + LONG)}, validating") in r.body, r
    assert tree_under(ctx.path("出力", "in")) == tree_under(ctx.path("in"))
    r = ctx.run("d", "αρχείο 日本.qv5", "part", "in/日本語", "*/?.txt")
    assert r.rc == 0, r
    assert set(tree_under(ctx.path("part", "in"))) == {os.fsencode(n) for n in ("日本語/ファイル.txt", "emoji 😀🎉/🦀.txt")}
    # An input named directly, and one left out by name.
    r = ctx.run("-exclude=中文.bin", "c", "some.qv5", "in/Ωmega.txt", "in/日本語", "in/中文.bin")
    assert r.rc == 0 and r.body.count("\n-> ") == 2 and shown(f"-> {ctx.native('/Ωmega.txt')}\n") in r.body, r
    # '?' stands for one character: the precomposed é, not e and its combining accent.
    r = ctx.run("c", "one.qv5", "in/caf?.txt")
    assert r.rc == 0 and r.body.count("\n-> ") == 1 and shown(f"-> {ctx.native('/café.txt')}\n") in r.body, r


@needs_peer
def test_names_cross_between_builds(ctx):
    unicode_tree(ctx)
    for maker, reader in ((ctx.run, ctx.run_peer), (ctx.run_peer, ctx.run)):
        r = maker("-force-overwrite", "c", "x.qv5", "in")
        assert r.rc == 0, r
        r = reader("l", "x.qv5")
        assert r.rc == 0, r
        for name in NAMES + [LONG]:
            assert shown(name.split("/")[-1] + ", ") in r.body, (name, r)
        r = reader("-force-overwrite", "d", "x.qv5", "out")
        assert r.rc == 0 and "INVALID" not in r.body, r
        assert tree_under(ctx.path("out", "in")) == tree_under(ctx.path("in"))


def test_code_page_names_of_older_archives(ctx):
    # Older Windows programs stored names in the system's code page: 0xE9 is e acute in code
    # page 1252. Windows reads such a name in its ANSI code page; Linux uses the bytes as
    # they are, as it always did.
    files = [(b"/caf\xe9.txt", b"one", False), (b"/d\xe9j\xe0/vu.txt", b"two", False), (b"/plain.txt", b"3", False)]
    with open(ctx.path("old.qv5"), "wb") as f:
        f.write(archive_maker.archive(files))
    r = ctx.run("l", "old.qv5")
    assert r.rc == 0, r
    r2 = ctx.run("d", "old.qv5", "out")
    assert r2.rc == 0 and "INVALID" not in r2.body, r2
    if ctx.wine:
        assert shown("[1]: /café.txt, 3 B") in r.body and shown("/déjà/vu.txt") in r.body, r
        assert shown("Wrote /café.txt, validating") in r2.body, r2
        expected = {"café.txt": b"one", "déjà/vu.txt": b"two", "plain.txt": b"3"}
    else:
        assert "[1]: /caf\xe9.txt, 3 B" in r.body, r
        expected = {b"caf\xe9.txt": b"one", b"d\xe9j\xe0/vu.txt": b"two", b"plain.txt": b"3"}
    assert tree_under(ctx.path("out")) == {os.fsencode(k) if isinstance(k, str) else k: v for k, v in expected.items()}


def test_names_differing_in_case_only(ctx):
    # On Windows /A.txt and /a.txt name one file: the second asks before it overwrites the
    # first, which then validates against the second's bytes, as any file written twice does.
    # On Linux they are two files.
    with open(ctx.path("case.qv5"), "wb") as f:
        f.write(archive_maker.archive([(b"/A.txt", b"upper", False), (b"/a.txt", b"lower", False)]))
    r = ctx.run("d", "case.qv5", "out", stdin=b"y\n")
    if ctx.wine:
        assert r.body.count("already exists") == 1 and "a.txt already exists" in r.body, r
        assert r.rc == 1 and r.body.endswith("Invalid checksums: 1\n"), r
        assert list(tree_under(ctx.path("out")).values()) == [b"lower"]
        r = ctx.run("d", "case.qv5", "declined", stdin=b"n\n")
        assert r.rc == 1 and "a.txt already exists" in r.body, r
        assert list(tree_under(ctx.path("declined")).values()) == [b"upper"]
    else:
        assert r.rc == 0 and "already exists" not in r.body, r
        assert tree_under(ctx.path("out")) == {b"A.txt": b"upper", b"a.txt": b"lower"}
