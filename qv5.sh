#!/usr/bin/env bash
# Builds the native release binary when it is missing or stale, then runs it with the
# arguments given.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
if ! command -v cmake >/dev/null || ! command -v ninja >/dev/null || ! command -v g++ >/dev/null ||
    [ ! -f /usr/include/gcrypt.h ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq && apt-get install -y -qq cmake ninja-build g++ libgcrypt20-dev >/dev/null
fi
if [ ! -f "$here/build/release/build.ninja" ]; then
    cmake --preset release -S "$here" >/dev/null
fi
cmake --build "$here/build/release" --target qv5 >/dev/null
exec "$here/build/release/src/cli/qv5" "$@"
