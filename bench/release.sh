#!/usr/bin/env bash
# What a release costs against the bytes it changes. For application folders of
# 30, 150 and 600 MiB, the folder is first brought to one release by the
# updater (as a folder that updates itself gets there); the release after it
# changes only its 8 MiB program. That update's wall time is measured side by
# side with curl of that one file plus sync, alternating, RUNS times each.
# Then a release that adds 10,000 small files, installed once.
#
# Usage: bench/release.sh [RUNS]   (default: 3; SIZES="30 150 600" to choose)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
runs=${1:-3}
sizes=${SIZES:-30 150 600}

# shellcheck source=common.sh
source "$here/common.sh"
bench_driver
bench_work
mkdir -p "$work/run"

start_server() {
    [ -n "$server" ] && kill "$server" 2>/dev/null && wait "$server" 2>/dev/null || true
    python3 "$here/range_server.py" "$work/release" "$work/stats" > "$work/server.out" 2>&1 &
    server=$!
    for _ in $(seq 100); do grep -q '^port ' "$work/server.out" 2>/dev/null && break; sleep 0.1; done
    base="http://127.0.0.1:$(sed -n 's/^port //p' "$work/server.out")/"
}

# An application folder: the program (a real one, padded), the updater, and data files up to MIB.
make_folder() { # DIR MIB PROGRAM_SEED
    mkdir -p "$1/data"
    cp "$driver" "$1/TarvinoUpdater"
    { cat /bin/true; head -c $((8 * 1024 * 1024 - $(stat -c %s /bin/true))) < <(openssl enc -aes-128-ctr -nosalt \
        -pass "pass:$3" < /dev/zero 2>/dev/null); } > "$1/Tarvíno.exe"
    chmod +x "$1/Tarvíno.exe"
    local left=$(($2 - 8)) n=0
    while [ "$left" -gt 0 ]; do
        head -c $((4 * 1024 * 1024)) < <(openssl enc -aes-128-ctr -nosalt -pass "pass:data$n" < /dev/zero 2>/dev/null) \
            > "$1/data/part$n.bin"
        left=$((left - 4)); n=$((n + 1))
    done
}

update() { # IDENTITY WHAT -> wall seconds
    (cd "$work/run" && QT_QPA_PLATFORM=offscreen run_or_say "the update ($2)" \
        python3 "$here/measure.py" "$work/time" "$driver" update "$base" "$work/app" "$1")
    # BENCH_LOG=FILE: the support logs of every update, for a look at where the time goes.
    [ -z "${BENCH_LOG:-}" ] || cat "$work/app/TarvinoUpdater.log" >> "$BENCH_LOG"
    cut -d' ' -f1 "$work/time"
}

curl_sync() { # URL_PATH -> wall seconds
    rm -f "$work/curl.out"
    run_or_say "curl" python3 "$here/measure.py" "$work/time" sh -c \
        "curl -sS -f -o '$work/curl.out' '$base$1' && sync '$work/curl.out'"
    cut -d' ' -f1 "$work/time"
}

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

echo "runs each: $runs; one release changes the 8 MiB program only"
printf '%-8s %-22s %-22s %s\n' folder "updater (s)" "curl + sync (s)" "ratio of medians"
for mib in $sizes; do
    rm -rf "$work/release" "$work/app" "$work/src"
    # Release 1 and 2 differ in their program only.
    make_folder "$work/src" "$mib" one
    run_or_say "publishing release 1" "$root/scripts/publish" --release-dir "$work/release" --app-folder "$work/src" 6.10.1 20260101
    rm "$work/src/Tarvíno.exe" "$work/src/TarvinoRelease.txt"
    make_folder "$work/src" 8 two
    run_or_say "publishing release 2" "$root/scripts/publish" --release-dir "$work/release" --app-folder "$work/src" 6.10.1 20260102
    start_server
    : > "$work/updater"; : > "$work/curl"
    for _ in $(seq "$runs"); do
        # Hide release 2 while the folder is brought to release 1 from a bare program.
        rm -rf "$work/app" && mkdir -p "$work/app" && cp /bin/true "$work/app/Tarvíno.exe"
        mv "$work/release/Windows/Releases/Tarvino-6.10.1-20260102" "$work/hidden"
        run_or_say "reindexing" "$root/scripts/publish" --release-dir "$work/release" --reindex
        update Tarvino-6.10.1-20251201 "to release 1" > /dev/null
        mv "$work/hidden" "$work/release/Windows/Releases/Tarvino-6.10.1-20260102"
        run_or_say "reindexing" "$root/scripts/publish" --release-dir "$work/release" --reindex
        update Tarvino-6.10.1-20260101 "to release 2" >> "$work/updater"
        cmp -s "$work/app/Tarvíno.exe" "$work/src/Tarvíno.exe" || { echo "bench: release 2 is not installed" >&2; exit 1; }
        curl_sync "Windows/Releases/Tarvino-6.10.1-20260102/files/Tarv%C3%ADno.exe" >> "$work/curl"
    done
    u=$(median < "$work/updater"); c=$(median < "$work/curl")
    printf '%-8s %-22s %-22s %s\n' "$mib MiB" "$(tr '\n' ' ' < "$work/updater")" "$(tr '\n' ' ' < "$work/curl")" \
        "$(awk -v u="$u" -v c="$c" 'BEGIN { printf "%.1f", u / c }')"
done

# A release of 10,000 files: the program, the updater and 9,998 small files it adds.
rm -rf "$work/release" "$work/app" "$work/src"
make_folder "$work/src" 8 one
run_or_say "publishing release 1" "$root/scripts/publish" --release-dir "$work/release" --app-folder "$work/src" 6.10.1 20260101
rm "$work/src/TarvinoRelease.txt"
mkdir -p "$work/src/many"
for n in $(seq 0 9997); do
    [ $((n % 100)) = 0 ] && mkdir -p "$work/src/many/$((n / 100))"
    printf 'file %d\n' "$n" > "$work/src/many/$((n / 100))/$n.txt"
done
run_or_say "publishing release 2" "$root/scripts/publish" --release-dir "$work/release" --app-folder "$work/src" 6.10.1 20260102
start_server
mkdir -p "$work/app"
cp -r "$work/release/Windows/Releases/Tarvino-6.10.1-20260101/files/." "$work/app/"
cp "$work/release/Windows/Releases/Tarvino-6.10.1-20260101/manifest.txt" "$work/app/TarvinoRelease.txt"
t=$(update Tarvino-6.10.1-20260101 "10,000 files")
[ "$(find "$work/app/many" -type f | wc -l)" = 9998 ] || { echo "bench: the 10,000 files are not installed" >&2; exit 1; }
echo "a release of 10,000 files, 9,998 of them small and new: $t s (fetched, checked, the updater's self-test, swapped and flushed)"
