// tvnmount --help.
#include "mount_help.h"

namespace tvnmount {

const char *mount_manual() {
    return R"(Usage: tvnmount [options] MOUNTPOINT
       tvnmount --unmount MOUNTPOINT      (or: tvnmount -u MOUNTPOINT, fusermount3 -u MOUNTPOINT)

Shows a tolvane session's "/" (Private, Public, Web) at MOUNTPOINT, for every program to use.
tvnmount logs in, mounts, and goes on in the background; a guest login mounts read-only.

Login (as tvnclient):
  -H HOST            the server (default 127.0.0.1)
  -p PORT            its port (default 700)
  -u USER@DOMAIN     the login (default: $TVN_USER); the password comes from $TVN_PASSWORD
                     or is asked at the terminal
  -t SECONDS         time-out of every request (default 30); a server that does not answer
                     within it makes the operation fail with EIO
  --tls              TLS (also $TVN_TLS=1); --ca FILE trusts that CA alone; --accept-new
                     trusts an unknown self-signed certificate on first use without asking

Mounting:
  -f, --foreground   stay in the foreground; messages go to standard error (else to syslog)
  -o OPTIONS         FUSE mount options, comma-separated (allow_other, ro, ...)
  --sessions N       sessions with the server for operations side by side (1 to 16; 4)
  --unmount MOUNTPOINT
                     unmount (fusermount3 -u)

Caching (the server suggests a level at login):
  --cache-level N    0 to 4 instead of the server's suggestion: attributes and names are
                     trusted for 1, 5, 30, 120 or 300 seconds
  --attr-timeout S   seconds attributes are trusted (fractions allowed)
  --entry-timeout S  seconds names (and missing names) are trusted
  --no-page-cache    read and write past the kernel's page cache (by default pages are kept
                     while a file's size and time are unchanged)
  --read-ahead WHEN  read a file read in order ahead, as READs sent without waiting for each
                     answer: auto (from a distant server: even the fastest of a file's first
                     READs of 128 KiB slower than 2 ms), always or never
  --kernel-read-ahead KIB
                     the kernel's read-ahead window for the mount (0 to 16384; 1024, set
                     where the user may: root; 0 leaves the kernel's 128)
  --write-back BYTES writes gathered per file before they leave, as WRITEs of 500000 bytes
                     sent without waiting for each answer (0 to 16777216; 2097152)

Times are kept on the server, in whole seconds. What it cannot keep fails with EPERM:
permission bits other than those shown (files 0644, directories 0755; 0444 and 0555
read-only), owners, links; times other than "now" on a server that cannot set them.

Exit status: 0 mounted (or unmounted), 1 the mount failed, 2 usage, 5 login refused,
6 cannot reach the server, 7 no such mount point, 8 or 9 the server's TLS certificate is
not trusted.
)";
}

} // namespace tvnmount
