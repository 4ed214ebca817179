#!/usr/bin/env python3
"""Summary of a bench/compare.sh run: each server's median per workload, the median of the
per-round ratios tolvane / peer, and whether each target is met. The tls_ workloads compare
both servers over TLS; their peer column is the peer over TLS.

usage: summarize.py RESULTS HOLD_SESSIONS
RESULTS holds lines "ROUND WORKLOAD SERVER VALUE"; the hold lines have the round "hold".
"""
import statistics
import sys
from collections import defaultdict

UNITS = {"read": "MB/s", "write": "MB/s", "sessions": "sessions/s", "listing": "ms",
         "concurrent": "MB/s", "tls_read": "MB/s", "tls_write": "MB/s", "tls_sessions": "sessions/s"}
PEERS = ["vsftpd", "vsftpd_nosendfile", "raw"]
HEADINGS = {"vsftpd": "vsftpd", "vsftpd_nosendfile": "vsftpd (no sendfile)",
            "raw": "raw loopback"}


def load(path):
    values = defaultdict(dict)  # (workload, server) -> {round: value}
    with open(path) as results:
        for line in results:
            fields = line.split()
            if len(fields) != 4:
                continue
            round_, workload, server, value = fields
            try:
                values[(workload, server)][round_] = float(value)
            except ValueError:
                pass
    return values


def median_ratio(values, workload, peer, peer_workload=None):
    ours = values.get((workload, "tolvane"), {})
    theirs = values.get((peer_workload or workload, peer), {})
    ratios = [ours[r] / theirs[r] for r in ours if r in theirs and theirs[r] > 0]
    return statistics.median(ratios) if ratios else None


def own_ratio(values, workload, base):
    """The median per-round ratio of two of tolvane's own workloads (tls_read / read)."""
    ours = values.get((workload, "tolvane"), {})
    plain = values.get((base, "tolvane"), {})
    ratios = [ours[r] / plain[r] for r in ours if r in plain and plain[r] > 0]
    return statistics.median(ratios) if ratios else None


def median_of(values, workload, server):
    found = values.get((workload, server))
    return statistics.median(found.values()) if found else None


def cell(value, digits=1):
    return "-" if value is None else f"{value:.{digits}f}"


def main():
    values = load(sys.argv[1])
    wanted_sessions = int(sys.argv[2])
    rounds = len({r for found in values.values() for r in found if r != "hold"})
    print(f"medians of {rounds} interleaved rounds; ratios: the median of the per-round ratios")
    header = ["workload", "unit", "tolvane"] + [HEADINGS[p] for p in PEERS] + \
        [f"tolvane / {HEADINGS[p]}" for p in PEERS]
    rows = [header]
    for workload, unit in UNITS.items():
        row = [workload, unit, cell(median_of(values, workload, "tolvane"), 2 if unit == "ms" else 1)]
        row += [cell(median_of(values, workload, p), 2 if unit == "ms" else 1) for p in PEERS]
        row += [cell(median_ratio(values, workload, p), 2) for p in PEERS]
        rows.append(row)
    rows.append(["sessions, lean FTP client", "sessions/s",
                 cell(median_of(values, "sessions", "tolvane")),
                 cell(median_of(values, "sessions_lean", "vsftpd")), "-", "-",
                 cell(median_ratio(values, "sessions", "vsftpd", "sessions_lean"), 2), "-", "-"])
    for name, peer_name in [("hold", "hold"), ("hold_master_pss", "hold_master_pss"),
                            ("hold_worker_pss", "hold_session_pss")]:
        ours = values.get((name, "tolvane"), {}).get("hold")
        theirs = values.get((peer_name, "vsftpd"), {}).get("hold")
        unit = "sessions" if name == "hold" else "KiB"
        ratio = ours / theirs if ours is not None and theirs else None
        label = {"hold": "hold", "hold_master_pss": "master PSS",
                 "hold_worker_pss": "PSS per idle session"}[name]
        rows.append([label, unit, cell(ours, 0), cell(theirs, 0), "-", "-", cell(ratio, 2), "-", "-"])
    widths = [max(len(row[i]) for row in rows) for i in range(len(header))]
    for row in rows:
        print("  ".join(text.ljust(widths[i]) if i < 2 else text.rjust(widths[i])
                        for i, text in enumerate(row)))
    print("tls_read, tls_write, tls_sessions: both servers over TLS (the vsftpd column: vsftpd with TLS)")

    print()
    print("each round (tolvane / peers in the order of the table):")
    for workload in UNITS:
        ours = values.get((workload, "tolvane"), {})
        for round_ in sorted(ours, key=lambda r: int(r) if r.isdigit() else 0):
            peers = [values.get((workload, p), {}).get(round_) for p in PEERS]
            if workload == "sessions":
                peers.append(values.get(("sessions_lean", "vsftpd"), {}).get(round_))
            shown = " ".join(cell(v, 2 if UNITS[workload] == "ms" else 1) for v in peers if v is not None)
            print(f"  {workload} round {round_}: {cell(ours[round_], 2 if UNITS[workload] == 'ms' else 1)} / {shown}")
    alone = median_of(values, "sessions", "curl_alone")
    if alone is not None:
        print(f"curl alone (reading an empty local file) starts {alone:.1f} times a second")
    print()
    checks = [
        ("read >= 1.0 x vsftpd (sendfile)", median_ratio(values, "read", "vsftpd"), 1.0, True),
        ("read >= 1.0 x vsftpd (no sendfile)", median_ratio(values, "read", "vsftpd_nosendfile"), 1.0, True),
        ("read >= 0.8 x raw loopback", median_ratio(values, "read", "raw"), 0.8, True),
        ("write >= 1.0 x vsftpd", median_ratio(values, "write", "vsftpd"), 1.0, True),
        ("sessions >= 2 x vsftpd (curl)", median_ratio(values, "sessions", "vsftpd"), 2.0, True),
        ("sessions >= 2 x vsftpd (lean FTP client)",
         median_ratio(values, "sessions", "vsftpd", "sessions_lean"), 2.0, True),
        ("listing <= 0.5 x vsftpd", median_ratio(values, "listing", "vsftpd"), 0.5, False),
        ("read over TLS >= 0.6 x tolvane's plain read", own_ratio(values, "tls_read", "read"),
         0.6, True),
        ("read over TLS >= 1.0 x vsftpd over TLS", median_ratio(values, "tls_read", "vsftpd"),
         1.0, True),
        ("sessions over TLS >= 2 x vsftpd over TLS (curl)",
         median_ratio(values, "tls_sessions", "vsftpd"), 2.0, True),
    ]
    ours = values.get(("hold_worker_pss", "tolvane"), {}).get("hold")
    theirs = values.get(("hold_session_pss", "vsftpd"), {}).get("hold")
    checks.append(("idle worker PSS <= vsftpd per-session PSS",
                   ours / theirs if ours is not None and theirs else None, 1.0, False))
    held = values.get(("hold", "tolvane"), {}).get("hold")
    for text, ratio, bound, at_least in checks:
        if ratio is None:
            verdict = "not measured"
        else:
            met = ratio >= bound if at_least else ratio <= bound
            verdict = f"{'met' if met else 'MISSED'} ({ratio:.2f})"
        print(f"target: {text}: {verdict}")
    if held is None:
        print(f"target: {wanted_sessions} held sessions without failure: not measured")
    else:
        verdict = "met" if int(held) == wanted_sessions else f"MISSED ({int(held)} succeeded)"
        print(f"target: {wanted_sessions} held sessions without failure: {verdict}")


if __name__ == "__main__":
    main()
