# shellcheck shell=bash
# The two-node topology shared by scripts/run, the end-to-end tests and
# scripts/bench-tunnel. Source it, then call the vx_* functions in order:
#
#   vx_init [PREFIX]          names, work directory, tear-down on exit, Ctrl-C or failure
#   vx_topology_up            namespaces A and B joined by a veth link
#   vx_third_node_up          and namespace C, routed through A (after vx_topology_up)
#   vx_nat_topology_up [symmetric]
#                             instead: A and B each behind a NAT router of its own,
#                             the super peer in a third namespace both routers reach
#   vx_super_peer_start       a super peer (in namespace A, or S behind the NATs)
#   vx_block_direct / vx_unblock_direct
#                             drop UDP between the nodes' underlay addresses (in B), so
#                             that their packets can only go through the super peer
#   vx_identities [NODES]     agent configurations (default a b) and one file:// network
#                             listing them all; or in parts: vx_make_identities NODES,
#                             vx_write_network FILE NODE:GROUP..., vx_join_network NODE URL
#   vx_agent_start N [ARG]    velarix_host with its own TUN interface in its namespace
#   vx_wait_applied N SECS    until the agent's overlay address is on its interface
#   vx_in N CMD...            runs a command inside a namespace
#   vx_status_report N        the agent's status report (SIGUSR1)
#   vx_dump_agents            every agent's status report and last log lines, for failures
#   vx_teardown               (also run on exit) stops what was started, removes the namespaces
#
# Every address is from 198.18.0.0/15, and every packet stays inside the
# namespaces: the underlay is 198.18.0.0/24 on the veth link (198.18.3.0/24 to
# the third node; 198.18.1.0/24, 198.18.2.0/24 and 198.18.10.0/23 behind the
# NATs), the overlay network 198.19.0.0/24 on the TUN interfaces.
#
# Knobs (set before vx_init): VX_BUILD (build directory, default build),
# VX_KEEP=1 (keep the work directory), VX_POW (proof-of-work difficulty of the
# identities and the agents, default 16), VX_PIN_UDP_ADDRS=1 (each agent binds
# its underlay address only, with one socket, instead of the defaults).

VX_ROOT=${VX_ROOT:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}
VX_BUILD=${VX_BUILD:-$VX_ROOT/build}
VX_POW=${VX_POW:-16}

# Underlay (veth) and overlay addresses.
VX_UNDER_A=198.18.0.1
VX_UNDER_B=198.18.0.2
VX_UNDER_C=198.18.3.2    # the third node's, behind namespace A
VX_UNDER_SP=198.18.0.3   # the super peer's, on namespace A's side of the link
VX_SP_PORT=22527
VX_OVERLAY_NET=198.19.0.0/24
VX_OVER_A=198.19.0.1
VX_OVER_B=198.19.0.2
VX_OVER_C=198.19.0.3
VX_DNS=198.19.0.254      # the overlay DNS server: the broadcast address minus one
VX_HOST_A=alpha
VX_HOST_B=bravo
VX_HOST_C=charlie
VX_DNS_ZONE=velarix.internal   # the agent's overlay DNS zone
VX_TUN=vx0
VX_PYTHON=/usr/bin/python3     # Debian's (scripts/setup), not whatever else is first on PATH
VX_VETH=vxu0

vx_log() { printf '%s\n' "$*" >&2; }

# Why the topology cannot be built here, or nothing (status 0) when it can.
vx_unavailable() {
  if [ "$(id -u)" -ne 0 ]; then echo "not root"; return 1; fi
  if [ ! -c /dev/net/tun ]; then echo "no /dev/net/tun"; return 1; fi
  if ! command -v ip >/dev/null 2>&1; then echo "no ip (iproute2)"; return 1; fi
  return 0
}

vx_init() {
  local prefix=${1:-vx$$}
  VX_NS_A=${prefix}a
  VX_NS_B=${prefix}b
  VX_NS_C=${prefix}c     # the third node, vx_third_node_up only
  VX_NS_RA=${prefix}ra   # NAT routers and the super peer's namespace, NAT topology only
  VX_NS_RB=${prefix}rb
  VX_NS_S=${prefix}s
  VX_SP_NODE=a
  VX_WORK=$(mktemp -d "${TMPDIR:-/tmp}/velarix-netns.XXXXXX")
  VX_PIDS=()
  VX_NAMESPACES=()
  mkdir -p "$VX_WORK/a" "$VX_WORK/b" "$VX_WORK/c"
  trap vx_teardown EXIT
  trap 'exit 130' INT
  trap 'exit 143' TERM
}

vx_ns() {
  case "$1" in
    a) echo "$VX_NS_A" ;; b) echo "$VX_NS_B" ;; c) echo "$VX_NS_C" ;;
    ra) echo "$VX_NS_RA" ;; rb) echo "$VX_NS_RB" ;; s) echo "$VX_NS_S" ;;
    *) echo "vx_ns: a, b, c, ra, rb or s, not '$1'" >&2; return 1 ;;
  esac
}
vx_in() { local ns; ns=$(vx_ns "$1") || return 1; shift; ip netns exec "$ns" "$@"; }

# Waits up to SECS for CMD to succeed; polls every 0.1 s.
vx_wait_for() {
  local secs=$1; shift
  local end=$((SECONDS + secs))
  until "$@" >/dev/null 2>&1; do
    [ "$SECONDS" -ge "$end" ] && return 1
    sleep 0.1
  done
}

# The same for conditions read from status reports: every second, so that the
# agents are not asked ten times a second.
vx_wait_status() {
  local secs=$1; shift
  local end=$((SECONDS + secs))
  until "$@" >/dev/null 2>&1; do
    [ "$SECONDS" -ge "$end" ] && return 1
    sleep 1
  done
}

# Runs CMD (a shell function too) for at most SECS seconds, in a process group
# of its own so that a time-out stops everything it started; 124 on time-out.
vx_bounded() {
  local secs=$1 pid end rc; shift
  set -m
  "$@" &
  pid=$!
  set +m
  end=$((SECONDS + secs))
  while kill -0 "$pid" 2>/dev/null; do
    if [ "$SECONDS" -ge "$end" ]; then
      kill -TERM -- "-$pid" 2>/dev/null
      sleep 0.2
      kill -KILL -- "-$pid" 2>/dev/null
      wait "$pid" 2>/dev/null
      return 124
    fi
    sleep 0.1
  done
  wait "$pid"
  rc=$?
  return "$rc"
}

vx_add_ns() {
  ip netns add "$1" || return 1
  VX_NAMESPACES+=("$1")
  ip -n "$1" link set lo up
}

vx_topology_up() {
  vx_add_ns "$VX_NS_A" && vx_add_ns "$VX_NS_B" || return 1
  # Both ends are created inside their namespaces: nothing appears on the host.
  ip link add "$VX_VETH" netns "$VX_NS_A" type veth peer name "$VX_VETH" netns "$VX_NS_B" || return 1
  ip -n "$VX_NS_A" addr add "$VX_UNDER_A/24" dev "$VX_VETH"
  ip -n "$VX_NS_A" addr add "$VX_UNDER_SP/24" dev "$VX_VETH"
  ip -n "$VX_NS_B" addr add "$VX_UNDER_B/24" dev "$VX_VETH"
  ip -n "$VX_NS_A" link set "$VX_VETH" up
  ip -n "$VX_NS_B" link set "$VX_VETH" up
  vx_wait_for 5 vx_in a ping -c 1 -W 1 "$VX_UNDER_B"
}

# A third node, C, on a link of its own to A, which routes between it and B:
# the super peer and B are reachable from C, and C from both.
#   C .3.2 - .3.1 A .0.1 - .0.2 B   (all 198.18.x.y)
vx_third_node_up() {
  vx_add_ns "$VX_NS_C" || return 1
  ip link add vxc0 netns "$VX_NS_A" type veth peer name vxu0 netns "$VX_NS_C" || return 1
  ip -n "$VX_NS_A" addr add 198.18.3.1/24 dev vxc0
  ip -n "$VX_NS_C" addr add "$VX_UNDER_C/24" dev vxu0
  ip -n "$VX_NS_A" link set vxc0 up
  ip -n "$VX_NS_C" link set vxu0 up
  ip -n "$VX_NS_C" route add default via 198.18.3.1
  ip -n "$VX_NS_B" route add 198.18.3.0/24 via "$VX_UNDER_A"
  ip netns exec "$VX_NS_A" sysctl -qw net.ipv4.ip_forward=1 || return 1
  vx_wait_for 5 vx_in c ping -c 1 -W 1 "$VX_UNDER_B"
}

# Each node in its own namespace behind a NAT router namespace of its own
# (nftables masquerade); the super peer in namespace S, which routes between
# the two routers' outside links, so that the routers reach each other and the
# super peer, but nothing reaches a node from outside unless its router lets
# the answer to an outgoing flow in. "symmetric": every flow leaves from a
# random port, so that hole punching cannot work.
#   A .1.2 - .1.1 RA .10.2 - .10.1 S .11.1 - .11.2 RB .2.1 - .2.2 B   (all 198.18.x.y)
vx_nat_topology_up() {
  local mode=${1:-cone} n r ns rns lan wan gw flags=""
  for n in a b ra rb s; do vx_add_ns "$(vx_ns "$n")" || return 1; done
  VX_UNDER_A=198.18.1.2
  VX_UNDER_B=198.18.2.2
  VX_UNDER_SP=198.18.10.1
  VX_SP_NODE=s
  [ "$mode" = symmetric ] && flags=" fully-random"
  ip netns exec "$VX_NS_S" sysctl -qw net.ipv4.ip_forward=1 || return 1
  for n in a b; do
    r=r$n
    ns=$(vx_ns "$n")
    rns=$(vx_ns "$r")
    if [ "$n" = a ]; then lan=198.18.1; wan=198.18.10.2; gw=198.18.10.1; else lan=198.18.2; wan=198.18.11.2; gw=198.18.11.1; fi
    # The node's link to its router, and the router's link to S.
    ip link add vxl0 netns "$ns" type veth peer name vxl0 netns "$rns" || return 1
    ip link add vxw0 netns "$rns" type veth peer name "vxw$n" netns "$VX_NS_S" || return 1
    ip -n "$ns" addr add "$lan.2/24" dev vxl0
    ip -n "$ns" link set vxl0 up
    ip -n "$ns" route add default via "$lan.1"
    ip -n "$rns" addr add "$lan.1/24" dev vxl0
    ip -n "$rns" addr add "$wan/24" dev vxw0
    ip -n "$rns" link set vxl0 up
    ip -n "$rns" link set vxw0 up
    ip -n "$rns" route add default via "$gw"
    ip -n "$VX_NS_S" addr add "$gw/24" dev "vxw$n"
    ip -n "$VX_NS_S" link set "vxw$n" up
    ip netns exec "$rns" sysctl -qw net.ipv4.ip_forward=1 || return 1
    # Outgoing flows are masqueraded; from outside only their answers come in.
    # Like any home router, it also drops what comes from outside for itself
    # unasked: otherwise the first hole-punching datagram from the other node
    # would leave a conntrack entry for the router's own port, and the
    # node's own flow to that peer would then be mapped to another port.
    ip netns exec "$rns" nft -f - <<EOF || return 1
table ip vxnat {
  chain postrouting { type nat hook postrouting priority srcnat; policy accept; oifname "vxw0" masquerade$flags; }
  chain forward {
    type filter hook forward priority filter; policy drop;
    iifname "vxl0" oifname "vxw0" accept
    iifname "vxw0" oifname "vxl0" ct state established,related accept
  }
  chain input {
    type filter hook input priority filter; policy accept;
    iifname "vxw0" ct state established,related accept
    iifname "vxw0" drop
  }
}
EOF
  done
  vx_wait_for 5 vx_in a ping -c 1 -W 1 "$VX_UNDER_SP" && vx_wait_for 5 vx_in b ping -c 1 -W 1 "$VX_UNDER_SP"
}

# Starts a command in a namespace in the background and remembers its pid for
# the tear-down (ip netns exec and env exec, so the pid is the command's own).
vx_spawn() {
  local n=$1 out=$2 err=$3 ns; shift 3
  ns=$(vx_ns "$n") || return 1
  ip netns exec "$ns" "$@" >"$out" 2>"$err" &
  VX_PIDS+=("$!")
  VX_LAST_PID=$!
}

vx_super_peer_start() {
  vx_spawn "$VX_SP_NODE" "$VX_WORK/super_peer.out" "$VX_WORK/super_peer.log" "$VX_BUILD/super_peer" \
    --key-file "$VX_WORK/super_peer.key" --listen "$VX_UNDER_SP" --port "$VX_SP_PORT" --log-level warn \
    --min-pow-difficulty "$VX_POW"
  VX_SP_PID=$VX_LAST_PID
  local line
  vx_wait_for 10 grep -q ':' "$VX_WORK/super_peer.out" || { vx_log "super peer did not start"; return 1; }
  line=$(head -n 1 "$VX_WORK/super_peer.out")
  VX_SP_URL=$line
}

vx_super_peer_stop() {
  [ -n "${VX_SP_PID:-}" ] || return 0
  kill -TERM "$VX_SP_PID" 2>/dev/null
  vx_wait_pid "$VX_SP_PID" 10
}

# Node B's side drops UDP to and from namespace A but for the super peer's
# port: only the super peer can carry their packets. (Agent a binds every
# address of A, the super peer's included.)
vx_block_direct() {
  vx_in b nft -f - <<EOF
table ip vxrelay {
  chain input {
    type filter hook input priority 0; policy accept;
    ip saddr { $VX_UNDER_A, $VX_UNDER_SP } udp sport != $VX_SP_PORT drop
  }
  chain output {
    type filter hook output priority 0; policy accept;
    ip daddr { $VX_UNDER_A, $VX_UNDER_SP } udp dport != $VX_SP_PORT drop
  }
}
EOF
}
vx_unblock_direct() { vx_in b nft delete table ip vxrelay; }

# The agents run on the defaults (every address of the host, three sockets
# each); with VX_PIN_UDP_ADDRS=1 each binds its underlay address alone, with
# one socket.
vx_agent_env() {
  local under=$1
  echo VELARIX_MIN_POW_DIFFICULTY="$VX_POW"
  if [ -n "${VX_PIN_UDP_ADDRS:-}" ]; then echo VELARIX_UDP_ADDRS="$under" VELARIX_UDP_SOCKETS=1; fi
}

vx_under_ip() { case "$1" in a) echo "$VX_UNDER_A" ;; b) echo "$VX_UNDER_B" ;; c) echo "$VX_UNDER_C" ;; esac; }
vx_overlay_ip() { case "$1" in a) echo "$VX_OVER_A" ;; b) echo "$VX_OVER_B" ;; c) echo "$VX_OVER_C" ;; esac; }
vx_host_name() { case "$1" in a) echo "$VX_HOST_A" ;; b) echo "$VX_HOST_B" ;; c) echo "$VX_HOST_C" ;; esac; }
vx_pk() { local var="VX_PK_${1^^}"; echo "${!var:-}"; }

# Adds a top-level key (a TOML line such as 'mtu = 1000') to a node's
# configuration; top-level keys go before the first table.
vx_config_prepend() {
  local n=$1 line=$2
  { printf '%s\n' "$line"; cat "$VX_WORK/$n/agent.toml"; } >"$VX_WORK/$n/agent.toml.new" &&
    mv "$VX_WORK/$n/agent.toml.new" "$VX_WORK/$n/agent.toml"
}

# Fresh identities for the given nodes, each configuration naming the super
# peer; sets VX_PK_A, VX_PK_B, ...
vx_make_identities() {
  local n pk
  for n in "$@"; do
    VELARIX_MIN_POW_DIFFICULTY=$VX_POW "$VX_BUILD/velarix_host" --no-log --config "$VX_WORK/$n/agent.toml" \
      --init-only >"$VX_WORK/$n/init.out" 2>&1 || { cat "$VX_WORK/$n/init.out" >&2; return 1; }
    pk=$(sed -n 's/^public key: //p' "$VX_WORK/$n/init.out")
    [ -n "$pk" ] || return 1
    printf -v "VX_PK_${n^^}" '%s' "$pk"
    vx_config_prepend "$n" "super_peers = [\"$VX_SP_URL\"]" || return 1
  done
}

# Writes a network document listing the given nodes (NODE:GROUP, identities
# made) with their overlay addresses and host names. One policy lets the
# group "member" reach itself with every protocol (ICMP, TCP, UDP, ...); a
# node in another group reaches nobody.
VX_NETWORK_ID=
vx_write_network() {
  local file=$1 entry n group; shift
  VX_NETWORK_ID=${VX_NETWORK_ID:-$(cat /proc/sys/kernel/random/uuid)}
  {
    printf 'id = "%s"\nname = "vx-demo"\nnetwork = "%s"\n' "$VX_NETWORK_ID" "$VX_OVERLAY_NET"
    for entry in "$@"; do
      n=${entry%%:*}
      group=${entry#*:}
      printf '\n[[node]]\npk = "%s"\nip = "%s"\nhostname = "%s"\ngroups = ["%s"]\n' \
        "$(vx_pk "$n")" "$(vx_overlay_ip "$n")" "$(vx_host_name "$n")" "$group"
    done
    printf '\n[[policy]]\nsource_groups = ["member"]\ndestination_groups = ["member"]\n'
  } >"$file.new" && mv "$file.new" "$file"
}

# Adds a network to a node's configuration file.
vx_join_network() {
  "$VX_BUILD/velarix_host" --no-log --config "$VX_WORK/$1/agent.toml" --network "$2" --init-only >/dev/null 2>&1
}

# Configurations with fresh identities for the nodes (default a and b) naming
# the super peer, and one network document, $VX_NETWORK_URL, in which they
# are all members, joined by each.
vx_identities() {
  local n specs=()
  [ $# -gt 0 ] || set -- a b
  vx_make_identities "$@" || return 1
  for n in "$@"; do specs+=("$n:member"); done
  vx_write_network "$VX_WORK/network.toml" "${specs[@]}" || return 1
  VX_NETWORK_URL="file://$VX_WORK/network.toml"
  for n in "$@"; do vx_join_network "$n" "$VX_NETWORK_URL" || return 1; done
}

# Starts the agent of a node; its standard output (network changes, status
# reports) goes to $VX_WORK/N/host.out, its log to $VX_WORK/N/host.log.
vx_agent_start() {
  local n=$1; shift
  local under
  under=$(vx_under_ip "$n")
  [ -n "$under" ] || return 1
  # A restart keeps the output of the run before it beside the new one.
  local f
  for f in host.out host.log; do
    [ -e "$VX_WORK/$n/$f" ] && mv "$VX_WORK/$n/$f" "$VX_WORK/$n/$f.prev"
  done
  # shellcheck disable=SC2046
  vx_spawn "$n" "$VX_WORK/$n/host.out" "$VX_WORK/$n/host.log" env $(vx_agent_env "$under") \
    "$VX_BUILD/velarix_host" --config "$VX_WORK/$n/agent.toml" --tun "$VX_TUN" "$@"
  local pid=$VX_LAST_PID
  printf -v "VX_AGENT_PID_${n^^}" '%s' "$pid"
  local end=$((SECONDS + 15))
  until grep -qs '^agent started' "$VX_WORK/$n/host.out"; do
    if ! kill -0 "$pid" 2>/dev/null || [ "$SECONDS" -ge "$end" ]; then
      vx_log "agent $n did not start:"
      tail -n 5 "$VX_WORK/$n/host.log" "$VX_WORK/$n/host.out" >&2
      return 1
    fi
    sleep 0.1
  done
}

# Stops the agent of a node with SIGTERM (or the given signal) and waits.
vx_agent_stop() {
  local n=$1 sig=${2:-TERM} var pid
  var="VX_AGENT_PID_${n^^}"
  pid=${!var:-}
  [ -n "$pid" ] || return 0
  kill "-$sig" "$pid" 2>/dev/null || true
  vx_wait_pid "$pid" 10
}

vx_wait_pid() {
  local pid=$1 secs=$2 end=$((SECONDS + $2))
  while kill -0 "$pid" 2>/dev/null; do
    if [ "$SECONDS" -ge "$end" ]; then kill -KILL "$pid" 2>/dev/null || true; fi
    sleep 0.1
  done
  # Braces: the shell's own "Killed" notice goes too.
  { wait "$pid"; } 2>/dev/null || true
}

vx_has_overlay_address() {
  vx_in "$1" ip -4 -o addr show dev "$VX_TUN" | grep -q " $(vx_overlay_ip "$1")/"
}

vx_wait_applied() { vx_wait_for "$2" vx_has_overlay_address "$1"; }

# Whether node N's output holds more than COUNT whole status reports (read
# anew at each call, so that a wait can poll it).
vx_reports_more_than() {
  [ "$(grep -cs '^--- end of status report' "$VX_WORK/$1/host.out")" -gt "$2" ]
}

# Asks a node's host for its status report and prints it (SIGUSR1).
vx_status_report() {
  local n=$1 var pid before
  var="VX_AGENT_PID_${n^^}"
  pid=${!var:-}
  [ -n "$pid" ] || return 1
  before=$(grep -cs '^--- end of status report' "$VX_WORK/$n/host.out" || true)
  kill -USR1 "$pid" 2>/dev/null || return 1
  vx_wait_for 10 vx_reports_more_than "$n" "$before" || return 1
  awk -v skip="$before" '/^--- status report/ { if (seen++ >= skip) on = 1 } on { print } /^--- end of status report/ { on = 0 }' \
    "$VX_WORK/$n/host.out"
}

# From node N's status report, the best direct path to node PEER's key: the
# path's key text, or "None"; nothing when the report does not list PEER.
vx_best_direct_path() {
  local pk
  pk=$(vx_pk "$2")
  vx_status_report "$1" | awk -v key="  $pk:" '
    /^Node Peers:/ { peers = 1; next }
    /^[^ ]/ { peers = 0 }
    peers && $0 == key { mine = 1; next }
    peers && /^  [^ ]/ { mine = 0 }
    mine && /^    Best Direct Path: / { sub(/^    Best Direct Path: /, ""); print; exit }'
}

vx_has_direct_path() { local p; p=$(vx_best_direct_path "$1" "$2"); [ -n "$p" ] && [ "$p" != None ]; }

# For a failure: every running agent's status report and the last lines of
# each agent's and the super peer's output and log.
vx_dump_agents() {
  local n var pid f
  for n in a b c; do
    var="VX_AGENT_PID_${n^^}"
    pid=${!var:-}
    [ -n "$pid" ] || continue
    echo "---- agent $n ($(vx_host_name "$n"), pid $pid)"
    if kill -0 "$pid" 2>/dev/null; then
      vx_status_report "$n" || echo "(no status report within 10 s)"
    else
      echo "(not running)"
    fi
    for f in host.out host.log; do
      [ -s "$VX_WORK/$n/$f" ] || continue
      echo "-- last lines of $f"
      tail -n 25 "$VX_WORK/$n/$f" | cut -c1-300
    done
  done
  if [ -s "$VX_WORK/super_peer.log" ]; then
    echo "---- super peer: last log lines"
    tail -n 15 "$VX_WORK/super_peer.log" | cut -c1-300
  fi
}

vx_teardown() {
  local pid ns
  trap - EXIT INT TERM
  for pid in "${VX_PIDS[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${VX_PIDS[@]}"; do vx_wait_pid "$pid" 10; done
  VX_PIDS=()
  for ns in "${VX_NAMESPACES[@]}"; do
    # Whatever still runs inside goes with it.
    ip netns pids "$ns" 2>/dev/null | xargs -r kill -KILL 2>/dev/null || true
    ip netns del "$ns" 2>/dev/null || true
  done
  VX_NAMESPACES=()
  if [ -n "${VX_WORK:-}" ] && [ -z "${VX_KEEP:-}" ]; then rm -rf "$VX_WORK"; fi
}
