#!/usr/bin/env bash
# The bookkeeping of tools/build-qt-mingw.sh, with stand-ins for apt-get,
# dpkg-query, dpkg-source and cmake (each logs its call): a first run
# fetches and builds, a second finds the stamp current and does nothing, a
# changed input builds afresh, a failed build resumes without fetching
# again, and a missing tool or a failed fetch stops with a clear message.
# Usage: build_qt_mingw_test.sh
set -euo pipefail
script=$(cd "$(dirname "$0")/../../tools" && pwd)/build-qt-mingw.sh
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
check() { local what=$1; shift; if "$@"; then echo "ok: $what"; else fail "$what"; fi; }

fakes=$tmp/bin
mkdir -p "$fakes"
cat > "$fakes/fake" <<'FAKE'
#!/usr/bin/env bash
# One stand-in for several tools, told apart by the name it runs under.
tool=$(basename "$0")
echo "$tool $*" >> "$FAKE_LOG"
case "$tool" in
  dpkg-query)
    if [[ "$*" == *qt6-base-dev-tools* ]]; then printf '%s' "$FAKE_QT"; exit 0; fi
    echo "g++-mingw-w64-x86-64-posix $FAKE_GCC"; echo "mingw-w64-x86-64-dev 10.0.0-3"; echo "cmake 3.25.1-1" ;;
  apt-get)
    [ -z "${FAKE_APT_FAILS:-}" ] || exit 100
    if [[ "$*" == *" source "* ]]; then last=${*: -1}; touch "qt6-base_${last#qt6-base=}.dsc"; fi ;;
  dpkg-source) mkdir -p "$3" ;;
  cmake)
    case "$1" in
      -S) mkdir -p "$4"; for a in "$@"; do if [[ "$a" == -DCMAKE_INSTALL_PREFIX=* ]]; then echo "${a#*=}" > "$4/prefix"; fi; done ;;
      --build) [ -z "${FAKE_BUILD_FAILS:-}" ] || exit 1 ;;
      --install) p=$(cat "$2/prefix"); mkdir -p "$p/bin"; touch "$p/bin/qt-cmake"; chmod +x "$p/bin/qt-cmake" ;;
    esac ;;
esac
FAKE
chmod +x "$fakes/fake"
for t in dpkg-query apt-get dpkg-source cmake ninja x86_64-w64-mingw32-gcc-posix x86_64-w64-mingw32-g++-posix; do
  ln -s fake "$fakes/$t"
done
export FAKE_LOG=$tmp/log FAKE_QT="6.4.2+dfsg-10+b1" FAKE_GCC="12.2.0-14"
export QUENNET_QT_MINGW=$tmp/cache/qt PATH="$fakes:$PATH"
run() { : > "$FAKE_LOG"; bash "$script" > "$tmp/out" 2>&1; }
calls() { grep -c "^$1 " "$FAKE_LOG" || true; }

check "a first run fetches the source of the host tools' version and builds" run
check "  ... asking apt for qt6-base=6.4.2+dfsg-10" grep -q 'source --download-only qt6-base=6.4.2+dfsg-10$' "$FAKE_LOG"
check "  ... and leaves the prefix, its stamp and no work folder" \
  test -x "$tmp/cache/qt/bin/qt-cmake" -a -s "$tmp/cache/qt/quennet-qt.stamp" -a ! -e "$tmp/cache/qt.work"
check "  ... with the toolchain that qt-cmake chain-loads inside the prefix" \
  grep -q 'x86_64-w64-mingw32-g++-posix' "$tmp/cache/qt/share/quennet/mingw-w64-x86_64.cmake"
check "  ... printing the prefix last" test "$(tail -n 1 "$tmp/out")" = "$tmp/cache/qt"

check "a second run finds the stamp current" run
check "  ... and neither fetches nor builds" test "$(calls apt-get)$(calls cmake)" = "00"
check "  ... and still prints the prefix last" test "$(tail -n 1 "$tmp/out")" = "$tmp/cache/qt"

rm "$tmp/cache/qt/bin/qt-cmake"
check "a prefix that lost its files under a current stamp builds afresh" run
check "  ... fetching and building" test "$(calls apt-get)" -ge 2 -a "$(calls cmake)" -ge 3

FAKE_GCC="12.2.0-15" check "a new compiler builds afresh" run
check "  ... fetching and building again" test "$(calls apt-get)" -ge 2 -a "$(calls cmake)" -ge 3

FAKE_QT="6.4.2+dfsg-11" FAKE_BUILD_FAILS=1 run && fail "a failed build reports success"
check "a failed build says so and keeps the work folder" \
  sh -c "grep -q 'building Qt failed' '$tmp/out' && test -d '$tmp/cache/qt.work/src'"
check "  ... and leaves no stamp to be trusted" test ! -e "$tmp/cache/qt/quennet-qt.stamp"
FAKE_QT="6.4.2+dfsg-11" check "the next run resumes without fetching again" run
check "  ... and builds" test "$(calls apt-get)" = "0" -a "$(calls cmake)" = "3"

FAKE_QT="6.5.0+dfsg-1" run && fail "host tools of another Qt are accepted"
check "host tools of another Qt are refused by name" grep -q 'host tools are Qt 6.5.0' "$tmp/out"

FAKE_QT="6.4.2+dfsg-12" FAKE_APT_FAILS=1 run && fail "a failed fetch reports success"
check "a failed fetch says where it failed" grep -q 'apt-get update with the private source list failed' "$tmp/out"

# A PATH of the stand-ins and the plain tools the script uses, without ninja.
plain=$tmp/plain
mkdir -p "$plain"
for t in bash basename cat chmod cut date dirname flock id mkdir nproc rm sed sha256sum tail timeout touch xz; do
  ln -s "$(command -v "$t")" "$plain/$t"
done
rm "$fakes/ninja"
PATH="$fakes:$plain" run && fail "a missing tool is not noticed"
check "a missing tool names its package and how to install it" \
  grep -q 'missing ninja-build; install with: bash tools/install-deps.sh windows' "$tmp/out"

[ "$failures" -eq 0 ] || { echo "$failures check(s) failed" >&2; exit 1; }
echo "all checks passed"
