#!/usr/bin/env bash
# make bench: tvnbench with its defaults against a server of its own, started on a temporary
# root with the list-account, path-mapping and journal modules (every method journalled), as
# a deployment runs it. The figures go to standard output, one "name value unit" line each;
# the client's CPU time and the steps taken go to standard error.
#
# Read, write and sessions also run over TLS (the server then gets a self-signed certificate
# and a TLS port), each line "tls_NAME" right after its plain one. raw_stream is the rate of a
# bare TCP stream between two local sockets.
#
# Then read, write and raw_stream once more, 200 MiB each, through tvnbench's delay relay at
# 40 ms of round trip (--rtt), against a second server of its own: lines "NAME@40ms".
#
# usage: bench/run.sh [BUILD_DIR] [tvnbench options...]
#        (WORKLOADS="read tls_read" picks the workloads; RTT_WORKLOADS those through the
#        relay, none when empty; RTT and RTT_SIZE its round trip in ms and the size)
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
shift || true
[ -x "$build/bin/tvnbench" ] || { echo "run.sh: no $build/bin/tvnbench: build first" >&2; exit 2; }
workloads=${WORKLOADS:-read tls_read write tls_write sessions tls_sessions listing concurrent hold raw_stream}
rtt_workloads=${RTT_WORKLOADS-read write raw_stream}
echo "tvnbench: $(nproc) cores; load average $(cut -d' ' -f1-3 /proc/loadavg)" >&2
# shellcheck disable=SC2086 # the workloads are words
"$build/bin/tvnbench" --build "$build" --verbose "$@" $workloads
[ -n "$rtt_workloads" ] || exit 0
# shellcheck disable=SC2086
exec "$build/bin/tvnbench" --build "$build" --verbose --rtt "${RTT:-40}" --size "${RTT_SIZE:-200M}" \
    "$@" $rtt_workloads
