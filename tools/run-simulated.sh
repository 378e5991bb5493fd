#!/usr/bin/env bash
# Runs Tessaly against the device simulator: starts BIN_DIR/tessaly-sim, reads the pty path from
# its first line, runs BIN_DIR/tessaly with COM1 mapped to that pty, and stops the simulator
# when the program ends.
set -euo pipefail

bin_dir=${1:?usage: $0 BIN_DIR}
sim="$bin_dir/tessaly-sim"
program="$bin_dir/tessaly"

if [ ! -x "$sim" ]; then
    echo "$sim not found: build it first (make build)." >&2
    exit 1
fi

work=$(mktemp -d)
sim_pid=
stop() {
    if [ -n "$sim_pid" ]; then
        kill -TERM "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap stop EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

: >"$work/out"
"$sim" >>"$work/out" &
sim_pid=$!

pty=
for _ in $(seq 100); do
    if IFS= read -r pty <"$work/out"; then
        break
    fi
    if ! kill -0 "$sim_pid" 2>/dev/null; then
        echo "tessaly-sim ended before giving its pty." >&2
        exit 1
    fi
    sleep 0.05
done
if [ -z "$pty" ]; then
    echo "tessaly-sim gave no pty path." >&2
    exit 1
fi
echo "Simulated device on $pty (COM1)."

if [ ! -x "$program" ]; then
    echo "$program does not exist yet: the simulator keeps running on $pty until Ctrl+C."
    wait "$sim_pid"
    exit 0
fi

"$program" --port "1=$pty"
