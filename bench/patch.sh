#!/usr/bin/env bash
# What an update costs on the wire and in time when files come as patches, as
# compressed copies, or as they are: the same update, side by side in one run,
# against one server dir per way (all three published once; the second without
# the patches, the third without the list, as an older publisher leaves it).
# Bytes are counted at the server (bench/range_server.py), time is the
# update's wall time (window driver, offscreen) and, from its support log, the
# fetch itself (decoding included), memory its peak resident set; medians of RUNS.
#   (a) a release whose 40 MiB program changed 1% and whose 4 MiB library changed
#       (30 inserted runs), beside 8 MiB of data that did not
#   (b) the updater's own program between two commits (BASE, default: the
#       commit before HEAD, and HEAD; each built once, Release)
#   (c) a folder two versions behind: (a)'s folder updated to the release after the next
#   (d) a 400 MiB program that changed 1%: peak memory while patching, and the
#       time against the whole file fetched over loopback (and against curl + sync)
#
# Usage: bench/patch.sh [RUNS]   (default 1; PARTS="a b c d" to choose, BASE=commit for (b))
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
runs=${1:-1}
parts=${PARTS:-a b c d}

# shellcheck source=common.sh
source "$here/common.sh"
bench_driver
bench_work
mkdir -p "$work/run"
ways=(patches compressed whole)

start_server() { # DIR
    [ -n "$server" ] && kill "$server" 2>/dev/null && wait "$server" 2>/dev/null || true
    : > "$work/stats"
    python3 "$here/range_server.py" "$1" "$work/stats" > "$work/server.out" 2>&1 &
    server=$!
    for _ in $(seq 100); do grep -q '^port ' "$work/server.out" 2>/dev/null && break; sleep 0.1; done
    base="http://127.0.0.1:$(sed -n 's/^port //p' "$work/server.out")/"
}

# The three server dirs from one published tree: as published, without the
# patches, without the list (hard links, not copies).
three_ways() { # PUBLISHED
    local way list
    for way in "${ways[@]}"; do
        rm -rf "$work/served-$way"
        cp -al "$1" "$work/served-$way"
    done
    find "$work/served-compressed" -name patches -type d -prune -exec rm -rf {} +
    while IFS= read -r list; do
        grep -v '^patch ' "$list" > "$list.new"
        rm -f "$list" && mv "$list.new" "$list"
    done < <(find "$work/served-compressed" -name '*patches.txt')
    find "$work/served-whole" -name '*patches.txt' -delete
}

publish() { # FOLDER DATE
    run_or_say "publishing $2" "$root/scripts/publish" --release-dir "$work/release" --app-folder "$1" 6.10.1 "$2"
    rm -f "$1/TarvinoRelease.txt"
}

# The folder as release DATE left it.
hold() { # DATE
    local files="$work/release/Windows/Releases/Tarvino-6.10.1-$1"
    rm -rf "$work/app" && mkdir -p "$work/app"
    cp -r "$files/files/." "$work/app/"
    cp "$files/manifest.txt" "$work/app/TarvinoRelease.txt"
    # The copy's write-back is not the update's.
    sync
}

# One update of the held folder to the newest release, through way WAY: "wall peak_kib bytes".
update() { # HELD_DATE WAY
    hold "$1"
    start_server "$work/served-$2"
    (cd "$work/run" && QT_QPA_PLATFORM=offscreen run_or_say "the update ($2)" \
        /usr/bin/time -f '%e %M' -o "$work/time" "$driver" update "$base" "$work/app" "Tarvino-6.10.1-$1")
    [ -z "${BENCH_LOG:-}" ] || cat "$work/app/TarvinoUpdater.log" >> "$BENCH_LOG"
    local newest
    newest=$(ls -d "$work/release/Windows/Releases"/Tarvino-* | sort | tail -n1)
    cmp -s "$work/app/TarvinoRelease.txt" "$newest/manifest.txt" || { echo "bench: the newest release is not installed" >&2; exit 1; }
    # The fetch itself, decoding included: from the plan to "Fetched", in the support log.
    local fetch
    fetch=$(awk '/ to fetch$/ { split($1, a, "T"); start = a[2] } /\] Fetched [0-9]+ bytes\.$/ { split($1, a, "T"); end = a[2] }
                 function s(t, h) { split(t, h, ":"); return h[1] * 3600 + h[2] * 60 + h[3] }
                 END { printf "%.2f", s(end) - s(start) }' "$work/app/TarvinoUpdater.log")
    echo "$(cat "$work/time") $(awk '{ s += $1 } END { print s + 0 }' "$work/stats") $fetch"
}

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# Each way RUNS times, alternating; a table row per way, bytes as a share of the whole files'.
compare() { # TITLE HELD_DATE
    local way
    for way in "${ways[@]}"; do : > "$work/$way"; done
    # Each run begins with another way, so that none always follows the same one.
    local run order
    for run in $(seq "$runs"); do
        order=("${ways[@]:$(((run - 1) % 3))}" "${ways[@]:0:$(((run - 1) % 3))}")
        for way in "${order[@]}"; do update "$2" "$way" >> "$work/$way"; done
    done
    local whole_bytes
    whole_bytes=$(cut -d' ' -f3 "$work/whole" | median)
    echo "$1"
    printf '  %-11s %14s %10s %10s %16s %12s\n' way "bytes sent" "share" "wall (s)" "fetch+decode (s)" "peak (MiB)"
    for way in "${ways[@]}"; do
        local bytes wall fetch peak
        bytes=$(cut -d' ' -f3 "$work/$way" | median)
        wall=$(cut -d' ' -f1 "$work/$way" | median)
        fetch=$(cut -d' ' -f4 "$work/$way" | median)
        peak=$(cut -d' ' -f2 "$work/$way" | sort -n | tail -n1)
        printf '  %-11s %14s %9.2f%% %10s %16s %12.1f\n' "$way" "$bytes" \
            "$(awk -v b="$bytes" -v w="$whole_bytes" 'BEGIN { print 100 * b / w }')" "$wall" "$fetch" \
            "$(awk -v p="$peak" 'BEGIN { print p / 1024 }')"
    done
}

mib=$((1024 * 1024))
if [[ " $parts " == *" a "* || " $parts " == *" c "* ]]; then
    rm -rf "$work/release" "$work/src"
    mkdir -p "$work/src/data"
    cp "$driver" "$work/src/TarvinoUpdater"
    head -c $((8 * mib)) < <(openssl enc -aes-128-ctr -nosalt -pass pass:data < /dev/zero 2>/dev/null) > "$work/src/data/assets.bin"
    for v in 1 2 3; do
        python3 "$here/versions.py" "$work/src/Tarvíno.exe" $((40 * mib)) "$v" --edit
        python3 "$here/versions.py" "$work/src/libcore.so" $((4 * mib)) "$v" --shift --seed library
        publish "$work/src" "2026010$v"
        # (a) and (b) install release 2: release 3 waits aside until (c).
        [ "$v" = 2 ] && cp -al "$work/release" "$work/release-2"
    done
    if [[ " $parts " == *" a "* ]]; then
        mv "$work/release" "$work/release-3" && mv "$work/release-2" "$work/release"
        three_ways "$work/release"
        compare "(a) a release: 40 MiB program changed 1%, 4 MiB library changed, 8 MiB unchanged (folder at release 1)" 20260101
        rm -rf "$work/release" && mv "$work/release-3" "$work/release"
    fi
    if [[ " $parts " == *" c "* ]]; then
        three_ways "$work/release"
        compare "(c) a folder two versions behind: release 1 to release 3" 20260101
    fi
fi

if [[ " $parts " == *" b "* ]]; then
    old=${BASE:-$(git -C "$root" rev-parse HEAD~1)}
    run_or_say "building TarvinoUpdater" cmake --build "$build" --target TarvinoUpdater
    tree="$work/old-tree"
    run_or_say "checking out $old" git -C "$root" worktree add --detach "$tree" "$old"
    trap 'git -C "$root" worktree remove --force "$tree" 2>/dev/null; [ -n "$server" ] && kill "$server" 2>/dev/null; rm -rf "$work"' EXIT
    run_or_say "configuring $old" cmake -S "$tree" -B "$work/old-build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF
    run_or_say "building $old" cmake --build "$work/old-build" --target TarvinoUpdater
    rm -rf "$work/release" "$work/src" && mkdir -p "$work/src"
    cp /bin/true "$work/src/Tarvíno.exe"
    cp "$work/old-build/src/app/TarvinoUpdater" "$work/src/TarvinoUpdater"
    publish "$work/src" 20260101
    cp "$build/src/app/TarvinoUpdater" "$work/src/TarvinoUpdater"
    publish "$work/src" 20260102
    three_ways "$work/release"
    compare "(b) the updater's program, $(git -C "$root" rev-parse --short "$old") to $(git -C "$root" rev-parse --short HEAD) ($(stat -c %s "$work/src/TarvinoUpdater") bytes)" 20260101
fi

if [[ " $parts " == *" d "* ]]; then
    # A virtual machine backs its memory on first touch, at several times the
    # cost of a page used before: 4 GiB touched once and given back, so that no
    # way pays for it more than another.
    if [ -d /dev/shm ]; then
        head -c $((4 * 1024 * mib)) /dev/zero > /dev/shm/tarvino-bench-warm 2>/dev/null || true
        rm -f /dev/shm/tarvino-bench-warm
    fi
    rm -rf "$work/release" "$work/src" && mkdir -p "$work/src"
    cp "$driver" "$work/src/TarvinoUpdater"
    for v in 1 2; do
        python3 "$here/versions.py" "$work/src/Tarvíno.exe" $((400 * mib)) "$v" --edit
        publish "$work/src" "2026010$v"
    done
    three_ways "$work/release"
    compare "(d) a 400 MiB program changed 1%" 20260101
    rm -f "$work/curl.out"
    run_or_say "curl" /usr/bin/time -f '%e %M' -o "$work/time" sh -c \
        "curl -sS -f -o '$work/curl.out' '${base}Windows/Releases/Tarvino-6.10.1-20260102/files/Tarv%C3%ADno.exe' && sync '$work/curl.out'"
    echo "  curl + sync of the whole 400 MiB program over loopback: $(cut -d' ' -f1 "$work/time") s"
    peak=$(cut -d' ' -f2 "$work/patches" | sort -n | tail -n1)
    echo "  peak memory while patching: $(awk -v p="$peak" -v s=$((400 * mib)) 'BEGIN { printf "%.1f MiB, %.2f times the file", p / 1024, p * 1024 / s }')"
fi
