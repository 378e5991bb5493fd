#!/usr/bin/env bash
# Runs the benchmark programs built in BUILD_DIR/bench and prints their figures as one table:
#   bench/run.sh BUILD_DIR bench   trace cost, line load, start-up, command latency
#   bench/run.sh BUILD_DIR soak    10 MB floods against the real program
# Each program prints its rows on standard output; their details go to BUILD_DIR/bench/<what>.log.
# The figures depend on the machine being otherwise idle: the load average is shown before and
# after (the benchmarks themselves add up to about one), with a warning when the machine was busy
# before they started.
set -uo pipefail

build=${1:?usage: $0 BUILD_DIR bench|soak}
what=${2:-bench}
dir="$build/bench"
case "$what" in
bench) programs=(bench_trace bench_line bench_startup bench_latency) ;;
soak) programs=(soak) ;;
*)
    echo "usage: $0 BUILD_DIR bench|soak" >&2
    exit 2
    ;;
esac

for program in "${programs[@]}"; do
    if [ ! -x "$dir/$program" ]; then
        echo "$dir/$program is missing: build first (make build)." >&2
        exit 1
    fi
done

load() { cut -d' ' -f1 /proc/loadavg; }
busy() { awk -v l="$1" 'BEGIN { exit !(l > 0.5) }'; }

log="$dir/$what.log"
: >"$log"
before=$(load)
echo "Running ${programs[*]} (details in $log)"
printf '%-44s %-52s %-22s %s\n' figure value target met/missed
printf '%-44s %-52s %-22s %s\n' "$(printf -- '-%.0s' {1..44})" "$(printf -- '-%.0s' {1..52})" \
    "$(printf -- '-%.0s' {1..22})" "----------"
status=0
for program in "${programs[@]}"; do
    if ! "$dir/$program" 2>>"$log"; then
        echo "$program failed:" >&2
        tail -n 5 "$log" >&2
        status=1
    fi
done
after=$(load)
echo "Load average (1 min): $before before, $after after, on $(nproc) cores."
if busy "$before"; then
    echo "Warning: the machine was busy before the run; run again on an idle machine for reliable" \
        "figures."
fi
exit $status
