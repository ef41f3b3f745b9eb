#!/usr/bin/env bash
# Runs a command in the test LAN: a workstation namespace and an endpoints
# namespace joined by a veth pair, on 198.18.0.0/15 only, so that discovery
# multicast and every test connection stay on this machine.
#
#   scripts/testlan.sh [--keep] [--two-cards] [--] command [args...]
#
# The command runs inside the workstation namespace (198.18.0.1/16, default
# route over the veth) with these variables exported:
#   CV_WS_NS, CV_LAN_NS       namespace names (ip netns exec $CV_LAN_NS ...)
#   CV_WS_ADDR, CV_LAN_ADDR   198.18.0.1 and 198.18.0.2
#   CV_ENDPOINT_NETS          endpoint addresses the endpoints side owns
#   CV_TOPOLOGY               one-card or two-cards
# --two-cards builds an integrator's workstation: an office card
# (198.19.0.1/16 to namespace $CV_OFFICE_NS at 198.19.0.2) holds the default
# route and no endpoints; the AV card to the endpoints has no default
# route. Also exported then: CV_OFFICE_NS, CV_OFFICE_ADDR (198.19.0.1).
# As on a stock Debian install, the workstation's hosts file maps the host
# name to 127.0.1.1 (ip netns exec reads /etc/netns/NAME/hosts).
# Endpoint addresses 198.18.1.0 - 198.18.250.255 are local in the endpoints
# namespace (one local route per /24), so a simulator there can bind and
# answer from any of them; the workstation reaches them through 198.18.0.2,
# so that a fleet of any size takes no room in the machine's ARP table.
# Exit status is the command's; everything is torn down on every exit.
# Needs root.
set -euo pipefail

usage() { sed -n '2,19p' "$0" | sed 's/^# \{0,1\}//'; }

keep=0
topology=one-card
while (($#)); do
  case "$1" in
    --) shift; break ;;
    -h|--help) usage; exit 0 ;;
    --keep) keep=1; shift ;;   # leave the namespaces up (debugging)
    --two-cards) topology=two-cards; shift ;;
    -*) echo "testlan: unknown option $1" >&2; exit 2 ;;
    *) break ;;
  esac
done
if (($# == 0)); then
  usage >&2
  exit 2
fi

fail() { echo "testlan: $*" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || fail "needs root to create network namespaces"
command -v ip >/dev/null || fail "ip (iproute2) not found"

# The pid keeps parallel runs apart; the random part covers a stale
# namespace left by a killed run that had the same pid.
suffix="$$"
# grep reads the whole list: with -q it may stop early, and pipefail would
# take ip's SIGPIPE for "no such namespace".
ns_exists() { ip netns list | grep -E "^$1( |$)" >/dev/null; }
if ns_exists "cv-(ws|lan)-$suffix"; then suffix="$$r$RANDOM"; fi
ws="cv-ws-$suffix"
lan="cv-lan-$suffix"
office="cv-office-$suffix"
vws="cvw$suffix"
vlan="cvl$suffix"
vwo="cvo$suffix"
voff="cvf$suffix"

cleanup() {
  local rc=$?
  trap - EXIT INT TERM
  if ((keep)); then
    echo "testlan: kept $ws and $lan" >&2
    exit "$rc"
  fi
  # Whatever the command left running in the namespaces was started by this run.
  local ns pid
  for ns in "$lan" "$office" "$ws"; do
    if ns_exists "$ns"; then
      for pid in $(ip netns pids "$ns" 2>/dev/null); do kill -TERM "$pid" 2>/dev/null || true; done
    fi
  done
  rm -rf "/etc/netns/$ws"
  for ns in "$lan" "$office" "$ws"; do
    if ns_exists "$ns"; then
      for pid in $(ip netns pids "$ns" 2>/dev/null); do kill -KILL "$pid" 2>/dev/null || true; done
      ip netns del "$ns" 2>/dev/null || echo "testlan: could not delete $ns" >&2
    fi
  done
  exit "$rc"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

ip netns add "$ws" || fail "cannot create namespace $ws"
ip netns add "$lan" || fail "cannot create namespace $lan"
# Created straight inside the namespaces: nothing appears in the default one.
ip link add "$vws" netns "$ws" type veth peer name "$vlan" netns "$lan" \
  || fail "cannot create the veth pair"

ip -n "$ws" link set lo up
ip -n "$ws" addr add 198.18.0.1/16 dev "$vws"
ip -n "$ws" link set "$vws" up
if [ "$topology" = two-cards ]; then
  ip netns add "$office" || fail "cannot create namespace $office"
  ip link add "$vwo" netns "$ws" type veth peer name "$voff" netns "$office" \
    || fail "cannot create the office veth pair"
  ip -n "$office" link set lo up
  ip -n "$office" addr add 198.19.0.2/16 dev "$voff"
  ip -n "$office" link set "$voff" up
  ip -n "$ws" addr add 198.19.0.1/16 dev "$vwo"
  ip -n "$ws" link set "$vwo" up
  ip -n "$ws" route add default via 198.19.0.2 dev "$vwo"
else
  ip -n "$ws" route add default via 198.18.0.2 dev "$vws"
fi

# The resolver answers as on a stock workstation: the host name is loopback.
mkdir -p "/etc/netns/$ws"
printf '127.0.0.1\tlocalhost\n127.0.1.1\t%s\n::1\tlocalhost ip6-localhost ip6-loopback\n' \
  "$(hostname)" >"/etc/netns/$ws/hosts"

ip -n "$lan" link set lo up
ip -n "$lan" addr add 198.18.0.2/16 dev "$vlan"
ip -n "$lan" link set "$vlan" up
# 198.18.0.0/24 stays out: the workstation address must not be local here.
batch=$(mktemp)
for i in $(seq 1 250); do echo "route add local 198.18.$i.0/24 dev lo"; done >"$batch"
ip -n "$lan" -batch "$batch" || { rm -f "$batch"; fail "cannot add the endpoint routes"; }

# The ARP table's limit (gc_thresh3) is one for the whole machine, every
# namespace included, and no namespace can raise it. On-link, each endpoint
# would cost the workstation an entry: 1,000 of them here, or in a parallel
# run, overflow it and the test LAN stops answering. Routes to the endpoint
# /24s through the endpoints side, more specific than the card's /16 (which
# stays: the products read the card's mask), leave one neighbour per side,
# and permanent entries are not counted against the limit at all.
for i in $(seq 1 250); do echo "route add 198.18.$i.0/24 via 198.18.0.2 dev $vws"; done >"$batch"
ip -n "$ws" -batch "$batch" || { rm -f "$batch"; fail "cannot add the routes to the endpoints"; }
rm -f "$batch"
mac() { ip -n "$1" -o link show dev "$2" | sed -n 's|.* link/ether \([0-9a-f:]*\) .*|\1|p'; }
# Best effort: where the kernel counts them too, the probe below says why.
pin() { ip -n "$1" neigh replace "${@:2}" nud permanent 2>/dev/null || true; }
pin "$ws" 198.18.0.2 lladdr "$(mac "$lan" "$vlan")" dev "$vws"
pin "$lan" 198.18.0.1 lladdr "$(mac "$ws" "$vws")" dev "$vlan"
# Multicast and loopback take entries too: discovery's group on each card,
# and loopback's one entry (the kernel keys it 0.0.0.0) on each side.
pin "$ws" 225.1.0.0 lladdr 01:00:5e:01:00:00 dev "$vws"
if [ "$topology" = two-cards ]; then pin "$ws" 225.1.0.0 lladdr 01:00:5e:01:00:00 dev "$vwo"; fi
pin "$ws" 0.0.0.0 dev lo
pin "$lan" 0.0.0.0 dev lo

# The table's counters are machine-wide: "THRESH3 ENTRIES TABLE_FULLS".
arp_table() {
  ip -s ntable show name arp_cache 2>/dev/null | awk '
    { for (i = 1; i < NF; i++) if ($i ~ /^(thresh3|entries|table_fulls)$/ && !($i in v)) v[$i] = $(i + 1) }
    END { print v["thresh3"] + 0, v["entries"] + 0, v["table_fulls"] + 0 }'
}

# Fail here, loudly, rather than in the middle of a test.
# A refused connection proves ARP and routing both ways without a listener.
read -r _ _ fulls_before < <(arp_table)
probe=$(ip netns exec "$ws" timeout 3 bash -c 'exec 3<>/dev/tcp/198.18.1.1/9' 2>&1 || true)
case "$probe" in
  *refused*) ;;
  *)
    read -r thresh3 entries fulls < <(arp_table)
    # With both entries pinned the table cannot be what failed.
    pinned=$(ip -n "$ws" neigh show 198.18.0.2 nud permanent; ip -n "$lan" neigh show 198.18.0.1 nud permanent)
    if (($(grep -c . <<<"$pinned") < 2 && (fulls > fulls_before || (thresh3 > 0 && entries >= thresh3)))); then
      probe="neighbour table full ($entries entries, gc_thresh3 $thresh3;"
      probe+=" $((fulls - fulls_before)) table_fulls during the probe)"
    fi
    fail "endpoint addresses are not reachable from $ws: ${probe:-time-out}" ;;
esac

export CV_WS_NS="$ws" CV_LAN_NS="$lan" CV_WS_ADDR=198.18.0.1 CV_LAN_ADDR=198.18.0.2
export CV_ENDPOINT_NETS="198.18.1.0-198.18.250.255" CV_TOPOLOGY="$topology"
if [ "$topology" = two-cards ]; then
  export CV_OFFICE_NS="$office" CV_OFFICE_ADDR=198.19.0.1
fi
# In the background so that a signal reaches the traps at once (bash defers
# traps while a foreground child runs); stdin stays the caller's.
set +e
ip netns exec "$ws" "$@" <&0 &
child=$!
trap 'kill -TERM "$child" 2>/dev/null; exit 143' TERM
trap 'kill -INT "$child" 2>/dev/null; exit 130' INT
wait "$child"
rc=$?
set -e
exit "$rc"
