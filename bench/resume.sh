#!/usr/bin/env bash
# What broken downloads cost: a 200 MiB build fetched whole, and fetched over a
# server (bench/range_server.py) that breaks the connection as each scenario
# says, which the updater continues with ranges. For a single build and for the
# same program as a release's file, each scenario beside an uncut fetch in the
# same run: bytes of the program the server sent, and wall time. A try that
# brought at least 256 KiB is followed by the next after 1 s; those pauses are
# part of the wall time.
#
# Usage: bench/resume.sh [RUNS]   (default: 1; BIG_MIB=200, KINDS="build release" and
#        PLANS="cut:0.5 ..." to choose; the plans are range_server.py's)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
runs=${1:-1}
big_mib=${BIG_MIB:-200}

# shellcheck source=common.sh
source "$here/common.sh"
bench_driver
bench_work
identity=Tarvino-6.10.1-20251201
{ cat /bin/true; head -c $((big_mib * 1024 * 1024 - $(stat -c %s /bin/true))) /dev/urandom; } > "$work/program"
chmod +x "$work/program"
run_or_say "publishing the build" "$root/scripts/publish" --release-dir "$work/build" "$work/program" 6.10.1 20260101
mkdir -p "$work/folder"
cp "$work/program" "$work/folder/Tarvíno.exe"
cp "$driver" "$work/folder/TarvinoUpdater"
run_or_say "publishing the release" "$root/scripts/publish" --release-dir "$work/release" --app-folder "$work/folder" \
    6.10.1 20260101

one_run() { # build|release PLAN -> "wall_s sent_bytes"
    local dir="$work/$1" path extra=()
    if [ "$1" = build ]; then
        path="/Windows/6.10.1/Executables/Tarvino-6.10.1-20260101.exe"
    else
        path="/Windows/Releases/Tarvino-6.10.1-20260101/files/Tarv%C3%ADno.exe"
    fi
    [ "$2" = whole ] || extra=(--fault "$path" "$2")
    [ -n "$server" ] && kill "$server" 2>/dev/null && wait "$server" 2>/dev/null || true
    rm -f "$work/stats" "$work/server.out"
    python3 "$here/range_server.py" "$dir" "$work/stats" ${extra[@]+"${extra[@]}"} > "$work/server.out" 2>&1 &
    server=$!
    for _ in $(seq 100); do grep -q '^port ' "$work/server.out" 2>/dev/null && break; sleep 0.1; done
    local base="http://127.0.0.1:$(sed -n 's/^port //p' "$work/server.out")/"
    local app="$work/app"
    rm -rf "$app" && mkdir -p "$app" "$work/run" && cp /bin/true "$app/Tarvíno.exe"
    (cd "$work/run" && QT_QPA_PLATFORM=offscreen run_or_say "the update ($1, $2)" \
        python3 "$here/measure.py" "$work/time" "$driver" update "$base" "$app" "$identity")
    cmp -s "$app/Tarvíno.exe" "$work/program" || { echo "bench: the installed program differs ($1, $2)" >&2; exit 1; }
    echo "$(cut -d' ' -f1 "$work/time") $(awk -v p="$path" '$2 == p { s += $1 } END { print s + 0 }' "$work/stats")"
}

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
echo "runs each: $runs, program: $big_mib MiB; sent: the program's bytes the server sent"
printf '%-8s %-26s %10s %10s %12s %10s\n' kind scenario "wall (s)" "whole (s)" "sent (MiB)" "extra (%)"
for kind in ${KINDS:-build release}; do
    for plan in ${PLANS:-cut:0.5 cut:0.9 cut:0.99 cuts:5 every:1048576 busy:0.9}; do
        : > "$work/cut"; : > "$work/whole"
        for _ in $(seq "$runs"); do
            one_run "$kind" whole >> "$work/whole"
            one_run "$kind" "$plan" >> "$work/cut"
        done
        c=$(cut -d' ' -f1 "$work/cut" | median); w=$(cut -d' ' -f1 "$work/whole" | median)
        s=$(cut -d' ' -f2 "$work/cut" | median)
        awk -v k="$kind" -v p="$plan" -v c="$c" -v w="$w" -v s="$s" -v b="$big_mib" 'BEGIN {
            printf "%-8s %-26s %10.2f %10.2f %12.1f %10.1f\n", k, p, c, w, s / 1048576, (s / 1048576 - b) * 100 / b }'
    done
done
