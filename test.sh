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
[ -f /usr/include/jerasure.h ] || missing+=(libjerasure-dev) # the erasure code's reference test
[ -f /usr/include/gcrypt.h ] || missing+=(libgcrypt20-dev) # the crypto library of sealed archives
[ -f /usr/x86_64-w64-mingw32/lib/libgcrypt.a ] || missing+=(libgcrypt-mingw-w64-dev)
[ -x /usr/bin/python3 ] || missing+=(python3)
have man || missing+=(man-db)
have nroff || missing+=(groff-base)
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

step "Library package: installed, and an example program built against it"
rm -rf build/install build/example
if cmake --install build/linux --prefix "$PWD/build/install" >build/install.log 2>&1 &&
    cmake -S examples -B build/example -G Ninja -DCMAKE_PREFIX_PATH="$PWD/build/install" >>build/install.log 2>&1 &&
    cmake --build build/example >>build/install.log 2>&1 &&
    (cd build/example && ./qv5_example >>../install.log 2>&1); then
    echo "example: ok"
    record "library package" 0 1 0
else
    tail -20 build/install.log
    record "library package" 1 0 1
fi

step "Installed program and manual page"
# The installed program runs and tells its version; the manual page renders with no warning
# at all.
installed_ok=1
version=$(build/install/bin/qv5 --version 2>&1)
version_status=$?
if [ "$version_status" -ne 0 ] || ! grep -qE '^qv5 [0-9]+\.[0-9]+\.[0-9]+$' <<<"$version"; then
    echo "build/install/bin/qv5 --version: status $version_status, printed: $version"
    installed_ok=0
fi
man_page=build/install/share/man/man1/qv5.1
man_warnings=$(MANWIDTH=80 man --warnings -l "$man_page" 2>&1 >/dev/null)
man_status=$?
if [ ! -f "$man_page" ] || [ "$man_status" -ne 0 ] || [ -n "$man_warnings" ]; then
    echo "$man_page: status $man_status"
    [ -n "$man_warnings" ] && echo "$man_warnings"
    installed_ok=0
fi
[ -f build/install/share/doc/qv5/README.md ] || { echo "README.md not installed"; installed_ok=0; }
if [ $installed_ok -eq 1 ]; then
    echo "installed program and manual page: ok"
    record "installed program and manual page" 0 1 0
else
    record "installed program and manual page" 1 0 1
fi

step "End-to-end tests, Linux build"
e2e linux --qv5 build/linux/src/cli/qv5 --peer build/windows/src/cli/qv5.exe

step "End-to-end tests, Windows build under Wine"
export WINEDEBUG=-all
wineserver -p 2>/dev/null || true
wine cmd /c exit >/dev/null 2>&1 || true  # creates the Wine prefix once
e2e windows --qv5 build/windows/src/cli/qv5.exe --wine --peer build/linux/src/cli/qv5
step "Crypto vectors and sealed container, Windows build under Wine"
wine build/windows/qv5_seal_tests.exe >build/wine-seal-tests.log 2>&1
status=$?
tail -1 build/wine-seal-tests.log
record "seal unit tests (windows)" "$status" "$(grep -c '^ok ' build/wine-seal-tests.log)" "$(grep -c '^FAIL ' build/wine-seal-tests.log)"
wineserver -k 2>/dev/null || true

# ---- Hardening: sanitizers, fault injection, fuzzing ------------------------------------
# The unit and Linux end-to-end tests again under AddressSanitizer and UBSan, the sweep of
# injected I/O faults, and a bounded run of every fuzz target (FUZZ_SECONDS each, 30 s by
# default). Any sanitizer report aborts the program, so it cannot pass as a clean exit 1.
exec 3>&1 # the console, for timings of commands whose output goes to a log
timed() { # name, command...: runs it and prints how long it took
    local name=$1 start=$SECONDS; shift
    "$@"
    local status=$?
    echo "-- $name: $((SECONDS - start)) s" >&3
    return $status
}
count_line() { # log, prefix: "N passed, M failed" counts of the last matching line
    local line
    line=$(grep -E "^$2: [0-9]+ passed" "$1" | tail -1)
    echo "$(echo "$line" | sed -nE 's/.*: ([0-9]+) passed.*/\1/p') $(echo "$line" | sed -nE 's/.* ([0-9]+) failed.*/\1/p')"
}
fuzzer_works() {
    echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }' |
        clang++ -x c++ -fsanitize=fuzzer,address,undefined - -o build/fuzzer-check 2>/dev/null
}
if ! have clang++ || ! fuzzer_works; then
    echo "Installing: clang libclang-rt-14-dev"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq && apt-get install -y -qq clang libclang-rt-14-dev >/dev/null || echo "install failed"
fi
export ASAN_OPTIONS=abort_on_error=1:detect_leaks=1
export UBSAN_OPTIONS=abort_on_error=1:halt_on_error=1:print_stacktrace=1

step "AddressSanitizer build"
if timed "asan build" bash -c 'cmake --preset asan >/dev/null && cmake --build --preset asan -j2 >build/asan-build.log 2>&1'; then
    step "Unit tests under AddressSanitizer"
    timed "asan unit tests" ctest --preset asan -j2 >build/unit-asan.log 2>&1
    status=$?
    unit_total=$(sed -nE 's/.* tests failed out of ([0-9]+).*/\1/p' build/unit-asan.log | tail -1)
    unit_failed=$(sed -nE 's/.*, ([0-9]+) tests failed out of.*/\1/p' build/unit-asan.log | tail -1)
    grep -E 'tests passed|tests failed out of|Failed|\*\*\*' build/unit-asan.log
    record "unit tests (asan)" "$status" $(( ${unit_total:-0} - ${unit_failed:-0} )) "${unit_failed:-1}"

    step "End-to-end tests, Linux build under AddressSanitizer"
    export QV5_SANITIZER=address,undefined # tests that set memory limits adapt to it
    timed "asan end-to-end tests" e2e asan --qv5 build/asan/src/cli/qv5
    unset QV5_SANITIZER

    step "Fault-injection sweep (release and asan builds)"
    for build in linux asan; do
        timed "fault sweep ($build)" /usr/bin/python3 tests/faults/sweep.py --qv5 "build/$build/src/cli/qv5" \
            >"build/faults-$build.log" 2>&1
        status=$?
        grep -E '^(FAULT|outcomes|fault-sweep)' "build/faults-$build.log" | cut -c1-400
        read -r p f <<<"$(count_line "build/faults-$build.log" fault-sweep)"
        record "fault sweep ($build)" "$status" "${p:-0}" "${f:-1}"
    done
else
    tail -20 build/asan-build.log
    record "asan build" 1 0 1
fi

step "Threaded paths under ThreadSanitizer"
# Parallel hashing of an input set, parallel compression and decoding ahead, on inputs of
# several chunks; a reported race makes the program exit with a status of its own.
if timed "tsan build" bash -c 'cmake --preset tsan >/dev/null && cmake --build --preset tsan -j2 --target qv5 >build/tsan-build.log 2>&1'; then
    TSAN_OPTIONS=halt_on_error=1 timed "tsan end-to-end tests" \
        e2e tsan --qv5 build/tsan/src/cli/qv5 -k 'test_default_is_parallel|decoding_ahead|test_chunks_decode_on_every_thread|test_a_damaged_chunk|test_hashing_on_several_threads'
else
    tail -20 build/tsan-build.log
    record "tsan build" 1 0 1
fi

step "Fuzz targets (clang, libFuzzer)"
if timed "fuzz build" bash -c 'cmake --preset fuzz >/dev/null && cmake --build --preset fuzz -j2 >build/fuzz-build.log 2>&1'; then
    timed "fuzz runs" tests/fuzz/run.sh >build/fuzz-runs.log 2>&1
    status=$?
    cat build/fuzz-runs.log
    record "fuzz runs" "$status" "$(grep -c ': ok,' build/fuzz-runs.log)" "$(grep -cE 'FAILED|missing' build/fuzz-runs.log)"
else
    tail -20 build/fuzz-build.log
    record "fuzz build" 1 0 1
fi
# ---- end of hardening stages -------------------------------------------------------------

echo
echo "total: $passed passed, $failed failed"
[ "$failures" -eq 0 ]
