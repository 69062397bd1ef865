#!/usr/bin/python3
"""Malformed and unrelayable DHCP request frames, as fast as one process can
write them, for the flood soak.

  flood_frames.py --iface NAME [--iface NAME...] --count N --seconds S
                  [--max-packet-size 1400] [--max-hops 4] [--list]

Writes whole Ethernet frames through packet sockets, cycling over the kinds
below and over the interfaces, until N frames are sent or S seconds have
passed, whichever comes first. Prints one line of key=value counters: sent=
and one count per kind. Every frame is built here by hand, so that it is
exactly as malformed as meant. Each kind is one the relay must refuse or
drop without relaying, with the log line it gives (none where it is silent):

  runt          60 bytes                          "length too little -- packet discarded"
  short         277 bytes                         "length too little -- packet discarded"
  oversize      longer than max_packet_size, END  "malformed dhcp packet (can't find option 255)..."
                only beyond the captured length
  ipv6          IPv6 UDP to port 67               "wrong ether type -- packet discarded"
  udp_len       UDP length 240                    "not enough DHCP data -- packet ignore"
  no_end        options without END               "malformed dhcp packet (can't find option 255)..."
  overrun       an option length past the frame   "malformed dhcp packet (can't find option 255)..."
  last_code     an option code in the last byte   "malformed dhcp packet (can't find option 255)..."
  ip_options    IPv4 header with options          "not enough DHCP data -- packet ignore" (the
                                                  relay reads the UDP ports as the UDP length)
  reply         op 2                              silent
  hops          hops at max_hops                  silent (dropped after the client_request hooks)
  vlan          802.1Q-tagged request             never captured (the capture filter drops it)

Transaction ids are 0xF1000000 + a counter, out of the load generator's
range. Bounded in count and time; sends only on the interfaces named.
"""

import argparse
import socket
import struct
import sys
import time

from frames import ones_sum  # the Internet sum, shared with the frame tool

COOKIE = b"\x63\x82\x53\x63"
BROADCAST = b"\xff" * 6
SOURCE_MAC = bytes.fromhex("02005ef10001")


def checksum(data):
    return ~ones_sum(data) & 0xFFFF


def message(xid, op=1, hops=0, options=b"\x35\x01\x01\xff", size=300):
    fixed = struct.pack("!BBBBIHH4s4s4s4s16s64s128s", op, 1, 6, hops, xid, 0, 0, b"\0" * 4, b"\0" * 4,
                        b"\0" * 4, b"\0" * 4, SOURCE_MAC.ljust(16, b"\0"), b"", b"")
    body = fixed + COOKIE + options
    return body + b"\0" * max(0, size - len(body))


def ipv4_frame(payload, udp_len=None, ip_options=b"", ethertype=b"\x08\x00", prefix=b""):
    udp_length = 8 + len(payload)
    udp = struct.pack("!HHHH", 68, 67, udp_len if udp_len is not None else udp_length, 0) + payload
    ihl = 5 + len(ip_options) // 4
    header = struct.pack("!BBHHHBBH4s4s", 0x40 | ihl, 0, 4 * ihl + len(udp), 0, 0, 64, 17, 0,
                         b"\0" * 4, b"\xff" * 4) + ip_options
    header = header[:10] + struct.pack("!H", checksum(header)) + header[12:]
    return BROADCAST + SOURCE_MAC + prefix + ethertype + header + udp


def ipv6_frame(payload):
    udp = struct.pack("!HHHH", 546, 67, 8 + len(payload), 0) + payload
    header = struct.pack("!IHBB16s16s", 6 << 28, len(udp), 17, 64, b"\xfe\x80" + b"\0" * 13 + b"\1",
                         b"\xff\x02" + b"\0" * 11 + b"\1\0\2")
    return b"\x33\x33\x00\x01\x00\x02" + SOURCE_MAC + b"\x86\xdd" + header + udp


def kinds(max_packet_size, max_hops):
    x = 0xF1000000
    valid = ipv4_frame(message(x))
    options_room = 300 - 240
    return {
        "runt": valid[:60],
        "short": valid[:277],
        "oversize": ipv4_frame(message(x + 1, options=b"\x35\x01\x01" + b"\0" * (max_packet_size - 282 + 40) +
                                       b"\xff", size=0)),
        "ipv6": ipv6_frame(message(x + 2)),
        "udp_len": ipv4_frame(message(x + 3), udp_len=240),
        "no_end": ipv4_frame(message(x + 4, options=(b"\x0c\x08hostname") * (options_room // 10))),
        "overrun": ipv4_frame(message(x + 5, options=b"\x35\x01\x01\x0c\xf0abc", size=0)),
        "last_code": ipv4_frame(message(x + 6, options=b"\x35\x01\x01\x00\x0c", size=0)),
        "ip_options": ipv4_frame(message(x + 7), ip_options=b"\x01\x01\x01\x00"),
        "reply": ipv4_frame(message(x + 8, op=2)),
        "hops": ipv4_frame(message(x + 9, hops=max_hops)),
        "vlan": ipv4_frame(message(x + 10), prefix=b"\x81\x00\x00\x07"),
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--iface", action="append", required=True)
    parser.add_argument("--count", type=int, default=100000)
    parser.add_argument("--seconds", type=float, default=10)
    parser.add_argument("--max-packet-size", type=int, default=1400)
    parser.add_argument("--max-hops", type=int, default=4)
    args = parser.parse_args()
    if not 0 < args.count <= 100_000_000 or not 0 < args.seconds <= 600:
        parser.error("--count 1 to 100000000 and --seconds up to 600")

    frames = kinds(args.max_packet_size, args.max_hops)
    names = list(frames)
    plan = [frames[name] for name in names]
    socks = []
    for name in args.iface:
        s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW)
        s.bind((name, 0))
        socks.append(s)
    sends = [s.send for s in socks]

    counts = [0] * len(plan)
    tried = errors = 0
    started = time.monotonic()
    deadline = started + args.seconds
    n_kinds, n_socks = len(plan), len(sends)
    while tried < args.count:
        # Time is read once per round of 1024 frames; the count is exact.
        for _ in range(min(1024, args.count - tried)):
            k = tried % n_kinds
            try:
                sends[(tried // n_kinds) % n_socks](plan[k])
                counts[k] += 1
            except OSError:
                errors += 1
            tried += 1
        if time.monotonic() >= deadline:
            break
    elapsed = time.monotonic() - started
    sent = sum(counts)
    fields = ["sent=%d" % sent, "errors=%d" % errors, "rate=%.0f" % (sent / elapsed if elapsed > 0 else 0)]
    fields += ["%s=%d" % (n, c) for n, c in zip(names, counts)]
    print(" ".join(fields))
    return 0


if __name__ == "__main__":
    sys.exit(main())
