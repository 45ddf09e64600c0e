#!/usr/bin/env python3
"""A stand-in daemon for the demo network.

Usage: standin.py NAME [tcp:PORT | udp:PORT | to:ADDRESS:PORT | writes:LINES:LOG:SECONDS] ...

It takes NAME as its process name (what process tables show), listens on
the given TCP and UDP ports (both address families, wildcard), greets each
TCP connection with one banner line and keeps it open until the client
closes it (at most MAX_ACCEPTED at a time), swallows UDP datagrams,
and holds one TCP connection open to each to:ADDRESS:PORT, reconnecting
every few seconds while the other end is absent. writes:LINES:LOG:SECONDS
appends the next line of the file LINES (from the first again after the
last) to LOG every SECONDS, with {time} (syslog's time stamp), {host},
{pid} and {port} filled in, as a daemon writing its log does. So the demo
hosts look like hosts that run a name server, a time server, a mail relay,
... and use them, without any real daemon being installed.
"""
import os
import random
import selectors
import signal
import socket
import sys
import time

RECONNECT_SECONDS = 3
MAX_ACCEPTED = 64


def usage(code):
    out = sys.stdout if code == 0 else sys.stderr
    print(__doc__.strip().splitlines()[2], file=out)
    sys.exit(code)


def set_name(name):
    # argv[0] is set by whoever starts us (bash "exec -a"); the short name
    # seen in /proc/PID/comm and by ps is set here.
    try:
        with open("/proc/self/comm", "w") as f:
            f.write(name[:15])
    except OSError:
        pass


def listeners(proto, port):
    out = []
    kind = socket.SOCK_STREAM if proto == "tcp" else socket.SOCK_DGRAM
    for family, addr in ((socket.AF_INET6, "::"), (socket.AF_INET, "0.0.0.0")):
        try:
            s = socket.socket(family, kind)
        except OSError:
            continue
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        if family == socket.AF_INET6:
            s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
        try:
            s.bind((addr, port))
        except OSError as e:
            print(f"standin: {proto}/{port} ({addr}): {e}", file=sys.stderr)
            s.close()
            continue
        if kind == socket.SOCK_STREAM:
            s.listen(16)
        s.setblocking(False)
        out.append(s)
    return out


def parse_target(text):
    host, sep, port = text.rpartition(":")
    if not sep or not port.isdigit():
        raise ValueError(text)
    return host.strip("[]"), int(port)


class LogWriter:
    def __init__(self, option):
        lines, log, seconds = option.split(":")
        with open(lines) as f:
            self.lines = [l.rstrip("\n") for l in f if l.strip()]
        if not self.lines:
            raise ValueError(option)
        self.log = log
        self.seconds = max(1, int(seconds))
        self.next = 0
        self.due = time.monotonic() + self.seconds
        # The log exists from the start, as a daemon's does.
        with open(self.log, "a"):
            pass

    def tick(self, now):
        if now < self.due:
            return
        self.due = now + self.seconds
        line = self.lines[self.next].format(
            time=time.strftime("%b %e %H:%M:%S"), host=socket.gethostname(),
            pid=random.randint(1000, 32000), port=random.randint(32768, 60999))
        self.next = (self.next + 1) % len(self.lines)
        try:
            with open(self.log, "a") as f:
                f.write(line + "\n")
        except OSError as e:
            print(f"standin: {self.log}: {e}", file=sys.stderr)


def main(argv):
    if len(argv) < 2 or argv[1] in ("-h", "--help"):
        usage(0 if len(argv) >= 2 else 2)
    name = argv[1]
    signal.signal(signal.SIGHUP, signal.SIG_IGN)
    set_name(name)
    sel = selectors.DefaultSelector()
    targets = {}
    writers = []
    banner = f"220 {socket.gethostname()} {name} ready\r\n".encode()
    for word in argv[2:]:
        proto, _, rest = word.partition(":")
        try:
            if proto in ("tcp", "udp"):
                for s in listeners(proto, int(rest)):
                    sel.register(s, selectors.EVENT_READ, proto)
            elif proto == "to":
                targets[parse_target(rest)] = None
            elif proto == "writes":
                writers.append(LogWriter(rest))
            else:
                raise ValueError(word)
        except (ValueError, OSError):
            print(f"standin: bad argument '{word}'", file=sys.stderr)
            sys.exit(2)
    accepted = 0
    next_try = 0.0
    while True:
        now = time.monotonic()
        for w in writers:
            w.tick(now)
        if now >= next_try:
            next_try = now + RECONNECT_SECONDS
            for target, conn in list(targets.items()):
                if conn is not None:
                    continue
                try:
                    c = socket.create_connection(target, timeout=2)
                    c.setblocking(False)
                    targets[target] = c
                    sel.register(c, selectors.EVENT_READ, ("to", target))
                except OSError:
                    pass
        for key, _ in sel.select(timeout=1.0):
            s, tag = key.fileobj, key.data
            try:
                if tag == "tcp":
                    c, _ = s.accept()
                    if accepted >= MAX_ACCEPTED:
                        c.close()
                        continue
                    c.setblocking(False)
                    try:
                        c.send(banner)
                    except OSError:
                        pass
                    sel.register(c, selectors.EVENT_READ, "in")
                    accepted += 1
                elif tag == "udp":
                    s.recvfrom(2048)
                elif tag == "in":
                    if not s.recv(4096):
                        raise OSError("closed")
                else:
                    # A held connection: read and drop; closed by the peer
                    # means try again later.
                    if not s.recv(4096):
                        raise OSError("closed")
            except BlockingIOError:
                pass
            except OSError:
                if tag == "in":
                    sel.unregister(s)
                    s.close()
                    accepted -= 1
                elif isinstance(tag, tuple):
                    sel.unregister(s)
                    s.close()
                    targets[tag[1]] = None


if __name__ == "__main__":
    main(sys.argv)
