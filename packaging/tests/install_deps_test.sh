#!/usr/bin/env bash
# scripts/install-deps leaves no service running or enabled that the user did not ask for: a
# package whose maintainer scripts enable its service (systemd link and SysV links, as Debian's
# helpers do) and start it (through invoke-rc.d, and its own way besides) is installed through
# the script; afterwards the service is neither running nor enabled, and every service that was
# enabled before still is; and the start asked through invoke-rc.d was refused while installing.
# A machine's own policy-rc.d (containers have one that refuses everything) is hidden from the
# script in a mount namespace of its own (in runlevel 2, as a booted machine is), so the
# script's policy is the one tried.
# Needs root (it installs and purges a small package of its own).
#   install_deps_test.sh <source dir>
set -euo pipefail
source "$(dirname "$0")/common.sh"
[ "$(id -u)" -eq 0 ] || { echo "needs root to install a package"; exit 77; }
for tool in dpkg-deb apt-get update-rc.d; do
  command -v $tool >/dev/null || { echo "$tool is not installed"; exit 77; }
done
source_dir=$1 name=ormidal-install-deps-probe
pidfile=/run/$name.pid starts=/run/$name.starts

running() { [ -f "$pidfile" ] && kill -0 "$(cat "$pidfile")" 2>/dev/null; }
probe_cleanup() {
  apt-get purge -y -qq -o DPkg::Lock::Timeout=300 "$name" >/dev/null 2>&1 || true
  if running; then kill "$(cat "$pidfile")" || true; fi
  rm -f "$pidfile" "$starts"
  cleanup
}
trap probe_cleanup EXIT

root=$scratch/pkg
mkdir -p "$root/DEBIAN" "$root/etc/init.d" "$root/lib/systemd/system"
cat >"$root/DEBIAN/control" <<CONTROL
Package: $name
Version: 1.0
Architecture: all
Maintainer: Ormidal developers <ormidal@localhost>
Description: service of the install-deps test
CONTROL
cat >"$root/etc/init.d/$name" <<INIT
#!/bin/sh
### BEGIN INIT INFO
# Provides:          $name
# Required-Start:    \$remote_fs
# Required-Stop:     \$remote_fs
# Default-Start:     2 3 4 5
# Default-Stop:      0 1 6
# Short-Description: service of the install-deps test
### END INIT INFO
case "\$1" in
  start) echo "start \${OWN_WAY:-invoke-rc.d}" >>$starts
         setsid sleep 100000 </dev/null >/dev/null 2>&1 & echo \$! >$pidfile ;;
  stop) [ -f $pidfile ] && kill "\$(cat $pidfile)" 2>/dev/null; rm -f $pidfile ;;
  status) [ -f $pidfile ] && kill -0 "\$(cat $pidfile)" 2>/dev/null ;;
esac
exit 0
INIT
chmod 755 "$root/etc/init.d/$name"
cat >"$root/lib/systemd/system/$name.service" <<UNIT
[Unit]
Description=service of the install-deps test
[Service]
ExecStart=/bin/sleep 100000
[Install]
WantedBy=multi-user.target
UNIT
cat >"$root/DEBIAN/postinst" <<POSTINST
#!/bin/sh
set -e
if [ "\$1" = configure ]; then
  if command -v deb-systemd-helper >/dev/null; then deb-systemd-helper enable $name.service; fi
  update-rc.d $name defaults >/dev/null
  if [ -d /run/systemd/system ]; then deb-systemd-invoke start $name.service || true
  else invoke-rc.d $name start || true; fi
  # Some packages start their service their own way, whatever policy-rc.d says.
  OWN_WAY=own /etc/init.d/$name start
fi
POSTINST
cat >"$root/DEBIAN/prerm" <<PRERM
#!/bin/sh
/etc/init.d/$name stop || true
PRERM
cat >"$root/DEBIAN/postrm" <<POSTRM
#!/bin/sh
if [ "\$1" = purge ]; then
  update-rc.d $name remove >/dev/null || true
  if command -v deb-systemd-helper >/dev/null; then deb-systemd-helper purge $name.service || true; fi
fi
POSTRM
chmod 755 "$root/DEBIAN/postinst" "$root/DEBIAN/prerm" "$root/DEBIAN/postrm"
dpkg-deb --build --root-owner-group "$root" "$scratch/$name.deb" >/dev/null

# What is enabled: systemd's wants links and SysV start links.
enabled() {
  {
    find /etc/systemd/system -path '*.wants/*' -name '*.service' -printf '%f\n' 2>/dev/null |
      sed 's/\.service$//'
    find /etc/rc2.d /etc/rc3.d /etc/rc4.d /etc/rc5.d -name 'S*' -printf '%f\n' 2>/dev/null |
      sed 's/^S[0-9]*//'
  } | sort -u
}
before=$(enabled)
run_install_deps=(bash "$source_dir/scripts/install-deps" "$scratch/$name.deb")
if [ -e /usr/sbin/policy-rc.d ] && command -v unshare >/dev/null; then
  mkdir "$scratch/sbin"
  cp -a /usr/sbin/. "$scratch/sbin/"
  rm "$scratch/sbin/policy-rc.d"
  # A machine in runlevel 2, where invoke-rc.d starts what is enabled (a container has none).
  printf '#!/bin/sh\necho N 2\n' >"$scratch/sbin/runlevel"
  run_install_deps=(unshare -m sh -c 'mount --bind "$0" /usr/sbin && exec "$@"' "$scratch/sbin"
                    "${run_install_deps[@]}")
fi
rm -f "$starts"
"${run_install_deps[@]}" >"$scratch/install.log" 2>&1 ||
  { cat "$scratch/install.log"; fail "install-deps"; }
cat "$scratch/install.log"
echo "starts: $(cat "$starts" 2>/dev/null | xargs)"
grep -qx "start own" "$starts" || fail "the package did not start its service its own way"
! grep -qx "start invoke-rc.d" "$starts" || fail "a service was started while installing"
dpkg-query -W -f='${Status}' "$name" | grep -q 'install ok installed' || fail "$name not installed"
after=$(enabled)
! running || fail "install-deps left $name running"
! grep -qx "$name" <<<"$after" || fail "install-deps left $name enabled: $(ls /etc/rc2.d | grep "$name")"
[ "$before" = "$after" ] ||
  fail "services enabled before changed:$(diff <(echo "$before") <(echo "$after"))"
for policy in /usr/sbin/policy-rc.d "$scratch/sbin/policy-rc.d"; do
  if grep -qF "install-deps" "$policy" 2>/dev/null; then fail "install-deps left $policy behind"; fi
done
echo "ok: $name installed through install-deps, neither running nor enabled"
