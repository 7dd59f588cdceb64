#!/usr/bin/env bash
# The Debian package CPack makes: it declares what the program needs (Qt, FFmpeg, libyuv,
# libjpeg-turbo), apt can resolve it on this system, it carries the program, libraries, headers
# and user unit under /usr, and its program, unpacked into a bare folder, serves the camera
# with no display, its libraries found through its relative run path.
#   deb_test.sh <build dir>
set -euo pipefail
source "$(dirname "$0")/common.sh"
for tool in cpack dpkg-deb curl; do
  command -v $tool >/dev/null || { echo "$tool is not installed"; exit 77; }
done
build=$1
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$scratch/out" >"$scratch/cpack.log" 2>&1 ||
  { cat "$scratch/cpack.log"; fail "cpack"; }
deb=$(ls "$scratch"/out/*.deb)

info=$(dpkg-deb --info "$deb")
depends=$(sed -n 's/^ Depends: //p' <<<"$info")
echo "Depends: $depends"
for needed in libc6 libstdc++6 libqt6core6 libqt6gui6 libqt6widgets6 libqt6svg6 libavcodec \
              libavformat libavutil libswscale libyuv0 libturbojpeg0; do
  found=
  for name in $(sed 's/ ([^)]*)//g; s/,//g' <<<"$depends"); do
    # The name itself, or with its soname's number (libavcodec59).
    [[ $name == "$needed" || ($name == "$needed"* && ${name#"$needed"} =~ ^[0-9]+$) ]] && found=1
  done
  [ -n "$found" ] || fail "Depends lacks $needed"
done

# FFmpeg's packages with a minimum version no older than the one the build compiled against
# (the -dev package's upstream version): an older library may lack what the build uses.
for module in avformat avcodec avutil swscale; do
  entry=$(grep -oE "lib$module[0-9]+( \([^)]*\))?" <<<"$depends" | head -1)
  minimum_re='\(>= ([^)]+)\)'
  [[ $entry =~ $minimum_re ]] || fail "Depends names $entry with no minimum version"
  minimum=${BASH_REMATCH[1]}
  if built=$(dpkg-query -W -f='${Version}' "lib$module-dev" 2>/dev/null); then
    dpkg --compare-versions "$minimum" ge "${built%-*}" ||
      fail "$entry: older than lib$module-dev $built, which the build compiled against"
  fi
done

contents=$(dpkg-deb --contents "$deb" | awk '{print $6}')
for path in ./usr/bin/tarnick ./usr/lib/systemd/user/tarnick.service \
            ./usr/lib/systemd/user/tarnick@.service ./usr/include/lumora/Video.h \
            ./usr/include/ormidal/platform/wintypes.h ./usr/share/applications/tarnick.desktop; do
  grep -qx "$path" <<<"$contents" || fail "the package lacks $path"
done
# Nothing under a folder of /usr/include that is not the project's own.
if grep -E '^\./usr/include/[^/]+/' <<<"$contents" | grep -Ev '^\./usr/include/(lumora|tavrel|ormidal)/'; then
  fail "the package puts headers in a folder other packages may own"
fi
grep -Eq '^\./usr/lib/.*libormidal-platform\.so\.1$' <<<"$contents" || fail "no platform library"

# apt would install it here: every dependency resolves (a simulation, nothing is changed).
if command -v apt-get >/dev/null; then
  apt-get install -s -o Debug::NoLocking=1 "$deb" >"$scratch/apt.log" 2>&1 ||
    { cat "$scratch/apt.log"; fail "apt cannot install the package"; }
fi

dpkg-deb -x "$deb" "$scratch/root"
grep -qx "ExecStart=/usr/bin/tarnick" "$scratch/root/usr/lib/systemd/user/tarnick.service" ||
  fail "the packaged unit does not run /usr/bin/tarnick"
port=$(free_port)
serve_offscreen "$scratch/root/usr/bin/tarnick" "$port"
snapshot "$port" "$scratch/snapshot.jpg"
is_jpeg "$scratch/snapshot.jpg" || fail "the snapshot is no JPEG picture"
echo "ok: $(basename "$deb") serves on port $port from an unpacked tree"
