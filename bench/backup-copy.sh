#!/usr/bin/env bash
# What keeping the old program costs on a drive without hard links (exFAT, as
# on a USB stick), where the backup is a flushed copy instead of a link: a
# 100 MiB program updated to a 100 MiB build through the real window code path,
# on an exFAT image (exfat-fuse on a loop device) and on the machine's own drive,
# next to the same work done with standard tools on the same exFAT drive:
# `curl -o` of the build, `sync` of it, `cp` of the old program and `sync` of
# the copy. Alternating, RUNS times each; prints medians and ratios.
#
# Usage: bench/backup-copy.sh [RUNS]   (default: 3; as root; needs curl, GNU time, exfat-fuse, exfatprogs)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
runs=${1:-3}
mib=${MIB:-100}
for tool in curl /usr/bin/time mkfs.exfat mount.exfat-fuse losetup; do
    command -v "$tool" >/dev/null || { echo "bench: $tool is needed" >&2; exit 1; }
done
[ "$(id -u)" -eq 0 ] || { echo "bench: run as root (it mounts an exFAT image)" >&2; exit 1; }

build="$root/build/bench"
[ -f "$build/CMakeCache.txt" ] || cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DBUILD_TESTING=OFF -DTARVINO_BUILD_BENCH=ON >/dev/null
cmake --build "$build" --target tarvino_window_driver >/dev/null
driver="$build/tools/tarvino_window_driver"

work=$(mktemp -d "${TMPDIR:-/var/tmp}/tarvino-bench.XXXXXX")
server= device=
cleanup() {
    [ -n "$server" ] && kill "$server" 2>/dev/null
    mountpoint -q "$work/stick" && umount "$work/stick"
    [ -n "$device" ] && losetup -d "$device"
    rm -rf "$work"
}
trap cleanup EXIT

truncate -s $((4 * mib + 64))M "$work/stick.img"
mkfs.exfat "$work/stick.img" >/dev/null
device=$(losetup --find --show "$work/stick.img")
mkdir -p "$work/stick" "$work/run"
mount.exfat-fuse "$device" "$work/stick" 2>/dev/null

identity=Tarvino-6.10.1-20251201
build_name=Tarvino-6.10.1-20260101.exe
folder="$work/release/Windows/6.10.1/Executables"
mkdir -p "$folder"
# Real programs padded to size, so that the restart at the end works.
program() { cp /bin/true "$1" && truncate -s "$((mib * 1024 * 1024))" "$1"; }
program "$folder/$build_name"
printf '<li><a href="%s">%s</a></li>\n' "$build_name" "$build_name" > "$folder/index.html"

python3 "$here/slow_server.py" "$work/release" 0 > "$work/server.out" &
server=$!
for _ in $(seq 100); do grep -q '^port ' "$work/server.out" 2>/dev/null && break; sleep 0.1; done
base="http://127.0.0.1:$(sed -n 's/^port //p' "$work/server.out")/"

updater_run() { # DRIVE_DIR -> wall seconds
    local app="$1/app"
    rm -rf "$app" && mkdir -p "$app" && program "$app/Tarvíno.exe" && sync
    if ! (cd "$work/run" && LC_ALL=C.UTF-8 QT_QPA_PLATFORM=offscreen /usr/bin/time -f '%e' -o "$work/time" \
        "$driver" update "$base" "$app" "$identity" > "$work/driver.out" 2>&1); then
        echo "bench: the update in $1 failed:" >&2
        cat "$work/driver.out" >&2
        exit 1
    fi
    [ -f "$app/$identity" ] || { echo "bench: the update in $1 kept no backup" >&2; exit 1; }
    cat "$work/time"
}
tools_run() { # the same work on the exFAT drive with standard tools -> wall seconds
    local app="$work/stick/app"
    rm -rf "$app" && mkdir -p "$app" && program "$app/old" && sync
    /usr/bin/time -f '%e' -o "$work/time" sh -c "curl -s -o '$app/new' '$base/Windows/6.10.1/Executables/$build_name' \
        && sync '$app/new' && cp '$app/old' '$app/backup' && sync '$app/backup'"
    cat "$work/time"
}

: > "$work/exfat"; : > "$work/local"; : > "$work/tools"
for i in $(seq "$runs"); do
    updater_run "$work/stick" >> "$work/exfat"
    updater_run "$work" >> "$work/local"
    tools_run >> "$work/tools"
done

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
e=$(median < "$work/exfat"); l=$(median < "$work/local"); t=$(median < "$work/tools")
echo "runs each: $runs, old program and new build: $mib MiB each"
echo "updater on exFAT (s):      $(tr '\n' ' ' < "$work/exfat")"
echo "updater on local drive (s): $(tr '\n' ' ' < "$work/local")"
echo "curl+sync+cp+sync, exFAT (s): $(tr '\n' ' ' < "$work/tools")"
awk -v e="$e" -v t="$t" 'BEGIN { printf "median wall on exFAT: updater %.2f s, standard tools %.2f s, ratio %.2f\n", e, t, e / t }'
awk -v e="$e" -v l="$l" 'BEGIN { printf "median wall: exFAT (copy) %.2f s, local drive (hard link) %.2f s, ratio %.2f\n", e, l, e / l }'
