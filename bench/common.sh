# What the benches share. Sourced, not run.

# run_or_say WHAT COMMAND...: runs COMMAND with its output kept; on failure prints
# that output, says which step failed, and stops. Every bench says what failed.
run_or_say() {
    local what=$1; shift
    if ! "$@" > "${work:-/tmp}/step.out" 2>&1; then
        echo "bench: $what failed:" >&2
        cat "${work:-/tmp}/step.out" >&2
        exit 1
    fi
}

# bench_driver: the window driver of a release build in build/bench (configured
# once, built each time); sets build and driver. Needs root set.
bench_driver() {
    build="$root/build/bench"
    [ -f "$build/CMakeCache.txt" ] || run_or_say "configuring $build" cmake -S "$root" -B "$build" -G Ninja \
        -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DTARVINO_BUILD_BENCH=ON
    run_or_say "building the window driver" cmake --build "$build" --target tarvino_window_driver
    driver="$build/tools/tarvino_window_driver"
}

# bench_work: a work folder, removed with the server ($server, when set) at exit; sets work.
bench_work() {
    work=$(mktemp -d "${TMPDIR:-/var/tmp}/tarvino-bench.XXXXXX")
    server=
    trap '[ -n "$server" ] && kill "$server" 2>/dev/null; rm -rf "$work"' EXIT
}
