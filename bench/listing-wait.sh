#!/usr/bin/env bash
# CPU time of the updater while it waits for a slow listing, next to the same
# run against a server that answers at once. The wait must sleep, not spin.
#
# Usage: bench/listing-wait.sh [BUILD_DIR]   (default: build/bench)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
build=${1:-$root/build/bench}

if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
        -DTARVINO_BUILD_BENCH=ON >/dev/null
fi
cmake --build "$build" --target tarvino_window_driver >/dev/null
driver="$build/tools/tarvino_window_driver"

work=$(mktemp -d)
pids=()
cleanup() { kill "${pids[@]}" 2>/dev/null || true; rm -rf "$work"; }
trap cleanup EXIT

identity=Tarvino-6.10.1-20251201
mkdir -p "$work/release/Windows/6.10.1/Executables" "$work/app" "$work/run"
for d in 20250101 20260101; do
    echo "build $d" > "$work/release/Windows/6.10.1/Executables/Tarvino-6.10.1-$d.exe"
done

start_server() { # DELAY: starts a server, sets $port
    local out="$work/server-$1.out"
    python3 "$here/slow_server.py" "$work/release" "$1" > "$out" &
    pids+=($!)
    for _ in $(seq 100); do
        grep -q '^port ' "$out" 2>/dev/null && break
        sleep 0.1
    done
    port=$(sed -n 's/^port //p' "$out")
}

measure() { # LABEL DELAY
    start_server "$2"
    (cd "$work/run" && QT_QPA_PLATFORM=offscreen python3 "$here/measure.py" "$work/time" \
        "$driver" check "http://127.0.0.1:$port/" "$work/app" "$identity")
    read -r wall cpu < "$work/time"
    printf '%-22s cpu %6.3f s  wall %6.3f s  cpu/wall %5.2f%%\n' "$1" "$cpu" "$wall" \
        "$(awk -v c="$cpu" -v w="$wall" 'BEGIN { print 100 * c / w }')"
    echo "$cpu $wall" >> "$work/figures"
}

measure "server answers at once" 0
measure "server stalls 3 s" 3
# What the wait itself costs: the difference between the two runs (start-up cancels out).
awk 'NR == 1 { c0 = $1; w0 = $2 } NR == 2 { printf "%-22s cpu %6.3f s  wall %6.3f s  cpu/wall %5.2f%%\n", "the wait alone", $1 - c0, $2 - w0, 100 * ($1 - c0) / ($2 - w0) }' "$work/figures"
