#!/usr/bin/env bash
# Lays out a demo server root from a build tree and starts tvn on it (loopback, high port).
set -euo pipefail
build=${1:?usage: make-demo-root.sh BUILD_DIR DEMO_ROOT PORT}
root=${2:?}
port=${3:?}
here=$(cd "$(dirname "$0")" && pwd)

"$here/stop-demo.sh" "$root"
rm -rf "$root"
mkdir -p "$root"/{conf,lib,log}
cp "$build"/lib/*.so "$root/lib/"

cat > "$root/conf/tolvane.conf" <<CONF
# Demo configuration: loopback only, a high port, no root rights needed.
<Server>
    AddIpAddress 127.0.0.1
    ServerPort $port
    ConnectionIdleTimeout 300
    ConnectionKeepalive 120
    ConnectionKeepaliveTimeout 120
    MaxConcurrentUsers 50
</Server>
CONF

"$build/bin/tvn" -d "$root"
for _ in $(seq 1 50); do
    grep -q '\.\.OK' "$root/log/tolvane.output" 2>/dev/null && break
    sleep 0.1
done
cat "$root/log/tolvane.output"
echo
echo "tolvane runs on 127.0.0.1:$port, root $root (pid $(cat "$root/log/tolvane.pid"))."
echo "Output file: $root/log/tolvane.output"
echo "Stop it with: make demo-stop   (or: kill -INT \$(cat $root/log/tolvane.pid))"
