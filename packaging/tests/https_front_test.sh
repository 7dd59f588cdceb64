#!/usr/bin/env bash
# docs/nginx/https.conf in front of the installed capture server, as a viewer elsewhere sees it:
# a real nginx on loopback with a certificate signed by the test's own CA, the server behind it
# with an access key. `quick`: the snapshot over HTTPS, the access key enforced (none, wrong,
# Basic, in the URL), raw frames refused through the front (demanded: 403; accepted: JPEG) where
# the same request straight from this machine gets them, and the server's viewer page showing
# the live picture in headless Chromium trusting that CA. `long`: one /stream through the front
# across 65 s in which the server sends nothing at all (stopped), which nginx's usual 60 s read
# time-out would cut; the stream goes on afterwards.
#   https_front_test.sh <build dir> <source dir> quick|long
set -euo pipefail
source "$(dirname "$0")/common.sh"
for tool in nginx openssl curl ffprobe; do
  command -v $tool >/dev/null || { echo "$tool is not installed"; exit 77; }
done
build=$1 source_dir=$2 mode=$3 prefix=$scratch/prefix key=correct-horse-battery
install_into "$build" "$prefix"

nginx_pid=
stop_nginx() {
  if [ -n "$nginx_pid" ]; then kill -TERM "$nginx_pid" 2>/dev/null || true; fi
  if [ -n "$server_pid" ]; then kill -CONT "$server_pid" 2>/dev/null || true; fi
  cleanup
}
trap stop_nginx EXIT

# The test's CA and a certificate it signs for 127.0.0.1 (nothing else trusts either).
tls=$scratch/https
mkdir -p "$tls"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=ormidal-test-ca \
  -keyout "$tls/ca-key.pem" -out "$tls/ca.pem" 2>/dev/null
openssl req -newkey rsa:2048 -nodes -subj /CN=127.0.0.1 -keyout "$tls/key.pem" \
  -out "$tls/cert.csr" 2>/dev/null
printf 'subjectAltName=IP:127.0.0.1,DNS:localhost\n' >"$tls/san.ext"
openssl x509 -req -in "$tls/cert.csr" -CA "$tls/ca.pem" -CAkey "$tls/ca-key.pem" \
  -CAcreateserial -days 2 -extfile "$tls/san.ext" -out "$tls/leaf.pem" 2>/dev/null
# nginx presents the whole chain, as with a Let's Encrypt fullchain.pem.
cat "$tls/leaf.pem" "$tls/ca.pem" >"$tls/cert.pem"

port=$(free_port) https_port=$(free_port)
while [ "$https_port" = "$port" ]; do https_port=$(free_port); done
serve_offscreen "$prefix/bin/tarnick" "$port" "ACCESS_KEY=$key
LISTEN_ADDRESS=127.0.0.1"

# The conf as the README has it written, on the test's ports; one process, stopped by its pid.
sed -e "s|TARNICK_HTTPS_DIR|$tls|g" -e "s|listen 8443 ssl;|listen 127.0.0.1:$https_port ssl;|" \
  -e "s|http://127.0.0.1:7373|http://127.0.0.1:$port|g" \
  "$source_dir/docs/nginx/https.conf" >"$tls/https.conf"
nginx -p "$tls" -c "$tls/https.conf" -e "$tls/error.log" -g 'daemon off; master_process off;' &
nginx_pid=$!
front=https://127.0.0.1:$https_port
tls_curl() { curl -s --cacert "$tls/ca.pem" "$@"; }
status() { tls_curl -o /dev/null -w '%{http_code}' --max-time 10 "$@" || true; }

# The snapshot through the front, once the server has a picture (bounded: 20 s).
for _ in $(seq 80); do
  [ "$(status -u ":$key" "$front/snapshot.jpg")" = 200 ] && break
  kill -0 "$nginx_pid" 2>/dev/null || { cat "$tls/error.log"; fail "nginx ended"; }
  kill -0 "$server_pid" 2>/dev/null || { cat "$scratch/server.log"; fail "the server ended"; }
  sleep 0.25
done
tls_curl --max-time 10 -f -u ":$key" -o "$scratch/snapshot.jpg" "$front/snapshot.jpg" ||
  { cat "$tls/error.log"; fail "no snapshot through the front"; }
codec=$(ffprobe -v error -show_entries stream=codec_name,width,height -of csv=p=0 "$scratch/snapshot.jpg")
[ "$codec" = "mjpeg,320,240" ] || fail "the snapshot through the front is '$codec'"
# Only HTTPS whose certificate the client trusts: curl's own trust store refuses the test's CA.
curl -s -o /dev/null --max-time 10 "$front/snapshot.jpg" && fail "an untrusted certificate was accepted"

if [ "$mode" = long ]; then
  # One stream, read for the whole test; after 5 s the server is stopped for 65 s (not a byte
  # comes from it), then goes on; the viewer's connection must still be there and carry frames.
  tls_curl -N --max-time 90 -u ":$key" -o "$scratch/stream.bin" "$front/stream" &
  viewer=$!
  sleep 5
  kill -STOP "$server_pid"
  sleep 65
  before=$(stat -c %s "$scratch/stream.bin")
  kill -CONT "$server_pid"
  grown=
  for _ in $(seq 40); do
    kill -0 "$viewer" 2>/dev/null || break
    [ "$(stat -c %s "$scratch/stream.bin")" -gt $((before + 20000)) ] && { grown=1; break; }
    sleep 0.5
  done
  kill -0 "$viewer" 2>/dev/null || { cat "$tls/error.log"; fail "the stream was cut while the server was quiet"; }
  kill "$viewer" 2>/dev/null || true
  [ -n "$grown" ] || fail "the stream carried nothing after the server went on"
  echo "ok: /stream through the front went on across 65 s without a byte from the server"
  exit 0
fi

# The access key: nothing, a wrong one, Basic credentials, the URL's.
[ "$(status "$front/snapshot.jpg")" = 401 ] || fail "no key: not refused"
[ "$(status -u ":wrong" "$front/snapshot.jpg")" = 401 ] || fail "wrong key: not refused"
[ "$(status "$front/snapshot.jpg?key=$key")" = 200 ] || fail "the key in the URL: refused"

# Raw frames: straight from this machine they are served; through the front, never.
raw_type=application/x-ormidal-dib
content_type() {  # the type of the first part of a stream, read for at most 5 s
  curl -s --cacert "$tls/ca.pem" --max-time 5 -H "Accept: $raw_type" "$@" 2>/dev/null |
    head -c 4000 | tr -d '\0' | grep -aim1 '^content-type:' | tr -d '\r' || true
}
direct=$(content_type "http://127.0.0.1:$port/stream?key=$key")
[[ $direct == *"$raw_type"* ]] || fail "the server sends no raw frames to this machine: '$direct'"
through=$(content_type "$front/stream?key=$key")
[[ $through == *image/jpeg* ]] || fail "raw accepted through the front: got '$through'"
[ "$(status "$front/stream?raw=1&key=$key")" = 403 ] || fail "raw=1 through the front: not refused"

# The server's own page in headless Chromium, trusting the CA by its key's hash, shows the
# live picture: the image's area is the test pattern, not the page's dark background.
if command -v chromium >/dev/null; then
  spki=$(openssl x509 -in "$tls/ca.pem" -pubkey -noout | openssl pkey -pubin -outform der |
    openssl dgst -sha256 -binary | base64)
  timeout 60 chromium --headless --no-sandbox --disable-gpu --user-data-dir="$scratch/chromium" \
    --ignore-certificate-errors-spki-list="$spki" --window-size=400,300 \
    --screenshot="$scratch/page.png" "$front/?key=$key" >"$scratch/chromium.log" 2>&1 || true
  [ -s "$scratch/page.png" ] || { cat "$scratch/chromium.log"; fail "no screenshot of the page"; }
  # Share of pixels in the picture's 320x240 area that differ from the background (#111).
  share=$(ffmpeg -v error -i "$scratch/page.png" -vf crop=320:240:0:0 -f rawvideo -pix_fmt rgb24 - |
    python3 -c '
import sys
data = sys.stdin.buffer.read()
pixels = len(data) // 3
other = sum(1 for i in range(0, len(data), 3) if max(abs(c - 0x11) for c in data[i:i + 3]) > 24)
print(other * 100 // max(pixels, 1))')
  [ "$share" -ge 50 ] || fail "the page shows no picture through the front ($share% of its area)"
  echo "the page through the front: $share% of the picture's area drawn"
fi
echo "ok: snapshot, key, raw refusal and the viewer page through the HTTPS front on port $https_port"
