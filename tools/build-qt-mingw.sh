#!/usr/bin/env bash
# Builds a static Qt (Core, Gui, Widgets, Test, the windows and offscreen
# platform plugins) for 64-bit Windows with Debian's MinGW-w64, once, into a
# cache outside the clone. Debian has no Qt for MinGW, but it has Qt's source:
# the source package matching the installed host tools (qt6-base-dev-tools) is
# fetched through apt with a private configuration, so the machine's own apt
# sources stay untouched.
#
# The prefix holds a stamp of the build's inputs (Qt's source version, the
# compiler, CMake, the configuration); when the stamp matches, the script
# does nothing.
# Prints the prefix on its last line of output; with --print-prefix it only
# prints the prefix and builds nothing.
#
# Environment:
#   QUENNET_QT_MINGW   the prefix (default ~/.cache/quennet/qt-6.4.2-mingw64)
#   QUENNET_QT_JOBS    parallel compile jobs (default: the number of cores)
#   QUENNET_DEBIAN_MIRROR  where the source comes from (default deb.debian.org)
set -euo pipefail

qt_version=6.4.2
cache_root="${XDG_CACHE_HOME:-$HOME/.cache}/quennet"
prefix="${QUENNET_QT_MINGW:-$cache_root/qt-$qt_version-mingw64}"
jobs="${QUENNET_QT_JOBS:-$(nproc 2>/dev/null || echo 2)}"
mirror="${QUENNET_DEBIAN_MIRROR:-http://deb.debian.org}"
triplet=x86_64-w64-mingw32
stamp_file="$prefix/quennet-qt.stamp"

fail() { echo "build-qt-mingw: $*" >&2; exit 1; }

case "${1:-}" in
  --print-prefix) echo "$prefix"; exit 0 ;;
  "") ;;
  *) echo "usage: $0 [--print-prefix]" >&2; exit 2 ;;
esac

# Everything the build needs, with the package that brings it.
needs=(
  "apt-get:apt" "dpkg-source:dpkg-dev" "xz:xz-utils" "cmake:cmake" "ninja:ninja-build"
  "$triplet-gcc-posix:gcc-mingw-w64-x86-64-posix" "$triplet-g++-posix:g++-mingw-w64-x86-64-posix"
  "/usr/lib/qt6/libexec/moc:qt6-base-dev-tools" "sha256sum:coreutils" "flock:util-linux"
)
missing=()
for need in "${needs[@]}"; do
  command -v "${need%%:*}" >/dev/null 2>&1 || missing+=("${need#*:}")
done
[ ${#missing[@]} -eq 0 ] ||
  fail "missing ${missing[*]}; install with: bash tools/install-deps.sh windows"

# Cross-building Qt needs host tools of the very same version.
host_version=$(dpkg-query -W -f='${Version}' qt6-base-dev-tools 2>/dev/null) ||
  fail "qt6-base-dev-tools is not installed; install with: bash tools/install-deps.sh windows"
source_version=${host_version%+b[0-9]*}     # a binary-only rebuild keeps the source's version
upstream=${source_version#*:}
upstream=${upstream%%+*}
upstream=${upstream%%-*}
[ "$upstream" = "$qt_version" ] ||
  fail "the host tools are Qt $upstream, this script builds Qt $qt_version (qt6-base-dev-tools $host_version)"

# What the build depends on: a change to any of these builds Qt afresh.
# Qt's configuration, and the toolchain that Qt's own toolchain file
# chain-loads into every project built with the prefix's qt-cmake.
toolchain_text="set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER $triplet-gcc-posix)
set(CMAKE_CXX_COMPILER $triplet-g++-posix)
set(CMAKE_RC_COMPILER $triplet-windres)
set(CMAKE_FIND_ROOT_PATH /usr/$triplet)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)"
# Debian's source lacks the accessibility bridge and the tablet headers;
# the windows platform plugin of this version needs OpenGL on. Every bundled
# library is used, so nothing depends on what MinGW libraries are installed.
qt_options=(
  -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=OFF
  -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake
  -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DQT_BUILD_BENCHMARKS=OFF
  -DFEATURE_accessibility=OFF -DFEATURE_tabletevent=OFF
  -DFEATURE_network=OFF -DFEATURE_sql=OFF -DFEATURE_dbus=OFF -DFEATURE_xml=OFF
  -DFEATURE_concurrent=OFF -DFEATURE_printsupport=OFF
  -DFEATURE_zstd=OFF -DFEATURE_icu=OFF -DFEATURE_vulkan=OFF
  -DFEATURE_system_zlib=OFF -DFEATURE_system_png=OFF -DFEATURE_system_jpeg=OFF
  -DFEATURE_system_freetype=OFF -DFEATURE_system_harfbuzz=OFF -DFEATURE_system_pcre2=OFF
  -DFEATURE_system_doubleconversion=OFF -DFEATURE_system_libb2=OFF
)
inputs() {
  echo "qt6-base $source_version"
  dpkg-query -W -f='${Package} ${Version}\n' g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev cmake 2>/dev/null
  echo "options ${qt_options[*]}"
  echo "$toolchain_text" | sha256sum | sed 's/ .*/ toolchain/'
}
wanted=$(inputs)

current() { [ -x "$prefix/bin/qt-cmake" ] && [ "$(cat "$stamp_file" 2>/dev/null)" = "$wanted" ]; }
if current; then
  echo "Qt $qt_version for MinGW-w64 is current"
  echo "$prefix"
  exit 0
fi

# One build at a time per prefix; a second caller waits, then finds it current.
mkdir -p "$(dirname "$prefix")"
exec 9>"$prefix.lock"
if ! flock -n 9; then
  echo "Waiting for another build of Qt into $prefix ..."
  flock 9
  if current; then
    echo "$prefix"
    exit 0
  fi
fi

# The work folder survives a failed or interrupted build, so that running the
# script again resumes; it is keyed to the inputs and removed after success.
work="$prefix.work"
key=$(echo "$wanted" | sha256sum | cut -d' ' -f1)
if [ "$(cat "$work/key" 2>/dev/null)" != "$key" ]; then
  rm -rf "$work"
  mkdir -p "$work"
  echo "$key" > "$work/key"
fi
echo "Building Qt $qt_version for MinGW-w64 into $prefix (once per machine; about 20 minutes at 2 jobs)"
started=$(date +%s)

# The source, through apt, with a configuration of our own: it adds deb-src
# lines and keeps its lists in the work folder. Timeouts keep a dead network
# from hanging the build.
if [ ! -f "$work/source.done" ]; then
  apt_dir="$work/apt"
  rm -rf "$apt_dir" "$work/dl"
  mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$apt_dir/parts" "$work/dl"
  keyring=/usr/share/keyrings/debian-archive-keyring.gpg
  [ -f "$keyring" ] || fail "missing $keyring; install with: apt-get install debian-archive-keyring"
  cat > "$apt_dir/sources.list" <<EOF
deb-src [signed-by=$keyring] $mirror/debian bookworm main
deb-src [signed-by=$keyring] $mirror/debian bookworm-updates main
deb-src [signed-by=$keyring] $mirror/debian-security bookworm-security main
EOF
  apt_opts=(-q -o Dir::Etc::SourceList="$apt_dir/sources.list" -o Dir::Etc::SourceParts="$apt_dir/parts"
            -o Dir::State::Lists="$apt_dir/lists" -o Dir::Cache="$apt_dir/cache"
            -o APT::Sandbox::User="$(id -un)" -o Acquire::Retries=2
            -o Acquire::http::Timeout=60 -o Acquire::https::Timeout=60)
  timeout 900 apt-get "${apt_opts[@]}" update ||
    fail "apt-get update with the private source list failed (is $mirror reachable?)"
  (cd "$work/dl" && timeout 1800 apt-get "${apt_opts[@]}" source --download-only "qt6-base=$source_version") ||
    fail "could not fetch the source of qt6-base $source_version from $mirror"
  # apt has checked the files against the signed index; dpkg-source then
  # only misses the uploader's key, which it would report at length.
  dpkg-source -x "$work/dl"/qt6-base_*.dsc "$work/src" >"$work/unpack.log" 2>&1 ||
    fail "could not unpack the source of qt6-base $source_version"
  rm -rf "$work/dl" "$apt_dir"
  touch "$work/source.done"
fi

rm -rf "$prefix"
mkdir -p "$prefix/share/quennet"
toolchain="$prefix/share/quennet/mingw-w64-x86_64.cmake"
echo "$toolchain_text" > "$toolchain"
cmake -S "$work/src" -B "$work/build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
  -DCMAKE_INSTALL_PREFIX="$prefix" "${qt_options[@]}" > "$work/configure.log" 2>&1 ||
  { tail -n 40 "$work/configure.log" >&2; fail "configuring Qt failed (log: $work/configure.log)"; }

cmake --build "$work/build" -j "$jobs" || fail "building Qt failed (the work folder $work is kept; run again to resume)"
cmake --install "$work/build" > "$work/install.log" 2>&1 ||
  { tail -n 20 "$work/install.log" >&2; fail "installing Qt failed"; }
[ -x "$prefix/bin/qt-cmake" ] || fail "the build left no $prefix/bin/qt-cmake"

echo "$wanted" > "$stamp_file"
rm -rf "$work"
echo "Qt $qt_version for MinGW-w64 built in $(( ($(date +%s) - started) / 60 )) min"
echo "$prefix"
