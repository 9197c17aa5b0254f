#!/usr/bin/env bash
# Runs builds of examples/embed.c against a super peer on loopback, each once
# without a TUN device and once with a socketpair standing in for one: each run
# loads the configuration, starts the agent, hears its first network change,
# prints the status report naming the super peer, and shuts down cleanly.
#   run_embed.sh SUPER_PEER VELARIX_HOST EMBED...
set -euo pipefail
super_peer=$1 host=$2
shift 2

work=$(mktemp -d)
sp_pid=""
cleanup() {
  if [ -n "$sp_pid" ]; then kill "$sp_pid" 2>/dev/null || true; wait "$sp_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAILED: $*"
  for f in "$work"/*.out "$work"/*.log; do [ -s "$f" ] && { echo "-- $f"; tail -n 20 "$f"; }; done
  exit 1
}

# Quick identities, and a node that stays on loopback.
export VELARIX_MIN_POW_DIFFICULTY=4 VELARIX_UDP_ADDRS=127.0.0.1 VELARIX_UDP_PORT=0 VELARIX_UDP_SOCKETS=1
unset VELARIX_LOG_LEVEL

# The super peer prints its address once it listens.
mkfifo "$work/sp.fifo"
"$super_peer" --key-file "$work/sp.key" --port 0 --min-pow-difficulty 4 --log-level warn \
  >"$work/sp.fifo" 2>"$work/sp.log" &
sp_pid=$!
exec 3<"$work/sp.fifo"
read -r -t 10 -u 3 url || fail "the super peer printed no address within 10 s"
sp_key=${url#*publicKey=}
sp_key=${sp_key%%&*}

# An identity made by the host program, then the super peer in front of it.
"$host" --no-log --config "$work/agent.toml" --init-only >/dev/null || fail "no configuration file"
{ printf 'super_peers = ["%s"]\n' "$url"; cat "$work/agent.toml"; } >"$work/agent.toml.new"
mv "$work/agent.toml.new" "$work/agent.toml"

check_run() {
  local name=$1 out=$work/$1.out log=$work/$1.log
  grep -Eq '^public key: [0-9a-f]{64}$' "$out" || fail "$name: no public key"
  grep -q '^network change: ips=\[\] routes=\[\] dns_server=\[\]$' "$out" || fail "$name: no network change"
  grep -q '^  Agent Status: CONNECTED$' "$out" || fail "$name: no status report of a running agent"
  grep -q "^Default Route: $sp_key\$" "$out" || fail "$name: the report does not name the super peer"
  grep -q 'Agent shut down\.' "$log" || fail "$name: no shut-down"
  echo "ok: $name"
}

for embed in "$@"; do
  name=$(basename "$embed")
  timeout 60 "$embed" "$work/agent.toml" >"$work/$name.out" 2>"$work/$name.log" || fail "$name: exit $?"
  check_run "$name"
  # The descriptor is one end of a sequenced-packet socketpair, which keeps packet boundaries as a TUN device does.
  python3 - "$embed" "$work/agent.toml" >"$work/$name-device.out" 2>"$work/$name-device.log" <<'PY' ||
import socket, subprocess, sys
ours, theirs = socket.socketpair(socket.AF_UNIX, socket.SOCK_SEQPACKET)
fd = theirs.fileno()
sys.exit(subprocess.run([sys.argv[1], sys.argv[2], str(fd)], pass_fds=[fd], timeout=60).returncode)
PY
    fail "$name-device: exit $?"
  check_run "$name-device"
done
