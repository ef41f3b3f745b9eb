#!/usr/bin/env bash
# The test LAN itself, in both topologies: a fleet of endpoint addresses is
# reached through one neighbour per side, so that it never competes for the
# machine's ARP table (one limit for every namespace) with parallel runs.
#
#   tests/lan/testlan_test.sh path/to/testlan.sh     (as root)
set -uo pipefail

if [ "${1:-}" = --inside ]; then
  errors=0
  bad() { echo "FAIL ($CV_TOPOLOGY): $*" >&2; errors=$((errors + 1)); }
  # A refusal proves routing and ARP both ways; no listener needed.
  reached() { [[ "$(timeout 3 bash -c "exec 3<>/dev/tcp/$1/9" 2>&1)" == *refused* ]]; }

  # The products read the card's address and mask.
  addrs=$(ip -o -4 addr show)
  [[ "$addrs" == *" inet 198.18.0.1/16 "* ]] || bad "the AV card is not 198.18.0.1/16"
  reached 198.18.0.2 || bad "198.18.0.2 (outside the endpoint /24s) is not reachable"

  # Every /24, and more than one address in some: 300 distinct addresses.
  missed=0
  for k in $(seq 0 299); do
    a="198.18.$((1 + k % 250)).$((1 + k / 250))"
    reached "$a" || { ((missed++ < 3)) && bad "$a is not reachable"; }
  done
  ((missed == 0)) || bad "$missed of 300 endpoint addresses not reachable"

  # The rest of what the products send: a discovery query on each card and
  # on the default route, and loopback.
  cards=(198.18.0.1); [ "$CV_TOPOLOGY" = two-cards ] && cards+=(198.19.0.1)
  /usr/bin/python3 - "${cards[@]}" <<'PY' || bad "cannot send a discovery query"
import socket, sys
for source in sys.argv[1:] + [None]:
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    if source:
        s.bind((source, 0))
    s.sendto(bytes(8), ("225.1.0.0", 3333))
PY
  reached 127.0.0.1 || bad "loopback does not answer"

  # Only permanent entries: those are not counted against the limit.
  ws_neigh=$(ip -n "$CV_WS_NS" -4 neigh show nud all)
  entries=$(grep -c . <<<"$ws_neigh")
  echo "$CV_TOPOLOGY: $entries neighbour entries in the workstation after 300 endpoints"
  ((entries <= 5)) || bad "the workstation has $entries neighbour entries"
  onlink=$(grep -cE '^198\.18\.([1-9]|[1-9][0-9]|1[0-9][0-9]|2[0-4][0-9]|250)\.' <<<"$ws_neigh")
  ((onlink == 0)) || bad "$onlink endpoint addresses are on-link neighbours of the workstation"
  dynamic=$(grep -v PERMANENT <<<"$ws_neigh" | head -3)
  [ -z "$dynamic" ] || bad "entries the machine-wide limit counts: ${dynamic//$'\n'/; }"
  lan_neigh=$(ip -n "$CV_LAN_NS" -4 neigh show nud all)
  grep -qE '^198\.18\.0\.1 .*PERMANENT' <<<"$lan_neigh" || bad "198.18.0.1 is not a permanent neighbour of the endpoints"

  # Discovery multicast leaves on the default route's card: the AV card with
  # one card, the office card with two (which discovery has to cope with).
  dev_of() { ip -o route get "$1" | sed -n 's/.* dev \([^ ]*\).*/\1/p'; }
  want=$(awk '$4 == "198.18.0.1/16" { print $2 }' <<<"$addrs")
  [ "$CV_TOPOLOGY" = two-cards ] && want=$(awk '$4 == "198.19.0.1/16" { print $2 }' <<<"$addrs")
  [ "$(dev_of 225.1.0.0)" = "$want" ] || bad "multicast leaves on $(dev_of 225.1.0.0), not on $want"
  exit $((errors > 0))
fi

testlan=${1:?usage: $0 path/to/testlan.sh}
rc=0
"$testlan" -- "$0" --inside || rc=1
"$testlan" --two-cards -- "$0" --inside || rc=1
((rc == 0)) && echo "testlan: both topologies pass"
exit "$rc"
