#!/usr/bin/python3
"""Writes the seed corpora of the fuzz targets (tests/fuzz/corpus/<target>/).

The seeds are real DHCP messages built with scapy (requests as clients send
them, answers as servers send them, with and without the relay agent
information option) and real configuration files. Each target reads its
control values from the end of its input (FuzzedDataProvider), so a seed is
the message or frame followed by the control bytes of a chosen sequence of
steps (plus a few drawn from a fixed random sequence): rerunning this script
gives the same files. Files named regression_* are kept: they are inputs
that once showed a fault.

Run with Debian's python3 (scapy): /usr/bin/python3 tests/fuzz/make_corpus.py
"""
import os
import random
import socket
import struct
import sys

from scapy.all import BOOTP, DHCP, IP, UDP, Ether, raw  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, "corpus")
rng = random.Random(20240607)

CLIENT_MAC = "02:00:5e:10:00:01"
CLIENT_CHADDR = bytes.fromhex("02005e100001")
AGENT_INFO = ("relay_agent_information", b"\x01\x06eth0:1\x02\x04\x0a\x0b\x0c\x0d")


def bootp(op, **kw):
    return BOOTP(op=op, chaddr=CLIENT_CHADDR + b"\x00" * 10, xid=rng.getrandbits(32), **kw)


def requests():
    """DHCP messages as clients broadcast them."""
    yield "discover", bootp(1) / DHCP(options=[("message-type", "discover"), "end"])
    yield "discover_params", bootp(1, flags=0x8000) / DHCP(options=[
        ("message-type", "discover"), ("client_id", b"\x01" + CLIENT_CHADDR),
        ("hostname", b"host-a"), ("param_req_list", [1, 3, 6, 15, 28, 51, 58, 59]),
        ("max_dhcp_size", 1500), "end"])
    yield "request", bootp(1) / DHCP(options=[
        ("message-type", "request"), ("requested_addr", "198.51.100.20"),
        ("server_id", "203.0.113.2"), ("param_req_list", [1, 3, 6]), "end"])
    yield "request_agent_info", bootp(1, hops=1, giaddr="198.51.100.1") / DHCP(options=[
        ("message-type", "request"), ("requested_addr", "198.51.100.21"), AGENT_INFO, "end"])
    yield "inform_pad", bootp(1, ciaddr="198.51.100.30") / DHCP(options=[
        ("message-type", "inform"), "pad", "pad", ("param_req_list", [1, 3]), "end", "pad", "pad"])
    yield "release", bootp(1, ciaddr="198.51.100.31") / DHCP(options=[
        ("message-type", "release"), ("server_id", "203.0.113.2"), "end"])
    yield "bootp_plain", bootp(1)  # no options at all, vendor area zero


def answers():
    """DHCP messages as servers answer a relay (giaddr set)."""
    common = dict(yiaddr="198.51.100.20", siaddr="203.0.113.2", giaddr="198.51.100.1")
    opts = [("server_id", "203.0.113.2"), ("lease_time", 3600), ("subnet_mask", "255.255.255.0"),
            ("router", "198.51.100.1"), ("name_server", "203.0.113.53")]
    yield "offer", bootp(2, **common) / DHCP(options=[("message-type", "offer")] + opts + ["end"])
    yield "ack_broadcast", bootp(2, flags=0x8000, **common) / DHCP(
        options=[("message-type", "ack")] + opts + ["end"])
    yield "ack_agent_info", bootp(2, **common) / DHCP(
        options=[("message-type", "ack")] + opts + [AGENT_INFO, "end"])
    yield "nak", bootp(2, giaddr="198.51.100.1") / DHCP(
        options=[("message-type", "nak"), ("server_id", "203.0.113.2"), "end"])
    yield "ack_inform", bootp(2, ciaddr="198.51.100.30", giaddr="198.51.100.1") / DHCP(
        options=[("message-type", "ack")] + opts[:1] + opts[2:] + ["end"])
    yield "offer_long", bootp(2, **common) / DHCP(options=[("message-type", "offer")] + opts + [
        ("domain", b"example.test"), (43, b"v" * 200), (125, b"\x00\x00\x0d\xe9" + b"w" * 150), "end"])


def internet_checksum(data):
    if len(data) % 2:
        data += b"\0"
    total = sum(struct.unpack("!%dH" % (len(data) // 2), data))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return ~total & 0xFFFF


def pad_to_300(message):
    data = raw(message)
    return data + b"\x00" * max(0, 300 - len(data))


def frame(message):
    """A client's broadcast frame carrying the message."""
    return raw(Ether(src=CLIENT_MAC, dst="ff:ff:ff:ff:ff:ff") /
               IP(src="0.0.0.0", dst="255.255.255.255") / UDP(sport=68, dport=67) / message)


def trailer(size):
    return bytes(rng.getrandbits(8) for _ in range(size))


class Controls:
    """Control values as FuzzedDataProvider reads them: from the end of the
    input, each integer from as many bytes as its range needs, the first
    byte read being the most significant."""

    def __init__(self):
        self.read = []

    def int_in(self, low, high, value):
        span, offset, bytes_ = high - low, 0, []
        while (span >> offset) > 0:
            bytes_.append(offset)
            offset += 8
        r = value - low
        self.read += [(r >> (8 * (len(bytes_) - 1 - i))) & 0xFF for i in range(len(bytes_))]
        return self

    def u8(self, value):
        return self.int_in(0, 255, value)

    def bool(self, value):
        return self.u8(1 if value else 0)

    def int32(self, value):
        return self.int_in(-2**31, 2**31 - 1, value)

    def bytes(self):
        return bytes(reversed(self.read))


def write(target, name, data):
    folder = os.path.join(CORPUS, target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


# fuzz_options: max_packet_size, step count, then per step kind (0 measure,
# 1 find, 2 find_suboption, 3 find_opt_offset, 4 insert, 5 remove), code,
# subcode, len, mode, data inside, no fit check, offset, run start, run
# length.
def option_steps(mps, steps):
    c = Controls().int_in(300, 1500, mps).int_in(1, 12, len(steps))
    for kind, code, sub, length, mode, inside, no_fit, offset, start, run in steps:
        (c.int_in(0, 5, kind).u8(code).u8(sub).u8(length).int_in(-1, 3, mode).bool(inside).bool(no_fit)
         .int_in(0, 1471, offset).int_in(0, 1232, start).int_in(0, 1232, run))
    return c.bytes()


def options_corpus():
    plans = {
        "measure": (1400, [(0, 0, 0, 0, 0, 0, 0, 0, 0, 0)]),
        "agent_info_insert": (1400, [(4, 82, 0, 12, 0, 0, 0, 7, 0, 0), (2, 82, 1, 0, 0, 0, 0, 0, 0, 0),
                                     (4, 12, 0, 5, 1, 0, 0, 99, 0, 0), (0, 0, 0, 0, 0, 0, 0, 0, 0, 0)]),
        "replace_and_remove": (576, [(4, 53, 0, 1, 1, 1, 0, 242, 0, 0), (5, 53, 0, 0, 0, 0, 0, 0, 0, 0),
                                     (4, 61, 0, 7, 2, 0, 0, 1, 0, 0), (5, 61, 0, 0, 0, 0, 0, 0, 0, 0),
                                     (3, 61, 0, 0, 0, 0, 1, 0, 0, 60)]),
        "near_the_bound": (600, [(4, 12, 0, 70, 0, 0, 0, 3, 0, 0), (4, 13, 0, 5, 2, 0, 0, 3, 0, 0),
                                 (1, 12, 0, 0, 0, 0, 0, 0, 0, 0), (3, 255, 0, 0, 0, 0, 0, 0, 0, 80)]),
        "smallest_size": (300, [(0, 0, 0, 0, 0, 0, 0, 0, 0, 0), (4, 1, 0, 0, 0, 0, 0, 0, 0, 0)]),
        "largest_size": (1500, [(4, 43, 0, 255, 0, 1, 0, 0, 0, 0), (4, 44, 0, 255, 0, 1, 0, 255, 0, 0),
                                (4, 45, 0, 255, 1, 0, 0, 1, 0, 0), (0, 0, 0, 0, 0, 0, 0, 0, 0, 0)]),
    }
    for name, message in list(requests()) + list(answers()):
        for plan, (mps, steps) in plans.items():
            write("fuzz_options", f"{name}_{plan}", pad_to_300(message) + option_steps(mps, steps))
        write("fuzz_options", f"{name}_random", pad_to_300(message) + trailer(3 + 13 * 8))


# fuzz_request: max_packet_size, whether rps_limit is any int32, rps_limit,
# frame count, then per frame its captured length, the offset of the one
# byte changed and its value.
def request_controls(mps, rps, frames):
    c = Controls().int_in(300, 1500, mps)
    if 0 <= rps <= 3:
        c.bool(False).int_in(0, 3, rps)
    else:
        c.bool(True).int32(rps)
    c.int_in(1, 12, len(frames))
    for length, at, value in frames:
        c.int_in(0, 1600, length).int_in(0, 1600, at).u8(value)
    return c.bytes()


def request_corpus():
    for name, message in requests():
        data = frame(message)
        n = len(data)
        untouched = (n, 1600, 0)
        seeds = {
            "as_sent": (1400, 0, [untouched]),
            "checks": (1400, 0, [untouched, (277, 1600, 0), (283, 1600, 0), (n, 12, 0x81), (n, 39, 0xF0),
                                 (n, 42, 2), (n, n - 1, 0), (n, 282, 0)]),
            "smallest_size": (300, 0, [untouched, (300, 1600, 0), (301, 1600, 0)]),
            "rate_limited": (1400, 1, [untouched] * 8),
            "negative_limit": (1500, -1, [untouched] * 4),
        }
        for seed, (mps, rps, frames) in seeds.items():
            write("fuzz_request", f"{name}_{seed}", data + request_controls(mps, rps, frames))
        # A frame as captured with bytes behind END (Ethernet padding).
        write("fuzz_request", f"{name}_padded", data + b"\x00" * 20 + b"\xaa" * 6 +
              request_controls(1400, 0, [(n + 26, 1600, 0)]))


# fuzz_answer: max_packet_size, datagram count, then per datagram its
# length, the interface (0: 198.51.100.1, 1: 203.0.113.1) it arrives on, the
# offset of the one byte changed and its value; then whether answers from
# any sender are accepted and per datagram its sender (0: the receiving
# interface's server, 1: the other interface's server, 2: a stranger).
def answer_controls(mps, datagrams, any_source=False):
    c = Controls().int_in(300, 1500, mps).int_in(1, 8, len(datagrams))
    for length, on, at, value, *_ in datagrams:
        c.int_in(0, 1600, length).int_in(0, 1, on).int_in(0, 1600, at).u8(value)
    c.bool(any_source)
    for _, _, _, _, *sender in datagrams:
        c.int_in(0, 2, sender[0] if sender else 0)
    return c.bytes()


def answer_corpus():
    for name, message in answers():
        data = raw(message)
        n = len(data)
        seeds = {
            "as_sent": (1400, [(n, 0, 1600, 0)]),
            # A long answer, then short ones, some without END of their own.
            "long_then_short": (1400, [(n, 0, 1600, 0), (300, 1, 1600, 0), (n, 0, 1600, 0), (299, 0, 1600, 0),
                                       (max(300, n - 40), 1, 1600, 0)]),
            "broadcast_flag": (1400, [(n, 1, 10, 0x80), (n, 0, 0, 1)]),
            "unknown_giaddr": (1400, [(n, 0, 27, 99)]),
            "cut_to_receive_size": (342, [(n, 0, 1600, 0), (342, 1, 1600, 0)]),
            # Refused at the entry: a stranger, the other interface's
            # server, a request (op 1) from the server.
            "not_a_server": (1400, [(n, 0, 1600, 0, 2), (n, 1, 1600, 0, 1), (n, 0, 1600, 0)]),
            "not_a_reply": (1400, [(n, 0, 0, 1), (n, 1, 0, 3)]),
        }
        for seed, (mps, datagrams) in seeds.items():
            write("fuzz_answer", f"{name}_{seed}", data + answer_controls(mps, datagrams))
        write("fuzz_answer", f"{name}_any_source",
              data + answer_controls(1400, [(n, 0, 1600, 0, 2), (n, 1, 0, 1, 2)], any_source=True))
    # An answer for the second interface, and one with bytes behind END.
    other = bootp(2, yiaddr="203.0.113.20", giaddr="203.0.113.1") / DHCP(
        options=[("message-type", "ack"), ("server_id", "203.0.113.2"), "end"])
    data = pad_to_300(other)
    write("fuzz_answer", "second_interface", data + answer_controls(1400, [(len(data), 0, 1600, 0)]))
    write("fuzz_answer", "junk_behind_end", data + b"\xfe" * 200 +
          answer_controls(1400, [(len(data) + 200, 0, 1600, 0), (len(data), 1, 1600, 0)]))
    # An answer whose UDP checksum computes to 0: two bytes of sname cancel
    # the sum of the frame the relay builds (198.51.100.1 to yiaddr,
    # ports 67 to 68), which must then carry all ones instead.
    zero = bytearray(raw(bootp(2, yiaddr="198.51.100.20", giaddr="198.51.100.1") / DHCP(
        options=[("message-type", "ack"), ("server_id", "203.0.113.2"), "end"])))
    zero += b"\0" * max(0, 300 - len(zero))
    # What the relay sends: the message through END, zero-padded to 300.
    sent = max(zero.index(255, 240) + 1, 300)
    pseudo = socket.inet_aton("198.51.100.1") + socket.inet_aton("198.51.100.20") + \
        struct.pack("!BBH", 0, 17, 8 + sent)
    udp = struct.pack("!HHHH", 67, 68, 8 + sent, 0)
    zero[44:46] = struct.pack("!H", internet_checksum(pseudo + udp + bytes(zero[:sent])))
    assert internet_checksum(pseudo + udp + bytes(zero[:sent])) == 0
    write("fuzz_answer", "checksum_zero", bytes(zero) + answer_controls(1400, [(len(zero), 0, 1600, 0)]))


CONFIGS = {
    "servers_and_options": """[options]
max_packet_size=1400
max_hops=4
rps_limit=100
plugin_path=/usr/local/lib
[servers]
127.0.0.1 lo
127.0.0.1:1067 lo
""",
    "bind_ip": """# relay from the loopback's address
[servers]
bind_ip=lo 127.0.0.1
bind_ip=lo 127.0.0.2
bind_ip=lo 127.000.0.1
bind_ip=lo\t127.0.0.1
127.0.0.1 lo\tlo  lo
""",
    "servers_file": """[SERVERS]
file=/etc/hosts
file=/nonexistent/servers
127.0.0.1:70000 lo
""",
    "errors": """[options]
max_hops=17
""",
    "headers": """[Options]
MAX_HOPS=2
[servers]
127.0.0.1 nosuchif lo
[bare-plugin]
first line
second = line
[probe-PLUGIN-extra]
log=yes
insert=send_to_client
[servers]
localhost lo
""",
    "plugin_path_cut": "[options]\nplugin_path=" + "d" * 78 + "\n[bare-plugin]\n",
    "names": """[servers]
localhost:67 lo
nosuchhost.invalid lo
:67 lo
127.0.0.1:0 lo
""",
    "long_line": "[servers]\n" + "x" * 6000 + "\n127.0.0.1 lo\n",
    "crlf": "[servers]\r\n127.0.0.1 lo\r\n",
    "servers6": """[options]
v6_interface_id=off
v6_link_layer_address=on
[servers6]
::1 lo
[::1]:5470 lo nosuch
ff02::1:2%lo lo
fe80::1 lo
""",
    "servers6_only": "[servers6]\n[::1]:547 lo\n",
}


def config_corpus():
    for name, text in CONFIGS.items():
        write("fuzz_config", name, text.encode())


def v6_option(code, data):
    return struct.pack("!HH", code, len(data)) + data


def v6_relay(kind, hop, inner, interface_id=None, link=16 * b"\0", peer=b"\xfe\x80" + 14 * b"\1"):
    m = bytes([kind, hop]) + link + peer + v6_option(9, inner)
    return m + (v6_option(18, interface_id) if interface_id is not None else b"")


def relay6_corpus():
    """DHCPv6 messages as they reach a relay: from clients, from lower
    relays, and Relay-Replies from servers."""
    client_id = v6_option(1, bytes.fromhex("00030001") + CLIENT_CHADDR)
    ia_na = v6_option(3, struct.pack("!III", 1, 0, 0))
    solicit = bytes([1]) + rng.getrandbits(24).to_bytes(3, "big") + client_id + v6_option(8, b"\0\0") + ia_na
    advertise = bytes([2]) + solicit[1:4] + client_id + v6_option(2, bytes.fromhex("000100012a2b2c2d") +
                                                                   CLIENT_CHADDR) + ia_na
    seeds = {
        "solicit": solicit,
        "information_request": bytes([11]) + solicit[1:4] + client_id,
        "relay_forward": v6_relay(12, 0, solicit, b"eth0", link=bytes.fromhex("20010db8" + "00" * 11 + "01")),
        "relay_forward_twice": v6_relay(12, 1, v6_relay(12, 0, solicit, b"eth1"), b"eth0"),
        "relay_reply": v6_relay(13, 0, advertise, b"eth0"),
        "relay_reply_nested": v6_relay(13, 1, v6_relay(13, 0, advertise, b"eth1"), b"eth0"),
        "relay_reply_no_id": v6_relay(13, 0, advertise, link=bytes.fromhex("20010db8" + "00" * 11 + "01")),
        "relay_reply_multicast_peer": v6_relay(13, 0, advertise, b"eth0", peer=bytes.fromhex("ff02" + "00" * 13 + "01")),
        "relay_reply_loopback_peer": v6_relay(13, 0, advertise, b"eth0", peer=bytes(15) + b"\1"),
        # DHCPv4-over-DHCPv6: a query (type 20) goes up, its response (21)
        # never does; the DHCPv4 message travels in option 87.
        "dhcpv4_query": bytes([20, 0, 0, 0]) + v6_option(87, bytes(240)) + client_id,
        "dhcpv4_response_below": bytes([21, 0, 0, 0]) + v6_option(87, bytes(240)),
        "unknown_type": bytes([200]) + solicit[1:],
    }
    for name, msg in seeds.items():
        write("fuzz_relay6", name, msg)


def main():
    for target in ("fuzz_options", "fuzz_request", "fuzz_answer", "fuzz_config", "fuzz_relay6"):
        folder = os.path.join(CORPUS, target)
        if os.path.isdir(folder):
            for name in os.listdir(folder):
                if not name.startswith("regression_"):
                    os.remove(os.path.join(folder, name))
    options_corpus()
    request_corpus()
    answer_corpus()
    config_corpus()
    relay6_corpus()
    return 0


if __name__ == "__main__":
    sys.exit(main())
