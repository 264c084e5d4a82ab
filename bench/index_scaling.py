#!/usr/bin/env python3
"""How decoding an indexed archive scales with threads: t -t1 against t -t2 (or -tN) of the
same -meta archives, in alternating rounds, with nothing else between them.

    bench/index_scaling.py QV5 [--rounds 31] [--threads 2] [--bench ~/.cache/qv5-bench]

Archives (made once in BENCH/compare-work, with QV5 -meta c2): the mix corpus (10.4 chunks),
and mix together with mix.tar (21 chunks; the folder BENCH/big holds hard links to both).
Fewer chunks leave more of the run to the last chunk, decoded on one thread alone: with c
chunks of equal time on n threads the speed-up is at most c / ceil(c / n).

Each round also runs as many t -t1 of the archive at once, in separate processes, as the threaded
run has threads: what the machine gives independent decoders (shared caches, memory bandwidth,
the other tenants of a virtual machine), the ceiling of any threaded decoder there.

Prints per command the medians of wall, user and system seconds (the processes run at once:
their wall time, the mean of their CPU times), and per archive the ratio of the medians, the
median of the per-round ratios (steadier when the machine's load drifts), the CPU time of the
threaded run over that of one thread, and the same two for the separate processes (their
throughput over one process'). Whole-process timings, page cache warm; before every command,
untimed, sync."""
import argparse
import os
import resource
import statistics
import subprocess
import time


def timed(command, copies=1):
    subprocess.run("sync", shell=True)
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    running = [subprocess.Popen(command, stdout=subprocess.DEVNULL) for _ in range(copies)]
    if any(process.wait() != 0 for process in running):
        raise SystemExit(f"failed: {' '.join(command)}")
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return wall, (after.ru_utime - before.ru_utime) / copies, (after.ru_stime - before.ru_stime) / copies


def archive(qv5, bench, name, source):
    path = os.path.join(bench, "compare-work", name)
    if not os.path.exists(path):
        os.makedirs(os.path.dirname(path), exist_ok=True)
        subprocess.run([qv5, "-meta", "c2", path, source], stdout=subprocess.DEVNULL, check=True,
                       cwd=bench)
    return path


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("qv5")
    parser.add_argument("--rounds", type=int, default=31)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--bench", default=os.path.expanduser("~/.cache/qv5-bench"))
    args = parser.parse_args()
    qv5 = os.path.abspath(args.qv5)
    big = os.path.join(args.bench, "big")
    if not os.path.isdir(big):
        os.makedirs(big)
        subprocess.run(["cp", "-al", os.path.join(args.bench, "mix"), os.path.join(big, "mix")], check=True)
        os.link(os.path.join(args.bench, "mix.tar"), os.path.join(big, "mix.tar"))
    archives = {"mix": archive(qv5, args.bench, "index-mix.qv5", "mix"),
                "mix+tar": archive(qv5, args.bench, "index-big.qv5", "big")}
    many = f"-t{args.threads}"
    apart = f"{args.threads}x -t1"
    commands = [(f"{name} {flag}", [qv5, "-t1" if flag == apart else flag, "t", path],
                 args.threads if flag == apart else 1)
                for name, path in archives.items() for flag in ("-t1", many, apart)]
    results = {label: [] for label, _, _ in commands}
    for _ in range(args.rounds):
        for label, command, copies in commands:
            results[label].append(timed(command, copies))

    def median(label, k):
        return statistics.median(r[k] for r in results[label])

    for label, _, _ in commands:
        print(f"{label:14} wall {median(label, 0):.3f} s  user {median(label, 1):.3f} s  "
              f"sys {median(label, 2):.3f} s")
    cpu = lambda rows: statistics.median(r[1] + r[2] for r in rows)
    for name in archives:
        one = results[f"{name} -t1"]
        for flag, gain in ((many, 1), (apart, args.threads)):
            more = results[f"{name} {flag}"]
            print(f"{name}: {flag} over -t1: ratio of medians "
                  f"{gain * median(f'{name} -t1', 0) / median(f'{name} {flag}', 0):.2f}x, median of per-round ratios "
                  f"{statistics.median(gain * a[0] / b[0] for a, b in zip(one, more)):.2f}x, "
                  f"CPU {cpu(more) / cpu(one):.2f}x ({args.rounds} rounds)")


if __name__ == "__main__":
    main()
