#!/usr/bin/env bash
# Lays out a demo server root from a build tree and starts tvn on it (loopback, high port):
# one list account, demo@demo, with the owner password "demo" and the guest password "guest".
set -euo pipefail
build=${1:?usage: make-demo-root.sh BUILD_DIR DEMO_ROOT PORT}
root=${2:?}
port=${3:?}
here=$(cd "$(dirname "$0")" && pwd)

"$here/stop-demo.sh" "$root"
rm -rf "$root"
mkdir -p "$root"/{conf,lib,log,users}
cp "$build"/lib/*.so "$root/lib/"

# The files of list accounts belong to one service account: nobody as root, else yourself.
if [ "$(id -u)" -eq 0 ]; then
    service_user=nobody
    service_group=$(id -gn nobody)
else
    service_user=$(id -un)
    service_group=$(id -gn)
fi

home="$root/home/demo"
mkdir -p "$home"/{Private,Public,Web}
echo "Notes only the owner sees." > "$home/Private/notes.txt"
echo "Hello from the demo's public area." > "$home/Public/hello.txt"
printf '<html><body>demo</body></html>\n' > "$home/Web/index.html"
mkdir -p "$home/Public/docs"
echo "A file in a subdirectory." > "$home/Public/docs/readme.txt"

# MD5 hashes of "demo" and "guest"; tvnadduser and tvnvpasswd make such records interactively.
cat > "$root/users/demo.passwd" <<'DB'
demo!$1$tolvdemo$ZT3YTbaalrP2/kghxJV6G.!$1$tolvgues$LNtfnNNgaWApsevRLD.gn1!HOME!!!!
DB
sed -i "s|HOME|$home|" "$root/users/demo.passwd"

cat > "$root/conf/tolvane.conf" <<CONF
# Demo configuration: loopback only, a high port.
<Server>
    AddIpAddress 127.0.0.1
    ServerPort $port
    ConnectionIdleTimeout 300
    ConnectionKeepalive 120
    ConnectionKeepaliveTimeout 120
    MaxConcurrentUsers 50
    LoadModule listacct.so
    LoadModule pathmap.so
    LoadModule journal.so
</Server>

# Every request of every login, in log/journal.log.
<module mod_log>
    <VirtualDomain everyone>
        LoggingFile log/journal.log
        LogConnection yes
        LogDisconnect yes
        LogGetdir yes
        LogOpenFile yes
        LogReadFile yes
        LogWriteFile yes
        LogCloseFile yes
        LogDelete yes
        LogMakedir yes
        LogRename yes
        LogCopyfile yes
        LogChangePwd yes
    </VirtualDomain>
</module>

<module mod_virtual_users>
    TvnUser $service_user
    TvnGroup $service_group
    <VirtualDomain demo>
        PasswdFile $root/users/demo.passwd
        EnableDomain 1
        OwnerChangePassword Enabled
        GuestChangePassword Enabled
        Alias demo
    </VirtualDomain>
</module>
CONF

# The service account writes the user's files, and rewrites the database through a temporary
# file in the server root when a password changes.
if [ "$(id -u)" -eq 0 ]; then
    chown -R "$service_user:$service_group" "$root/home" "$root/users"
    chown "$service_user:$service_group" "$root"
fi

"$build/bin/tvn" -d "$root"
for _ in $(seq 1 50); do
    grep -q '\.\.OK' "$root/log/tolvane.output" 2>/dev/null && break
    sleep 0.1
done
sleep 0.2
cat "$root/log/tolvane.output"
echo
echo "tolvane runs on 127.0.0.1:$port, root $root (pid $(cat "$root/log/tolvane.pid"))."
echo "Demo login: demo@demo, owner password 'demo', guest password 'guest'."
echo "Output file: $root/log/tolvane.output; activity log: $root/log/journal.log"
client="$build/bin/tvnclient"
echo
echo "Try it with the command-line client:"
echo "    export TVN_USER=demo@demo TVN_PASSWORD=demo"
echo "    $client -p $port ls /"
echo "    $client -p $port ls -l /Public"
echo "    $client -p $port cat /Public/hello.txt"
echo "    $client -p $port get /Public/hello.txt /tmp/hello.txt"
echo "    $client -p $port put README.md /Private/"
echo "    $client -p $port shell"
echo "    TVN_PASSWORD=guest $client -p $port ls /Public     # the guest login reads only"
echo "Stop it with: make demo-stop   (or: kill -INT \$(cat $root/log/tolvane.pid))"
