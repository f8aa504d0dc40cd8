#!/usr/bin/env bash
# make demo: two FTP sites on loopback, ferrynet in front, one client session through it.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="${1:-build}"
case "$build" in /*) ;; *) build="$here/../$build" ;; esac
/usr/bin/python3 "$here/demo_session.py" "$build/bin/ferrynet"
if [ -x "$here/racecheck_demo.sh" ] || [ -f "$here/racecheck_demo.sh" ]; then
  bash "$here/racecheck_demo.sh" "$build"
fi
