"""Self-extracting archives: the marker slot, the copy's layout and the stub's run."""
import hashlib
import os
import re
import shutil
import stat

MARKER = (0x9B3E6A1D).to_bytes(4, "little")


def aligned_offsets(data, word):
    return [i for i in range(0, len(data) - 3, 4) if data[i:i + 4] == word]


def program_bytes(ctx):
    with open(ctx.binary, "rb") as f:
        return f.read()


def make_sfx(ctx):
    ctx.write("in/h.txt", "hello")
    ctx.write("in/d/w.txt", "world " * 1000)
    name = "x" + (".exe" if ctx.wine else ".sfx")
    r = ctx.run("-sfx", "c", name, "in")
    assert r.rc == 0, r
    return name, r


def test_marker_stands_once_at_an_aligned_offset(ctx):
    data = program_bytes(ctx)
    assert len(aligned_offsets(data, MARKER)) == 1
    # The marker's bytes stand nowhere else either, aligned or not.
    assert data.count(MARKER) == 1


def test_copy_layout_and_embedded_archive(ctx):
    before = hashlib.sha256(program_bytes(ctx)).hexdigest()
    name, r = make_sfx(ctx)
    program = program_bytes(ctx)
    slot = aligned_offsets(program, MARKER)[0]
    assert f"Create SFX exe: true\n" in r.body and f"SFX offset stored at 0x{slot:X}\n" in r.body, r
    copy = ctx.read(name)
    size = len(program)
    assert copy[:slot] == program[:slot] and copy[slot + 4:size] == program[slot + 4:]
    assert int.from_bytes(copy[slot:slot + 4], "little") == size
    assert copy[size:size + 4] == b"QV5x"
    with open(ctx.path("cut.qv5"), "wb") as f:
        f.write(copy[size:])
    r = ctx.run("l", "cut.qv5")
    assert r.rc == 0 and r.body.endswith("2 files\n"), r
    r = ctx.run("d", "cut.qv5", "out")
    assert r.rc == 0 and ctx.read(os.path.join("out", "in", "h.txt")) == b"hello"
    # The running program's own file is only read.
    assert hashlib.sha256(program_bytes(ctx)).hexdigest() == before
    if not ctx.wine:
        assert os.stat(ctx.path(name)).st_mode & stat.S_IXUSR
        assert ctx.run("c", "plain.qv5", "in").rc == 0
        assert not os.stat(ctx.path("plain.qv5")).st_mode & stat.S_IXUSR


def test_stub_extracts_into_the_current_folder(ctx):
    name, _ = make_sfx(ctx)
    os.makedirs(ctx.path("elsewhere"))
    exe = ctx.path(name)
    # Arguments that would otherwise be a command are ignored; closed input ends the pause.
    r = ctx.run("d", "x.qv5", "out", binary=exe, cwd=ctx.path("elsewhere"))
    assert r.rc == 0, r
    assert r.body.startswith("Self-extracting exe stub\nModel: 25,091 KB\n"), r
    assert ctx.read("elsewhere/in/h.txt") == b"hello" and ctx.read("elsewhere/in/d/w.txt") == b"world " * 1000
    assert not os.path.exists(ctx.path("elsewhere", "out"))
    if not ctx.wine:
        assert r.body.endswith("Press any key to continue . . . \n"), r
    # A second run finds the files: it asks, and 'a' overwrites all of them.
    ctx.write("elsewhere/in/h.txt", "changed")
    r = ctx.run(binary=exe, cwd=ctx.path("elsewhere"), stdin=b"a\n")
    assert r.rc == 0 and r.body.count("already exists") == 1, r
    assert ctx.read("elsewhere/in/h.txt") == b"hello"
    r = ctx.run(binary=exe, cwd=ctx.path("elsewhere"), stdin=b"\n")
    assert r.rc == 1 and "Press Y to overwrite it, A to overwrite all" in r.body


def test_stub_finds_itself_in_a_folder_with_a_non_ascii_or_long_path(ctx):
    name, _ = make_sfx(ctx)
    # The copy reads its own file by the name the system gives it: beyond ASCII, and beyond
    # 259 characters.
    for i, folder in enumerate([ctx.path("Ωmega 日本", "😀"), ctx.path("ü" * 100, "λ" * 100, "ß" * 80)]):
        os.makedirs(folder)
        exe = os.path.join(folder, name)
        shutil.copy(ctx.path(name), exe)
        out = ctx.path(f"out{i}")
        os.makedirs(out)
        r = ctx.run(binary=exe, cwd=out)
        assert r.rc == 0 and r.body.startswith("Self-extracting exe stub\n"), r
        assert ctx.read(f"out{i}/in/h.txt") == b"hello" and ctx.read(f"out{i}/in/d/w.txt") == b"world " * 1000
