#!/usr/bin/env bash
# End to end through the overlay, on the two-node topology of scripts/netns.sh:
# ping both ways; a packet too big for the receiving agent's MTU, sent with
# Don't Fragment, answered with "fragmentation needed"; the direct path comes
# up and shows in the status report; a 64 MiB TCP copy compared by checksum;
# UDP datagrams of every size both ways, fragmented ones too; DNS A records of
# both members from both nodes and NXDOMAIN for an unknown name.
# Exits 77 (skipped) without root or /dev/net/tun.
set -uo pipefail
source "$(dirname "$0")/lib.bash"

e2e_begin overlay 170 nc dig ping "$VX_PYTHON"

e2e_setup_or_die "topology" vx_topology_up
e2e_setup_or_die "super peer" vx_super_peer_start
e2e_setup_or_die "identities and network" vx_identities
# b runs with a smaller MTU than a: a's full-size packets are too big for b.
mtu_b=1000
vx_config_prepend b "mtu = $mtu_b"
e2e_setup_or_die "agents up, networks applied" e2e_agents_up a b

check "ping $VX_OVER_B from a" vx_in a ping -q -c 3 -i 0.2 -W 2 "$VX_OVER_B"
check "ping $VX_OVER_A from b" vx_in b ping -q -c 3 -i 0.2 -W 2 "$VX_OVER_A"

# Before anything else teaches a's kernel the path MTU to b: 1,068 bytes with
# Don't Fragment, within a's MTU (1073) and above b's.
too_big() {
  local out
  out=$(vx_in a ping -c 1 -W 2 -M do -s 1040 "$VX_OVER_B" 2>&1)
  echo "$out" | grep -E 'Frag|mtu' | sed 's/^/   /'
  grep -q "From $VX_OVER_B .*Frag needed and DF set (mtu = $mtu_b)" <<<"$out"
}
check "a packet above b's MTU with Don't Fragment gets 'fragmentation needed', mtu $mtu_b" too_big
learned() { vx_in a ip route get "$VX_OVER_B" | grep -q "mtu $mtu_b"; }
check "a's kernel keeps the path MTU it was told" learned
check "a packet within b's MTU with Don't Fragment still arrives" vx_in a ping -q -c 1 -W 2 -M do -s 972 "$VX_OVER_B"

# Traffic made the super peer introduce the two; the direct path follows.
check "the direct path between a and b shows in a's status report within 20 s" vx_wait_status 20 vx_has_direct_path a b
check "and in b's" vx_wait_status 20 vx_has_direct_path b a

check "64 MiB over TCP from a to b, same SHA-256" e2e_tcp_copy a b "$VX_OVER_B" 64 60

# Every datagram comes back from an echo server and must be equal; lost ones
# are sent again (at most 3 times). Sizes above the MTU leave as IP fragments.
udp_echo() {
  local n=$1 peer=$2 server=$3 port=5300 out=$VX_WORK/echo.out
  vx_in "$peer" "$VX_PYTHON" - "$server" "$port" >"$out" 2>&1 <<'EOF' &
import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind((sys.argv[1], int(sys.argv[2])))
s.settimeout(30)
print("ready", flush=True)
try:
    while True:
        data, addr = s.recvfrom(65535)
        s.sendto(data, addr)
except socket.timeout:
    pass
EOF
  local server_pid=$!
  vx_wait_for 5 grep -q ready "$out" || { kill "$server_pid"; return 1; }
  vx_in "$n" "$VX_PYTHON" - "$server" "$port" <<'EOF'
import os, socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
# Let the kernel fragment what does not fit the interface's MTU.
s.setsockopt(socket.IPPROTO_IP, 10, 0)  # IP_MTU_DISCOVER = IP_PMTUDISC_DONT
s.settimeout(1)
sizes = list(range(0, 1500, 37)) + [1472, 2000, 4000, 8000]
bad = []
for size in sizes:
    payload = os.urandom(size)
    for attempt in range(3):
        s.sendto(payload, (sys.argv[1], int(sys.argv[2])))
        try:
            echo, _ = s.recvfrom(65535)
        except socket.timeout:
            continue
        if echo == payload:
            break
    else:
        bad.append(size)
print("   %d datagrams of 0 to 8000 bytes, %d not echoed intact: %s" % (len(sizes), len(bad), bad[:10]))
sys.exit(1 if bad else 0)
EOF
  local rc=$?
  kill "$server_pid" 2>/dev/null
  wait "$server_pid" 2>/dev/null
  return "$rc"
}
check "UDP from a to an echo server on b, every datagram back intact" udp_echo a b "$VX_OVER_B"
check "UDP from b to an echo server on a, every datagram back intact" udp_echo b a "$VX_OVER_A"

# NAME on node N resolves to WANT (an address, or NXDOMAIN).
resolves() {
  local n=$1 name=$2 want=$3 out
  out=$(vx_in "$n" dig +time=2 +tries=2 "@$VX_DNS" "$name" A)
  if [ "$want" = NXDOMAIN ]; then
    grep -q 'status: NXDOMAIN' <<<"$out"
  else
    grep -q 'status: NOERROR' <<<"$out" && [ "$(vx_in "$n" dig +short +time=2 +tries=2 "@$VX_DNS" "$name" A)" = "$want" ]
  fi
}
for n in a b; do
  check "$n resolves $VX_HOST_A.$VX_DNS_ZONE to $VX_OVER_A" resolves "$n" "$VX_HOST_A.$VX_DNS_ZONE" "$VX_OVER_A"
  check "$n resolves $VX_HOST_B.$VX_DNS_ZONE to $VX_OVER_B" resolves "$n" "$VX_HOST_B.$VX_DNS_ZONE" "$VX_OVER_B"
  check "$n gets NXDOMAIN for nosuch.$VX_DNS_ZONE" resolves "$n" "nosuch.$VX_DNS_ZONE" NXDOMAIN
done

e2e_end
