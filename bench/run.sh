#!/usr/bin/env bash
# Runs the benchmark programs built in BUILD_DIR/bench and prints their figures as one table:
#   bench/run.sh BUILD_DIR bench   trace cost, line load, start-up, command latency
#   bench/run.sh BUILD_DIR soak    10 MB floods against the real program
# Each program prints its rows on standard output; their details go to BUILD_DIR/bench/<what>.log.
# The figures depend on the machine being otherwise idle. Before and after the run this shows the
# load average and how many other tasks are runnable on average over two seconds (the load
# average still counts a build that has just finished), and warns when something else was busy.
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
# Runnable tasks other than the one reading /proc/loadavg, averaged over 20 samples.
others() {
    local sum=0 running
    for _ in $(seq 20); do
        running=$(cut -d' ' -f4 /proc/loadavg)
        sum=$((sum + ${running%/*} - 1))
        sleep 0.1
    done
    awk -v s="$sum" 'BEGIN { printf "%.1f", s / 20 }'
}
busy() { awk -v n="$1" 'BEGIN { exit !(n > 0.5) }'; }

log="$dir/$what.log"
: >"$log"
# A build that has just finished leaves hundreds of megabytes to be written back; the kernel
# would do it during the first runs, on the same cores. Write it back now.
sync
before=$(load)
others_before=$(others)
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
others_after=$(others)
echo "Load average (1 min): $before before, $after after; other runnable tasks:" \
    "$others_before before, $others_after after; $(nproc) cores."
if busy "$others_before" || busy "$others_after"; then
    echo "Warning: other programs were running; run again on an idle machine for reliable figures."
fi
exit $status
