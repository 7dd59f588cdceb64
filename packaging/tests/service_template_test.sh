#!/usr/bin/env bash
# Two cameras served at once by two instances of the template unit tarnick@.service: each
# instance's command (as systemd expands it: %h the home, %i the instance) reads its own
# ~/.config/tarnick/NAME.ini and serves its own camera on its own port.
#   service_template_test.sh <build dir>
set -euo pipefail
source "$(dirname "$0")/common.sh"
for tool in curl ffprobe; do
  command -v $tool >/dev/null || { echo "$tool is not installed"; exit 77; }
done
build=$1 prefix=$scratch/prefix
install_into "$build" "$prefix"
template=$prefix/lib/systemd/user/tarnick@.service
[ -f "$template" ] || fail "no template unit at $template"
command=$(sed -n 's/^ExecStart=//p' "$template")
home=$scratch/home
mkdir -p "$home/.config/tarnick"

# Only a program that knows --settings can run the template (it prints it in its help).
help=$(timeout 10 env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=offscreen HOME="$home" \
  XDG_CONFIG_HOME="$home/.config" "$prefix/bin/tarnick" --help 2>&1 || true)
grep -q -- --settings <<<"$help" || { echo "the program has no --settings option yet"; exit 77; }

pids=()
stop_instances() {
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$pid" 2>/dev/null || true
  done
  cleanup
}
trap stop_instances EXIT

# start_instance <name> <port> <width> <height>: what `systemctl --user start tarnick@NAME`
# runs, with the unit's environment.
start_instance() {
  local name=$1 port=$2
  cat >"$home/.config/tarnick/$name.ini" <<INI
[CONFIG]
AUTO_START=1
[DEVICE]
DEVICE_PATH=ormidal:test-pattern
[VIDEO]
WIDTH=$3
HEIGHT=$4
BITCOUNT=24
FRAME_PER_SEC=15
[NETWORK]
CONNECT_PORT=$port
INI
  local expanded=${command//%h/$home}
  expanded=${expanded//%i/$name}
  # shellcheck disable=SC2086 # the unit's command line, split as systemd splits it (no quotes)
  env -u DISPLAY -u WAYLAND_DISPLAY -u LD_LIBRARY_PATH QT_QPA_PLATFORM=offscreen HOME="$home" \
    XDG_CONFIG_HOME="$home/.config" $expanded >"$scratch/$name.log" 2>&1 &
  pids+=($!)
}

front=$(free_port) back=$(free_port)
while [ "$back" = "$front" ]; do back=$(free_port); done
start_instance front "$front" 320 240
start_instance back "$back" 640 480
for instance in "front $front 320 240" "back $back 640 480"; do
  read -r name port width height <<<"$instance"
  got=
  for _ in $(seq 80); do
    if curl -sf --max-time 5 -o "$scratch/$name.jpg" "http://127.0.0.1:$port/snapshot.jpg"; then
      got=1; break
    fi
    sleep 0.25
  done
  [ -n "$got" ] || { cat "$scratch/$name.log"; fail "instance $name serves nothing on port $port"; }
  is_jpeg "$scratch/$name.jpg" || fail "instance $name: no JPEG picture"
  # Each serves its own settings: the picture has that instance's size.
  size=$(ffprobe -v error -select_streams v:0 -show_entries stream=width,height -of csv=p=0 \
    "$scratch/$name.jpg")
  [ "$size" = "$width,$height" ] || fail "instance $name serves $size, not $width,$height"
done
echo "ok: tarnick@front on port $front and tarnick@back on port $back, each its own camera"
