#!/usr/bin/env bash
# End to end, on the namespace topology of scripts/netns.sh: the host program
# with real TUN interfaces. Each agent's interface gets the agent's MTU and
# comes up; a second host cannot take a name in use; SIGUSR1 asks for the
# status report; a missing configuration directory is refused; SIGTERM stops
# an agent cleanly and its interface goes; SIGKILL takes the interface away
# with the process, and a restart on the same configuration file finds it
# intact.
# Exits 77 (skipped) without root or /dev/net/tun.
set -uo pipefail
source "$(dirname "$0")/lib.bash"

e2e_begin host_tun 90
e2e_setup_or_die "topology comes up" vx_topology_up
e2e_setup_or_die "super peer starts" vx_super_peer_start
e2e_setup_or_die "identities are made" vx_identities

link_is() {  # NODE MTU: the TUN interface exists, is up and has the MTU
  vx_in "$1" ip -o link show "$VX_TUN" 2>/dev/null | grep -q "<[^>]*UP[^>]*> mtu $2 "
}
no_link() { ! vx_in "$1" ip link show "$VX_TUN" >/dev/null 2>&1; }

check "agent a starts with its TUN interface" vx_agent_start a
check "agent b starts with its TUN interface" vx_agent_start b
check "interface of a is up with the agent's MTU" link_is a 1073
check "interface of b is up with the agent's MTU" link_is b 1073

second_host_refused() {
  local out
  out=$(vx_in a "$VX_BUILD/velarix_host" --no-log --config "$VX_WORK/a/second.toml" --tun "$VX_TUN" 2>&1)
  [ $? -eq 1 ] && grep -q "interface name '$VX_TUN' is in use" <<<"$out"
}
check "a second host cannot take a name in use" second_host_refused
check "SIGUSR1 asks agent a for its status report" vx_status_report a

missing_dir_refused() {
  local out
  out=$(vx_in a "$VX_BUILD/velarix_host" --no-log --config "$VX_WORK/no/such/dir/agent.toml" --tun vx9 2>&1)
  [ $? -eq 1 ] && grep -q "configuration directory '$VX_WORK/no/such/dir' does not exist" <<<"$out" &&
    ! vx_in a ip link show vx9 >/dev/null 2>&1
}
check "a missing configuration directory is named, and no interface is made" missing_dir_refused

stopped_cleanly() {
  vx_agent_stop "$1" TERM
  grep -q '^agent stopped' "$VX_WORK/$1/host.out"
}
check "SIGTERM stops agent b cleanly" stopped_cleanly b
check "interface of b is gone after it stopped" no_link b

sk_before=$(grep '^sk' "$VX_WORK/a/agent.toml")
check "SIGKILL ends agent a" vx_agent_stop a KILL
check "interface of a went with the killed process" vx_wait_for 5 no_link a
check "agent a starts again on the same configuration" vx_agent_start a
check "its identity is the one it had" test "$(grep '^sk' "$VX_WORK/a/agent.toml")" = "$sk_before"
check "interface of a is back, up" link_is a 1073

e2e_end
