#!/usr/bin/env bash
# The upload checker on a throw-away release: an SFV arrives, files are
# uploaded (one of them damaged), the release completes, and lapdump lists
# what was recorded. Usage: racecheck_demo.sh BUILD_DIR
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="${1:-build}"
case "$build" in /*) ;; *) build="$here/../$build" ;; esac
racecheck="$build/bin/racecheck"
lapdump="$build/bin/lapdump"

work="$(mktemp -d /tmp/racecheck-demo.XXXXXX)"
trap 'rm -rf "$work"' EXIT
root="$work/tallyrace"              # stands in for the site's data root
rel="$work/site/GAMES/Demo.Release-GRP"
mkdir -p "$root" "$rel"

crc() { /usr/bin/python3 -c 'import sys, zlib; print("%08X" % zlib.crc32(open(sys.argv[1], "rb").read()))' "$1"; }
step() { printf '\n$ racecheck %s\n' "$*"; "$racecheck" --data-root "$root" "$rel" "$@" || echo "(exit status $?)"; }

# The release's files, made up front so the SFV can carry their CRCs.
head -c 300000 /dev/urandom >"$work/demo.rar"
head -c 200000 /dev/urandom >"$work/demo.r00"
printf 'Demo Release by GRP\n     [01/02]\n' >"$rel/file_id.diz"
printf '; files\r\nDEMO.RAR %s\r\ndemo.r00 %s\r\nfile_id.diz 0BADC0DE\r\n' \
  "$(crc "$work/demo.rar")" "$(crc "$work/demo.r00")" >"$rel/demo.sfv"

echo "== racecheck on $rel"
step sfv demo.sfv
echo "(markers now: $(cd "$rel" && ls ./*-missing | tr '\n' ' '))"
step diz file_id.diz
cp "$work/demo.rar" "$rel/demo.rar"
step upload demo.rar alice racers 3.2
{ cat "$work/demo.r00"; printf 'line noise'; } >"$rel/demo.r00"
step upload demo.r00 bob racers 1.1
cp "$work/demo.r00" "$rel/demo.r00"
step upload demo.r00 bob racers 0.4
step check

racedata="$root$rel/racedata"
printf '\n$ lapdump %s\n' "$racedata"
"$lapdump" "$racedata"
