"""A small runner for the end-to-end tests: each test is a function test_*(ctx) in a
test_*.py module of this folder, run in a fresh folder against one build of the program
(natively, or the Windows build under Wine)."""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import traceback

BANNER_LINES = 6  # two fixed lines, three informative ones, one empty line


class Result:
    def __init__(self, rc, out, err=""):
        self.rc = rc
        self.out = out
        self.err = err  # standard error: the reasons of failed system calls, Wine's own lines

    @property
    def body(self):
        """The output after the banner."""
        return self.out.split("\n", BANNER_LINES)[-1]

    def __repr__(self):
        return f"Result(rc={self.rc}, out={self.out!r}, err={self.err!r})"


class Context:
    def __init__(self, binary, wine, work, peer=None):
        self.binary = os.path.abspath(binary)
        self.wine = wine
        # The other build, for archives that cross between them: (binary, runs under Wine).
        self.peer = (os.path.abspath(peer), not wine) if peer else None
        self.work = work
        self.sep = "\\" if wine else "/"
        self.exe_suffix = ".exe" if wine else ""
        self.last = None  # the last run's result, shown when a test fails

    def path(self, *parts):
        return os.path.join(self.work, *parts)

    def write(self, name, data=b""):
        full = self.path(name)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "wb") as f:
            f.write(data if isinstance(data, bytes) else data.encode())
        return full

    def read(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def run(self, *args, stdin=b"", cwd=None, timeout=300, binary=None, wine=None, env=None, preexec=None):
        """Runs the program with args in cwd (default: the test's folder)."""
        binary = binary or self.binary
        wine = self.wine if wine is None else wine
        full_env = dict(os.environ)
        if wine:
            full_env["WINEDEBUG"] = "-all"
        if env:
            full_env.update(env)
        command = (["wine", binary] if wine else [binary]) + list(args)
        for attempt in range(3):
            proc = subprocess.run(command, input=stdin, cwd=cwd or self.work, stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE, timeout=timeout, env=full_env, preexec_fn=preexec)
            # Wine itself failing to start (its own "wine:" lines or nothing at all, nothing from
            # the program, which never fails silently) is the test machine's hiccup, not the
            # program's answer: start it again.
            wine_failed = not proc.stderr or proc.stderr.startswith(b"wine")
            if not (wine and proc.returncode != 0 and not proc.stdout and wine_failed):
                break
            time.sleep(1)
        out = proc.stdout.decode("latin-1")
        err = proc.stderr.decode("latin-1")
        if wine:
            out = out.replace("\r\n", "\n")
            err = err.replace("\r\n", "\n")
        self.last = Result(proc.returncode, out, err)
        return self.last

    def run_peer(self, *args, **kwargs):
        """Runs the other build, when the run was given one."""
        binary, wine = self.peer
        return self.run(*args, binary=binary, wine=wine, **kwargs)

    def native(self, name):
        """A stored name written with '\\' as it appears from this build."""
        return name.replace("/", self.sep)


def discover(folder, pattern):
    sys.path.insert(0, folder)
    tests = []
    for file in sorted(os.listdir(folder)):
        if not (file.startswith("test_") and file.endswith(".py")):
            continue
        module = __import__(file[:-3])
        for name in sorted(dir(module)):
            if name.startswith("test_") and callable(getattr(module, name)):
                full = f"{file[:-3]}.{name}"
                if re.search(pattern, full):
                    tests.append((full, getattr(module, name)))
    return tests


def reachable_by_others(path):
    """Whether a user other than the owner may run the program at path."""
    path = os.path.abspath(path)
    if not os.stat(path).st_mode & 0o001:
        return False
    folder = os.path.dirname(path)
    while True:
        if not os.stat(folder).st_mode & 0o001:
            return False
        parent = os.path.dirname(folder)
        if parent == folder:
            return True
        folder = parent


def main():
    import argparse
    parser = argparse.ArgumentParser()
    parser.add_argument("--qv5", required=True, help="the program to test")
    parser.add_argument("--wine", action="store_true", help="run it under Wine")
    parser.add_argument("-k", default="", help="run only tests whose name matches this regular expression")
    parser.add_argument("--peer", help="the other build, for archives crossing between builds")
    parser.add_argument("-j", type=int, default=2, help="tests run at once")
    options = parser.parse_args()

    tests = discover(os.path.dirname(os.path.abspath(__file__)), options.k)
    # Tests that drop to an unprivileged user run the program as that user: a checkout in a
    # folder only root may enter (mktemp -d makes one) gets copies it can reach.
    shared = None
    if os.geteuid() == 0 and not all(reachable_by_others(b) for b in (options.qv5, options.peer) if b):
        shared = tempfile.mkdtemp(prefix="qv5-e2e-bin-")
        os.chmod(shared, 0o755)
        for name in ("qv5", "peer"):
            binary = getattr(options, name)
            if binary:
                os.mkdir(os.path.join(shared, name), 0o755)
                copy = os.path.join(shared, name, os.path.basename(binary))  # the same name: it may be shown
                shutil.copy2(binary, copy)
                setattr(options, name, copy)
    label = "windows" if options.wine else "linux"
    passed, failed = 0, []

    def run_one(item):
        name, function = item
        work = tempfile.mkdtemp(prefix="qv5-e2e-")
        start = time.time()
        ctx = None
        try:
            ctx = Context(options.qv5, options.wine, work, options.peer)
            skip = getattr(function, "only", None)
            if (skip and skip != label) or (getattr(function, "needs_peer", False) and not ctx.peer) or \
                    (getattr(function, "needs_root", False) and os.geteuid() != 0):
                return name, "skip", "", 0
            function(ctx)
            return name, "ok", "", time.time() - start
        except Exception:
            last = f"last run: {ctx.last!r}"[:3000] + "\n" if ctx and ctx.last else ""
            return name, "FAIL", traceback.format_exc() + last, time.time() - start
        finally:
            shutil.rmtree(work, ignore_errors=True)

    from concurrent.futures import ThreadPoolExecutor
    skipped = 0
    with ThreadPoolExecutor(max_workers=options.j) as pool:
        for name, status, detail, seconds in pool.map(run_one, tests):
            if status == "skip":
                skipped += 1
                continue
            print(f"[{label}] {status:4} {name} ({seconds:.1f} s)", flush=True)
            if status == "ok":
                passed += 1
            else:
                failed.append(name)
                print(detail, flush=True)
    if shared:
        shutil.rmtree(shared, ignore_errors=True)
    print(f"e2e-{label}: {passed} passed, {len(failed)} failed, {skipped} skipped")
    for name in failed:
        print(f"  failed: {name}")
    return 1 if failed else 0


def file_size_limit(limit):
    """A preexec for runs whose files may not grow beyond limit bytes: writes past it fail
    (EFBIG) rather than end the process (SIGXFSZ ignored), as on a full disk."""
    def apply():
        import resource
        import signal
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
    return apply


def only(target):
    """Marks a test that is meaningful on one build only ("linux" or "windows")."""
    def mark(function):
        function.only = target
        return function
    return mark


def needs_root(function):
    """Marks a test that needs root: it drops to an unprivileged user where permissions must
    bite (root reads and writes everything), or makes what only root may make."""
    function.needs_root = True
    return function


def needs_peer(function):
    """Marks a test that needs the other build too."""
    function.needs_peer = True
    return function


if __name__ == "__main__":
    sys.exit(main())
