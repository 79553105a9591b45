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
