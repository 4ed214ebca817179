#!/usr/bin/env bash
# Stops the demo server whose PID file lies in the demo root, if it still runs.
set -u
root=${1:?usage: stop-demo.sh DEMO_ROOT}
pid=$(cat "$root/log/tolvane.pid" 2>/dev/null) || exit 0
if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null && grep -q tvn "/proc/$pid/cmdline" 2>/dev/null; then
    kill -INT "$pid"
    for _ in $(seq 1 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    echo "demo server $pid stopped"
fi
