#!/usr/bin/env bash
# Runs the Windows build under wine, in these steps:
#   1. the core tests (core_tests.exe);
#   2. the COM-port tests over a pseudo-terminal: wine's COM5 is linked to
#      the pty of pty_far_end (a Linux program), and core_tests.exe runs
#      Win32PtyLineTest against it;
#   3. quennet-flash.exe programs the simulated STM32 and MSP430 (and two
#      STM32 boards at once), reads, protects and erases them, of
#      quennet-board through a wine COM port, and the flash the board wrote
#      is compared with the firmware file;
#   4. the window's tests (ui_tests.exe, offscreen), with pty_far_end and
#      two boards on COM5 to COM7 for the tests of the real window on them,
#      and on COM8 lrzsz behind a shell (lrzsz_far_end) for its file
#      transfers;
#   5. quennet.exe on a virtual X display with the windows platform: its
#      main window appears (screenshot WIN_BUILD/quennet-window.png) and,
#      closed, writes its settings beside itself;
#   6. the zip's contents, and the installer: a silent per-user install,
#      the installed window started, a silent uninstall.
# Usage: tests/wine/wine-tests.sh HOST_BUILD WIN_BUILD
#   HOST_BUILD holds the Linux quennet-board, tests/pty_far_end and
#   tests/lrzsz_far_end,
#   WIN_BUILD the cross-built programs, tests and packages
#   (make windows-package).
set -euo pipefail

[ $# -eq 2 ] || { echo "usage: $0 HOST_BUILD WIN_BUILD" >&2; exit 2; }
host=$(realpath "$1")
win=$(realpath "$2")
data=$(realpath "$(dirname "$0")/../data")

if [ -x /usr/lib/wine/wine64 ]; then
  wine=/usr/lib/wine/wine64
else
  wine=$(command -v wine64 || command -v wine)
fi
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver64)

# A prefix of our own, no GUI, no prompts for Mono or Gecko.
export WINEPREFIX="$win/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree=;mshtml="
unset DISPLAY WAYLAND_DISPLAY

work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; wait "$p" 2>/dev/null || true; done
  rm -f "$WINEPREFIX"/dosdevices/com[5678]
  "$wineserver" -k >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "== Creating the wine prefix $WINEPREFIX"
  "$wine" wineboot -i >/dev/null 2>&1
fi
# One server for all the steps, ending in cleanup. The one wineboot left
# behind goes first: a server started later by a wine program would write
# to this script's output, and a wine COM port on a pty that closes sends
# it a hang-up, on which it dumps all its objects.
fresh_server() {
  "$wineserver" -k >/dev/null 2>&1 || true
  "$wineserver" -w >/dev/null 2>&1 || true
  "$wineserver" -p >/dev/null 2>&1 || true
}
fresh_server
# The window tests' offscreen platform reads font files from a folder: the
# DejaVu fonts of the Linux run keep text the size it has there. Wine does
# not hand QT_ variables on to Windows programs; the prefix's user
# environment does.
"$wine" reg add 'HKCU\Environment' /v QT_QPA_FONTDIR /d Z:/usr/share/fonts/truetype/dejavu /f >/dev/null 2>&1

# Starts a pty program in the background and waits for the pty path on its
# first line of output; links the wine port $2 (com5, ...) to it.
start_on_pty() {
  local out=$1 port=$2
  shift 2
  "$@" >"$out" 2>"$out.err" &
  pids+=($!)
  for _ in $(seq 50); do [ -s "$out" ] && break; sleep 0.1; done
  local pty
  pty=$(head -n 1 "$out")
  [ -n "$pty" ] && [ -e "$pty" ] || { echo "no pty from $*" >&2; cat "$out.err" >&2; return 1; }
  ln -sfn "$pty" "$WINEPREFIX/dosdevices/$port"
}

stop_last() {
  local p=${pids[-1]}
  kill -TERM "$p" 2>/dev/null || true
  wait "$p" 2>/dev/null || true
  unset 'pids[-1]'
}

# Fails unless every test of the suite $2 in the gtest log $1 ran and
# passed: a test skipped for want of its COM port would pass silently.
# Prints the run's summary.
all_ran() {
  if grep -q "^\[  SKIPPED \] $2\." "$1" || ! grep -q "^\[       OK \] $2\." "$1"; then
    cat "$1"
    echo "not every test of $2 ran" >&2
    return 1
  fi
  echo "$(grep -c "^\[       OK \] $2\." "$1") tests of $2 passed"
  grep '^\[  \(PASSED\|SKIPPED\) ' "$1"
}

# A Windows path for a file of ours (drive Z: is the Linux root).
winpath() { printf 'Z:%s' "${1//\//\\}"; }

echo "== Core tests under wine"
"$wine" "$win/tests/core_tests.exe" --gtest_brief=1

echo "== A COM port on a pseudo-terminal"
start_on_pty "$work/far.out" com5 "$host/tests/pty_far_end"
QUENNET_TEST_COM=COM5 "$wine" "$win/tests/core_tests.exe" \
  --gtest_filter='Win32PtyLineTest.*' >"$work/pty.log" 2>&1 || { cat "$work/pty.log"; exit 1; }
all_ran "$work/pty.log" Win32PtyLineTest
stop_last

echo "== quennet-flash.exe programs the simulated STM32"
head -c 9216 /dev/urandom >"$work/stm32.bin"
srec_cat "$work/stm32.bin" -binary -offset 0x08000000 \
  -o "$work/stm32.s37" -motorola -address-length=4 -obs=16 -disable=header
start_on_pty "$work/stm32.out" com6 "$host/quennet-board" --chip stm32 --no-announce \
  --period 0 --flash-out "$work/stm32-flash.bin"
start=$(date +%s.%N)
"$wine" "$win/quennet-flash.exe" --port COM6 --target STM32-115200 --verify \
  "$(winpath "$work/stm32.s37")" | tr -d '\r' | tee "$work/stm32.log"
echo "(wall time $(awk -v a="$start" -v b="$(date +%s.%N)" 'BEGIN { printf "%.2f", b - a }') s)"
tail -n 1 "$work/stm32.log" | grep -q '^PROGRAM OK in ' || { echo "STM32 run failed" >&2; exit 1; }
stop_last
cmp -n 9216 "$work/stm32.bin" "$work/stm32-flash.bin"
echo "the board's flash holds the image"

# Runs quennet-flash.exe with the arguments given; fails unless its last
# line starts with $1.
flash_ends() {
  local want=$1
  shift
  "$wine" "$win/quennet-flash.exe" "$@" | tr -d '\r' >"$work/action.log" || true
  tail -n 1 "$work/action.log" | grep -q "^$want" ||
    { cat "$work/action.log"; echo "quennet-flash.exe $*: no \"$want\"" >&2; exit 1; }
}

echo "== quennet-flash.exe reads, protects and erases the simulated STM32"
start_on_pty "$work/act.out" com6 "$host/quennet-board" --chip stm32 --no-announce \
  --period 0 --flash-out "$work/act-flash.bin"
any=(--port COM6 --target STM32-ANY-115200)
flash_ends 'PROGRAM OK in ' "${any[@]}" "$(winpath "$work/stm32.s37")"
flash_ends 'READ OK in ' "${any[@]}" --read "$(winpath "$work/act-read.bin")" --length 9216
cmp "$work/stm32.bin" "$work/act-read.bin"
flash_ends 'PROTECTION OK in ' "${any[@]}" --readout-protect
flash_ends 'PROTECTION OK in ' "${any[@]}" --readout-unprotect
flash_ends 'ERASE OK in ' "${any[@]}" --erase
stop_last
[ -z "$(tr -d '\377' <"$work/act-flash.bin" | head -c 1)" ] || { echo "the STM32 flash is not erased" >&2; exit 1; }
echo "read back equal, protected, unprotected and erased"

echo "== quennet-flash.exe programs, verifies and reads the simulated MSP430"
start_on_pty "$work/msp.out" com6 "$host/quennet-board" --chip msp430 --no-announce \
  --period 0 --flash-out "$work/msp-flash.bin"
cp "$data/srec/msp430_blink.s19" "$work/blink.s19"
"$wine" "$win/quennet-flash.exe" --port COM6 --target MSP430-19200 --verify \
  "$(winpath "$work/blink.s19")" | tr -d '\r' | tee "$work/msp.log"
tail -n 1 "$work/msp.log" | grep -q '^PROGRAM OK in ' || { echo "MSP430 run failed" >&2; exit 1; }
# The programmed vectors are the password that unlocks the read.
flash_ends 'READ OK in ' --port COM6 --target MSP430-19200 --password "$(winpath "$work/blink.s19")" \
  --read "$(winpath "$work/msp-read.bin")" --start 0xFC00 --length 0x400
stop_last
srec_cat "$work/blink.s19" -fill 0xFF 0x1000 0x10000 -crop 0x1000 0x10000 -offset -0x1000 \
  -o "$work/msp-expected.bin" -binary
cmp "$work/msp-expected.bin" "$work/msp-flash.bin"
cmp <(tail -c 1024 "$work/msp-expected.bin") "$work/msp-read.bin"
echo "the board's flash holds the image, and the read gives it back"

echo "== quennet-flash.exe programs two boards at once, each in a worker of its own"
start_on_pty "$work/many6.out" com6 "$host/quennet-board" --chip stm32 --no-announce \
  --period 0 --flash-out "$work/many6-flash.bin"
start_on_pty "$work/many7.out" com7 "$host/quennet-board" --chip stm32 --no-announce \
  --period 0 --flash-out "$work/many7-flash.bin"
"$wine" "$win/quennet-flash.exe" --port COM6 --port COM7 --target STM32-115200 \
  "$(winpath "$work/stm32.s37")" | tr -d '\r' | tee "$work/many.log"
for port in COM6 COM7; do
  grep -q "^\[$port\] PROGRAM OK in " "$work/many.log" || { echo "$port: no PROGRAM OK" >&2; exit 1; }
done
stop_last
stop_last
cmp -n 9216 "$work/stm32.bin" "$work/many6-flash.bin"
cmp -n 9216 "$work/stm32.bin" "$work/many7-flash.bin"
echo "both boards' flash holds the image"

echo "== The window's tests under wine (offscreen)"
# Left out, with the reason:
# - the terminal view's moved rows against the view drawn afresh: with the
#   unhinted FreeType rendering of the offscreen platform on Windows, the
#   antialiased tip of a glyph that reaches above its row ('`' of DejaVu Sans
#   Mono at 10 pt) is cut off where only the changed rows are drawn (2 pixels).
# - rows composed from cells against glyph runs: with that rendering most
#   glyphs reach into the rows above or below, and such a glyph is drawn over
#   the composed rows, after its neighbours; where unhinted letters overlap
#   that order shows (hinted fonts, as on Linux, keep every glyph in its row
#   and the test holds there pixel for pixel).
wine_known_differences=TerminalMemoView.MovedPicturesEqualTheViewDrawnAfresh:TerminalMemoView.RowsFromCellsEqualRowsDrawnGlyphByGlyph
start_on_pty "$work/far2.out" com5 "$host/tests/pty_far_end"
start_on_pty "$work/wstm.out" com6 "$host/quennet-board" --chip stm32 --no-announce \
  --period 0 --flash-out "$work/wstm-flash.bin"
start_on_pty "$work/wmsp.out" com7 "$host/quennet-board" --chip msp430 --no-announce \
  --period 0 --flash-out "$work/wmsp-flash.bin"
# Wine lists only the ports it found at boot; COM5 joins them as a
# plugged-in adapter would, for the test that picks its port from the list.
"$wine" reg add 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' /v '\Device\QuennetTest5' /d COM5 /f >/dev/null 2>&1
# lrzsz (sx, sb, sz, rx, rb, rz) on COM8, run in a folder that the window's
# tests reach through drive Z:.
mkdir "$work/far"
start_on_pty "$work/lrzsz.out" com8 "$host/tests/lrzsz_far_end" "$work/far"
QUENNET_TEST_COM=COM5 QUENNET_TEST_STM32_COM=COM6 QUENNET_TEST_MSP430_COM=COM7 \
  QUENNET_TEST_LRZSZ_COM=COM8 QUENNET_TEST_LRZSZ_DIR="$(winpath "$work/far")" \
  "$wine" "$win/tests/ui_tests.exe" --gtest_filter="-$wine_known_differences" >"$work/ui.log" 2>&1 ||
  { cat "$work/ui.log"; echo "the window's tests failed under wine" >&2; exit 1; }
all_ran "$work/ui.log" FormComPort
all_ran "$work/ui.log" Lrzsz/FormLrzszLine
grep '^\[   RATE   \]' "$work/ui.log" | tr -d '\r'
stop_last
stop_last
stop_last
stop_last
# The window's runs left the firmware in the boards' flash.
stm32_fw="$data/srec/stm32_app.s37"
srec_cat '(' "$stm32_fw" -fill 0xFF -over "$stm32_fw" ')' -offset -0x08000000 -o "$work/wstm-expected.bin" -binary
cmp -n "$(stat -c %s "$work/wstm-expected.bin")" "$work/wstm-expected.bin" "$work/wstm-flash.bin"
srec_cat "$data/srec/msp430_blink.s19" -fill 0xFF 0x1000 0x10000 -crop 0x1000 0x10000 -offset -0x1000 \
  -o "$work/wmsp-expected.bin" -binary
cmp "$work/wmsp-expected.bin" "$work/wmsp-flash.bin"
echo "the boards' flash holds the images the window programmed"

# A virtual X display for the windows platform; its number in $xdisplay.
Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$work/display" >"$work/xvfb.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
[ -s "$work/display" ] || { cat "$work/xvfb.log" >&2; echo "Xvfb did not start" >&2; exit 1; }
xdisplay=":$(head -n 1 "$work/display")"

caption="QUENNET - Serial Terminal and Serial Flash Loader"
# Starts the Windows program $1 on the display and waits up to 60 s for
# the main window's caption.
start_window() {
  DISPLAY=$xdisplay "$wine" "$1" >"$work/window.log" 2>&1 &
  pids+=($!)
  for _ in $(seq 120); do
    DISPLAY=$xdisplay xwininfo -root -tree 2>/dev/null | grep -qF "\"$caption\"" && return 0
    sleep 0.5
  done
  cat "$work/window.log" >&2
  echo "no window \"$caption\" from $1" >&2
  return 1
}
# Closes the window as Windows would at a logoff (WM_CLOSE) and waits up to
# 30 s for the program to end.
close_window() {
  local p=${pids[-1]}
  "$wine" taskkill /im quennet.exe >/dev/null 2>&1 || true
  for _ in $(seq 60); do kill -0 "$p" 2>/dev/null || break; sleep 0.5; done
  if kill -0 "$p" 2>/dev/null; then echo "quennet.exe did not end on WM_CLOSE" >&2; return 1; fi
  wait "$p" 2>/dev/null || true
  unset 'pids[-1]'
}

# The desktop process that wine started for the steps above has no display;
# a fresh server starts one on the virtual display with the first window.
fresh_server

echo "== quennet.exe on a virtual display"
rm -f "$win/quennet.INI"
start_window "$win/quennet.exe"
DISPLAY=$xdisplay import -window root "$win/quennet-window.png"
echo "the main window is up (screenshot $win/quennet-window.png)"
close_window
grep -q '^\[Form\]' "$win/quennet.INI" || { echo "no settings written beside quennet.exe" >&2; exit 1; }
echo "closed, it wrote its settings beside itself"

echo "== The zip"
zip=$(ls "$win"/quennet-*-win64.zip)
listed=$(cd "$work" && cmake -E tar tf "$zip" | sort | tr '\n' ' ')
name=$(basename "$zip" .zip)
[ "$listed" = "$name/ $name/LICENSE.txt $name/README.txt $name/quennet-flash.exe $name/quennet.exe " ] ||
  [ "$listed" = "$name/LICENSE.txt $name/README.txt $name/quennet-flash.exe $name/quennet.exe " ] ||
  { echo "unexpected zip contents: $listed" >&2; exit 1; }
echo "it holds the two programs, the README and the licence"

echo "== The installer"
setup=$(ls "$win"/quennet-*-win64-setup.exe)
"$wine" "$setup" /S
local_appdata=$("$wine" cmd /c echo %LOCALAPPDATA% | tr -d '\r')
appdata=$("$wine" cmd /c echo %APPDATA% | tr -d '\r')
target=$("$wine" winepath -u "$local_appdata\\Programs\\Quennet" | tr -d '\r')
shortcut=$("$wine" winepath -u "$appdata\\Microsoft\\Windows\\Start Menu\\Programs\\Quennet.lnk" | tr -d '\r')
uninstall_key='HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Quennet'
for f in quennet.exe quennet-flash.exe README.txt LICENSE.txt uninstall.exe; do
  [ -f "$target/$f" ] || { echo "the install lacks $target/$f" >&2; exit 1; }
done
cmp "$win/quennet.exe" "$target/quennet.exe"
[ -f "$shortcut" ] || { echo "no Start-menu entry $shortcut" >&2; exit 1; }
"$wine" reg query "$uninstall_key" /v DisplayIcon 2>/dev/null | tr -d '\r' | grep -qF 'Quennet\quennet.exe' ||
  { echo "no uninstall entry with the program's icon" >&2; exit 1; }
echo "installed for this user in $target, with a Start-menu entry and an uninstall entry"

start_window "$target/quennet.exe"
close_window
[ -f "$target/quennet.INI" ] || { echo "the installed window kept no settings beside itself" >&2; exit 1; }
echo "the installed window starts, and keeps its settings in its own folder"

# The uninstaller runs a copy of itself from the temporary folder and
# returns at once: wait for the files to go.
"$wine" "$target/uninstall.exe" /S
for _ in $(seq 60); do [ -e "$target/quennet.exe" ] || [ -e "$target/uninstall.exe" ] || break; sleep 0.5; done
for f in quennet.exe quennet-flash.exe README.txt LICENSE.txt uninstall.exe; do
  [ ! -e "$target/$f" ] || { echo "the uninstaller left $target/$f" >&2; exit 1; }
done
[ ! -e "$shortcut" ] || { echo "the uninstaller left the Start-menu entry" >&2; exit 1; }
if "$wine" reg query "$uninstall_key" >/dev/null 2>&1; then echo "the uninstaller left its registry entry" >&2; exit 1; fi
[ -f "$target/quennet.INI" ] || { echo "the uninstaller removed the user's settings" >&2; exit 1; }
rm -rf "$target"
echo "uninstalled; the user's settings file stays"
echo "== All wine tests passed"
