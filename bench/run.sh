#!/usr/bin/env bash
# Runs every benchmark script in bench/ against the build in BUILD_DIR; each
# script takes the daemon binary as its first argument.
set -euo pipefail
if [ $# -lt 1 ]; then
  echo "usage: bench/run.sh BUILD_DIR" >&2
  exit 2
fi
binary="$(cd "$1" && pwd)/bin/ferrynet"
here=$(cd "$(dirname "$0")" && pwd)
status=0
shopt -s nullglob
for script in "$here"/*_bench.py "$here"/*_bench.sh; do
  echo "== $(basename "$script")"
  case "$script" in
    *.py) /usr/bin/python3 "$script" "$binary" || status=1 ;;
    *.sh) bash "$script" "$binary" || status=1 ;;
  esac
done
exit $status
