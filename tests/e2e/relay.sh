#!/usr/bin/env bash
# End to end through the super peer: nftables drops UDP between the two
# nodes' underlay addresses, so every packet must go through the super peer.
# Traffic still arrives both ways (ping, a TCP copy by checksum), the status
# report shows no direct path, and the packets are seen going to the super
# peer. Then the super peer restarts: while it is gone nothing gets through;
# once it is back both nodes reconnect (their status shows fresh answers from
# it) and traffic resumes within 30 s.
# Exits 77 (skipped) without root or /dev/net/tun.
set -uo pipefail
source "$(dirname "$0")/lib.bash"

e2e_begin relay 170 ping nc nft "$VX_PYTHON"

e2e_setup_or_die "topology" vx_topology_up
e2e_setup_or_die "direct UDP between the nodes dropped" vx_block_direct
e2e_setup_or_die "super peer" vx_super_peer_start
e2e_setup_or_die "identities and network" vx_identities
# What b sends to the super peer, counted where the super peer lives.
vx_in a nft -f - <<EOF
table ip vxto_sp {
  chain c {
    type filter hook input priority 0; policy accept;
    ip saddr $VX_UNDER_B ip daddr $VX_UNDER_SP udp dport $VX_SP_PORT counter
  }
}
EOF
e2e_setup_or_die "agents up, networks applied" e2e_agents_up a b

check "ping $VX_OVER_B from a, through the super peer" e2e_ping_within a "$VX_OVER_B" 15
check "ping $VX_OVER_A from b" vx_in b ping -q -c 3 -i 0.2 -W 2 "$VX_OVER_A"

relayed_copy() {
  local before after
  before=$(e2e_counter a vxto_sp)
  e2e_tcp_copy b a "$VX_OVER_A" 16 60 || return 1
  after=$(e2e_counter a vxto_sp)
  echo "   datagrams from b to the super peer during the copy: $((after - before))"
  # 16 MiB in segments of at most 1,033 bytes: more than 16,000 datagrams.
  [ $((after - before)) -ge 16000 ]
}
check "16 MiB over TCP from b to a through the super peer, same SHA-256" relayed_copy
no_direct() {
  local p
  p=$(vx_best_direct_path a b)
  echo "   a's best direct path to b: ${p:-(b not listed)}"
  [ "$p" = None ]
}
check "a's status report shows no direct path to b" no_direct

# The super peer's UDP path as a's status report shows it: its last ACK line.
sp_last_ack() {
  vx_status_report a | awk '/^Super Peers:/ { on = 1 } /^Node Peers:/ { on = 0 } on && /Last ACK Time:/ { print; exit }' |
    sed 's/ (.*//'
}
ack_before=$(sp_last_ack)
check "the super peer stops" vx_super_peer_stop
check "without it nothing gets through" sh -c "! ip netns exec $VX_NS_A ping -q -c 2 -W 1 $VX_OVER_B >/dev/null"
restarted=$SECONDS
check "the super peer starts again, same key and port" vx_super_peer_start
check "traffic from a to b resumes within 30 s" e2e_ping_within a "$VX_OVER_B" 30
check "traffic from b to a resumes within 30 s" e2e_ping_within b "$VX_OVER_A" 30
echo "   resumed $((SECONDS - restarted)) s after the restart"
fresh_ack() {
  local now
  now=$(sp_last_ack)
  echo "   before: ${ack_before# *}; now: ${now# *}"
  [ -n "$now" ] && [ "$now" != "$ack_before" ] && ! grep -q Never <<<"$now"
}
check "a's status report shows a fresh answer from the super peer" vx_wait_status 15 fresh_ack
check "4 MiB over TCP from a to b after the restart, same SHA-256" e2e_tcp_copy a b "$VX_OVER_B" 4 30

e2e_end
