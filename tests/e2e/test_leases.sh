#!/usr/bin/env bash
# Real clients get real leases through one relay serving two client segments:
# busybox udhcpc and ISC dhclient as clients, dnsmasq and then ISC dhcpd as
# the server. A server picks the range by the giaddr that the relay stamps,
# so each lease must come from the range of the client's own segment; and
# the offer and acknowledgement must come back on the right segment, or the
# client gets nothing.
source "$(dirname "$0")/lib.sh"

kv_topology 2
kv_start_relay relay -i "${KV_IF_RELAY[1]}" -i "${KV_IF_RELAY[2]}" "$KV_IP_SERVER"

# expect_lease SERVER CLIENT SEG
expect_lease() {
    local server=$1 client=$2 seg=$3 ip
    if [ "$client" = udhcpc ]; then
        ip=$(kv_udhcpc "$seg" 5 "udhcpc-$server-$seg")
    else
        ip=$(kv_dhclient "$seg" 8 "dhclient-$server-$seg")
    fi
    if [ -z "$ip" ]; then
        kv_check_fail "$client on segment $seg got no lease from $server"
    elif ! kv_in_range "$seg" "$ip"; then
        kv_check_fail "$client on segment $seg got $ip from $server, outside ${KV_RANGE_LO[seg]}-${KV_RANGE_HI[seg]}"
    else
        kv_pass "$client on segment $seg: $ip from $server"
    fi
}

kv_start_dnsmasq
expect_lease dnsmasq udhcpc 1
expect_lease dnsmasq dhclient 2
kv_stop "$KV_DNSMASQ_PID"

kv_start_dhcpd
expect_lease dhcpd dhclient 1
expect_lease dhcpd udhcpc 2

kv_relay_alive || kv_check_fail "the relay is no longer running"
kv_finish
