# Helpers for make-mix.sh (source it, do not run it).
# Everything here is deterministic: pinned .deb files checked by sha256,
# regular files only (no symlinks), sorted lists, fixed modes and mtimes,
# and a tar written with GNU tar's --sort=name and fixed owner/mtime.
set -euo pipefail
export LC_ALL=C TZ=UTC
umask 022

BENCH=${BENCH:-${XDG_CACHE_HOME:-$HOME/.cache}/qv5-bench}
DEBS=$BENCH/debs
FIXED_MTIME=1700000000          # 2023-11-14 22:13:20 UTC, for every file and folder

# fetch_deb NAME VERSION SHA256 -> prints the path of the verified .deb
fetch_deb() {
  local name=$1 ver=$2 sum=$3 f
  mkdir -p "$DEBS"
  # apt-get download names the file NAME_VERSION_ARCH.deb with ':' as %3a
  f=$(ls "$DEBS"/"${name}"_"${ver//:/%3a}"_*.deb 2>/dev/null | head -n1 || true)
  if [ -z "$f" ]; then
    (cd "$DEBS" && apt-get download -q "$name=$ver" >&2) || {
      echo "cannot download $name=$ver (run apt-get update; the version may have left the mirror)" >&2; exit 1; }
    f=$(ls "$DEBS"/"${name}"_"${ver//:/%3a}"_*.deb | head -n1)
  fi
  echo "$sum  $f" | sha256sum -c --quiet - >&2 || { echo "sha256 mismatch: $f" >&2; exit 1; }
  echo "$f"
}

# unpack_deb DEB DIR : full data tree of the package into DIR
unpack_deb() { rm -rf "$2"; mkdir -p "$2"; dpkg-deb -x "$1" "$2"; }

# put SRCROOT DEST FIND-ARGS... : copy the regular files that find FIND-ARGS
# selects, run from SRCROOT, into DEST
# (relative paths kept). Symlinks, devices and empty folders are left out.
put() {
  local src=$1 dst=$2; shift 2
  mkdir -p "$dst"
  (cd "$src" && find "$@" -type f -print0 | sort -z) |
    tar -C "$src" --null --no-recursion -T - -cf - | tar -C "$dst" -xf -
}


# normalize DIR : modes 755/644 (755 kept for files with an execute bit), fixed mtimes
normalize() {
  local d=$1
  find "$d" -type d -exec chmod 755 {} +
  find "$d" -type f -perm /111 -exec chmod 755 {} +
  find "$d" -type f ! -perm /111 -exec chmod 644 {} +
  find "$d" -depth -exec touch -h -d "@$FIXED_MTIME" {} +
}

# make_tar DIR TARFILE : deterministic single tar of DIR (stored as its basename)
make_tar() {
  tar --sort=name --format=gnu --owner=0 --group=0 --numeric-owner \
      --mtime="@$FIXED_MTIME" -C "$(dirname "$1")" -cf "$2" "$(basename "$1")"
  touch -d "@$FIXED_MTIME" "$2"
}

# manifest DIR OUT : sha256 of every file (sorted) into OUT; prints a summary line
# "files=N bytes=B tree=SHA" where tree is the sha256 of the manifest itself.
manifest() {
  local d=$1 out=$2
  (cd "$(dirname "$d")" && find "$(basename "$d")" -type f -print0 | sort -z | xargs -0 sha256sum) > "$out"
  local n b t
  n=$(wc -l < "$out")
  b=$(find "$d" -type f -printf '%s\n' | awk '{s+=$1} END{printf "%d", s}')
  t=$(sha256sum < "$out" | cut -c1-64)
  echo "files=$n bytes=$b tree=$t"
}

# by_group DIR : bytes and file count per top-level group (two levels down)
by_group() {
  (cd "$1" && find . -mindepth 1 -type f -printf '%s %h\n' |
     awk '{split($2,p,"/"); k=p[2] (p[3]!="" ? "/" p[3] : ""); s[k]+=$1; n[k]++}
          END{for (k in s) printf "%-40s %6d files %10d bytes\n", k, n[k], s[k]}' | sort)
}
