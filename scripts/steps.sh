# Sourced by the scripts that run steps and report on them all at the end: each
# failing step is added to the array `failures`.

say() { printf '\n=== %s\n' "$*"; }
step() {  # step NAME LOGFILE CMD...: runs CMD, keeps its output, records a failure
    local name=$1 log=$2; shift 2
    "$@" 2>&1 | tee "$log"
    local status=${PIPESTATUS[0]}
    [ "$status" -eq 0 ] || failures+=("$name (exit $status)")
    return "$status"
}
quiet_step() {  # like step, but shows only the end of the output, and only on failure
    local name=$1 log=$2; shift 2
    "$@" >"$log" 2>&1 && return 0
    local status=$?
    tail -n 40 "$log"
    failures+=("$name (exit $status)")
    return "$status"
}
