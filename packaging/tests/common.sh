# Helpers of the packaging tests (sourced): a scratch folder removed on exit, a free loopback
# port, and the capture server started offscreen from its start-up settings.

scratch=$(mktemp -d /tmp/ormidal-packaging-XXXXXX)
server_pid=
cleanup() {
  if [ -n "$server_pid" ]; then
    kill -TERM "$server_pid" 2>/dev/null || true
    # Bounded: the program ends through its teardown within a few seconds, else it is killed.
    for _ in $(seq 50); do kill -0 "$server_pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$server_pid" 2>/dev/null || true
  fi
  rm -rf "$scratch"
}
trap cleanup EXIT

fail() { echo "FAIL: $*"; exit 1; }

# A port nobody listens on, taken below the kernel's ephemeral range (32768 and up) where the
# outgoing connections of tests running beside this one cannot land on it.
free_port() {
  python3 - <<'PY'
import random, socket
for _ in range(200):
    port = random.randrange(20000, 32000)
    with socket.socket() as s:
        try:
            s.bind(("127.0.0.1", port))
        except OSError:
            continue
        print(port)
        break
PY
}

# install_into <build dir> <prefix>: what `cmake --install` lays down.
install_into() {
  cmake --install "$1" --prefix "$2" >"$scratch/install.log" 2>&1 ||
    { cat "$scratch/install.log"; fail "cmake --install"; }
}

# serve_offscreen <program> <port> [lines]: starts the program with no display, from start-up
# settings (beside it) that serve the test-pattern camera on <port>, with [NETWORK] lines of
# the caller's (ACCESS_KEY=…); its output goes to server.log.
serve_offscreen() {
  local program=$1 port=$2 network=${3:-}
  cat >"$(dirname "$program")/tarnick.ini" <<INI
[NETWORK]
CONNECT_PORT=$port
$network
[CONFIG]
AUTO_START=1
[DEVICE]
DEVICE_PATH=ormidal:test-pattern
[VIDEO]
WIDTH=320
HEIGHT=240
BITCOUNT=24
FRAME_PER_SEC=15
INI
  mkdir -p "$scratch/home/.config"
  # Nothing from the build tree: no library path, no display, a home of its own.
  env -u DISPLAY -u WAYLAND_DISPLAY -u LD_LIBRARY_PATH QT_QPA_PLATFORM=offscreen \
    HOME="$scratch/home" XDG_CONFIG_HOME="$scratch/home/.config" \
    "$program" >"$scratch/server.log" 2>&1 &
  server_pid=$!
}

# snapshot <port> <file>: fetches /snapshot.jpg, trying for up to 20 s while the server starts.
snapshot() {
  local port=$1 file=$2
  for _ in $(seq 80); do
    if curl -sf --max-time 5 -o "$file" "http://127.0.0.1:$port/snapshot.jpg"; then
      return 0
    fi
    kill -0 "$server_pid" 2>/dev/null || { cat "$scratch/server.log"; fail "the server ended"; }
    sleep 0.25
  done
  cat "$scratch/server.log"
  fail "no snapshot from port $port within 20 s"
}

# is_jpeg <file>: a JPEG picture of some size.
is_jpeg() {
  [ "$(head -c 2 "$1" | od -An -tx1 | tr -d ' ')" = ffd8 ] && [ "$(stat -c %s "$1")" -gt 1000 ]
}
