#!/usr/bin/env bash
# The systemd user unit `cmake --install` lays down: systemd finds nothing wrong in it, it names
# the installed program, restarts it on failure, runs it with no display; and its own command,
# run with its own environment, serves the camera.
#   service_unit_test.sh <build dir>
set -euo pipefail
source "$(dirname "$0")/common.sh"
command -v systemd-analyze >/dev/null || { echo "systemd-analyze is not installed"; exit 77; }
command -v curl >/dev/null || { echo "curl is not installed"; exit 77; }
build=$1 prefix=$scratch/prefix
install_into "$build" "$prefix"
unit=$prefix/lib/systemd/user/tarnick.service
[ -f "$unit" ] || fail "no unit at $unit"

# The user manager's checks need a runtime folder of their own; any remark fails the test.
mkdir -m 700 "$scratch/runtime"
report=$(XDG_RUNTIME_DIR=$scratch/runtime systemd-analyze --user verify "$unit" 2>&1) ||
  fail "systemd-analyze: $report"
[ -z "$report" ] || fail "systemd-analyze: $report"

key() { sed -n "s/^$1=//p" "$unit"; }
[ "$(key ExecStart)" = "$prefix/bin/tarnick" ] || fail "ExecStart=$(key ExecStart)"
[ "$(key Restart)" = on-failure ] || fail "Restart=$(key Restart)"
[ -n "$(key RestartSec)" ] || fail "no RestartSec"
[ "$(key Environment)" = QT_QPA_PLATFORM=offscreen ] || fail "Environment=$(key Environment)"
[ "$(key WantedBy)" = default.target ] || fail "WantedBy=$(key WantedBy)"

port=$(free_port)
serve_offscreen "$(key ExecStart)" "$port"
snapshot "$port" "$scratch/snapshot.jpg"
is_jpeg "$scratch/snapshot.jpg" || fail "the snapshot is no JPEG picture"
echo "ok: unit verified; its command serves on port $port"
