#!/usr/bin/env bash
# Runs the Windows build under wine, in three steps:
#   1. the core tests (core_tests.exe);
#   2. the COM-port tests over a pseudo-terminal: wine's COM5 is linked to
#      the pty of pty_far_end (a Linux program), and core_tests.exe runs
#      Win32PtyLineTest against it;
#   3. quennet-flash.exe programs the simulated STM32 and MSP430 of
#      quennet-board through a wine COM port, and the flash the board wrote
#      is compared with the firmware file.
# Usage: tests/wine/wine-tests.sh HOST_BUILD WIN_BUILD
#   HOST_BUILD holds the Linux quennet-board and tests/pty_far_end,
#   WIN_BUILD the cross-built quennet-flash.exe and tests/core_tests.exe.
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
  rm -f "$WINEPREFIX/dosdevices/com5" "$WINEPREFIX/dosdevices/com6"
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
"$wineserver" -k >/dev/null 2>&1 || true
"$wineserver" -w >/dev/null 2>&1 || true
"$wineserver" -p >/dev/null 2>&1 || true

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

# A Windows path for a file of ours (drive Z: is the Linux root).
winpath() { printf 'Z:%s' "${1//\//\\}"; }

echo "== Core tests under wine"
"$wine" "$win/tests/core_tests.exe" --gtest_brief=1

echo "== A COM port on a pseudo-terminal"
start_on_pty "$work/far.out" com5 "$host/tests/pty_far_end"
QUENNET_TEST_COM=COM5 "$wine" "$win/tests/core_tests.exe" \
  --gtest_filter='Win32PtyLineTest.*' >"$work/pty.log" 2>&1 || { cat "$work/pty.log"; exit 1; }
# Skipped tests would pass silently: here every one must have run.
if grep -q '\[  SKIPPED \]' "$work/pty.log" || ! grep -q '\[  PASSED  \] [1-9]' "$work/pty.log"; then
  cat "$work/pty.log"
  echo "the COM port tests did not all run" >&2
  exit 1
fi
grep '\[  PASSED  \]' "$work/pty.log"
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

echo "== quennet-flash.exe programs the simulated MSP430"
start_on_pty "$work/msp.out" com6 "$host/quennet-board" --chip msp430 --no-announce \
  --period 0 --flash-out "$work/msp-flash.bin"
cp "$data/srec/msp430_blink.s19" "$work/blink.s19"
"$wine" "$win/quennet-flash.exe" --port COM6 --target MSP430-19200 \
  "$(winpath "$work/blink.s19")" | tr -d '\r' | tee "$work/msp.log"
tail -n 1 "$work/msp.log" | grep -q '^PROGRAM OK in ' || { echo "MSP430 run failed" >&2; exit 1; }
stop_last
srec_cat "$work/blink.s19" -fill 0xFF 0x1000 0x10000 -crop 0x1000 0x10000 -offset -0x1000 \
  -o "$work/msp-expected.bin" -binary
cmp "$work/msp-expected.bin" "$work/msp-flash.bin"
echo "the board's flash holds the image"
echo "== All wine tests passed"
