#!/usr/bin/python3
"""Frames and datagrams for the end-to-end tests, and checks on captures.

  frames.py request IFACE [options]   send crafted Ethernet frames carrying a
                                      DHCP request (or anything near one)
  frames.py answer --to IP [options]  send server answers as UDP datagrams
  frames.py send6 --iface IF [options] send a DHCPv6 message (or a relay
                                      message around one) by UDP
  frames.py relayed --to IP --giaddr IP [options]
                                      act as a relay towards a server: send a
                                      relayed DISCOVER (option 82 as given)
                                      and print the answer's fields as JSON
  frames.py count PCAP [select]       number of matching DHCP packets
  frames.py dump PCAP [select]        their fields, one JSON object a line
  frames.py check PCAP [select] [--count N] [--absent PCAP2] FIELD=VALUE...
                                      every matching packet has those values,
                                      there are N of them (1 by default) and
                                      none in PCAP2

  select: --xid X, --op N, --sport N, --dport N, --where FIELD=VALUE
  (DHCPv6 packets have msg_type instead of op, and the innermost message's
  transaction id as xid; their fields are listed in v6_fields)
  request and answer take --wait PCAP: wait until the packet shows up there.

Frames are built by hand and sent through a packet socket, datagrams through
a UDP socket, and captures are read and their checksums verified here too:
nothing depends on the relay's code, and each run starts in a fraction of
a second.
"""

import argparse
import json
import os
import select as io_wait
import socket
import struct
import sys
import time

COOKIE = b"\x63\x82\x53\x63"


def mac_bytes(text):
    return bytes(int(part, 16) for part in text.split(":"))


def mac_text(raw):
    return ":".join("%02x" % b for b in raw)


def ip_bytes(text):
    return socket.inet_aton(text)


def ip_text(raw):
    return socket.inet_ntoa(raw)


def iface_mac(name):
    with open("/sys/class/net/%s/address" % name) as f:
        return f.read().strip()


def build_message(args, default_options):
    """A BOOTP message: the 236 fixed bytes, the cookie and the options,
    END unless --no-end, then cut or padded to --size bytes."""
    chaddr = mac_bytes(args.chaddr) if args.chaddr else b""
    msg = struct.pack(
        "!BBBBIHH4s4s4s4s16s64s128s",
        args.op, 1, 6, args.hops, int(args.xid, 0), 0, int(args.flags, 0),
        ip_bytes(args.ciaddr), ip_bytes(args.yiaddr), ip_bytes(args.siaddr),
        ip_bytes(args.giaddr), chaddr.ljust(16, b"\0"), b"", b"")
    msg += COOKIE
    options = bytes.fromhex(args.options) if args.options is not None else default_options
    if args.tag is not None:
        tag = args.tag.encode()
        options += bytes([12, len(tag)]) + tag
    msg += options
    if not args.no_end:
        msg += b"\xff"
    fill = bytes([int(args.fill, 0)])
    if args.size is not None:
        if args.size < len(msg):
            msg = msg[: args.size]
        else:
            msg += fill * (args.size - len(msg))
    return msg


def add_message_options(p, op, size):
    p.add_argument("--xid", default="0x12345678")
    p.add_argument("--op", type=int, default=op)
    p.add_argument("--hops", type=int, default=0)
    p.add_argument("--flags", default="0", help="flags field, e.g. 0x8000 for broadcast")
    p.add_argument("--ciaddr", default="0.0.0.0")
    p.add_argument("--yiaddr", default="0.0.0.0")
    p.add_argument("--siaddr", default="0.0.0.0")
    p.add_argument("--giaddr", default="0.0.0.0")
    p.add_argument("--chaddr", help="client hardware address")
    p.add_argument("--options", help="options as hex, without END")
    p.add_argument("--tag", help="add option 12 (host name) with this text")
    p.add_argument("--no-end", action="store_true", help="leave out the END option")
    p.add_argument("--size", type=int, default=size, help="message length after padding")
    p.add_argument("--fill", default="0", help="byte that pads the message")
    p.add_argument("--count", type=int, default=1)
    p.add_argument("--gap", type=float, default=0.0, help="seconds between copies")
    p.add_argument("--wait", metavar="PCAP",
                   help="after sending, wait until this capture holds packets with the xid "
                   "(exit status 3 on time-out)")
    p.add_argument("--wait-count", type=int, default=1)
    p.add_argument("--wait-timeout", type=float, default=5.0)


def wait_for_capture(args):
    """Poll a capture (cheaply, by its size) until it holds --wait-count
    packets with the xid just sent; exit 3 when the time runs out."""
    if not args.wait:
        return
    xid = "0x%08x" % int(args.xid, 0)
    deadline = time.monotonic() + args.wait_timeout
    seen = -1
    n = 0
    while True:
        try:
            size = os.stat(args.wait).st_size
        except OSError:
            size = -1
        if size != seen:
            seen = size
            n = 0
            if size > 0:
                for stamp, frame in read_pcap(args.wait):
                    f = fields(stamp, frame)
                    if f is not None and f.get("xid") == xid:
                        n += 1
            if n >= args.wait_count:
                return
        if time.monotonic() > deadline:
            print("%s: %d packet(s) with xid %s after %.1f s, expected %d"
                  % (args.wait, n, xid, args.wait_timeout, args.wait_count),
                  file=sys.stderr)
            sys.exit(3)
        time.sleep(0.02)


def ip_udp_frame(src_mac, dst_mac, src_ip, dst_ip, sport, dport, payload, vlan=None, ttl=64):
    """An Ethernet II / IPv4 / UDP frame with correct lengths and checksums."""
    udp_len = 8 + len(payload)
    ip_hdr = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + udp_len, 0, 0, ttl, 17, 0,
                         ip_bytes(src_ip), ip_bytes(dst_ip))
    ip_hdr = ip_hdr[:10] + struct.pack("!H", 0xFFFF - ones_sum(ip_hdr)) + ip_hdr[12:]
    udp = struct.pack("!HHHH", sport, dport, udp_len, 0) + payload
    pseudo = ip_bytes(src_ip) + ip_bytes(dst_ip) + struct.pack("!BBH", 0, 17, udp_len)
    csum = 0xFFFF - ones_sum(pseudo + udp)
    udp = udp[:6] + struct.pack("!H", csum or 0xFFFF) + udp[8:]
    eth = mac_bytes(dst_mac) + mac_bytes(src_mac)
    if vlan is not None:
        eth += struct.pack("!HH", 0x8100, vlan)
    return eth + struct.pack("!H", 0x0800) + ip_hdr + udp


def send_frames(iface, frames):
    """Put frames on an interface's wire as they are, back to back."""
    s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW)
    try:
        s.bind((iface, 0))
        for frame in frames:
            s.send(frame)
    finally:
        s.close()


def cmd_request(args):
    src = args.src_mac or iface_mac(args.iface)
    if args.chaddr is None:
        args.chaddr = src
    msg = build_message(args, bytes([53, 1, 1]))
    raw = bytearray(ip_udp_frame(src, "ff:ff:ff:ff:ff:ff", "0.0.0.0", args.ip_dst, 68, 67, msg,
                                 vlan=7 if args.vlan else None))
    if args.ethertype is not None:
        struct.pack_into("!H", raw, 12, int(args.ethertype, 0))
    if args.udp_len is not None:
        struct.pack_into("!H", raw, 38, args.udp_len)
    if args.frame_len is not None:
        if args.frame_len < len(raw):
            raw = raw[: args.frame_len]
        else:
            raw += b"\0" * (args.frame_len - len(raw))
    if not args.gap:
        send_frames(args.iface, [bytes(raw)] * args.count)
    else:
        for i in range(args.count):
            send_frames(args.iface, [bytes(raw)])
            if i + 1 < args.count:
                time.sleep(args.gap)
    wait_for_capture(args)


def cmd_answer(args):
    msg = build_message(args, bytes([53, 1, 2, 54, 4]) + ip_bytes(args.server_id))
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    try:
        s.bind((args.bind, args.sport))
    except OSError:
        # A DHCP server of the test may hold port 67 already.
        s.bind((args.bind, 0))
    for i in range(args.count):
        s.sendto(msg, (args.to, args.port))
        if args.gap and i + 1 < args.count:
            time.sleep(args.gap)
    s.close()
    wait_for_capture(args)


def cmd_relayed(args):
    """A relay's DISCOVER to a server, from giaddr:--sport, with hops 1,
    giaddr and the option 82 data given; the answer is awaited at giaddr on
    port 67 and on --sport (a relay source port), and its fields printed:
    the port it came to, yiaddr, option 54 and option 82 (hex), or
    {"port": null} when none came in --timeout seconds."""
    args.op, args.hops = 1, 1
    agent = bytes.fromhex(args.agent_info)
    options = bytes([53, 1, 1]) + (bytes([82, len(agent)]) + agent if agent else b"")
    msg = build_message(args, options)
    listeners = []
    for port in sorted({67, args.sport}):
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        s.bind((args.giaddr, port))
        listeners.append((port, s))
    sender = dict(listeners).get(args.sport)
    sender.sendto(msg, (args.to, 67))
    deadline = time.time() + args.timeout
    while time.time() < deadline:
        ready, _, _ = io_wait.select([s for _, s in listeners], [], [], max(0.0, deadline - time.time()))
        for port, s in listeners:
            if s not in ready:
                continue
            m = s.recv(2048)
            if len(m) < 240 or m[0] != 2 or m[4:8] != struct.pack("!I", int(args.xid, 0)):
                continue
            sid = option(m, 54)
            a82 = option(m, 82)
            print(json.dumps({"port": port, "yiaddr": ip_text(m[16:20]),
                              "server_id": ip_text(sid) if sid and len(sid) == 4 else None,
                              "agent_info": a82.hex() if a82 is not None else None}))
            return
    print(json.dumps({"port": None}))


# ----- captures

def read_pcap(path):
    """Yield the frames of a pcap file (Ethernet link type); a record cut
    short at the end of a capture still being written is left out."""
    with open(path, "rb") as f:
        data = f.read()
    if len(data) < 24:
        return
    magic = data[:4]
    if magic in (b"\xd4\xc3\xb2\xa1", b"\x4d\x3c\xb2\xa1"):
        endian = "<"
    elif magic in (b"\xa1\xb2\xc3\xd4", b"\xa1\xb2\x3c\x4d"):
        endian = ">"
    else:
        raise SystemExit("%s: not a pcap file" % path)
    pos = 24
    while pos + 16 <= len(data):
        sec, frac, caplen, _ = struct.unpack_from(endian + "IIII", data, pos)
        pos += 16
        if pos + caplen > len(data):
            return
        yield sec + frac / 1e6, data[pos: pos + caplen]
        pos += caplen


def ones_sum(data):
    if len(data) % 2:
        data += b"\0"
    total = sum(struct.unpack("!%dH" % (len(data) // 2), data))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return total


def end_offset(msg):
    """Length of the message through its END option, or None."""
    pos = 240
    while pos < len(msg):
        code = msg[pos]
        if code == 255:
            return pos + 1
        if code == 0:
            pos += 1
            continue
        if pos + 1 >= len(msg):
            return None
        pos += 2 + msg[pos + 1]
    return None


def option(msg, code):
    pos = 240
    while pos + 1 < len(msg):
        c = msg[pos]
        if c == 255:
            return None
        if c == 0:
            pos += 1
            continue
        n = msg[pos + 1]
        if c == code:
            return msg[pos + 2: pos + 2 + n]
        pos += 2 + n
    return None


def v6_options(data):
    """(code, data) of each option; None when one runs past the end."""
    out, pos = [], 0
    while pos < len(data):
        if pos + 4 > len(data):
            return None
        code, n = struct.unpack_from("!HH", data, pos)
        if pos + 4 + n > len(data):
            return None
        out.append((code, data[pos + 4: pos + 4 + n]))
        pos += 4 + n
    return out


def v6_fields(f, m):
    """The DHCPv6 fields of message m: msg_type, and for a relay message
    hop_count, link_address, peer_address, interface_id, client_lladdr
    ("type/mac"), relay_msg_len; inner_* for the message it carries (one
    level), xid and innermost_type for the innermost message, depth (the
    relay messages around it), relay_source_port (option 135 as hex)."""
    if len(m) < 4:
        f["msg_type"] = m[0] if m else "none"
        return
    f["msg_type"] = m[0]
    f["msg_hex"] = m.hex()
    depth, prefix = 0, ""
    while m and m[0] in (12, 13) and len(m) >= 34:
        opts = v6_options(m[34:])
        f[prefix + "hop_count"] = m[1]
        f[prefix + "link_address"] = socket.inet_ntop(socket.AF_INET6, m[2:18])
        f[prefix + "peer_address"] = socket.inet_ntop(socket.AF_INET6, m[18:34])
        if opts is None:
            f[prefix + "options"] = "malformed"
            return
        d = dict(reversed(opts))
        f[prefix + "option_codes"] = ",".join(str(c) for c, _ in opts)
        iid = d.get(18)
        f[prefix + "interface_id"] = iid.decode("latin-1") if iid is not None else "none"
        ll = d.get(79)
        f[prefix + "client_lladdr"] = ("%d/%s" % (struct.unpack_from("!H", ll)[0], mac_text(ll[2:]))
                                       if ll is not None and len(ll) >= 2 else "none")
        port = d.get(135)
        f[prefix + "relay_source_port"] = port.hex() if port is not None else "none"
        inner = d.get(9)
        if inner is None:
            return
        f[prefix + "relay_msg_len"] = len(inner)
        if depth == 0:
            f["inner_type"] = inner[0] if inner else "none"
        depth += 1
        prefix = "inner_"
        m = inner
    f["depth"] = depth
    if len(m) >= 4:
        f["innermost_type"] = m[0]
        f["xid"] = "0x%08x" % int.from_bytes(m[1:4], "big")


def v6_frame_fields(f, frame):
    ip = frame[14:]
    if len(ip) < 48 or ip[6] != 17:
        return None
    plen = struct.unpack_from("!H", ip, 4)[0]
    udp = ip[40:40 + plen]
    if len(udp) < 8:
        return None
    ulen, ucsum = struct.unpack_from("!HH", udp, 4)
    pseudo = ip[8:40] + struct.pack("!IxxxB", len(udp), 17)
    f.update({"ip6_src": socket.inet_ntop(socket.AF_INET6, ip[8:24]),
              "ip6_dst": socket.inet_ntop(socket.AF_INET6, ip[24:40]),
              "hop_limit": ip[7], "udp_sport": struct.unpack_from("!H", udp, 0)[0],
              "udp_dport": struct.unpack_from("!H", udp, 2)[0], "udp_len": ulen,
              "udp_csum_ok": "yes" if ucsum != 0 and ones_sum(pseudo + udp) == 0xFFFF else "no"})
    if 547 not in (f["udp_sport"], f["udp_dport"]):
        return None
    v6_fields(f, bytes(udp[8:ulen]))
    return f


def fields(stamp, frame):
    """The fields of one Ethernet/IPv4/UDP frame (or a DHCPv6 one over
    IPv6), or None for anything else."""
    if len(frame) < 14:
        return None
    f = {"time": stamp, "frame_len": len(frame),
         "eth_dst": mac_text(frame[0:6]), "eth_src": mac_text(frame[6:12])}
    etype = struct.unpack_from("!H", frame, 12)[0]
    f["eth_type"] = "0x%04x" % etype
    if etype == 0x86DD:
        return v6_frame_fields(f, frame)
    if etype != 0x0800 or len(frame) < 34:
        return None
    ip = frame[14:]
    ihl = (ip[0] & 15) * 4
    if ip[9] != 17 or len(ip) < ihl + 8:
        return None
    f.update({
        "ip_vhl": "0x%02x" % ip[0], "ip_tos": "0x%02x" % ip[1],
        "ip_len": struct.unpack_from("!H", ip, 2)[0],
        "ip_id": struct.unpack_from("!H", ip, 4)[0],
        "ip_off": struct.unpack_from("!H", ip, 6)[0],
        "ip_ttl": ip[8], "ip_proto": ip[9],
        "ip_csum_ok": "yes" if ones_sum(ip[:ihl]) == 0xFFFF else "no",
        "ip_src": ip_text(ip[12:16]), "ip_dst": ip_text(ip[16:20]),
    })
    udp = ip[ihl:]
    ulen = struct.unpack_from("!H", udp, 4)[0]
    ucsum = struct.unpack_from("!H", udp, 6)[0]
    f.update({"udp_sport": struct.unpack_from("!H", udp, 0)[0],
              "udp_dport": struct.unpack_from("!H", udp, 2)[0],
              "udp_len": ulen})
    # The UDP checksum over the pseudo-header and the UDP length's bytes;
    # 0 means the sender did not compute one.
    seg = udp[:ulen]
    if ucsum == 0:
        f["udp_csum_ok"] = "none"
    elif len(seg) < ulen:
        f["udp_csum_ok"] = "short"
    else:
        pseudo = ip[12:20] + struct.pack("!BBH", 0, 17, ulen)
        f["udp_csum_ok"] = "yes" if ones_sum(pseudo + seg) == 0xFFFF else "no"
    payload = udp[8:ulen] if ulen >= 8 else b""
    f["payload_len"] = len(payload)
    f["captured_after_udp"] = len(udp) - ulen  # Ethernet padding and the like
    if len(payload) >= 240:
        m = payload
        f.update({
            "op": m[0], "htype": m[1], "hlen": m[2], "hops": m[3],
            "xid": "0x%08x" % struct.unpack_from("!I", m, 4)[0],
            "flags": "0x%04x" % struct.unpack_from("!H", m, 10)[0],
            "ciaddr": ip_text(m[12:16]), "yiaddr": ip_text(m[16:20]),
            "siaddr": ip_text(m[20:24]), "giaddr": ip_text(m[24:28]),
            "chaddr": mac_text(m[28:34]),
            "cookie_ok": "yes" if m[236:240] == COOKIE else "no",
        })
        n = end_offset(m)
        f["msg_len"] = n if n is not None else "none"
        f["after_end"] = len(m) - n if n is not None else "none"
        f["after_end_zero"] = ("yes" if not any(m[n:]) else "no") if n is not None else "none"
        tag = option(m, 12)
        f["tag"] = tag.decode("latin-1") if tag is not None else "none"
        kind = option(m, 53)
        f["msg_type"] = kind[0] if kind else "none"
        f["payload_hex"] = m.hex()
    return f


def v6_message(args):
    """The DHCPv6 message of send6: a client message (or --raw bytes),
    wrapped in one relay message per --relay HOP."""
    if args.raw is not None:
        m = bytes.fromhex(args.raw)
    else:
        opts = bytes.fromhex(args.options) if args.options is not None else \
            bytes.fromhex("0001000a00030001") + bytes.fromhex("02000000%04x" % (args.seq & 0xFFFF))
        m = bytes([args.type]) + (int(args.xid, 0) & 0xFFFFFF).to_bytes(3, "big") + opts
    for hop in args.relay:
        inner = m
        m = bytes([args.relay_type, hop]) + socket.inet_pton(socket.AF_INET6, args.link) + \
            socket.inet_pton(socket.AF_INET6, args.peer) + struct.pack("!HH", 9, len(inner)) + inner
        if args.iface_id is not None:
            iid = args.iface_id.encode()
            m += struct.pack("!HH", 18, len(iid)) + iid
    return m


def cmd_send6(args):
    s = socket.socket(socket.AF_INET6, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_BINDTODEVICE, args.iface.encode())
    s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_MULTICAST_IF, socket.if_nametoindex(args.iface))
    s.bind((args.src, args.sport))
    scope = socket.if_nametoindex(args.iface)
    for _ in range(args.count):
        s.sendto(v6_message(args), (args.to, args.port, 0, scope))
    s.close()
    wait_for_capture(args)


def select(args, pcap=None):
    for stamp, frame in read_pcap(pcap or args.pcap):
        f = fields(stamp, frame)
        if f is None or "xid" not in f:
            continue
        if args.xid is not None and f["xid"] != "0x%08x" % int(args.xid, 0):
            continue
        if args.dport is not None and f["udp_dport"] != args.dport:
            continue
        if args.sport is not None and f["udp_sport"] != args.sport:
            continue
        if args.op is not None and f.get("op") != args.op:
            continue
        if not all(same(f.get(k), v) for k, _, v in (w.partition("=") for w in args.where)):
            continue
        yield f


def same(have, want):
    if str(have) == want:
        return True
    try:
        return int(want, 0) == int(str(have), 0)
    except ValueError:
        return False


def cmd_count(args):
    print(sum(1 for _ in select(args)))


def cmd_dump(args):
    for f in select(args):
        f = dict(f)
        f.pop("payload_hex", None)
        print(json.dumps(f, sort_keys=True))


def cmd_check(args):
    found = list(select(args))
    ok = True
    if args.at_least is not None:
        if len(found) < args.at_least:
            print("expected at least %d matching packet(s), found %d" % (args.at_least, len(found)),
                  file=sys.stderr)
            ok = False
    elif args.count is not None and len(found) != args.count:
        print("expected %d matching packet(s), found %d" % (args.count, len(found)), file=sys.stderr)
        ok = False
    for f in found:
        for want in args.expect:
            key, _, value = want.partition("=")
            if key.endswith("@"):  # the values of all packets, in any order
                continue
            if key.endswith("~"):  # substring of the field's text
                key = key[:-1]
                good = value in str(f.get(key))
            else:
                good = key in f and same(f[key], value)
            if not good:
                print("packet xid %s: %s is %r, expected %s" % (f.get("xid"), key, f.get(key), value),
                      file=sys.stderr)
                ok = False
    for want in args.expect:
        key, _, value = want.partition("=")
        if key.endswith("@"):
            have = sorted(str(f.get(key[:-1])) for f in found)
            if have != sorted(value.split(",")):
                print("%s of the packets: %s, expected %s" % (key[:-1], have, value), file=sys.stderr)
                ok = False
    for other in args.absent:
        n = sum(1 for _ in select(args, other))
        if n:
            print("%d matching packet(s) in %s, expected none" % (n, other), file=sys.stderr)
            ok = False
    if not ok:
        for f in found:
            g = dict(f)
            g.pop("payload_hex", None)
            print(json.dumps(g, sort_keys=True), file=sys.stderr)
    sys.exit(0 if ok else 1)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = ap.add_subparsers(dest="cmd", required=True)

    p = sub.add_parser("request", help="send crafted request frames")
    p.add_argument("iface")
    add_message_options(p, op=1, size=300)
    p.add_argument("--src-mac", help="Ethernet source (default: the interface's)")
    p.add_argument("--ip-dst", default="255.255.255.255")
    p.add_argument("--ethertype", help="overwrite the EtherType")
    p.add_argument("--vlan", action="store_true", help="tag the frame (802.1Q)")
    p.add_argument("--udp-len", type=int, help="overwrite the UDP length field")
    p.add_argument("--frame-len", type=int, help="cut or zero-pad the frame to this length")
    p.set_defaults(func=cmd_request)

    p = sub.add_parser("answer", help="send a server answer by UDP")
    p.add_argument("--to", required=True)
    p.add_argument("--port", type=int, default=67)
    p.add_argument("--bind", default="0.0.0.0")
    p.add_argument("--sport", type=int, default=67)
    p.add_argument("--server-id", default="203.0.113.2")
    add_message_options(p, op=2, size=300)
    p.set_defaults(func=cmd_answer)

    p = sub.add_parser("relayed", help="send a relayed DISCOVER to a server, print its answer")
    p.add_argument("--to", required=True, help="the server")
    p.add_argument("--sport", type=int, default=67, help="the relay's source port")
    p.add_argument("--agent-info", default="", help="option 82 data as hex (sub-options)")
    p.add_argument("--timeout", type=float, default=2.0)
    add_message_options(p, op=1, size=300)
    p.set_defaults(func=cmd_relayed)

    p = sub.add_parser("send6", help="send a DHCPv6 message by UDP")
    p.add_argument("--iface", required=True, help="the link to send on (and the scope of --to)")
    p.add_argument("--to", default="ff02::1:2")
    p.add_argument("--port", type=int, default=547)
    p.add_argument("--sport", type=int, default=546)
    p.add_argument("--src", default="::", help="the source address (default: the system's choice)")
    p.add_argument("--type", type=int, default=1, help="message type (default Solicit)")
    p.add_argument("--xid", default="0x123456")
    p.add_argument("--seq", type=int, default=0, help="makes the default client id unique")
    p.add_argument("--options", help="options in hex (default: a client id)")
    p.add_argument("--raw", help="the whole message in hex")
    p.add_argument("--relay", type=int, action="append", default=[], metavar="HOP",
                   help="wrap in a relay message of this hop count (repeat to nest)")
    p.add_argument("--relay-type", type=int, default=12)
    p.add_argument("--link", default="::")
    p.add_argument("--peer", default="::")
    p.add_argument("--iface-id")
    p.add_argument("--count", type=int, default=1)
    p.add_argument("--wait", metavar="PCAP")
    p.add_argument("--wait-count", type=int, default=1)
    p.add_argument("--wait-timeout", type=float, default=5.0)
    p.set_defaults(func=cmd_send6)

    for name, func in (("count", cmd_count), ("dump", cmd_dump), ("check", cmd_check)):
        p = sub.add_parser(name)
        p.add_argument("pcap")
        p.add_argument("--xid")
        p.add_argument("--dport", type=int)
        p.add_argument("--sport", type=int)
        p.add_argument("--op", type=int)
        p.add_argument("--where", action="append", default=[], metavar="FIELD=VALUE",
                       help="only packets with this field value")
        if name == "check":
            p.add_argument("--count", type=int, default=1)
            p.add_argument("--at-least", type=int, help="instead of --count: N or more")
            p.add_argument("--absent", action="append", default=[], metavar="PCAP",
                           help="another capture that must hold no matching packet")
            p.add_argument("expect", nargs="*",
                           help="FIELD=VALUE; FIELD~=TEXT for a substring; FIELD@=V1,V2 for the "
                           "values of all matching packets in any order")
        p.set_defaults(func=func)

    # Expectations may follow the options of check; argparse would not take
    # positionals after them, so they are gathered from what it leaves over.
    args, rest = ap.parse_known_args()
    if rest:
        if args.cmd != "check" or any(r.startswith("-") or "=" not in r for r in rest):
            ap.error("unrecognized arguments: %s" % " ".join(rest))
        args.expect += rest
    args.func(args)


if __name__ == "__main__":
    main()
