#!/usr/bin/env bash
# Builds the Debian package and the self-contained tarball from a build folder,
# checks the package with lintian, installs it with apt on this machine, starts
# it, purges it and checks that nothing of it is left; then unpacks the tarball
# and starts that too.
#   scripts/package-test.sh [build-dir]     (default: build)
# Needs root, because it installs into /usr: meant for CI's throw-away machine
# or a machine of your own. Exits 77 (skipped) when not root.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$(realpath "${1:-build}")
package=vuzev-tavi
marker=.vuzev-tavi-self-contained
started=$SECONDS

if [ "$(id -u)" -ne 0 ]; then
  echo "package test skipped: it installs the .deb with apt-get and needs root"
  exit 77
fi

work=$(mktemp -d)
apt_get() {
  DEBIAN_FRONTEND=noninteractive apt-get -q -o DPkg::Lock::Timeout=300 "$@"
}
cleanup() {
  if dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'installed'; then
    apt_get remove --purge -y "$package" >/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "package test FAILED: $*" >&2
  exit 1
}

# Runs the program for five seconds, headless, against a service address where
# nothing listens; it must still be running when the time is up (status 124).
# Extra arguments are environment assignments.
start_program() {
  local program=$1
  shift
  local home="$work/home"
  rm -rf "$home"
  mkdir -p "$home/runtime"
  chmod 700 "$home/runtime"
  local status=0
  env HOME="$home" XDG_CONFIG_HOME="$home/config" XDG_DATA_HOME="$home/data" XDG_CACHE_HOME="$home/cache" \
    XDG_RUNTIME_DIR="$home/runtime" QT_QPA_PLATFORM=offscreen \
    TAVI_API_BASE=http://127.0.0.1:9 TAVI_MODEL=off "$@" \
    timeout 5 "$program" >"$work/program.log" 2>&1 || status=$?
  if [ "$status" -ne 124 ]; then
    cat "$work/program.log" >&2
    fail "$program ended with status $status within 5 s instead of running"
  fi
  echo "  $program ran for 5 s"
}

echo "-- building the packages in $build ($((SECONDS - started)) s)"
[ -f "$build/CMakeCache.txt" ] || cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target vuzev-tavi tavi-pack tavi_packaging_files >/dev/null
rm -rf "$build/packages"
(cd "$build" && cpack -G "DEB;TGZ" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log" >&2; fail "cpack"; }
debs=("$build"/packages/*.deb)
tarballs=("$build"/packages/*.tar.gz)
if [ ${#debs[@]} -ne 1 ] || [ ! -f "${debs[0]}" ]; then fail "expected one .deb in $build/packages"; fi
if [ ${#tarballs[@]} -ne 1 ] || [ ! -f "${tarballs[0]}" ]; then fail "expected one .tar.gz in $build/packages"; fi
deb=${debs[0]}
tarball=${tarballs[0]}
echo "  $(basename "$deb"), $(basename "$tarball")"

echo "-- lintian ($((SECONDS - started)) s)"
lintian_status=0
lintian --fail-on error,warning --info --pedantic "$deb" >"$work/lintian.log" 2>&1 || lintian_status=$?
grep -v 'running with root privileges is not recommended' "$work/lintian.log" | sed 's/^/  /' || echo "  no tags"
[ "$lintian_status" -eq 0 ] || fail "lintian reports errors or warnings"

dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|' >"$work/deb-paths"
if grep -qF "$marker" "$work/deb-paths"; then
  fail "the .deb holds $marker, which would let the updater replace files the package manager owns"
fi

echo "-- installing the .deb with apt ($((SECONDS - started)) s)"
if dpkg-query -W "$package" >/dev/null 2>&1; then
  apt_get remove --purge -y "$package" >/dev/null
fi
# Directories the package brings that were not there before must go with it.
while read -r path; do
  case "$path" in */) [ -d "$path" ] || echo "${path%/}" ;; esac
done <"$work/deb-paths" >"$work/new-dirs"
apt_get install -y --no-install-recommends "$deb" >"$work/apt.log" 2>&1 || { cat "$work/apt.log" >&2; fail "apt-get install"; }
dpkg -L "$package" >"$work/installed"
while read -r path; do
  [ -e "$path" ] || fail "dpkg lists $path but it is not there"
done <"$work/installed"
start_program "/usr/bin/$package" LD_DEBUG=libs LD_DEBUG_OUTPUT="$work/ld"

# The command line, as a pipeline on a machine without a display runs it: it
# must answer with the service's failure (status 3), and load no window library.
cli_status=0
env -i PATH=/usr/bin:/bin HOME="$work" TAVI_API_BASE=http://127.0.0.1:9 TAVI_MODEL=off \
  LD_DEBUG=libs LD_DEBUG_OUTPUT="$work/ld-cli" /usr/bin/tavi-pack pull >/dev/null 2>"$work/cli.log" || cli_status=$?
if [ "$cli_status" -ne 3 ] || ! grep -q 'refused' "$work/cli.log"; then
  cat "$work/cli.log" >&2
  fail "tavi-pack pull against a closed port ended with status $cli_status, not 3"
fi
sed -n 's/.*calling init: \(\/.*\)$/\1/p' "$work"/ld-cli.* | sort -u >"$work/loaded-cli"
[ -s "$work/loaded-cli" ] || fail "no libraries were recorded for tavi-pack"
if grep -E '/libQt6(Gui|Qml|Quick|Widgets|DBus|OpenGL|XcbQpa)[^/]*$|/qt6/(plugins|qml)/' "$work/loaded-cli" >&2; then
  fail "tavi-pack loads Qt GUI, QML or Quick libraries or plugins"
fi
echo "  tavi-pack loads $(wc -l <"$work/loaded-cli") libraries, none of Qt's GUI, QML or Quick"

# Every shared object the running program loaded (libraries, Qt's platform
# plugin, the QML modules' plugins) must come from a package the .deb depends
# on, directly or through others; a QML module missing from Depends would
# install fine here and fail on a fresh machine.
sed -n 's/.*calling init: \(\/.*\)$/\1/p' "$work"/ld.* "$work"/ld-cli.* | sort -u >"$work/loaded"
[ -s "$work/loaded" ] || fail "no loaded libraries were recorded"
apt-cache depends --recurse --installed --no-recommends --no-suggests --no-conflicts \
  --no-breaks --no-replaces --no-enhances "$package" | grep -v '^ ' | tr -d '<>' | sort -u >"$work/closure"
# dpkg knows a library by the path its package ships (/lib or /usr/lib), so
# ask for both spellings at once (one dpkg -S reads its whole database).
while read -r path; do
  echo "$path"
  case "$path" in /usr/*) echo "${path#/usr}" ;; *) echo "/usr$path" ;; esac
done <"$work/loaded" | xargs dpkg -S 2>/dev/null |
  sed -n 's|^\([^:,]*\)[^ ]* \(/.*\)$|\2 \1|p' | sed 's|^/usr/|/|' >"$work/owners" || true
# Qt loads every image format plugin installed on the machine when it first
# reads an image (the window icon), whether the program needs it or not; such a
# plugin's package, and the libraries that package brings, are not ours to
# depend on.
optional=$(grep '/qt6/plugins/imageformats/' "$work/owners" | awk '{ print $2 }' | sort -u)
missing=()
while read -r path; do
  owner=$(awk -v p="${path#/usr}" '$1 == p { print $2; exit }' "$work/owners")
  if [ -n "$owner" ] && grep -qxF "$owner" <<<"$optional"; then
    continue
  elif [ -z "$owner" ]; then
    missing+=("$path (no package)")
  elif ! grep -qxF "$owner" "$work/closure"; then
    missing+=("$path ($owner)")
  fi
done <"$work/loaded"
if [ ${#missing[@]} -gt 0 ]; then
  printf '  %s\n' "${missing[@]}" >&2
  fail "the program loads files from packages that Depends does not bring in"
fi
echo "  $(wc -l <"$work/loaded") loaded libraries and plugins, all from the package's dependencies"

echo "-- purging the .deb ($((SECONDS - started)) s)"
apt_get remove --purge -y "$package" >"$work/apt.log" 2>&1 || { cat "$work/apt.log" >&2; fail "apt-get remove --purge"; }
if dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q .; then
  fail "dpkg still knows $package after purging it"
fi
left=()
while read -r path; do
  if [ -e "$path" ] && [ ! -d "$path" ]; then left+=("$path"); fi
done <"$work/installed"
while read -r dir; do
  if [ -e "$dir" ]; then left+=("$dir/"); fi
done <"$work/new-dirs"
if [ ${#left[@]} -gt 0 ]; then
  printf '  %s\n' "${left[@]}" >&2
  fail "purging left files behind"
fi
echo "  $(wc -l <"$work/installed") paths installed, none left"

echo "-- the self-contained tarball ($((SECONDS - started)) s)"
mkdir "$work/unpacked"
tar -xzf "$tarball" -C "$work/unpacked"
mapfile -t tops < <(ls -A "$work/unpacked")
if [ ${#tops[@]} -ne 1 ] || [ ! -d "$work/unpacked/${tops[0]}" ]; then
  fail "the tarball must hold one top folder, holds: ${tops[*]}"
fi
top="$work/unpacked/${tops[0]}"
if [ ! -f "$top/$marker" ] || [ -s "$top/$marker" ]; then
  fail "$marker missing from the tarball's top folder, or not empty"
fi
[ -x "$top/bin/$package" ] || fail "bin/$package missing from the tarball"
# The same program as the .deb, laid out under one folder instead of /usr.
(cd "$top" && find . -type f ! -name "$marker" | sed 's|^\./|/usr/|' | sort) >"$work/tar-files"
grep -v '/$' "$work/deb-paths" | sort >"$work/deb-files"
diff -u "$work/deb-files" "$work/tar-files" >&2 || fail "the tarball and the .deb hold different files"
start_program "$top/bin/$package"
"$top/bin/tavi-pack" --version | grep -qx "tavi-pack [0-9.]*" || fail "the tarball's tavi-pack does not start"

echo "package test passed in $((SECONDS - started)) s"
