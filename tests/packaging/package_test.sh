#!/usr/bin/env bash
# Builds the Debian package from the build tree with cpack and checks its control data and
# contents. Exit 77 (skipped) when the packaging tools are not installed.
set -euo pipefail
build=${1:?usage: package_test.sh BUILD_DIR}

for tool in cpack dpkg-deb dpkg-shlibdeps; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "$tool is not installed: the package is not built"
        exit 77
    fi
done

cached() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }
prefix=$(cached CMAKE_INSTALL_PREFIX)
root=$(cached TVN_SERVER_ROOT)
root=${root%/}
unit_dir=$(cached TVN_SYSTEMD_UNIT_DIR)
case "$unit_dir" in /*) ;; *) unit_dir="$prefix/$unit_dir" ;; esac
logrotate_dir=$(cached TVN_LOGROTATE_DIR)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
if ! (cd "$build" && cpack -G DEB -B "$work" --config CPackConfig.cmake) >"$work/cpack.log" 2>&1
then
    cat "$work/cpack.log"
    exit 1
fi
deb=$(ls "$work"/*.deb)
failed=0
fail() { echo "FAILED: $*"; failed=1; }

info=$(dpkg-deb --info "$deb")
depends=$(sed -n 's/^ Depends: //p' <<<"$info")
needed=(libc6 libcrypt1 libstdc++6)
if ldd "$build/bin/tvnclient" | grep -q 'libedit\.so'; then needed+=(libedit2); fi
depended=$(tr ',' '\n' <<<"$depends" | awk '{print $1}')
for package in "${needed[@]}"; do
    grep -qxF "$package" <<<"$depended" || fail "Depends lacks $package: $depends"
done
grep -q '^ Package: tolvane$' <<<"$info" || fail "package name"

contents=$(dpkg-deb --contents "$deb" | awk '{print $NF}' | sed 's#^\.##')
expected=("$prefix/bin/tvnclient" "$root/lib/tolvane.so" "$root/conf/tolvane.conf"
    "$root/conf/tolvane.conf.sample" "$root/log/" "$root/users/" "$unit_dir/tolvane.service"
    "$logrotate_dir/tolvane" "$prefix/share/man/man5/tolvane.conf.5"
    "$prefix/share/man/man1/tvnclient.1")
for program in tvn tvnadduser tvnsysadduser tvnvpasswd tvnpasswd; do
    expected+=("$prefix/sbin/$program" "$prefix/share/man/man8/$program.8")
done
for module in listacct hostacct pathmap journal; do expected+=("$root/lib/$module.so"); done
# The client library, its headers and its pkg-config file.
libdir=$(cached CMAKE_INSTALL_LIBDIR)
case "$libdir" in /*) ;; *) libdir="$prefix/$libdir" ;; esac
expected+=("$libdir/libtolvane-client.a" "$libdir/pkgconfig/libtolvane-client.pc"
    "$prefix/include/tolvane/connection.h" "$prefix/include/tolvane/protocol.h")
if grep -q '^tvnctl:' "$build/CMakeFiles/TargetDirectories.txt" 2>/dev/null ||
    [ -x "$build/bin/tvnctl" ]; then
    expected+=("$prefix/sbin/tvnctl")
fi
for path in "${expected[@]}"; do
    grep -qxF "$path" <<<"$contents" || fail "the package lacks $path"
done
grep -q '/tvnbench$' <<<"$contents" && fail "tvnbench is not packaged"
# The shared library under its full version (the names before it are links, which the
# listing shows by their targets).
grep -q "^$libdir/libtolvane-client\.so\.1\.[0-9]" <<<"$contents" ||
    fail "the package lacks $libdir/libtolvane-client.so.1.*"

dpkg-deb -e "$deb" "$work/control"
for script in postinst prerm postrm; do
    [ -x "$work/control/$script" ] || fail "$script missing or not executable"
    sh -n "$work/control/$script" || fail "$script does not parse"
done
grep -qxF "$root/conf/tolvane.conf" "$work/control/conffiles" || fail "conffiles: tolvane.conf"
grep -qxF "$logrotate_dir/tolvane" "$work/control/conffiles" || fail "conffiles: logrotate"
grep -qxF "activate-noawait ldconfig" "$work/control/triggers" || fail "triggers: ldconfig"

[ "$failed" -eq 0 ] && echo "$(basename "$deb"): control data and contents as expected"
exit "$failed"
