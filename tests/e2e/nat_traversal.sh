#!/usr/bin/env bash
# End to end: hole punching, on the NAT variant of scripts/netns.sh (each node
# behind a masquerading router of its own, the super peer in a third
# namespace that both routers reach). Behind cone NATs the super peer
# introduces the two nodes, the direct path comes up within 30 s (each status
# report shows it) and a TCP copy goes over it: its packets reach b straight
# from a's router. Behind symmetric NATs (a random port per flow) no direct
# path can open: traffic still flows, through the super peer, and nothing
# reaches b from a's router. Under each NAT, after the first answer, at most
# one of 30 pings is lost. The agents run on the defaults (every address of
# their namespace, the overlay's own excepted).
# Exits 77 (skipped) without root or /dev/net/tun.
set -uo pipefail
source "$(dirname "$0")/lib.bash"

e2e_begin natt 170 ping nc nft "$VX_PYTHON"
# e2e_begin made names for the plain topology; each mode has its own.
vx_teardown

a_router=198.18.10.2   # a's router's outside address: what b sees of a's direct packets

direct_counter() { e2e_counter b vxfrom_ra; }
direct_bytes() { e2e_counter b vxfrom_ra bytes; }

run_mode() {
  local mode=$1
  vx_init "vxnt$$${mode:0:1}"
  e2e_setup_or_die "$mode NAT: topology" vx_nat_topology_up "$mode"
  vx_in b nft -f - <<EOF
table ip vxfrom_ra {
  chain c {
    type filter hook input priority 0; policy accept;
    ip saddr $a_router meta l4proto udp counter
  }
}
EOF
  e2e_setup_or_die "$mode NAT: super peer" vx_super_peer_start
  e2e_setup_or_die "$mode NAT: identities and network" vx_identities
  e2e_setup_or_die "$mode NAT: agents up behind their routers, networks applied" e2e_agents_up a b
  check "$mode NAT: ping $VX_OVER_B from a" e2e_ping_within a "$VX_OVER_B" 15
  check "$mode NAT: ping $VX_OVER_A from b" vx_in b ping -q -c 3 -i 0.2 -W 2 "$VX_OVER_A"
  # Over three housekeeping passes: a pass that moves a node's record at the super peer to a
  # mapping its answers cannot come back through loses every packet until the next.
  check "$mode NAT: at most 1 of 30 pings from a to $VX_OVER_B lost" e2e_ping_loss a "$VX_OVER_B" 30 1
  off_overlay() { e2e_no_overlay_bindings a && e2e_no_overlay_bindings b; }
  check "$mode NAT: neither agent binds or sends from an overlay address" off_overlay

  if [ "$mode" = cone ]; then
    local started=$SECONDS
    check "cone NAT: the direct path shows in a's status report within 30 s" vx_wait_status 30 vx_has_direct_path a b
    check "cone NAT: and in b's" vx_wait_status 30 vx_has_direct_path b a
    echo "   direct $((SECONDS - started)) s after the first ping"
    over_direct() {
      local before after
      before=$(direct_bytes)
      e2e_tcp_copy a b "$VX_OVER_B" 8 30 || return 1
      after=$(direct_bytes)
      echo "   bytes reaching b straight from a's router during the copy: $((after - before))"
      # All of the 8 MiB, and their headers, came that way (counted in bytes: segmented sends
      # cross the routers as fewer, larger packets).
      [ $((after - before)) -ge 8388608 ]
    }
    check "cone NAT: 8 MiB over TCP from a to b over the direct path, same SHA-256" over_direct
  else
    check "symmetric NAT: 8 MiB over TCP from a to b, same SHA-256" e2e_tcp_copy a b "$VX_OVER_B" 8 30
    relayed_only() {
      local got p
      got=$(direct_counter)
      p=$(vx_best_direct_path a b)
      echo "   datagrams reaching b straight from a's router: ${got:-?}; a's best direct path to b: ${p:-(b not listed)}"
      [ "${got:-1}" -eq 0 ] && [ "$p" = None ]
    }
    check "symmetric NAT: all of it through the super peer, no direct path" relayed_only
  fi
  vx_teardown
}

run_mode cone
run_mode symmetric
e2e_end
