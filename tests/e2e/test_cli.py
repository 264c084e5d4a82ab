"""Banner, flags, usage text and command selection."""
import re

USAGE_HEAD = "Usage:\nCompression: {0} [flags] c archive [input files/folders]\n"


def usage_shown(result):
    return "Usage:\n" in result.out and "-force-overwrite = Overwrite files without warning\n" in result.out


def test_banner_then_usage_without_arguments(ctx):
    r = ctx.run()
    assert r.rc == 1
    lines = r.out.split("\n")
    assert lines[0] == "QV5 - Solid multi-file archiver"
    assert lines[1] == "64-bit version, supports files >4 GB"
    assert all(lines[i] for i in (2, 3, 4)) and lines[5] == ""
    assert r.body.startswith("Usage:\nCompression: ")
    # The program name stands in all three places.
    assert r.body.count(" [flags] c archive") == 1 and r.body.count(" l archive\n") == 1
    assert "\nd = decompress\n" in r.body
    assert r.body.endswith("-sfx = Create self-extracting .exe\n-force-overwrite = Overwrite files without warning\n")


def test_flags_are_reported_and_clamped(ctx):
    r = ctx.run("-sfx")
    assert r.body.startswith("Create SFX exe: true\nUsage:")
    assert r.rc == 1
    r = ctx.run("-R1", "-r9", "-rx", "-r", "-r-1", "-FORCE-OVERWRITE", "-zz", "x")
    assert r.body.startswith("Re-order files method: 1\nRe-order files method: 2\nRe-order files method: 2\n"
                             "Re-order files method: 0\nRe-order files method: 0\nForce overwrite: true\n"
                             "Warning: unknown flag -zz ignored\nUsage:")
    assert r.rc == 1


def test_too_few_arguments_show_usage(ctx):
    ctx.write("a.txt", "a")
    for args in (["c", "x.qv5"], ["d", "x.qv5"], ["l"], ["x", "a", "b", "c"], [""]):
        r = ctx.run(*args)
        assert r.rc == 1 and usage_shown(r), (args, r)


def test_missing_archive_to_read(ctx):
    for word in ("l", "List", "d", "d2"):
        args = [word, "missing.qv5"] + (["out"] if word.startswith("d") else [])
        r = ctx.run(*args)
        assert r.body == "Error opening missing.qv5\n" and r.rc == 1, r


def test_flags_only_before_the_command_word(ctx):
    ctx.write("-sfx", "not a flag")
    r = ctx.run("compress", "x.qv5", "-sfx")
    assert "Create SFX exe" not in r.out
    assert f"-> {ctx.sep}-sfx\n" in r.body


def test_no_input_files_leaves_archive_untouched(ctx):
    ctx.write("x.qv5", "keep me")
    r = ctx.run("-force-overwrite", "c", "x.qv5", "nothing-here", "*.none")
    # The name typed is said to be missing; the wildcard that matches nothing is not.
    assert re.fullmatch("Force overwrite: true\nFinding files...\nWarning: nothing-here: [^\n]+\n"
                        "Found 0 files\nError: no input files\n", r.body), r
    assert r.rc == 1
    assert ctx.read("x.qv5") == b"keep me"


def test_stored_name_clash(ctx):
    ctx.write("a.txt", "a")
    ctx.write("x.qv5", "keep me")
    r = ctx.run("c", "x.qv5", "a.txt", "a.txt")
    assert f"Found 2 files\nScanning, ordering and hashing files...\nError: {ctx.sep}a.txt is already in the archive\n" in r.body
    assert r.rc == 1
    assert ctx.read("x.qv5") == b"keep me"


def test_a_file_name_that_is_a_folder_of_another_stored_name(ctx):
    """Two inputs whose stored names are a file and a path below a folder of that very name
    ("/x" and "/x/y") cannot both be extracted: refused like a name stored twice, before the
    archive is touched."""
    ctx.write("p/x", "a file named x")
    ctx.write("q/x/y", "a file in a folder named x")
    ctx.write("r/q", "a file named q")
    ctx.write("x.qv5", "keep me")
    for args in (("p/x", "q/x"), ("q/x", "p/x"), ("q", "q/x/y", "r/q")):
        r = ctx.run("-force-overwrite", "c", "x.qv5", *args)
        assert r.rc == 1 and "is already in the archive" in r.body, (args, r)
        assert ctx.read("x.qv5") == b"keep me", args


def test_empty_paths_name_nothing(ctx):
    # An empty input argument (an unset variable, say) is no name of the current folder: it
    # adds nothing and is said, like a missing file. An empty archive path is refused before
    # any input is read.
    ctx.write("here/a.txt", "a")
    ctx.write("here/x.qv5", "keep me")
    r = ctx.run("-force-overwrite", "c", "x.qv5", "", "a.txt", cwd=ctx.path("here"))
    assert r.rc == 1 and "Warning: : " in r.body, r
    listing = ctx.run("l", "here/x.qv5")
    assert listing.rc == 0 and re.findall(r"^\[\d+\]: ([^,]*),", listing.body, re.M) == [ctx.native("/a.txt")], listing
    r = ctx.run("c", "", "here")
    assert r.rc == 1 and "Finding files" not in r.body, r
