#!/usr/bin/env bash
# Installs what is missing, builds both targets and runs every test: the unit tests, then
# the end-to-end tests against the Linux build and against the Windows build under Wine.
set -uo pipefail
cd "$(dirname "$0")"

missing=()
have() { command -v "$1" >/dev/null 2>&1; }
have cmake || missing+=(cmake)
have ninja || missing+=(ninja-build)
have g++ || missing+=(g++)
have x86_64-w64-mingw32-g++-posix || missing+=(g++-mingw-w64-x86-64)
have wine || missing+=(wine)
[ -x /usr/lib/wine/wine64 ] || missing+=(wine64)
[ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
[ -x /usr/bin/python3 ] || missing+=(python3)
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq && apt-get install -y -qq "${missing[@]}" >/dev/null || { echo "install failed"; exit 1; }
fi

step() { echo; echo "== $*"; }
failures=0
passed=0
failed=0
record() { # name, status, passed-count, failed-count
    passed=$((passed + $3)); failed=$((failed + $4))
    [ "$2" -eq 0 ] || { failures=$((failures + 1)); echo "!! $1 failed"; }
}

step "Linux build"
cmake --preset linux >/dev/null && cmake --build --preset linux -j2 || { echo "Linux build failed"; exit 1; }
step "Windows build"
cmake --preset windows >/dev/null && cmake --build --preset windows -j2 || { echo "Windows build failed"; exit 1; }

step "Unit tests"
ctest --preset linux -j2 2>&1 | tee build/unit.log | grep -vE '^ *([0-9]+/[0-9]+ Test +#[0-9]+: .* Passed|Start +[0-9]+:)'
status=${PIPESTATUS[0]}
unit_total=$(sed -nE 's/.* tests failed out of ([0-9]+).*/\1/p' build/unit.log | tail -1)
unit_failed=$(sed -nE 's/.*, ([0-9]+) tests failed out of.*/\1/p' build/unit.log | tail -1)
record "unit tests" "$status" $(( ${unit_total:-0} - ${unit_failed:-0} )) "${unit_failed:-0}"

e2e() { # label, args...
    local label=$1; shift
    /usr/bin/python3 tests/e2e/harness.py "$@" 2>&1 | tee "build/e2e-$label.log" | grep -vE '^\[[a-z]+\] ok '
    local status=${PIPESTATUS[0]}
    local line p f
    line=$(grep -E '^e2e-[a-z]+: [0-9]+ passed' "build/e2e-$label.log" | tail -1)
    p=$(echo "$line" | sed -nE 's/.*: ([0-9]+) passed.*/\1/p')
    f=$(echo "$line" | sed -nE 's/.* ([0-9]+) failed.*/\1/p')
    record "end-to-end tests ($label)" "$status" "${p:-0}" "${f:-1}"
}

step "End-to-end tests, Linux build"
e2e linux --qv5 build/linux/src/cli/qv5 --peer build/windows/src/cli/qv5.exe

step "End-to-end tests, Windows build under Wine"
export WINEDEBUG=-all
wineserver -p 2>/dev/null || true
wine cmd /c exit >/dev/null 2>&1 || true  # creates the Wine prefix once
e2e windows --qv5 build/windows/src/cli/qv5.exe --wine --peer build/linux/src/cli/qv5
wineserver -k 2>/dev/null || true

echo
echo "total: $passed passed, $failed failed"
[ "$failures" -eq 0 ]
