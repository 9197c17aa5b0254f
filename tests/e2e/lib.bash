# shellcheck shell=bash
# Shared by the end-to-end scripts (sourced, not a test itself): the topology
# of scripts/netns.sh, the skip without root or /dev/net/tun, a deadline for
# the whole script, and checks that count failures. The first failure shows
# every agent's status report and last log lines.
#
#   e2e_begin NAME SECS [TOOL...]   skip (77) or start: names, work directory, deadline
#   e2e_setup_or_die WHAT CMD...    a step the rest depends on
#   check WHAT CMD...               a case: ok or FAILED
#   e2e_end                         exit status of the script

E2E_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=../../scripts/netns.sh
source "$E2E_DIR/../../scripts/netns.sh"

E2E_FAILURES=0
E2E_DUMPED=

e2e_begin() {
  local name=$1 secs=$2 why tool; shift 2
  if ! why=$(vx_unavailable); then
    echo "skipped: $why"
    exit 77
  fi
  for tool in "$VX_BUILD/velarix_host" "$VX_BUILD/super_peer" "$@"; do
    command -v "$tool" >/dev/null 2>&1 || [ -x "$tool" ] || { echo "missing $tool"; exit 1; }
  done
  # Unique per run, so that scripts can run side by side.
  vx_init "vx${name:0:3}$$"
  e2e_watchdog "$secs"
}

# Ends the script with SIGTERM after SECS, so that the tear-down runs before
# ctest's own time limit kills it without one. Gone a second after the script.
e2e_watchdog() {
  local secs=$1 main=$$
  (
    end=$((SECONDS + secs))
    while kill -0 "$main" 2>/dev/null; do
      if [ "$SECONDS" -ge "$end" ]; then
        echo "FAILED: the script ran out of its ${secs} s" >&2
        kill -TERM "$main"
        exit 0
      fi
      sleep 1
    done
  ) </dev/null >/dev/null 2>&1 &
}

e2e_failed() {
  E2E_FAILURES=$((E2E_FAILURES + 1))
  if [ -z "$E2E_DUMPED" ]; then
    E2E_DUMPED=1
    vx_dump_agents
  fi
}

check() {
  local what=$1; shift
  if "$@"; then
    echo "ok: $what"
  else
    echo "FAILED: $what"
    e2e_failed
  fi
}

e2e_setup_or_die() {
  local what=$1; shift
  if "$@"; then
    echo "ok: $what"
    return 0
  fi
  echo "FAILED: $what; cannot go on"
  e2e_failed
  exit 1
}

e2e_end() {
  if [ "$E2E_FAILURES" -gt 0 ]; then
    echo "$E2E_FAILURES case(s) failed"
    exit 1
  fi
  echo "every case passed"
}

# Both agents up on the topology with their networks applied.
e2e_agents_up() {
  local n
  for n in "$@"; do vx_agent_start "$n" || return 1; done
  for n in "$@"; do vx_wait_applied "$n" 30 || { echo "no overlay address on $n within 30 s"; return 1; }; done
}

# Pings DEST from node N within SECS seconds (a few lost at first are fine:
# paths may still be settling).
e2e_ping_within() {
  local n=$1 dest=$2 secs=$3
  vx_wait_for "$secs" vx_in "$n" ping -c 1 -W 1 "$dest"
}

# COUNT pings 0.5 s apart from node N to DEST, of which at most MAX may be lost.
e2e_ping_loss() {
  local n=$1 dest=$2 count=$3 max=$4 out received
  out=$(vx_in "$n" ping -q -c "$count" -i 0.5 -W 2 "$dest" 2>&1)
  received=$(sed -n 's/.* \([0-9]*\) received.*/\1/p' <<<"$out")
  echo "   $count pings to $dest, ${received:-?} answered"
  [ -n "$received" ] && [ $((count - received)) -le "$max" ]
}

# Whether node N's agent keeps off its own overlay addresses: no UDP socket in
# its namespace is bound to one, and its status report lists no path from one.
e2e_no_overlay_bindings() {
  local n=$1 net=${VX_OVERLAY_NET%.*}. bound paths
  bound=$(vx_in "$n" ss -Huan | awk '{ print $4 }' | grep -F "$net")
  paths=$(vx_status_report "$n" | grep -F " $net" | grep -F -- '->')
  [ -z "$bound" ] && [ -z "$paths" ] && return 0
  echo "   $n: sockets on overlay addresses: ${bound:-none}; paths from them: ${paths:-none}" | tr '\n' ' '
  echo
  return 1
}

# A TCP copy of MIB mebibytes of random data from node FROM to DEST_IP (a
# listener on node TO), compared by SHA-256; at most SECS seconds.
e2e_tcp_copy() {
  local from=$1 to=$2 dest=$3 mib=$4 secs=$5 port=${6:-5001}
  local src=$VX_WORK/copy.in dst=$VX_WORK/copy.out listener want got rc
  head -c $((mib * 1024 * 1024)) /dev/urandom >"$src"
  rm -f "$dst"
  vx_in "$to" timeout "$secs" nc -l "$dest" "$port" >"$dst" &
  listener=$!
  if ! vx_wait_for 5 vx_in "$to" sh -c "ss -ltn | grep -q '$dest:$port '"; then
    echo "no listener on $dest:$port"
    kill "$listener" 2>/dev/null
    wait "$listener" 2>/dev/null
    return 1
  fi
  vx_in "$from" timeout "$secs" nc -N -w 10 "$dest" "$port" <"$src"
  rc=$?
  wait "$listener"
  want=$(sha256sum <"$src" | cut -d' ' -f1)
  got=$(sha256sum <"$dst" | cut -d' ' -f1)
  echo "   sent $mib MiB ($rc), received $(stat -c %s "$dst") bytes; sha256 ${want:0:16} / ${got:0:16}"
  rm -f "$src" "$dst"
  [ "$rc" -eq 0 ] && [ "$want" = "$got" ]
}

# Packets counted by an nftables counter rule (the table's only counter), or its bytes with
# `bytes`: a sender that hands the kernel segmented sends is counted as fewer, larger packets
# on a link that keeps them whole.
e2e_counter() {
  local n=$1 table=$2 field=${3:-packets}
  local pattern='s/.*counter packets \([0-9]*\).*/\1/p'
  [ "$field" = bytes ] && pattern='s/.*counter packets [0-9]* bytes \([0-9]*\).*/\1/p'
  vx_in "$n" nft list table ip "$table" 2>/dev/null | sed -n "$pattern" | head -n 1
}
