#!/usr/bin/env python3
"""A stranger's connection, for measuring what it costs a listening program.

Connects to a listening Velmora (velmora-term --listen --keep, or the window)
as a client, sends a key message with a random odd modulus of --bits binary
digits and the exponent two below it (every power a full-length one), then
--junk random bytes in writes of --piece bytes, and closes. With --pid, it
then waits until that process has used no CPU for two seconds and prints the
CPU seconds it used from the connection on.

  scripts/stranger.py --port 1024 --pid $(pidof velmora-term) --junk 16384 --piece 1448
  scripts/stranger.py --port 1024 --pid ... --junk 4096 --piece 1
"""
import argparse
import os
import random
import socket
import time


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    # utime and stime, fields 14 and 15 of the whole line
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=1024)
    parser.add_argument("--bits", type=int, default=1024)
    parser.add_argument("--junk", type=int, default=16384)
    parser.add_argument("--piece", type=int, default=1448)
    parser.add_argument("--pid", type=int)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()

    rng = random.Random(args.seed)
    modulus = rng.getrandbits(args.bits) | (1 << (args.bits - 1)) | 1
    before = cpu_seconds(args.pid) if args.pid else 0.0
    with socket.create_connection((args.host, args.port)) as connection:
        connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        connection.sendall(f"{modulus - 2}::{modulus}".encode())
        time.sleep(0.1)
        junk = bytes(rng.getrandbits(8) for _ in range(args.junk))
        for at in range(0, len(junk), args.piece):
            connection.sendall(junk[at:at + args.piece])
        time.sleep(0.5)
    if not args.pid:
        return
    last, quiet_since = cpu_seconds(args.pid), time.monotonic()
    while time.monotonic() - quiet_since < 2.0:
        time.sleep(0.1)
        now = cpu_seconds(args.pid)
        if now != last:
            last, quiet_since = now, time.monotonic()
    print(f"{last - before:.2f} s of CPU")


if __name__ == "__main__":
    main()
