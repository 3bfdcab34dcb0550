#!/usr/bin/env bash
# Installs the Debian 12 packages that the Windows cross-build and its test
# run under wine need (make windows-test), skipping the ones already there.
# Kept apart from install-deps.sh so that `make run` stays lean. Uses sudo
# when not run as root.
set -euo pipefail

packages=(cmake g++-mingw-w64-x86-64-posix googletest wine wine64 srecord)

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
