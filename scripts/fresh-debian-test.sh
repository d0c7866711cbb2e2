#!/usr/bin/env bash
# Installs the Debian package on a fresh, minimal Debian 12 (a throw-away
# chroot that mmdebstrap builds from Debian's archive), letting apt resolve its
# dependencies, starts the program, purges it and checks that nothing of it is
# left. Takes about four minutes and 80 MB of downloads, so scripts/test.sh
# does not run it; scripts/package-test.sh covers the same ground on this
# machine. Needs root and mmdebstrap (apt-get install mmdebstrap).
#   scripts/fresh-debian-test.sh [path/to/vuzev-tavi_VERSION_ARCH.deb]
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "$(id -u)" -ne 0 ]; then
  echo "fresh Debian test skipped: mmdebstrap's chroot needs root"
  exit 77
fi
command -v mmdebstrap >/dev/null || { echo "needs mmdebstrap: apt-get install mmdebstrap" >&2; exit 1; }
if [ $# -ge 1 ]; then
  deb=$(realpath "$1")
else
  debs=(build/packages/vuzev-tavi_*.deb)
  [ -f "${debs[0]}" ] || { echo "no .deb in build/packages: run cpack in build first" >&2; exit 1; }
  deb=$(realpath "${debs[0]}")
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$deb" "$work/vuzev-tavi.deb"
# Runs inside the chroot.
cat >"$work/check.sh" <<'EOF'
set -eu
export DEBIAN_FRONTEND=noninteractive
apt-get install -y -q --no-install-recommends /tmp/vuzev-tavi.deb >/tmp/apt.log 2>&1 || { cat /tmp/apt.log; exit 1; }
echo "installed with $(dpkg-query -W -f='${Status}\n' | grep -c 'install ok installed') packages in the system"
files=$(dpkg -L vuzev-tavi)
mkdir -p /tmp/home/runtime && chmod 700 /tmp/home/runtime
status=0
HOME=/tmp/home XDG_RUNTIME_DIR=/tmp/home/runtime QT_QPA_PLATFORM=offscreen \
  TAVI_API_BASE=http://127.0.0.1:9 TAVI_MODEL=off timeout 5 vuzev-tavi >/tmp/run.log 2>&1 || status=$?
[ "$status" -eq 124 ] || { cat /tmp/run.log; echo "vuzev-tavi ended with status $status within 5 s"; exit 1; }
echo "vuzev-tavi ran for 5 s"
apt-get remove --purge -y -q vuzev-tavi >/tmp/apt.log 2>&1 || { cat /tmp/apt.log; exit 1; }
if dpkg-query -W vuzev-tavi >/dev/null 2>&1; then echo "dpkg still knows vuzev-tavi"; exit 1; fi
for path in $files; do
  if [ -e "$path" ] && ! dpkg -S "$path" >/dev/null 2>&1; then echo "left behind: $path"; exit 1; fi
done
echo "purged, nothing left"
EOF

# $1 in a hook is the chroot, expanded by mmdebstrap's hook shell.
# shellcheck disable=SC2016
mmdebstrap --quiet --variant=apt --mode=root --format=null \
  --customize-hook="copy-in $work/vuzev-tavi.deb $work/check.sh /tmp" \
  --customize-hook='chroot "$1" sh /tmp/check.sh' \
  bookworm /dev/null
echo "fresh Debian 12: $(basename "$deb") installs, starts and purges cleanly"
