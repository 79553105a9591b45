#!/usr/bin/env bash
# What continuing a broken download costs: a 400 MiB build fetched whole, and
# the same build with its connection cut at half (the server closes it), which
# the updater continues with a range. Prints the bytes the server sent for each
# (measured at the server) and their wall times, alternating, RUNS times each;
# the cut run's time less its one pause before trying again is the speed to
# compare.
#
# Usage: bench/resume.sh [RUNS]   (default: 3; needs GNU time)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
runs=${1:-3}
big_mib=${BIG_MIB:-400}
command -v /usr/bin/time >/dev/null || { echo "bench: GNU time is needed (apt-get install time)" >&2; exit 1; }

# shellcheck source=common.sh
source "$here/common.sh"
bench_driver
bench_work
identity=Tarvino-6.10.1-20251201
name=Tarvino-6.10.1-20260101.exe
cp /bin/true "$work/program"
truncate -s "$((big_mib * 1024 * 1024))" "$work/program"
run_or_say "publishing" "$root/scripts/publish" --release-dir "$work/release" "$work/program" 6.10.1 20260101
path="/Windows/6.10.1/Executables/$name"

one_run() { # cut|whole -> "wall_s sent_bytes"
    [ -n "$server" ] && kill "$server" 2>/dev/null && wait "$server" 2>/dev/null || true
    rm -f "$work/stats" "$work/server.out"
    local extra=()
    [ "$1" = cut ] && extra=(--cut-once "$path")
    python3 "$here/range_server.py" "$work/release" "$work/stats" ${extra[@]+"${extra[@]}"} > "$work/server.out" 2>&1 &
    server=$!
    for _ in $(seq 100); do grep -q '^port ' "$work/server.out" 2>/dev/null && break; sleep 0.1; done
    local base="http://127.0.0.1:$(sed -n 's/^port //p' "$work/server.out")/"
    local app="$work/app"
    rm -rf "$app" && mkdir -p "$app" "$work/run" && cp /bin/true "$app/Tarvíno.exe"
    (cd "$work/run" && QT_QPA_PLATFORM=offscreen run_or_say "the update ($1)" \
        /usr/bin/time -f '%e' -o "$work/time" "$driver" update "$base" "$app" "$identity")
    cmp -s "$app/Tarvíno.exe" "$work/program" || { echo "bench: the installed build differs ($1)" >&2; exit 1; }
    echo "$(cat "$work/time") $(awk -v p="$path" '$2 == p { s += $1 } END { print s + 0 }' "$work/stats")"
}

: > "$work/whole"; : > "$work/cut"
for _ in $(seq "$runs"); do
    one_run whole >> "$work/whole"
    one_run cut >> "$work/cut"
done
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
w=$(cut -d' ' -f1 "$work/whole" | median); c=$(cut -d' ' -f1 "$work/cut" | median)
ws=$(cut -d' ' -f2 "$work/whole" | median); cs=$(cut -d' ' -f2 "$work/cut" | median)
echo "runs each: $runs, build: $big_mib MiB, alternating whole and cut at half"
echo "whole (s, bytes sent): $(tr '\n' ';' < "$work/whole")"
echo "cut   (s, bytes sent): $(tr '\n' ';' < "$work/cut")"
awk -v ws="$ws" -v cs="$cs" -v b="$big_mib" 'BEGIN {
    printf "bytes on the wire: whole %.1f MiB, cut and continued %.1f MiB (the rest alone: %.1f MiB, not %d)\n",
        ws / 1048576, cs / 1048576, (cs - b * 1048576 / 2) / 1048576, b }'
# The cut run waits 1 s before it asks for the rest.
awk -v w="$w" -v c="$c" 'BEGIN { printf "median wall: whole %.2f s, cut %.2f s (%.2f s less its 1 s pause), ratio %.2f\n", w, c, c - 1, (c - 1) / w }'
