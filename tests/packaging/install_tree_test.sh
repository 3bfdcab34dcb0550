#!/usr/bin/env bash
# What a user gets from an install: installs the build folder into a
# temporary prefix and checks the programs, manual pages, desktop entry and
# icons; starts the installed window and checks that it keeps its settings
# in the configuration folder (and a copy in a folder of its own beside
# itself); packs the .deb from the same build folder and inspects it.
# Usage: install_tree_test.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
tmp=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -KILL "$pid" 2>/dev/null || true; done
  rm -rf "$tmp"
}
trap cleanup EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
check() { local what=$1; shift; if "$@"; then echo "ok: $what"; else fail "$what"; fi; }

prefix=$tmp/usr
cmake --install "$build" --prefix "$prefix" > "$tmp/install.log" || { cat "$tmp/install.log"; fail "cmake --install"; exit 1; }

# --- programs
check "bin holds the three programs and nothing else" \
  test "$(ls "$prefix/bin" | tr '\n' ' ')" = "quennet quennet-board quennet-flash "
for p in quennet quennet-board quennet-flash; do
  check "$p is executable" test -x "$prefix/bin/$p"
done
check "installed quennet-flash runs" sh -c "'$prefix/bin/quennet-flash' --help | grep -q -- --target"
check "installed quennet-board runs" sh -c "'$prefix/bin/quennet-board' --help | grep -q -- --chip"

# --- manual pages
for p in quennet quennet-board quennet-flash; do
  page=$prefix/share/man/man1/$p.1.gz
  upper=$(echo "$p" | tr '[:lower:]' '[:upper:]')
  check "man page of $p" sh -c "gzip -dc '$page' | grep -q '^\\.TH $upper 1 '"
  if command -v man > /dev/null; then
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 > /dev/null || echo "man failed")
    check "man renders $p without warnings" test -z "$warnings"
  fi
done
check "man page of quennet tells where the settings are" \
  sh -c "gzip -dc '$prefix/share/man/man1/quennet.1.gz' | grep -q 'quennet/quennet.INI'"

# --- desktop entry and icons
entry=$prefix/share/applications/quennet.desktop
check "desktop entry installed" test -f "$entry"
if command -v desktop-file-validate > /dev/null; then
  check "desktop entry passes desktop-file-validate" desktop-file-validate "$entry"
else
  fail "desktop-file-validate is missing (Debian package desktop-file-utils)"
fi
exec_name=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$entry")
icon_name=$(sed -n 's/^Icon=//p' "$entry")
check "desktop entry starts an installed program ($exec_name)" test -n "$exec_name" -a -x "$prefix/bin/$exec_name"
check "desktop entry names an icon" test -n "$icon_name"
# Width and height from the PNG's IHDR chunk (big-endian at bytes 16 and 20).
png_size() { od -An -tu1 -j16 -N8 "$1" | awk '{print $1*16777216+$2*65536+$3*256+$4 "x" $5*16777216+$6*65536+$7*256+$8}'; }
png_magic() { od -An -tx1 -N8 "$1" | tr -d ' \n'; }
for n in 16 22 24 32 48 64 128 256; do
  png=$prefix/share/icons/hicolor/${n}x${n}/apps/$icon_name.png
  if [ -f "$png" ] && [ "$(png_magic "$png")" = 89504e470d0a1a0a ]; then
    check "icon $n x $n has its size" test "$(png_size "$png")" = "${n}x${n}"
  else
    fail "icon $n x $n is missing or no PNG"
  fi
done
check "scalable icon" grep -q '<svg' "$prefix/share/icons/hicolor/scalable/apps/$icon_name.svg"
for f in README.md LICENSE copyright; do
  check "document $f" test -s "$prefix/share/doc/quennet/$f"
done

# --- the installed window keeps its settings in the configuration folder
# Waits until pid has a handler for SIGTERM (the window closes on it and so
# writes its settings), sends it and waits for the exit; the exit status is
# left in closed_status.
close_window() {
  local pid=$1 i mask
  for i in $(seq 200); do
    mask=$(sed -n 's/^SigCgt:[[:space:]]*//p' "/proc/$pid/status" 2>/dev/null || true)
    [ -n "$mask" ] && [ $((16#$mask & 0x4000)) -ne 0 ] && break
    sleep 0.1
  done
  kill -TERM "$pid"
  for i in $(seq 200); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  closed_status=0
  wait "$pid" || closed_status=$?
}

cfg=$tmp/config
mkdir -p "$cfg/quennet"
printf '[Terminal]\r\nBaud=31250\r\n' > "$cfg/quennet/quennet.INI"
env -u HOME QT_QPA_PLATFORM=offscreen XDG_CONFIG_HOME="$cfg" "$prefix/bin/quennet" > "$tmp/window.log" 2>&1 &
pids+=($!)
close_window "${pids[-1]}"
check "installed window closes on SIGTERM with status 0 (got $closed_status)" test "$closed_status" = 0
check "installed window wrote its settings in the configuration folder" grep -q '^\[Form\]' "$cfg/quennet/quennet.INI"
check "installed window read its settings from there" grep -q '^Baud=31250' "$cfg/quennet/quennet.INI"
check "installed window wrote nothing beside itself" test ! -e "$prefix/bin/quennet.INI"

# A copy in a folder of its own keeps its settings beside itself.
mkdir -p "$tmp/portable"
cp "$prefix/bin/quennet" "$tmp/portable/quennet"
env QT_QPA_PLATFORM=offscreen XDG_CONFIG_HOME="$tmp/unused" "$tmp/portable/quennet" > "$tmp/portable.log" 2>&1 &
pids+=($!)
close_window "${pids[-1]}"
check "copied window closes on SIGTERM with status 0 (got $closed_status)" test "$closed_status" = 0
check "copied window keeps its settings beside itself" grep -q '^\[Form\]' "$tmp/portable/quennet.INI"
check "copied window made no configuration folder" test ! -e "$tmp/unused"

# --- the Debian package, packed from the same build folder
if command -v cpack > /dev/null && command -v dpkg-deb > /dev/null; then
  if (cd "$tmp" && cpack -G DEB -B "$tmp/deb" --config "$build/CPackConfig.cmake" > "$tmp/cpack.log" 2>&1); then
    deb=$(ls "$tmp"/deb/quennet_*.deb 2>/dev/null | head -n 1)
    check "cpack made quennet_<version>_<arch>.deb" test -n "$deb"
    if [ -n "$deb" ]; then
      check "package name" test "$(dpkg-deb -f "$deb" Package)" = quennet
      check "package section" test "$(dpkg-deb -f "$deb" Section)" = electronics
      check "package maintainer" sh -c "dpkg-deb -f '$deb' Maintainer | grep -q '<.*@.*>'"
      depends=$(dpkg-deb -f "$deb" Depends)
      for dep in libqt6widgets6 libqt6gui6 libqt6core6 qt6-qpa-plugins libc6; do
        check "package depends on $dep" sh -c "echo '$depends' | grep -q '$dep'"
      done
      dpkg-deb -c "$deb" | awk '{print $6}' > "$tmp/contents"
      for f in ./usr/bin/quennet ./usr/bin/quennet-board ./usr/bin/quennet-flash \
               ./usr/share/applications/quennet.desktop \
               ./usr/share/icons/hicolor/48x48/apps/quennet.png \
               ./usr/share/icons/hicolor/scalable/apps/quennet.svg \
               ./usr/share/man/man1/quennet-flash.1.gz ./usr/share/doc/quennet/copyright; do
        check "package holds $f" grep -qx -- "$f" "$tmp/contents"
      done
    fi
  else
    cat "$tmp/cpack.log" >&2
    fail "cpack -G DEB"
  fi
else
  fail "cpack or dpkg-deb is missing"
fi

if [ "$failures" -ne 0 ]; then echo "$failures check(s) failed" >&2; exit 1; fi
echo "all install checks passed"
