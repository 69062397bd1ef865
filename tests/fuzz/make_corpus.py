#!/usr/bin/python3
"""Writes the seed corpora of the fuzz targets (tests/fuzz/corpus/<target>/).

The seeds are real DHCP messages built with scapy (requests as clients send
them, answers as servers send them, with and without the relay agent
information option) and real configuration files. Each target reads its
control values from the end of its input (FuzzedDataProvider), so a seed is
the message or frame followed by a few control bytes drawn from a fixed
random sequence: rerunning this script gives the same files.

Run with Debian's python3 (scapy): /usr/bin/python3 tests/fuzz/make_corpus.py
"""
import os
import random
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


def pad_to_300(message):
    data = raw(message)
    return data + b"\x00" * max(0, 300 - len(data))


def frame(message):
    """A client's broadcast frame carrying the message."""
    return raw(Ether(src=CLIENT_MAC, dst="ff:ff:ff:ff:ff:ff") /
               IP(src="0.0.0.0", dst="255.255.255.255") / UDP(sport=68, dport=67) / message)


def trailer(size):
    return bytes(rng.getrandbits(8) for _ in range(size))


def write(target, name, data):
    folder = os.path.join(CORPUS, target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def options_corpus():
    # Control bytes: max_packet_size, step count and 13 bytes per step.
    for name, message in list(requests()) + list(answers()):
        for steps in (1, 4, 12):
            write("fuzz_options", f"{name}_{steps}", pad_to_300(message) + trailer(3 + 13 * steps))


def main():
    options_corpus()
    return 0


if __name__ == "__main__":
    sys.exit(main())
