#!/usr/bin/env bash
# What the DHCPv4 servers we test with make of the relay agent sub-options
# a relay fabric depends on (the field note in doc/interop.md rests on
# this test): link selection (RFC 3527, sub-option 5), server-identifier
# override (RFC 5107, sub-option 11, here beside the RFC 5010 flags,
# sub-option 10) and the relay source port (RFC 8357, sub-option 19). No
# relay runs here: this shell plays one on segment 1's address and sends
# each server relayed DISCOVERs, reading the OFFER that comes back. A
# server whose behaviour changes fails this test: update the note and the
# table below together.
source "$(dirname "$0")/lib.sh"

for tool in dnsmasq dhcpd kea-dhcp4; do
    command -v "$tool" >/dev/null 2>&1 || kv_skip "$tool is not installed"
done

kv_topology 2
RELAY=${KV_IP_RELAY[1]}
RELAY_PORT=6767
hex_ip() { printf '%02x' ${1//./ }; }

# probe NAME AGENT_INFO_HEX SPORT: one relayed DISCOVER from segment 1's
# address, transaction KV_XID and a hardware address of its own; prints
# what the server did with the sub-option.
probe() {
    local name=$1 agent=$2 sport=$3 got
    got=$(kv_frames_in "$KV_NS_RELAY" relayed --to "$KV_IP_SERVER" --giaddr "$RELAY" --sport "$sport" \
        --agent-info "$agent" --xid "$KV_XID" --chaddr "$(printf '02:00:5e:00:53:%02x' "$KV_XID_SEQ")" --timeout 2)
    echo "$got" >>"$KV_TMP/probes.log"
    "$KV_PYTHON" - "$name" "$got" "$RELAY" "$RELAY_PORT" "${KV_RANGE_LO[2]}" "${KV_RANGE_HI[2]}" <<'PY'
import json, sys
name, got, relay, relay_port, lo, hi = sys.argv[1:]
f = json.loads(got)
if f["port"] is None:
    print("no-answer")
elif name == "link-selection":
    last = int(f["yiaddr"].split(".")[3])
    print("honoured" if int(lo.split(".")[3]) <= last <= int(hi.split(".")[3]) else "ignored")
elif name.startswith("server-id-override"):
    print("honoured" if f["server_id"] == relay else "ignored")
elif name == "relay-port":
    print("honoured" if f["port"] == int(relay_port) else "ignored")
PY
}

# The sub-options: link selection names segment 2's subnet while giaddr
# is segment 1's; the override names the relay's own address; the relay
# port sub-option is empty in a request, its port the source port.
declare -A AGENT=(
    [link-selection]="0504$(hex_ip "${KV_NET[2]}")"
    [server-id-override]="0a01000b04$(hex_ip "$RELAY")"
    [server-id-override-alone]="0b04$(hex_ip "$RELAY")"
    [relay-port]="1300"
)

# What each server does, as measured (doc/interop.md).
EXPECT=(
    "dnsmasq link-selection honoured"
    "dnsmasq server-id-override honoured"
    "dnsmasq server-id-override-alone honoured"
    "dnsmasq relay-port ignored"
    "dhcpd link-selection honoured"
    "dhcpd server-id-override ignored"
    "dhcpd server-id-override-alone ignored"
    "dhcpd relay-port ignored"
    "kea link-selection honoured"
    "kea server-id-override ignored"
    "kea server-id-override-alone ignored"
    "kea relay-port honoured"
)

# run SERVER: every probe of the table against one server.
run() {
    local server=$1 row s name want got sport
    for row in "${EXPECT[@]}"; do
        read -r s name want <<<"$row"
        [ "$s" = "$server" ] || continue
        sport=67
        [ "$name" = relay-port ] && sport=$RELAY_PORT
        kv_next_xid
        got=$(probe "$name" "${AGENT[$name]}" "$sport")
        if [ "$got" = "$want" ]; then
            kv_pass "$server: $name $got"
        else
            kv_check_fail "$server: $name $got, the note says $want"
        fi
    done
}

kv_start_dnsmasq
run dnsmasq
kv_stop "$KV_DNSMASQ_PID"
kv_start_dhcpd
run dhcpd
kv_stop "$KV_DHCPD_PID"
kv_start_kea4
run kea
kv_finish
