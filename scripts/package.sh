#!/usr/bin/env bash
# Builds the Debian packages (zevo-viewer, zevo-camd, zevo-p2pd, libzevo-p2p,
# libzevo-p2p-dev), installs them with apt on this machine, runs the installed programs,
# checks the systemd units and the service's keys made at installation (a viewer given no
# key trusts the machine's service through /etc/zevo/service-keys), removes the packages
# and checks that only configuration is left, and runs lintian (its report: build/default/packages/lintian.txt). Needs root
# (or sudo) for apt; the packages of scripts/setup-debian.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}
say() { echo "package.sh: $*"; }

# The packages install under /usr.
cmake --preset default -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
cmake --build --preset default
out=build/default/packages
rm -rf "$out"
(cd build/default && cpack -G DEB >/dev/null)
mapfile -t debs < <(ls "$out"/*.deb)
say "built ${debs[*]##*/}"
names=(zevo-viewer zevo-camd zevo-p2pd libzevo-p2p libzevo-p2p-dev)

lintian --info "${debs[@]}" >"$out/lintian.txt" 2>&1 || true
errors=$(grep -c '^E: ' "$out/lintian.txt" || true)
say "lintian: $errors errors, $(grep -c '^W: ' "$out/lintian.txt" || true) warnings ($out/lintian.txt)"

as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends \
  "${debs[@]/#/./}" >"$out/install.log" 2>&1 || { cat "$out/install.log" >&2; exit 1; }
say "installed"
zevo-host --version
zevo-camd --version
zevo-p2pd --version
pkg-config --modversion zevo-p2p
# The installed viewer, registered for a fresh user, runs the demo on the installed
# service and device.
home=$(mktemp -d)
module=$(dpkg -L zevo-viewer | grep '/zevoplayerocx.so$')
HOME=$home XDG_CONFIG_HOME=$home/.config zevo-regsvr "$module" >/dev/null
env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM HOME="$home" XDG_CONFIG_HOME="$home/.config" \
  zevo-host --demo --demo-seconds 4 | tail -1
rm -rf "$home"
systemd-analyze verify /lib/systemd/system/zevo-p2pd.service /lib/systemd/system/zevo-camd.service
say "units verified"

# The signing seed (root only) and the line viewers pin (anyone), made by postinst.
[ "$(stat -c '%a %U' /etc/zevo/p2pd-signing.key)" = "600 root" ]
[ "$(stat -c '%a %U' /etc/zevo/service-keys)" = "644 root" ]
grep -qxF "$(zevo-p2pd --signing-key-file /etc/zevo/p2pd-signing.key --print-service-key)" \
  /etc/zevo/service-keys
# The installed service with the installed keys, a device, and a viewer that is given no
# key: it finds /etc/zevo/service-keys and its session runs sealed.
work=$(mktemp -d)
zevo-p2pd --listen 127.0.0.1:0 --port-file "$work/port" --key-file /etc/zevo/p2pd.key \
  --signing-key-file /etc/zevo/p2pd-signing.key >/dev/null 2>"$work/p2pd.log" &
p2pd=$!
for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.05; done
did=PKGT-000001-CHECK
server=127.0.0.1:$(cat "$work/port")
zevo-p2pcheck --server "$server" --serve $did \
  --secret "$(zevo-p2pd --key-file /etc/zevo/p2pd.key --device-secret $did)" >"$work/device" 2>&1 &
device=$!
for _ in $(seq 100); do grep -qs serving "$work/device" && break; sleep 0.05; done
env -u ZEVO_P2P_SERVICE_KEYS HOME="$work" XDG_CONFIG_HOME="$work" \
  zevo-p2pcheck --server "$server" --pings 5 --bytes 0 $did >"$work/viewer" 2>&1 || true
kill $device $p2pd
wait $device $p2pd 2>/dev/null || true
if ! grep -q '^security   sealed' "$work/viewer"; then
  cat "$work/viewer" "$work/p2pd.log" >&2
  exit 1
fi
rm -rf "$work"
say "service keys made at installation; a viewer trusts them from /etc/zevo/service-keys"
for user in zevo-p2pd zevo-camd; do getent passwd "$user" >/dev/null; done
say "system users exist"

# Everything the packages own, to look for it after removal.
owned=$(dpkg -L "${names[@]}" | sort -u)
as_root env DEBIAN_FRONTEND=noninteractive apt-get remove -y "${names[@]}" >"$out/remove.log" 2>&1
left=()
while IFS= read -r path; do
  if [ -f "$path" ] && [[ "$path" != /etc/* ]]; then left+=("$path"); fi
done <<<"$owned"
for state in /var/lib/zevo-p2pd /var/lib/zevo-camd; do
  if [ -e "$state" ]; then left+=("$state"); fi
done
if [ "${#left[@]}" -ne 0 ]; then
  say "left after removal: ${left[*]}" >&2
  exit 1
fi
say "removed; left: $(dpkg-query -W -f='${db:Status-Abbrev}${Package} ' "${names[@]}" 2>/dev/null | grep -o 'rc [^ ]*' | tr '\n' ' ')(configuration only)"
# Purge leaves the machine as it was, but for the system users Debian keeps.
as_root dpkg --purge "${names[@]}" >>"$out/remove.log" 2>&1
for path in /etc/zevo /etc/zevo-camd.conf /var/lib/zevo-p2pd /var/lib/zevo-camd; do
  if [ -e "$path" ]; then
    say "left after purge: $path" >&2
    exit 1
  fi
done
say "purged"
if [ "$errors" -ne 0 ]; then
  grep '^E: ' "$out/lintian.txt" >&2
  exit 1
fi
say "done"
