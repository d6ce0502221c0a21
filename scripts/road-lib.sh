# Sourced by the road scripts.

# wait_for SECONDS COMMAND...: runs COMMAND every 0.1 s until it succeeds (status 0) or SECONDS
# have passed (status 1).
wait_for() {
    local limit=$(($1 * 10))
    shift
    for _ in $(seq "$limit"); do
        "$@" && return 0
        sleep 0.1
    done
    return 1
}

# Ends the processes in the array pids (our own children) and waits for them.
stop_pids() {
    local pid
    for pid in "${pids[@]}"; do
        kill -TERM "$pid" 2>/dev/null || true
    done
    for pid in "${pids[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
    pids=()
}
