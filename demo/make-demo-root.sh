#!/usr/bin/env bash
# Lays out a demo server root from a build tree and starts tvn on it (loopback, high ports):
# one list account, demo@demo, with the owner password "demo" and the guest password "guest";
# plain on PORT and TLS on TLS_PORT, with a self-signed certificate made here.
set -euo pipefail
build=${1:?usage: make-demo-root.sh BUILD_DIR DEMO_ROOT PORT TLS_PORT}
root=${2:?}
port=${3:?}
tls_port=${4:?}
here=$(cd "$(dirname "$0")" && pwd)
command -v openssl >/dev/null || { echo "make-demo-root.sh: the openssl command is needed (apt-get install openssl)" >&2; exit 2; }

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

# The TLS certificate: self-signed, for 127.0.0.1 and localhost, with a P-256 key readable by
# its owner alone (the server reads it before it forks a worker). Clients trust it on first
# use, or with --ca conf/demo-ca.pem: being self-signed, the certificate is its own CA.
if ! made=$(umask 077 && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes \
    -days 365 -subj "/CN=tolvane demo" -addext "subjectAltName=IP:127.0.0.1,DNS:localhost" \
    -keyout "$root/conf/demo-key.pem" -out "$root/conf/demo-cert.pem" 2>&1); then
    echo "$made" >&2
    exit 1
fi
chmod 600 "$root/conf/demo-key.pem"
chmod 644 "$root/conf/demo-cert.pem"
cp "$root/conf/demo-cert.pem" "$root/conf/demo-ca.pem"

cat > "$root/conf/tolvane.conf" <<CONF
# Demo configuration: loopback only, a high port.
<Server>
    AddIpAddress 127.0.0.1
    ServerPort $port
    # TLS on a port of its own, on the same addresses.
    TlsPort $tls_port
    TlsCertificateFile $root/conf/demo-cert.pem
    TlsKeyFile $root/conf/demo-key.pem
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
        LogSetTime yes
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
echo "tolvane runs on 127.0.0.1:$port and, with TLS, 127.0.0.1:$tls_port; root $root (pid $(cat "$root/log/tolvane.pid"))."
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
echo "Over TLS (the certificate is self-signed: trust it on first use, or name it as the CA):"
echo "    $client -p $tls_port --tls --accept-new ls /Public"
echo "    $client -p $tls_port --ca $root/conf/demo-ca.pem ls /Public"
echo "    its SHA-256 fingerprint: $(openssl x509 -noout -fingerprint -sha256 -in "$root/conf/demo-cert.pem" | cut -d= -f2)"
echo "Mount your areas as a directory (tvnmount, built where libfuse3-dev is installed):"
if [ -x "$build/bin/tvnmount" ]; then
    echo "    mkdir -p /tmp/demo-mount"
    echo "    TVN_PASSWORD=demo $build/bin/tvnmount -p $port -u demo@demo /tmp/demo-mount"
    echo "    ls -l /tmp/demo-mount/Public; cp -r demo /tmp/demo-mount/Private/"
    echo "    $build/bin/tvnmount -u /tmp/demo-mount      # or: fusermount3 -u /tmp/demo-mount"
else
    echo "    cmake --build $build --target tvnmount   (needs libfuse3-dev, pkg-config and fuse3)"
fi
echo "Stop it with: make demo-stop   (or: kill -INT \$(cat $root/log/tolvane.pid))"
