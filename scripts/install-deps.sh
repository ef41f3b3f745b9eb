#!/usr/bin/env bash
# Installs every Debian package that building, testing and the demo need.
# Idempotent: packages already present are left alone.
set -euo pipefail
packages=(
  build-essential cmake pkg-config
  nlohmann-json3-dev libcli11-dev libexpected-dev libsqlite3-dev
  libmosquitto-dev mosquitto mosquitto-clients libqrencode-dev
  qt6-base-dev qt6-httpserver-dev qt6-websockets-dev libgl-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  clang clang-format libclang-rt-14-dev lld
  iproute2 procps
  xvfb xauth x11-apps imagemagick
  xdotool dbus at-spi2-core python3-pyatspi openbox
  tftp-hpa tftpd-hpa python3-jsonschema
  chromium chromium-driver python3-selenium
  fonts-dejavu-core
  debootstrap desktop-file-utils x11-utils man-db groff-base
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  if [ "$(id -u)" -ne 0 ]; then
    echo "install-deps: run as root to install: ${missing[*]}" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y --no-install-recommends "${missing[@]}"
fi
