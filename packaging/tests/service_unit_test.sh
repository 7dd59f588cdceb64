#!/usr/bin/env bash
# The systemd user units `cmake --install` lays down (tarnick.service and the template
# tarnick@.service): systemd finds nothing wrong in them, they name the installed program (the
# template with its instance's settings file), restart it on failure, run it with no display;
# and the plain unit's own command, run with its own environment, serves the camera.
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
common_keys() {
  [ "$(key Restart)" = on-failure ] || fail "$unit: Restart=$(key Restart)"
  [ -n "$(key RestartSec)" ] || fail "$unit: no RestartSec"
  [ "$(key Environment)" = QT_QPA_PLATFORM=offscreen ] || fail "$unit: Environment=$(key Environment)"
  [ "$(key WantedBy)" = default.target ] || fail "$unit: WantedBy=$(key WantedBy)"
}
[ "$(key ExecStart)" = "$prefix/bin/tarnick" ] || fail "ExecStart=$(key ExecStart)"
common_keys

# The template, verified as systemd reads one of its instances (a template itself is no unit).
template=$prefix/lib/systemd/user/tarnick@.service
[ -f "$template" ] || fail "no template unit at $template"
mkdir "$scratch/units"
cp "$template" "$scratch/units/tarnick@front.service"
report=$(XDG_RUNTIME_DIR=$scratch/runtime systemd-analyze --user verify \
  "$scratch/units/tarnick@front.service" 2>&1) || fail "systemd-analyze (template): $report"
[ -z "$report" ] || fail "systemd-analyze (template): $report"
plain=$unit unit=$template
[ "$(key ExecStart)" = "$prefix/bin/tarnick --settings %h/.config/tarnick/%i.ini" ] ||
  fail "template ExecStart=$(key ExecStart)"
common_keys
unit=$plain

port=$(free_port)
serve_offscreen "$(key ExecStart)" "$port"
snapshot "$port" "$scratch/snapshot.jpg"
is_jpeg "$scratch/snapshot.jpg" || fail "the snapshot is no JPEG picture"
echo "ok: unit verified; its command serves on port $port"
