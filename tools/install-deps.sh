#!/usr/bin/env bash
# Installs the Debian 12 packages that building and testing Quennet needs,
# skipping the ones already there. Uses sudo when not run as root.
# With the argument "windows": what the Windows cross-build, its static Qt
# (tools/build-qt-mingw.sh), its packages and its test run under wine need
# (make windows-test), kept apart so that `make run` stays lean. With "fuzz":
# clang and its libFuzzer runtime for the fuzz targets (make fuzz).
set -euo pipefail

if [ "${1:-}" = fuzz ]; then
  packages=(cmake clang libclang-rt-14-dev ccache)
elif [ "${1:-}" = windows ]; then
  packages=(cmake g++-mingw-w64-x86-64-posix googletest wine wine64 srecord ccache
            qt6-base-dev-tools dpkg-dev xz-utils ninja-build debian-archive-keyring
            nsis xvfb x11-utils imagemagick)
else
  packages=(build-essential cmake qt6-base-dev qt6-base-dev-tools libgl-dev
            libgtest-dev googletest srecord binutils binutils-arm-none-eabi
            fonts-dejavu-core stm32flash lrzsz
            dpkg-dev file desktop-file-utils ccache)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "Installing: ${missing[*]}"
$sudo env DEBIAN_FRONTEND=noninteractive apt-get update -q
$sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
