#!/usr/bin/env python3
"""A lean FTP client for the workloads that curl cannot drive, against the peer of
bench/compare.sh. It prints figures the way tvnbench does, "name value unit".

hold HOST PORT USER PASSWORD LISTENER_PID SESSIONS HOLD_SECONDS KEEPALIVE DIR
    SESSIONS logged-in control connections kept alive with NOOP for HOLD_SECONDS, their
    memory read from /proc while idle, then one LIST of DIR each:
        hold N sessions             how many sessions listed at the end
        hold_master_pss N KiB       the listening process
        hold_session_pss N KiB      one idle session: its process and that process's
                                    children, the median over the sessions
sessions HOST PORT USER PASSWORD COUNT DIR
    COUNT sessions one after another: connect, USER, PASS, LIST of DIR, QUIT (the server's
    close ends each), without the cost of starting a program per session:
        sessions N sessions/s

Loopback only; every wait has a time-out and every loop a bound.
"""
import os
import re
import resource
import socket
import statistics
import sys
import time

TIMEOUT = 30


class control:
    def __init__(self, host, port):
        self.sock = socket.create_connection((host, port), timeout=TIMEOUT)
        self.buffer = b""
        self.expect(220)

    def reply(self):
        """One reply (multi-line replies end with 'CODE ' at the start of a line)."""
        deadline = time.monotonic() + TIMEOUT
        while True:
            lines = self.buffer.split(b"\r\n")
            for at, line in enumerate(lines[:-1]):
                if re.match(rb"^\d{3} ", line):
                    self.buffer = b"\r\n".join(lines[at + 1:])
                    return int(line[:3]), line
            if time.monotonic() > deadline:
                raise OSError("no reply in time")
            chunk = self.sock.recv(4096)
            if not chunk:
                raise OSError("connection closed")
            self.buffer += chunk

    def expect(self, *codes):
        code, line = self.reply()
        if code not in codes:
            raise OSError(f"unexpected reply {line!r}")
        return line

    def command(self, text, *codes):
        self.sock.sendall(text.encode() + b"\r\n")
        return self.expect(*codes)

    def list(self, path):
        line = self.command("PASV", 227)
        numbers = re.search(rb"\((\d+),(\d+),(\d+),(\d+),(\d+),(\d+)\)", line).groups()
        host = ".".join(n.decode() for n in numbers[:4])
        port = int(numbers[4]) * 256 + int(numbers[5])
        with socket.create_connection((host, port), timeout=TIMEOUT) as data:
            self.command(f"LIST {path}", 150, 125)
            received = 0
            while True:
                chunk = data.recv(65536)
                if not chunk:
                    break
                received += len(chunk)
        self.expect(226)
        return received


def pss_kib(pid):
    try:
        with open(f"/proc/{pid}/smaps_rollup") as rollup:
            for line in rollup:
                if line.startswith("Pss:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def children(pid):
    try:
        with open(f"/proc/{pid}/task/{pid}/children") as listed:
            return [int(child) for child in listed.read().split()]
    except OSError:
        return []


def session_memory(listener):
    """PSS of each session's process tree (the listener's children and theirs)."""
    sizes = []
    for session in children(listener):
        tree, at = [session], 0
        while at < len(tree) and at < 16:
            tree.extend(children(tree[at]))
            at += 1
        sizes.append(sum(pss_kib(pid) for pid in tree))
    return sizes


def log_in(host, port, user, password):
    session = control(host, port)
    session.command(f"USER {user}", 331)
    session.command(f"PASS {password}", 230)
    return session


def sessions(arguments):
    host, port, user, password, count, directory = arguments
    count = int(count)
    start = time.monotonic()
    for _ in range(count):
        session = log_in(host, int(port), user, password)
        if session.list(directory) <= 0:
            raise OSError("an empty listing")
        session.command("QUIT", 221)
        session.sock.settimeout(TIMEOUT)
        while session.sock.recv(4096):  # the server's close ends the session
            pass
        session.sock.close()
    seconds = time.monotonic() - start
    print(f"sessions {count / seconds:.1f} sessions/s")


def hold(arguments):
    host, port, user, password, listener, count, seconds, keepalive, directory = arguments
    port, listener, count = int(port), int(listener), int(count)
    seconds, keepalive = float(seconds), float(keepalive)
    _, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, count + 64), hard))

    held, failures_in_a_row = [], 0
    for number in range(count):
        try:
            held.append(log_in(host, port, user, password))
            failures_in_a_row = 0
        except (OSError, AttributeError) as error:
            print(f"ftp_client: session {number + 1}: {error}", file=sys.stderr)
            failures_in_a_row += 1
            if failures_in_a_row >= 5:
                break

    sizes = session_memory(listener)
    master = pss_kib(listener)
    alive = [True] * len(held)
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        time.sleep(min(keepalive, max(0.0, end - time.monotonic())))
        for at, session in enumerate(held):
            if alive[at]:
                try:
                    session.command("NOOP", 200)
                except OSError:
                    alive[at] = False

    succeeded = 0
    for at, session in enumerate(held):
        if alive[at]:
            try:
                if session.list(directory) > 0:
                    succeeded += 1
            except (OSError, AttributeError) as error:
                print(f"ftp_client: session {at + 1}: {error}", file=sys.stderr)
    for session in held:
        try:
            session.command("QUIT", 221)
        except OSError:
            pass
        session.sock.close()

    print(f"hold {succeeded} sessions")
    print(f"hold_master_pss {master} KiB")
    if sizes:
        print(f"hold_session_pss {int(statistics.median(sizes))} KiB")
    sys.stdout.flush()


if __name__ == "__main__":
    modes = {"hold": hold, "sessions": sessions}
    if len(sys.argv) < 2 or sys.argv[1] not in modes:
        sys.exit(__doc__)
    modes[sys.argv[1]](sys.argv[2:])
