#!/usr/bin/env bash
# Runs the fuzz targets of a fuzz build folder, each for a given time, a few
# at a time, and says how many inputs each tried and whether it came through
# clean. Usage: fuzz/run.sh BUILD_DIR SECONDS_PER_TARGET PARALLEL [TARGET...]
# Each target keeps what it learnt in BUILD_DIR/fuzz/corpus/TARGET and starts
# from that and from the starting inputs in fuzz/seeds (the tests' own data files among them); an
# input that breaks a target is left in BUILD_DIR/fuzz/crashes/.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="$(cd "$1" && pwd)"; seconds="$2"; parallel="$3"; shift 3
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(fuzz_srecord fuzz_intelhex fuzz_titxt fuzz_firmware fuzz_lcd fuzz_ini fuzz_receive)

# Seed folders of each target, read but never written.
seeds() {
    local data="$here/../tests/data" s="$here/seeds"
    case "$1" in
        fuzz_srecord) echo "$data/srec" ;;
        fuzz_intelhex) echo "$s/intelhex" ;;
        fuzz_titxt) echo "$s/titxt" ;;
        fuzz_firmware) echo "$s/firmware $data/srec $s/intelhex $s/titxt" ;;
        fuzz_lcd) echo "$s/lcd" ;;
        fuzz_ini) echo "$s/ini" ;;
        fuzz_receive) echo "$s/receive" ;;
    esac
}

run_one() {
    local t="$1" corpus="$build/fuzz/corpus/$1" log="$build/fuzz/logs/$1.log"
    mkdir -p "$corpus" "$build/fuzz/logs" "$build/fuzz/crashes"
    # shellcheck disable=SC2046
    if "$build/fuzz/$t" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -max_len=4096 \
        -print_final_stats=1 -artifact_prefix="$build/fuzz/crashes/$t-" \
        "$corpus" $(seeds "$t") > "$log" 2>&1; then
        result=clean
    else
        result="FAILED (see $log)"
    fi
    local runs
    runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo "?")
    printf '%-14s %10s runs in %ss: %s\n' "$t" "$runs" "$seconds" "$result"
    [ "$result" = clean ]
}
export -f run_one seeds
export build seconds here

printf '%s\n' "${targets[@]}" | xargs -P "$parallel" -I{} bash -c 'run_one {}'
