#!/usr/bin/env bash
# The updater's download through the real window code path (Ok pressed by the
# driver) next to `curl -o` of the same file from the same local server,
# alternating, RUNS times each. Prints the median wall-time ratio and peak
# resident memory, and the updater's peak memory for a small build, to show
# that memory does not grow with the size of the build.
#
# Also measured: curl followed by `sync FILE`, the same durability the updater
# gives the build before installing it.
#
# The builds are published with scripts/publish, as a publisher would. With
# --signed, the updater is built with a public key and every build and the
# listing are signed (scripts/publish --sign), so the listing is checked before
# anything is offered and the build as its bytes stream in.
#
# Usage: bench/download.sh [--signed] [RUNS]   (default: 3 runs; needs curl and GNU time)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
signed=false
if [ "${1:-}" = --signed ]; then signed=true; shift; fi
runs=${1:-3}
big_mib=${BIG_MIB:-400}
small_mib=4
# GNU time, not a Python wrapper: a forked interpreter's memory would count as
# the peak of a command as small as curl.
for tool in curl /usr/bin/time; do
    command -v "$tool" >/dev/null || { echo "bench: $tool is needed (apt-get install curl time)" >&2; exit 1; }
done

# shellcheck source=common.sh
source "$here/common.sh"

if [ "$signed" = true ]; then
    build="$root/build/bench-signed"
    run_or_say "configuring $build" cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DBUILD_TESTING=OFF -DTARVINO_BUILD_BENCH=ON -DTARVINO_BUILD_SIGN_TOOL=ON
    run_or_say "building TarvinoSign" cmake --build "$build" --target TarvinoSign
    sign_tool="$build/tools/TarvinoSign"
    [ -s "$build/bench.pub" ] || { rm -f "$build/bench.key"; "$sign_tool" keygen "$build/bench.key" > "$build/bench.pub"; }
    run_or_say "configuring the key" cmake -S "$root" -B "$build" -DTARVINO_UPDATE_PUBLIC_KEY="$(cat "$build/bench.pub")"
    sign=(--sign "$build/bench.key")
else
    build="$root/build/bench"
    [ -f "$build/CMakeCache.txt" ] || run_or_say "configuring $build" cmake -S "$root" -B "$build" -G Ninja \
        -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DTARVINO_BUILD_BENCH=ON
    sign=()
fi
run_or_say "building the window driver" cmake --build "$build" --target tarvino_window_driver
driver="$build/tools/tarvino_window_driver"

work=$(mktemp -d "${TMPDIR:-/var/tmp}/tarvino-bench.XXXXXX")
server=
cleanup() { [ -n "$server" ] && kill "$server" 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT

identity=Tarvino-6.10.1-20251201
folder="$work/release/Windows/6.10.1/Executables"
mkdir -p "$folder" "$work/run"
publish() { # scripts/publish ARGUMENTS..., signed with --signed
    TARVINO_SIGN=${sign_tool:-} run_or_say "publishing ($*)" "$root/scripts/publish" --release-dir "$work/release" \
        ${sign[@]+"${sign[@]}"} "$@"
}
# Real programs padded to size, so that the restart at the end works.
make_build() { # DATE MIB
    cp /bin/true "$work/program"
    truncate -s "$(($2 * 1024 * 1024))" "$work/program"
    publish "$work/program" 6.10.1 "$1"
    rm "$work/program"
}
make_build 20260101 "$small_mib"
make_build 20260102 "$big_mib"

python3 "$here/slow_server.py" "$work/release" 0 > "$work/server.out" &
server=$!
for _ in $(seq 100); do grep -q '^port ' "$work/server.out" 2>/dev/null && break; sleep 0.1; done
port=$(sed -n 's/^port //p' "$work/server.out")
base="http://127.0.0.1:$port/"

# The listing names the big build last; to fetch the small one, hide the big one.
updater_run() { # -> "wall_s peak_kib"
    local app="$work/app"
    rm -rf "$app" && mkdir -p "$app" && cp /bin/true "$app/Tarvíno.exe"
    (cd "$work/run" && QT_QPA_PLATFORM=offscreen run_or_say "the update through the window driver" \
        /usr/bin/time -f '%e %M' -o "$work/time" "$driver" update "$base" "$app" "$identity")
    # BENCH_LOG=FILE: the support logs of every update, for a look at where the time goes.
    [ -z "${BENCH_LOG:-}" ] || cat "$app/TarvinoUpdater.log" >> "$BENCH_LOG"
    cat "$work/time"
}
curl_run() { # NAME [sync] -> "wall_s peak_kib"
    rm -f "$work/curl.out"
    local then=true
    [ "${2:-}" = sync ] && then="sync $work/curl.out"
    run_or_say "curl" /usr/bin/time -f '%e %M' -o "$work/time" sh -c \
        "curl -sS -f -o '$work/curl.out' '$base/Windows/6.10.1/Executables/$1' && $then"
    cat "$work/time"
}

big="Tarvino-6.10.1-20260102.exe"
: > "$work/updater" ; : > "$work/curl" ; : > "$work/curlsync"
for i in $(seq "$runs"); do
    updater_run >> "$work/updater"
    curl_run "$big" >> "$work/curl"
    curl_run "$big" sync >> "$work/curlsync"
done

mv "$folder/$big" "$work/$big.hidden"
publish --reindex
updater_run > "$work/updater-small"
mv "$work/$big.hidden" "$folder/$big"
publish --reindex

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
u_wall=$(cut -d' ' -f1 "$work/updater" | median)
c_wall=$(cut -d' ' -f1 "$work/curl" | median)
cs_wall=$(cut -d' ' -f1 "$work/curlsync" | median)
u_mem=$(cut -d' ' -f2 "$work/updater" | sort -n | tail -n1)
c_mem=$(cut -d' ' -f2 "$work/curl" | sort -n | tail -n1)
s_mem=$(cut -d' ' -f2 "$work/updater-small")

echo "runs each: $runs, build: $big_mib MiB, alternating updater and curl, signed: $signed"
echo "updater walls (s): $(cut -d' ' -f1 "$work/updater" | tr '\n' ' ')"
echo "curl walls (s):    $(cut -d' ' -f1 "$work/curl" | tr '\n' ' ')"
echo "curl+sync (s):     $(cut -d' ' -f1 "$work/curlsync" | tr '\n' ' ')"
awk -v u="$u_wall" -v c="$c_wall" 'BEGIN { printf "median wall: updater %.2f s, curl -o %.2f s, ratio %.2f\n", u, c, u / c }'
# The updater makes the new build durable before it takes the executable's
# name; the fair reference does the same with the file curl wrote.
awk -v u="$u_wall" -v c="$cs_wall" 'BEGIN { printf "median wall: updater %.2f s, curl -o + sync FILE %.2f s, ratio %.2f\n", u, c, u / c }'
awk -v u="$u_mem" -v c="$c_mem" -v s="$s_mem" -v m="$small_mib" 'BEGIN {
    printf "peak RSS %d MiB build: updater %.1f MiB, curl %.1f MiB\n", '"$big_mib"', u / 1024, c / 1024
    printf "peak RSS %d MiB build: updater %.1f MiB (400 MiB case is %.1f MiB above it)\n", m, s / 1024, (u - s) / 1024 }'
