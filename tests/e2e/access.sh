#!/usr/bin/env bash
# End to end: access rules, on the topology of scripts/netns.sh with a third
# node. A network document can only allow or deny whole nodes, by group: a
# policy names source and destination groups and allows every protocol and
# port between their members, both ways. So the cases are about nodes:
# a and b (group "member") reach each other; c (group "guest") gets nothing
# through to b, and b nothing to c, although c runs with an older copy of the
# document that still lets it send: b's agent refuses what arrives from c.
# b's DNS does not name c. Once the document puts c into "member", c and b
# reach each other within two housekeeping ticks.
# Exits 77 (skipped) without root or /dev/net/tun.
set -uo pipefail
source "$(dirname "$0")/lib.bash"

e2e_begin access 170 ping dig nft "$VX_PYTHON"

e2e_setup_or_die "topology" vx_topology_up
e2e_setup_or_die "third node" vx_third_node_up
e2e_setup_or_die "super peer" vx_super_peer_start
e2e_setup_or_die "identities" vx_make_identities a b c
network=$VX_WORK/network.toml
e2e_setup_or_die "the network: a and b members, c a guest" vx_write_network "$network" a:member b:member c:guest
e2e_setup_or_die "c's own copy, in which c is a member" vx_write_network "$VX_WORK/network-c.toml" a:member b:member c:member
vx_join_network a "file://$network"
vx_join_network b "file://$network"
vx_join_network c "file://$VX_WORK/network-c.toml"

# What each TUN interface hands to the kernel from the other two nodes.
for n in b c; do
  for m in a b c; do
    vx_in "$n" nft -f - <<EOF
table ip vxfrom_$m {
  chain c {
    type filter hook prerouting priority -300; policy accept;
    iifname "$VX_TUN" ip saddr $(vx_overlay_ip "$m") counter
  }
}
EOF
  done
done

e2e_setup_or_die "agents up, networks applied" e2e_agents_up a b c

check "a and b reach each other" e2e_ping_within a "$VX_OVER_B" 10
check "b reaches a" vx_in b ping -q -c 2 -i 0.2 -W 2 "$VX_OVER_A"

# UDP datagrams from N to DEST, port 5400.
send_udp() {
  vx_in "$1" "$VX_PYTHON" - "$2" <<'EOF'
import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
for i in range(20):
    s.sendto(b"knock %d" % i, (sys.argv[1], 5400))
EOF
}

# c sends (its copy allows it): ping and UDP towards b. Its agent hands them
# to the overlay; b's agent receives them and must refuse every one.
refused_at_b() {
  ! vx_in c ping -q -c 3 -i 0.2 -W 1 "$VX_OVER_B" >/dev/null
  local ping_rc=$?
  send_udp c "$VX_OVER_B"
  # The refusals show in b's log once c's packets arrived; wait for them.
  vx_wait_for 10 grep -q "No inbound route found for source: $VX_OVER_C -> $VX_OVER_B" "$VX_WORK/b/host.log" ||
    { echo "   b's log shows no refused packet from c"; return 1; }
  local got
  got=$(e2e_counter b vxfrom_c)
  echo "   packets from c on b's interface: ${got:-?}"
  [ "$ping_rc" -eq 0 ] && [ "${got:-1}" -eq 0 ]
}
check "c gets nothing through to b: b's agent refuses it, nothing reaches b's interface" refused_at_b

refused_at_c() {
  ! vx_in b ping -q -c 3 -i 0.2 -W 1 "$VX_OVER_C" >/dev/null || return 1
  send_udp b "$VX_OVER_C"
  local got
  got=$(e2e_counter c vxfrom_b)
  echo "   packets from b on c's interface: ${got:-?}"
  [ "${got:-1}" -eq 0 ]
}
check "b sends nothing to c" refused_at_c

resolves() {
  local n=$1 name=$2 want=$3 out
  out=$(vx_in "$n" dig +time=2 +tries=2 "@$VX_DNS" "$name.$VX_DNS_ZONE" A)
  if [ "$want" = NXDOMAIN ]; then grep -q 'status: NXDOMAIN' <<<"$out"; else grep -q "IN	A	$want\$" <<<"$out"; fi
}
check "b's DNS names a" resolves b "$VX_HOST_A" "$VX_OVER_A"
check "b's DNS does not name c" resolves b "$VX_HOST_C" NXDOMAIN

# Now c is a member: the next housekeeping ticks (every 10 s) apply it.
vx_write_network "$network" a:member b:member c:member
allowed_now() {
  e2e_ping_within c "$VX_OVER_B" 30 || { echo "   c does not reach b within 30 s"; return 1; }
  vx_in b ping -q -c 2 -i 0.2 -W 2 "$VX_OVER_C" >/dev/null || { echo "   b does not reach c"; return 1; }
  local got
  got=$(e2e_counter b vxfrom_c)
  echo "   packets from c on b's interface: ${got:-?}"
  [ "${got:-0}" -gt 0 ]
}
check "once c is a member, c and b reach each other" allowed_now
check "and b's DNS names c" vx_wait_for 15 resolves b "$VX_HOST_C" "$VX_OVER_C"

e2e_end
