#!/usr/bin/env bash
# make bench-mount: tvnmount against tvnclient on the same server, started by tvnbench on a
# temporary root. Each round mounts afresh (an empty page cache), then times, interleaved:
#   - a sequential read of a large file (SIZE, 1G): through the mount (cp to a local file,
#     and cat to /dev/null) and with tvnclient (get to a local file, cat to /dev/null); the
#     local files lie in /dev/shm where it exists;
#   - tar -x of a tree of 1,000 files (10 directories of 100, 100 bytes to 8 KiB) onto the
#     mount, and tvnclient put -r of the same tree.
# The figures (medians of ROUNDS rounds, 3) go to standard output, one "name value unit"
# line each, with the ratios the mount is held to: mount_read_ratio (read through the mount
# / tvnclient get, at least 0.5) and mount_tar_ratio (tar -x / put -r, at most 3).
#
# usage: bench/mount.sh [BUILD_DIR]     (as root, or with user_allow_other off: any user
#                                        that may mount FUSE file systems)
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
for program in tvnbench tvnclient tvnmount; do
    [ -x "$build/bin/$program" ] || { echo "mount.sh: no $build/bin/$program: build first" >&2; exit 2; }
done
command -v fusermount3 >/dev/null || { echo "mount.sh: fusermount3 is missing (install fuse3)" >&2; exit 2; }
size=${SIZE:-1G}
rounds=${ROUNDS:-3}
work=$(mktemp -d /tmp/tvnmount-bench-XXXXXX)
mnt="$work/mnt"
mkdir "$mnt"
# The copies land in memory where there is a tmpfs: writing 1 GiB to a disk would time the
# disk, and its write-back would slow whatever runs next.
copies=$(mktemp -d -p /dev/shm tvnmount-bench-XXXXXX 2>/dev/null || echo "$work")
server_pid=

cleanup() {
    if mountpoint -q "$mnt" 2>/dev/null; then
        fusermount3 -u "$mnt" 2>/dev/null || fusermount3 -uz "$mnt" 2>/dev/null || true
    fi
    [ -n "$server_pid" ] && kill -INT "$server_pid" 2>/dev/null || true
    rm -rf "$work" "$copies"
}
trap cleanup EXIT

# "port P pid N root DIR login L password W"
read -r _ port _ server_pid _ _ _ login _ password < <("$build/bin/tvnbench" --build "$build" --serve)
export TVN_USER="$login" TVN_PASSWORD="$password"
client=("$build/bin/tvnclient" -p "$port")
echo "mount.sh: $(nproc) cores; load average $(cut -d' ' -f1-3 /proc/loadavg); server on port $port" >&2
"$build/bin/tvnbench" -p "$port" --size "$size" --prepare-only read >&2
large=/Private/tvnbench/large.bin
bytes=$("${client[@]}" ls -l /Private/tvnbench | awk '$NF == "large.bin" { print $2 }')
[ -n "$bytes" ] || bytes=$("$build/bin/tvnclient" -p "$port" cat "$large" | wc -c)

mkdir "$work/tree"
for d in $(seq 0 9); do
    mkdir "$work/tree/d$d"
    for f in $(seq 0 99); do
        head -c $(( (d * 100 + f) * 131 % 8092 + 100 )) /dev/urandom > "$work/tree/d$d/f$f"
    done
done
tar -cf "$work/tree.tar" -C "$work" tree

seconds() { # COMMAND...: its wall time in seconds
    local start end
    start=$(date +%s.%N)
    "$@" >/dev/null
    end=$(date +%s.%N)
    echo "$end - $start" | bc -l
}
median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
declare -A samples
note() { samples[$1]+="$2 "; }

for round in $(seq 1 "$rounds"); do
    "$build/bin/tvnmount" -p "$port" "$mnt"
    note mount_cp "$(seconds cp "$mnt$large" "$copies/copy.bin")"
    rm -f "$copies/copy.bin"
    note get "$(seconds "${client[@]}" get "$large" "$copies/copy.bin")"
    rm -f "$copies/copy.bin"
    fusermount3 -u "$mnt"
    "$build/bin/tvnmount" -p "$port" "$mnt"
    note mount_cat "$(seconds sh -c "cat '$mnt$large' > /dev/null")"
    note cat "$(seconds sh -c "$build/bin/tvnclient -p $port cat $large > /dev/null")"
    mkdir "$mnt/Private/tvnbench-tar-$round"
    note tar_x "$(seconds tar -x -m --no-same-owner --no-same-permissions -f "$work/tree.tar" \
        -C "$mnt/Private/tvnbench-tar-$round")"
    note put_r "$(seconds "${client[@]}" put -r "$work/tree" "/Private/tvnbench-put-$round")"
    rm -rf "$mnt/Private/tvnbench-tar-$round" "$mnt/Private/tvnbench-put-$round"
    fusermount3 -u "$mnt"
    echo "mount.sh: round $round done" >&2
done

rate() { echo "scale=1; $bytes / 1000000 / $1" | bc -l; }
m() { echo "${samples[$1]}" | tr ' ' '\n' | grep . | median; }
mount_cp=$(m mount_cp) get=$(m get) mount_cat=$(m mount_cat) cat=$(m cat)
tar_x=$(m tar_x) put_r=$(m put_r)
echo "mount_read $(rate "$mount_cp") MB/s"
echo "get_read $(rate "$get") MB/s"
echo "mount_read_ratio $(echo "scale=2; $get / $mount_cp" | bc -l) x"
echo "mount_read_devnull $(rate "$mount_cat") MB/s"
echo "cat_read_devnull $(rate "$cat") MB/s"
echo "mount_tar_x $(printf '%.3f' "$tar_x") s"
echo "put_r $(printf '%.3f' "$put_r") s"
echo "mount_tar_ratio $(echo "scale=2; $tar_x / $put_r" | bc -l) x"
