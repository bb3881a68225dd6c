#!/usr/bin/env bash
# The table of docs/performance.md: the virtual board's two transports (socket,
# mapped) of this build against a baseline build, measured in one run.
#   bench/transport_table.sh BASELINE_BUILD [BUILD] [ROUNDS]
# BASELINE_BUILD: a build (tools and benchmarks) of the commit to compare with.
set -euo pipefail
base=$(realpath "$1"); new=$(realpath "${2:-build}"); rounds=${3:-3}
work=$(mktemp -d); trap 'kill $(jobs -p) 2>/dev/null; rm -rf "$work"' EXIT
head -c $((64 << 20)) /dev/urandom >"$work/in"
image="$new/vp/copy.exe"
median() { sort -g | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }

# hbrun copying 64 MiB: "MB/s peak-KiB" of one run.
copy() { # build transport [device]
    local build=$1 transport=$2 device=${3:-}
    rm -f "$work/out"
    local args=(); [[ -n $device ]] && args=(--device "$device")
    HB_VBOARD_TRANSPORT=$transport /usr/bin/time -f "%e %M" -o "$work/time" \
        timeout 600 "$build/tools/hbrun/hbrun" "${args[@]}" "$image" "$work/in" "$work/out" >/dev/null
    cmp -s "$work/in" "$work/out"
    awk '{printf "%.2f %d\n", 67.108864 / $1, $2}' "$work/time"
}
serve() { # build transport path: starts hbsim, waits until ready
    local extra=(); [[ $2 != base ]] && extra=(--transport "$2")
    "$1/tools/hbsim/hbsim" --path "$3" "${extra[@]}" >"$work/hbsim.$2" 2>&1 &
    for _ in $(seq 100); do grep -q ready "$work/hbsim.$2" && return; sleep 0.1; done
    echo "hbsim did not start" >&2; exit 1
}

declare -A copyRate rss simRate event reads
for round in $(seq "$rounds"); do
    for side in base socket mapped; do
        build=$new; transport=$side; [[ $side == base ]] && build=$base transport=socket
        read -r rate kib < <(copy "$build" "$transport")
        copyRate[$side]+="$rate "; rss[$side]+="$kib "
        serve "$build" "$side" "$work/sim$side"
        read -r rate _ < <(copy "$build" "$transport" "$work/sim$side")
        simRate[$side]+="$rate "
        kill %1; wait 2>/dev/null || true
    done
    b=$("$base/bench/boot_download_bench" 3 | awk '/^event/ {print $2}')
    read -r s m < <("$new/bench/boot_download_bench" 3 | awk '/^event mode/ {print $4, $5}')
    event[base]+="$b "; event[socket]+="$s "; event[mapped]+="$m "
    b=$("$base/bench/fileio_requests_bench" | awk '$1 == "Read" && $2 == 256 {print $3; exit}')
    read -r s m < <("$new/bench/fileio_requests_bench" | awk '$1 == "Read" && $2 == 256 && NF == 5 {print $3, $4}')
    reads[base]+="$b "; reads[socket]+="$s "; reads[mapped]+="$m "
done

row() { # title array
    local -n values=$2
    local b s m
    b=$(tr ' ' '\n' <<<"${values[base]}" | grep . | median)
    s=$(tr ' ' '\n' <<<"${values[socket]}" | grep . | median)
    m=$(tr ' ' '\n' <<<"${values[mapped]}" | grep . | median)
    awk -v t="$1" -v b="$b" -v s="$s" -v m="$m" \
        'BEGIN {printf "| %s | %s | %s | %s | %.2f | %.2f |\n", t, b, s, m, s / b, m / b}'
}
echo "| measure (median of $rounds) | baseline | socket | mapped | socket / baseline | mapped / baseline |"
echo "|---|---|---|---|---|---|"
row "hbrun copy.exe 64 MiB, embedded board (MB/s)" copyRate
row "hbrun copy.exe 64 MiB, hbsim (MB/s)" simRate
row "boot download, event mode, 1 MiB image (MB/s)" event
row "file-I/O Read of 256 bytes (requests/s)" reads
row "hbrun peak RSS, embedded copy (KiB)" rss
