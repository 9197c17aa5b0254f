#!/usr/bin/env bash
# End to end: the NAT variant of the namespace topology that the hole-punching
# cases build on. For a cone NAT and a symmetric one: each node reaches the
# super peer's namespace but not the other node; a flow keeps its port through
# a cone NAT and gets a random one per destination through a symmetric NAT;
# agents behind the NATs start and their super peer's answers come back in.
# Exits 77 (skipped) without root or /dev/net/tun.
set -uo pipefail
source "$(dirname "$0")/lib.bash"

e2e_begin nat_topology 120 nft "$VX_PYTHON"
# e2e_begin made names for the plain topology; each mode has its own.
vx_teardown

# The source ports under which S sees two datagrams that node A sends from
# one local port to two ports of S: "PORT1 PORT2".
mapped_ports() {
  local out=$VX_WORK/ports.out
  vx_in s "$VX_PYTHON" - "$VX_UNDER_SP" >"$out" <<'EOF' &
import socket, sys
socks = []
for port in (40001, 40002):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind((sys.argv[1], port))
    s.settimeout(10)
    socks.append(s)
print("ready", flush=True)
print(" ".join(str(s.recvfrom(64)[1][1]) for s in socks), flush=True)
EOF
  local server=$!
  vx_wait_for 5 grep -q ready "$out" || return 1
  vx_in a "$VX_PYTHON" - "$VX_UNDER_SP" <<'EOF'
import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("0.0.0.0", 40000))
for port in (40001, 40002):
    s.sendto(b"x", (sys.argv[1], port))
EOF
  wait "$server"
  tail -n 1 "$out"
}

same_port() { local p; p=$(mapped_ports) || return 1; set -- $p; [ "$1" = 40000 ] && [ "$2" = 40000 ]; }
random_ports() { local p; p=$(mapped_ports) || return 1; set -- $p; [ "$1" != "$2" ]; }

# Whether answers of the super peer (UDP from its port) reached node N.
answered() {
  local count
  count=$(e2e_counter "$1" vxcount)
  [ "${count:-0}" -gt 0 ]
}

run_mode() {
  local mode=$1 n
  vx_init "vxn$$${mode:0:1}"
  check "$mode NAT: topology comes up, both nodes reach the super peer's address" vx_nat_topology_up "$mode"
  check "$mode NAT: node a does not reach node b" sh -c "! ip netns exec $VX_NS_A ping -c 1 -W 1 $VX_UNDER_B >/dev/null"
  check "$mode NAT: node b does not reach node a" sh -c "! ip netns exec $VX_NS_B ping -c 1 -W 1 $VX_UNDER_A >/dev/null"
  if [ "$mode" = cone ]; then
    check "cone NAT: a flow keeps its port towards every destination" same_port
  else
    check "symmetric NAT: each destination sees another port" random_ports
  fi
  for n in a b; do
    vx_in "$n" nft -f - <<EOF
table ip vxcount {
  chain answers { type filter hook input priority filter; policy accept; ip saddr $VX_UNDER_SP udp sport $VX_SP_PORT counter; }
}
EOF
  done
  if ! { vx_super_peer_start && vx_identities; }; then
    echo "FAILED: $mode NAT: super peer or identities"
    e2e_failed
    vx_teardown
    return
  fi
  for n in a b; do
    check "$mode NAT: agent $n starts behind its router" vx_agent_start "$n"
    check "$mode NAT: the super peer's answers reach agent $n" vx_wait_for 15 answered "$n"
  done
  vx_teardown
}

run_mode cone
run_mode symmetric
e2e_end
