#!/usr/bin/env bash
# make bench: tvnbench with its defaults against a server of its own, started on a temporary
# root with the list-account, path-mapping and journal modules (every method journalled), as
# a deployment runs it. The figures go to standard output, one "name value unit" line each;
# the client's CPU time and the steps taken go to standard error.
#
# usage: bench/run.sh [BUILD_DIR] [tvnbench options...]
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
shift || true
[ -x "$build/bin/tvnbench" ] || { echo "run.sh: no $build/bin/tvnbench: build first" >&2; exit 2; }
echo "tvnbench: $(nproc) cores; load average $(cut -d' ' -f1-3 /proc/loadavg)" >&2
exec "$build/bin/tvnbench" --build "$build" --verbose "$@"
