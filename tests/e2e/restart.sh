#!/usr/bin/env bash
# End to end: an agent killed with SIGKILL in the middle of traffic and
# started again on the same configuration file. Its file is intact (same
# bytes, same identity, same networks), its interface comes back, and traffic
# both ways resumes within 30 s, also while the other node still holds the
# killed agent's old paths and session.
# Exits 77 (skipped) without root or /dev/net/tun.
set -uo pipefail
source "$(dirname "$0")/lib.bash"

e2e_begin restart 170 ping nc "$VX_PYTHON"

e2e_setup_or_die "topology" vx_topology_up
e2e_setup_or_die "super peer" vx_super_peer_start
e2e_setup_or_die "identities and network" vx_identities
e2e_setup_or_die "agents up, networks applied" e2e_agents_up a b
e2e_setup_or_die "traffic both ways" e2e_ping_within a "$VX_OVER_B" 10
check "the direct path is up before the kill" vx_wait_status 20 vx_has_direct_path a b

config=$VX_WORK/a/agent.toml
sum_before=$(sha256sum <"$config")
# Traffic under way when the kill comes: a flood of pings from b.
vx_in b ping -q -f -w 4 "$VX_OVER_A" >/dev/null 2>&1 &
flood=$!
vx_wait_for 2 false
check "SIGKILL ends agent a" vx_agent_stop a KILL
wait "$flood"

same_file() {
  local after
  after=$(sha256sum <"$config")
  [ "$after" = "$sum_before" ] || { echo "   $config changed:"; cat "$config"; return 1; }
  # And the library still reads it, with its identity and network.
  local out
  out=$(VELARIX_MIN_POW_DIFFICULTY=$VX_POW "$VX_BUILD/velarix_host" --no-log --config "$config" --init-only 2>&1) || return 1
  grep -q "^public key: $VX_PK_A\$" <<<"$out" && grep -q "$VX_NETWORK_URL" "$config"
}
check "a's configuration file is intact after the kill" same_file

started=$SECONDS
check "agent a starts again on the same file" vx_agent_start a
check "its network is applied again" vx_wait_applied a 30
check "traffic from a to b resumes within 30 s" e2e_ping_within a "$VX_OVER_B" 30
check "traffic from b to a resumes within 30 s" e2e_ping_within b "$VX_OVER_A" 30
echo "   resumed $((SECONDS - started)) s after the restart"
check "the direct path comes back within 30 s" vx_wait_status 30 vx_has_direct_path a b
check "8 MiB over TCP from b to a after the restart, same SHA-256" e2e_tcp_copy b a "$VX_OVER_A" 8 30
check "a's configuration file is still the same" same_file

e2e_end
