"""Fault-injection sweep (Linux). Runs small compress, extract, list, self-extracting and
recovery (c -protect, t, r) runs once to count their file I/O calls, then once per call with that call failing (and, for
writes, with every write from that call on failing, as on a full disk), plus real disk-full
runs under RLIMIT_FSIZE. Every run must end in one of three ways:
  - exit status 1 with an error message, no incomplete archive left behind; or
  - for c, exit status 1 with warnings naming the inputs that could not be read and an archive
    that holds every other input exactly; or
  - exit status 0 with exactly the right result (archive, extracted files or listing).
A signal, a sanitizer report, another status, a silent failure or a wrong result fails, and
so does a message of a failed call without the reason line of that call on standard error.

  python3 tests/faults/sweep.py --qv5 build/linux/src/cli/qv5 [-j 2] [-v]
"""
import argparse
import errno
import os
import random
import resource
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import zlib
from collections import Counter, defaultdict
from concurrent.futures import ThreadPoolExecutor

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
FAMILIES = ["fopen", "fread", "fwrite", "fclose", "fflush", "fgetc", "fseeko", "ftello", "rename",
            "open", "mkdirat", "fstatat", "unlinkat", "symlinkat", "futimens", "fchmod",
            "fchown", "fsetxattr", "mknodat", "linkat"]
OLD_ARCHIVE = b"the archive that stood here before; a failed run must leave it as it is\n"
SANITIZER_MARKS = ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:")
# The errno each family's injected failure sets (fault_inject.c): after a message about a
# failed system call, the reason line must give exactly that one, not a later call's.
INJECTED_ERRNO = {"fopen": errno.EMFILE, "fread": errno.EIO, "fwrite": errno.ENOSPC, "fclose": errno.ENOSPC,
                  "fflush": errno.ENOSPC, "fgetc": errno.EIO, "fseeko": errno.EIO, "ftello": errno.EIO,
                  "rename": errno.EXDEV, "open": errno.EACCES, "mkdirat": errno.ENOSPC, "fstatat": errno.EIO,
                  "unlinkat": errno.EACCES, "symlinkat": errno.ENOSPC, "futimens": errno.EPERM,
                  "fchmod": errno.EPERM, "fchown": errno.EPERM, "fsetxattr": errno.ENOTSUP,
                  "mknodat": errno.EPERM, "linkat": errno.EMLINK}
SYSTEM_CALL_MESSAGES = ("Error opening", "Error reading", "Error writing", "Could not")


def build_library(build_dir):
    source = os.path.join(HERE, "fault_inject.c")
    library = os.path.join(build_dir, "libqv5faults.so")
    if not os.path.exists(library) or os.path.getmtime(library) < os.path.getmtime(source):
        os.makedirs(build_dir, exist_ok=True)
        subprocess.run(["cc", "-std=c11", "-O2", "-Wall", "-Wextra", "-Werror", "-shared", "-fPIC",
                        "-o", library, source, "-ldl"], check=True)
    return library


def files_under(root):
    """The contents of the regular files below root (links to files read through)."""
    found = {}
    for folder, _, names in os.walk(root):
        for name in names:
            path = os.path.join(folder, name)
            if not os.path.isfile(path):
                continue  # a FIFO: opening it would wait for a writer
            with open(path, "rb") as f:
                found[os.path.relpath(path, root)] = f.read()
    return found


def write_inputs(folder, top, inputs):
    """Writes inputs (name -> bytes) below folder; returns the files under folder/top."""
    for name, data in inputs.items():
        path = os.path.join(folder, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
    return files_under(os.path.join(folder, top))


def make_inputs(folder):
    rng = random.Random(11)
    text = b"".join(b"line %d: context rings and tokens\n" % (i % 97) for i in range(900))
    inputs = {
        "in/a.txt": text,
        "in/b.txt": text,                                   # duplicate of a.txt
        "in/empty": b"",
        "in/sub/noise.bin": bytes(rng.getrandbits(8) for _ in range(20000)),
        "in/sub/z.txt": b"zz" * 3000,
    }
    return write_inputs(folder, "in", inputs)


def make_big_inputs(folder):
    rng = random.Random(12)
    words = [b"ring", b"chunk", b"token", b"match", b"block", b"context", b"code", b"table"]
    line_count = (17 << 20) // 22  # lines of about 25 bytes: a little over one chunk
    text = b"".join(b" ".join(rng.choices(words, k=4)) + b"\n" for _ in range(line_count))
    inputs = {"big/x.txt": text, "big/y.bin": bytes(rng.getrandbits(8) for _ in range(5000))}
    return write_inputs(folder, "big", inputs)


class Sweep:
    def __init__(self, qv5, library, verbose):
        self.qv5 = os.path.abspath(qv5)
        self.library = library
        self.verbose = verbose
        self.base = tempfile.mkdtemp(prefix="qv5-faults-")
        self.expected = make_inputs(self.base)
        self.one = b"a single file, extracted by the self-extracting copy\n" * 50
        with open(os.path.join(self.base, "one.txt"), "wb") as f:
            f.write(self.one)
        # Reference archives and listing, made without faults.
        # Two chunks, for the threaded paths: parallel compression and decoding ahead.
        self.big = make_big_inputs(self.base)
        # With metadata: a link and an empty folder too, made by the descriptor calls.
        shutil.copytree(os.path.join(self.base, "in"), os.path.join(self.base, "metain"))
        os.symlink("a.txt", os.path.join(self.base, "metain", "link"))
        os.makedirs(os.path.join(self.base, "metain", "void", "deeper"))
        # And what only Linux keeps: a hard link, a FIFO, an attribute.
        os.link(os.path.join(self.base, "metain", "sub", "z.txt"), os.path.join(self.base, "metain", "z-again"))
        os.mkfifo(os.path.join(self.base, "metain", "fifo"))
        os.setxattr(os.path.join(self.base, "metain", "a.txt"), "user.kept", b"yes")
        self.meta = files_under(os.path.join(self.base, "metain"))
        for args in (["c2", "good.qv5", "in"], ["-sfx", "c1", "good.exe", "one.txt"], ["-t1", "c1", "big.qv5", "big"],
                     ["-meta", "c2", "meta.qv5", "metain"], ["-protect=10", "c2", "protected.qv5", "in"]):
            r = self.run_plain(self.base, args)
            assert r.returncode == 0, r
        self.listing = self.run_plain(self.base, ["l", "good.qv5"]).stdout
        self.verdict = self.tested(self.run_plain(self.base, ["t", "protected.qv5"]).stdout)
        self.outcomes = Counter()
        self.failures = []
        self.scenarios = Counter()  # scenario -> runs
        self.bad_scenarios = set()
        self.by_scenario = defaultdict(Counter)

    @staticmethod
    def tested(out):
        """What t found: the recovery data's verdict and every file's line, not its timings."""
        return [line for line in out.splitlines() if line.startswith(("Recovery data: ", "Tested ", "Damaged"))]

    def env(self, extra):
        env = dict(os.environ)
        # The injected library is loaded before the sanitizer runtime: allow that.
        env["ASAN_OPTIONS"] = "verify_asan_link_order=0:detect_leaks=1:" + env.get("ASAN_OPTIONS", "")
        env.update(extra)
        return env

    def run_plain(self, cwd, args, extra=None, preexec=None, binary=None):
        return subprocess.run([binary or self.qv5] + args, cwd=cwd, stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=self.env(extra or {}),
                              timeout=120, preexec_fn=preexec, text=True, errors="replace")

    # One command, in a fresh folder holding the inputs and the reference archives. The
    # two-chunk inputs are only read, so they are linked rather than copied.
    def fresh(self):
        work = tempfile.mkdtemp(prefix="run-", dir=self.base)
        shutil.copytree(os.path.join(self.base, "in"), os.path.join(work, "in"))
        for name in ("good.qv5", "meta.qv5", "protected.qv5"):
            shutil.copy2(os.path.join(self.base, name), os.path.join(work, name))
        # Linked, not copied: a program file still open for writing in a process forked at
        # that moment (by another thread of this sweep) could not be run ("text file busy").
        os.link(os.path.join(self.base, "good.exe"), os.path.join(work, "good.exe"))
        with open(os.path.join(work, "old.qv5"), "wb") as f:
            f.write(OLD_ARCHIVE)
        shutil.copytree(os.path.join(self.base, "big"), os.path.join(work, "big"), copy_function=os.link)
        # Something standing where the metadata's link goes: replaced, never written through.
        os.makedirs(os.path.join(work, "out", "metain"))
        with open(os.path.join(work, "out", "metain", "link"), "wb") as f:
            f.write(b"in the way")
        os.link(os.path.join(self.base, "big.qv5"), os.path.join(work, "big.qv5"))
        # Files standing where an extraction over a tree goes: replaced by new ones.
        for name in self.expected:
            path = os.path.join(work, "over", "in", name)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(b"old " + name.encode())
        return work

    COMMANDS = {
        "c": ["c2", "new.qv5", "in"],
        "c-replace": ["-force-overwrite", "c2", "old.qv5", "in"],
        "c-meta": ["-meta", "c2", "new.qv5", "in"],
        "d-meta": ["-force-overwrite", "d", "meta.qv5", "out"],
        "sfx": ["-sfx", "c1", "new.exe", "in/a.txt"],
        "d": ["-force-overwrite", "d", "good.qv5", "out"],
        "d-over": ["-force-overwrite", "d", "good.qv5", "over"],
        "l": ["l", "good.qv5"],
        "c-protect": ["-protect=10", "c2", "new.qv5", "in"],
        "t-protect": ["t", "protected.qv5"],
        "r": ["-force-overwrite", "r", "protected.qv5", "repaired.qv5"],
        "stub": None,  # the self-extracting copy run as it is
        "c-threads": ["-t2", "c1", "new.qv5", "big"],
        "d-threads": ["-t2", "-force-overwrite", "d", "big.qv5", "out"],
    }
    # Commands of many calls: only some call numbers of each family are failed.
    SAMPLED = ("c-threads", "d-threads")

    def inputs_of(self, command):
        """The input folder a compression or extraction command works on, and its files."""
        if command == "d-meta":
            return "metain", self.meta
        return ("big", self.big) if command in self.SAMPLED else ("in", self.expected)

    def invoke(self, command, work, extra=None, preexec=None):
        if command == "stub":
            return self.run_plain(work, [], extra, preexec, binary=os.path.join(work, "good.exe"))
        return self.run_plain(work, self.COMMANDS[command], extra, preexec)

    def count(self, command):
        work = self.fresh()
        counts_file = os.path.join(work, "counts")
        r = self.invoke(command, work, {"LD_PRELOAD": self.library, "FAULT_COUNT": counts_file})
        assert r.returncode == 0, (command, r)
        counts = {}
        with open(counts_file) as f:
            for line in f:
                name, n = line.split()
                counts[name] = int(n)
        shutil.rmtree(work, ignore_errors=True)
        return counts

    def judge(self, command, work, r, family):
        """Returns None when the outcome is acceptable, else what is wrong."""
        out = r.stdout
        if r.returncode < 0:
            return f"killed by signal {-r.returncode}"
        if any(mark in r.stderr for mark in SANITIZER_MARKS):
            return "sanitizer report:\n" + r.stderr[-3000:]
        if r.returncode not in (0, 1):
            return f"exit status {r.returncode}"
        # A read or write that failed leaves the stream's error flag set: the run must fail.
        if r.returncode == 0 and family in ("fread", "fgetc", "fwrite", "fflush") and "fault: " in r.stderr:
            return f"exit 0 after a failed {family}"
        if command in ("c", "c-replace", "c-meta", "c-protect", "sfx", "c-threads"):
            archive = os.path.join(work, {"sfx": "new.exe", "c-replace": "old.qv5"}.get(command, "new.qv5"))
            if any(".tmp-" in name for name in os.listdir(work)):
                return "temporary file left behind"
            warned = self.warned(out, work)
            if r.returncode == 1 and warned and "Error" not in out and command != "sfx":
                # An input that could not be read is named and left out (or, read in part,
                # stored with a checksum that tells): everything else is in the archive.
                problem = self.holds_all_but(work, archive, command, warned)
                if problem:
                    return problem
            elif r.returncode == 1:
                if command == "c-replace":
                    with open(archive, "rb") as f:
                        if f.read() != OLD_ARCHIVE:
                            return "the archive that stood at the path was changed"
                elif os.path.exists(archive):
                    return "incomplete archive left behind"
            else:
                if not os.path.exists(archive):
                    return "exit 0 without an archive"
                check = self.run_plain(work, [], binary=archive) if command == "sfx" else \
                    self.run_plain(work, ["-force-overwrite", "d", archive, "check"])
                if check.returncode != 0:
                    return "exit 0 but the archive does not extract: " + check.stdout[-500:]
                if command == "sfx":
                    got = {"a.txt": open(os.path.join(work, "a.txt"), "rb").read()}
                    want = {"a.txt": self.expected["a.txt"]}
                else:
                    folder, want = self.inputs_of(command)
                    got = files_under(os.path.join(work, "check", folder))
                if got != want:
                    return "exit 0 but the archive holds other data"
        elif command in ("d", "d-over", "d-meta", "d-threads"):
            folder, want = self.inputs_of(command)
            top = "over" if command == "d-over" else "out"
            if r.returncode == 0 and files_under(os.path.join(work, top, folder)) != want:
                return "exit 0 but the extracted files differ"
            if command == "d-over" and any(name.startswith(".qv5-") for _, _, names in
                                           os.walk(os.path.join(work, top)) for name in names):
                return "temporary file left behind"
            if command == "d-meta" and r.returncode == 0:
                out = os.path.join(work, "out", folder)
                if not os.path.islink(os.path.join(out, "link")):
                    return "exit 0 but the link was not made"
                if not stat.S_ISFIFO(os.lstat(os.path.join(out, "fifo")).st_mode):
                    return "exit 0 but the FIFO was not made"
                if not os.path.samefile(os.path.join(out, "z-again"), os.path.join(out, "sub", "z.txt")):
                    return "exit 0 but the hard link was not made"
                if os.getxattr(os.path.join(out, "a.txt"), "user.kept") != b"yes":
                    return "exit 0 but the attribute was not restored"
        elif command == "l":
            if r.returncode == 0 and out != self.listing:
                return "exit 0 but the listing differs"
        elif command == "t-protect":
            if r.returncode == 0 and self.tested(out) != self.verdict:
                return "exit 0 but the test's verdict differs"
        elif command == "r":
            if any(".tmp-" in name for name in os.listdir(work)):
                return "temporary file left behind"
            repaired = os.path.join(work, "repaired.qv5")
            if r.returncode == 1 and os.path.exists(repaired):
                return "incomplete repaired archive left behind"
            if r.returncode == 0:
                with open(repaired, "rb") as f, open(os.path.join(self.base, "protected.qv5"), "rb") as g:
                    if f.read() != g.read():
                        return "exit 0 but the repaired archive differs"
        elif command == "stub":
            if r.returncode == 0:
                path = os.path.join(work, "one.txt")
                if not os.path.exists(path) or open(path, "rb").read() != self.one:
                    return "exit 0 but the extracted file differs"
        if r.returncode == 1 and not any(word in out for word in ("Error", "INVALID CHECKSUM", "Could not", "Warning")):
            return "exit 1 without an error message"
        return self.judge_reasons(r, family)

    @staticmethod
    def warned(out, work):
        """The input files named in warnings, relative to the run's folder."""
        names = set()
        for line in out.replace("\r", "\n").splitlines():
            if line.startswith("Warning: " + work + os.sep):
                names.add(os.path.relpath(line[len("Warning: "):].split(": ")[0], work))
        return names

    def holds_all_but(self, work, archive, command, warned):
        """None when the archive holds every input but those named, each exactly (as t finds
        its checksum: a one-file archive would extract to another name)."""
        check = self.run_plain(work, ["t", archive])
        folder, want = self.inputs_of(command)
        named = {os.path.relpath(name, folder) for name in warned}
        tested = {}
        for line in check.stdout.splitlines():
            if line.startswith("Tested "):
                name, crc = line[len("Tested "):].rsplit(", CRC32: ", 1)
                tested[os.path.relpath(name.lstrip("/"), folder)] = int(crc, 16)
        expected = {k: zlib.crc32(v) for k, v in want.items() if k not in named}
        if check.returncode not in (0, 1) or {k: v for k, v in tested.items() if k not in named} != expected:
            return "exit 1 with warnings but the archive holds other data than the files not named: " + \
                check.stdout[-500:]
        return None

    @staticmethod
    def judge_reasons(r, family):
        """A message about a failed system call is followed by one reason line on standard
        error, in the words of the call that failed; standard output holds no reason."""
        told = sum(r.stdout.count(message) for message in SYSTEM_CALL_MESSAGES)
        lines = [line for line in r.stderr.splitlines() if line.startswith("qv5: ")]
        if "qv5: " in r.stdout:
            return "a reason line on standard output"
        if told == 0:
            return None
        if len(lines) != told:
            return f"{told} messages of failed calls but {len(lines)} reason lines: {lines}"
        # Injected: the failing call's errno; disk full (no family): the file-size limit.
        want = os.strerror(INJECTED_ERRNO[family] if family else errno.EFBIG)
        if family and "fault: " not in r.stderr:
            return None
        if not any(line.endswith(": " + want) for line in lines):
            return f"reason lines {lines}, none with the failed call's reason ({want})"
        return None

    def one_run(self, scenario, command, extra=None, preexec=None):
        work = self.fresh()
        try:
            r = self.invoke(command, work, extra, preexec)
            injected = extra is None or "fault: " in r.stderr
            problem = self.judge(command, work, r, (extra or {}).get("FAULT_CALL"))
        finally:
            shutil.rmtree(work, ignore_errors=True)
        return scenario, injected, r, problem

    @staticmethod
    def outcome_name(injected, r, problem):
        if not injected:
            return "not reached"
        if problem:
            return "FAULT"
        return "exit 1, error reported" if r.returncode == 1 else "exit 0, result correct"

    def record(self, result):
        scenario, injected, r, problem = result
        self.scenarios[scenario] += 1
        self.outcomes[self.outcome_name(injected, r, problem)] += 1
        self.by_scenario[scenario][self.outcome_name(injected, r, problem)] += 1
        if problem:
            self.bad_scenarios.add(scenario)
            self.failures.append((scenario, problem, r.stdout[-600:]))
        if self.verbose:
            print(f"  {scenario}: rc {r.returncode} {'FAULT ' + problem if problem else 'ok'}", flush=True)

    def plan(self):
        jobs = []
        for command in self.COMMANDS:
            counts = self.count(command)
            print(f"{command}: " + ", ".join(f"{k} {v}" for k, v in sorted(counts.items())), flush=True)
            for family in FAMILIES:
                calls = range(1, counts.get(family, 0) + 1)
                if command in self.SAMPLED and len(calls) > 12:
                    # The first and last calls and some between them.
                    last = len(calls)
                    calls = sorted({1, 2, 3, last - 2, last - 1, last} | {1 + last * k // 8 for k in range(1, 8)})
                for n in calls:
                    jobs.append((f"{command}/{family}", command, {"LD_PRELOAD": self.library,
                                 "FAULT_CALL": family, "FAULT_N": str(n)}))
                    if family in ("fwrite", "fopen", "fread", "open"):
                        jobs.append((f"{command}/{family}-from-then-on", command, {"LD_PRELOAD": self.library,
                                     "FAULT_CALL": family, "FAULT_N": str(n), "FAULT_STICKY": "1"}))
        return jobs

    def disk_full_jobs(self):
        """Real write failures: RLIMIT_FSIZE with SIGXFSZ ignored, at limits across the output."""
        def limit(n):
            def apply():
                signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
                resource.setrlimit(resource.RLIMIT_FSIZE, (n, n))
            return apply
        archive = os.path.getsize(os.path.join(self.base, "good.qv5"))
        exe = os.path.getsize(os.path.join(self.base, "good.exe"))
        jobs = []
        for n in sorted({0, 1, 8, 39, 40, 41, 100, archive // 2, archive - 17, archive - 1}):
            jobs.append(("c/disk-full", "c", None, limit(n)))
            jobs.append(("c-replace/disk-full", "c-replace", None, limit(n)))
        for n in sorted({0, 4096, exe // 2, exe - 1}):
            jobs.append(("sfx/disk-full", "sfx", None, limit(n)))
        biggest = max(len(v) for v in self.expected.values())
        for n in sorted({0, 1, 5999, biggest // 2, biggest - 1}):
            jobs.append(("d/disk-full", "d", None, limit(n)))
        return jobs


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--qv5", required=True)
    parser.add_argument("--build-dir", default=os.path.join(ROOT, "build", "faults"))
    parser.add_argument("-j", type=int, default=2)
    parser.add_argument("-v", action="store_true")
    options = parser.parse_args()
    library = build_library(options.build_dir)
    sweep = Sweep(options.qv5, library, options.v)
    try:
        jobs = [(s, c, e, None) for s, c, e in sweep.plan()] + sweep.disk_full_jobs()
        with ThreadPoolExecutor(max_workers=options.j) as pool:
            for result in pool.map(lambda job: sweep.one_run(*job), jobs):
                sweep.record(result)
    finally:
        shutil.rmtree(sweep.base, ignore_errors=True)
    for scenario, problem, out in sweep.failures:
        print(f"FAULT in {scenario}: {problem}\n  output ends: {out!r}")
    if options.v:
        for scenario, counts in sorted(sweep.by_scenario.items()):
            print(f"  {scenario}: " + ", ".join(f"{k} {v}" for k, v in sorted(counts.items())))
    print("outcomes: " + ", ".join(f"{k}: {v}" for k, v in sorted(sweep.outcomes.items())))
    good = len(sweep.scenarios) - len(sweep.bad_scenarios)
    print(f"fault-sweep: {good} passed, {len(sweep.bad_scenarios)} failed "
          f"({len(jobs)} runs in {len(sweep.scenarios)} scenarios)")
    return 1 if sweep.bad_scenarios else 0


if __name__ == "__main__":
    sys.exit(main())
