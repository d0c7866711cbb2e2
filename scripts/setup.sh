#!/usr/bin/env bash
# Installs the Debian 12 packages that building, running and testing need.
# Idempotent: when everything is present it only checks and returns.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git
  clang libclang-rt-14-dev clang-format
  qt6-base-dev qt6-declarative-dev qt6-httpserver-dev qt6-websockets-dev
  qcoro-qt6-dev libsodium-dev libsimdjson-dev libicu-dev
  libqt6sql6-sqlite libqt6concurrent6
  qml6-module-qtquick qml6-module-qtquick-controls qml6-module-qtquick-templates
  qml6-module-qtquick-layouts qml6-module-qtquick-window qml6-module-qtqml-workerscript
  qml6-module-qttest qml6-module-qtqml-models qml6-module-qtquick-shapes
  fonts-dejavu-core ca-certificates openssl
  # The command line's benchmark measures tavi-pack pull against a bare curl.
  curl
  qt6-qpa-plugins
  desktop-file-utils appstream lintian file
  # The window under its own X server, read through the accessibility bus.
  xvfb xauth dbus dbus-bin at-spi2-core python3-pyatspi imagemagick
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  echo "Installing: ${missing[*]}"
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
