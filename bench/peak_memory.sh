#!/bin/bash
# Peak resident memory (MiB, /usr/bin/time's maximum RSS) of c, t and d, of a plain and a
# -meta archive (the latter decodes by its chunk index), at -t1, the default and -t16.
#   bash bench/peak_memory.sh QV5 INPUT_FOLDER [WORK_FOLDER]
# Prints one row per command: the peaks at -t1, default and -t16, and the wall seconds.
set -euo pipefail
qv5=$(realpath "$1")
input=$(realpath "$2")
work=${3:-$(mktemp -d)}
mkdir -p "$work"
cd "$work"
peak() { # label threads command...
    local label=$1 threads=$2
    shift 2
    /usr/bin/time -f "%M %e" -o time.txt "$@" >/dev/null 2>&1
    read -r kib seconds <time.txt
    awk -v l="$label" -v t="$threads" -v k="$kib" -v s="$seconds" 'BEGIN { printf "%-8s %-8s %8.1f MiB %7.2f s\n", l, t, k / 1024, s }'
}
for threads in -t1 default -t16; do
    flag=$([ "$threads" = default ] && echo "" || echo "$threads")
    rm -rf out plain.qv5
    peak c "$threads" "$qv5" -quiet -force-overwrite $flag c plain.qv5 "$input"
    peak t "$threads" "$qv5" -quiet $flag t plain.qv5
    peak d "$threads" "$qv5" -quiet -force-overwrite $flag d plain.qv5 out
done
rm -rf out meta.qv5
"$qv5" -quiet -meta c meta.qv5 "$input" >/dev/null 2>&1
for threads in -t1 default -t16; do
    flag=$([ "$threads" = default ] && echo "" || echo "$threads")
    rm -rf out
    peak "t -meta" "$threads" "$qv5" -quiet $flag t meta.qv5
    peak "d -meta" "$threads" "$qv5" -quiet -force-overwrite $flag d meta.qv5 out
done
rm -rf out plain.qv5 meta.qv5 time.txt
