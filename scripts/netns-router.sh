#!/usr/bin/env bash
# A home network in three network namespaces for the port-mapping tests:
#
#   NAME-lan  (eth0 192.168.77.2)  --  NAME-rtr  (lan 192.168.77.1 | wan 198.18.77.1)  --  NAME-wan  (eth0 198.18.77.2)
#
# NAME-rtr forwards between the two and runs miniupnpd (UPnP-IGD and NAT-PMP)
# with nftables. The namespaces have no link to this machine's network: no
# packet can leave them. miniupnpd will not forward while its WAN interface has
# a private or reserved address, so it is told to report EXT_IP (a public
# address) as the external one; the WAN peer connects to the router's WAN
# interface address, where the DNAT rules miniupnpd adds match. Every
# namespace drops and counts packets to EXT_IP, and `run` fails if any was
# counted.
#
#   netns-router.sh run COMMAND...   builds a network with a fresh name, starts the
#                                    daemon with both protocols, runs COMMAND in
#                                    NAME-lan with the VELMORA_ROUTER_* variables
#                                    below set, and removes everything on exit;
#                                    exits with COMMAND's status, 77 (skipped)
#                                    when not root or when miniupnpd, nft, ip or
#                                    ss is missing
#   netns-router.sh up NAME          builds the namespaces, links and tables
#   netns-router.sh daemon NAME MODE (re)starts miniupnpd; MODE: both, upnp,
#                                    natpmp, deny (UPnP refusing every mapping)
#                                    or none (no daemon)
#   netns-router.sh search NAME WHAT block: the router drops SSDP searches from
#                                    now on; allow: it takes them again;
#                                    dropped: prints how many it dropped
#   netns-router.sh down NAME        stops the daemon and removes the namespaces
#   netns-router.sh leaked NAME      prints the number of packets sent toward EXT_IP
#
# COMMAND sees VELMORA_ROUTER_SCRIPT (this script), _NAME, _STATE (the folder
# of the daemon's configuration, log and lease file), _EXT_IP, _WAN_ADDRESS
# (the router's WAN interface) and _WAN_PEER (the WAN namespace's address).
set -euo pipefail

readonly LAN_HOST=192.168.77.2 LAN_ROUTER=192.168.77.1
readonly WAN_ROUTER=198.18.77.1 WAN_PEER=198.18.77.2
# A public address, as miniupnpd wants, that nothing here ever sends to.
readonly EXT_IP=100.42.77.1
readonly SKIP=77
# The longest COMMAND may run, in seconds, below ctest's limit for the test.
readonly RUN_LIMIT=480

script=$(readlink -f "${BASH_SOURCE[0]}")
# The daemon and the network tools live in the administrator's folders.
PATH=$PATH:/usr/sbin:/sbin

state_dir() { echo "/run/velmora-router/$1"; }

# The one nftables table of each namespace that only guards against leaks.
guard_rules() {
  cat <<EOF
table inet velmora_guard {
  counter toward_ext_ip {
  }
  chain output {
    type filter hook output priority -200; policy accept;
    ip daddr $EXT_IP counter name toward_ext_ip drop
  }
  chain forward {
    type filter hook forward priority -200; policy accept;
    ip daddr $EXT_IP counter name toward_ext_ip drop
  }
}
EOF
}

up() {
  local name=$1
  local lan=$name-lan rtr=$name-rtr wan=$name-wan
  mkdir -p "$(state_dir "$name")"
  ip netns add "$lan"
  ip netns add "$rtr"
  ip netns add "$wan"
  # Both ends of each pair are made inside the namespaces, never on this machine's own.
  ip -n "$lan" link add eth0 type veth peer name lan netns "$rtr"
  ip -n "$wan" link add eth0 type veth peer name wan netns "$rtr"
  for ns in "$lan" "$rtr" "$wan"; do
    ip -n "$ns" link set lo up
  done
  ip -n "$lan" addr add "$LAN_HOST/24" dev eth0
  ip -n "$lan" link set eth0 up
  ip -n "$lan" route add default via "$LAN_ROUTER"
  ip -n "$rtr" addr add "$LAN_ROUTER/24" dev lan
  ip -n "$rtr" addr add "$WAN_ROUTER/24" dev wan
  ip -n "$rtr" link set lan up
  ip -n "$rtr" link set wan up
  ip netns exec "$rtr" sysctl -q -w net.ipv4.ip_forward=1
  ip -n "$wan" addr add "$WAN_PEER/24" dev eth0
  ip -n "$wan" link set eth0 up
  ip -n "$wan" route add default via "$WAN_ROUTER"

  # The router's tables: the chains miniupnpd's configuration below names,
  # each jumped to from a base chain. Forwarding is refused unless a mapping
  # (or the connection it started) allows it.
  ip netns exec "$rtr" nft -f - <<EOF
table inet filter {
  chain forward {
    type filter hook forward priority 0; policy drop;
    ct state established,related accept
    jump miniupnpd
  }
  chain miniupnpd {
  }
}
table inet nat {
  chain prerouting {
    type nat hook prerouting priority -100; policy accept;
    jump prerouting_miniupnpd
  }
  chain postrouting {
    type nat hook postrouting priority 100; policy accept;
    jump postrouting_miniupnpd
  }
  chain prerouting_miniupnpd {
  }
  chain postrouting_miniupnpd {
  }
}
EOF
  for ns in "$lan" "$rtr" "$wan"; do
    guard_rules | ip netns exec "$ns" nft -f -
  done
}

# Whether `pid` is the daemon started with the configuration in `dir` and has
# not ended (a zombie whose parent has gone has ended).
daemon_alive() {
  local pid=$1 dir=$2
  [[ -r "/proc/$pid/stat" ]] || return 1
  [[ "$(cut -d' ' -f3 "/proc/$pid/stat")" != Z ]] || return 1
  tr '\0' ' ' 2>/dev/null <"/proc/$pid/cmdline" | grep -qF "$dir/miniupnpd.conf"
}

stop_daemon() {
  local dir pid
  dir=$(state_dir "$1")
  [[ -f "$dir/daemon.pid" ]] || return 0
  pid=$(<"$dir/daemon.pid")
  rm -f "$dir/daemon.pid"
  if daemon_alive "$pid" "$dir"; then
    kill "$pid" 2>/dev/null || true
    # miniupnpd says goodbye on the network and removes its rules on the way
    # out, which takes it a second or two; wait (bounded) until it has.
    for _ in $(seq 100); do
      daemon_alive "$pid" "$dir" || break
      sleep 0.05
    done
    if daemon_alive "$pid" "$dir"; then
      kill -KILL "$pid" 2>/dev/null || true
      for _ in $(seq 40); do
        daemon_alive "$pid" "$dir" || break
        sleep 0.05
      done
    fi
  fi
  # A killed daemon leaves its pid file, which would stop the next one.
  rm -f "$dir/miniupnpd.pid"
}

daemon() {
  local name=$1 mode=$2
  local dir rtr=$name-rtr upnp=yes natpmp=yes rule="allow 1024-65535 192.168.77.0/24 1024-65535"
  dir=$(state_dir "$name")
  stop_daemon "$name"
  # Rules a killed daemon could not remove would fool the next test.
  ip netns exec "$rtr" nft flush chain inet filter miniupnpd
  ip netns exec "$rtr" nft flush chain inet nat prerouting_miniupnpd
  ip netns exec "$rtr" nft flush chain inet nat postrouting_miniupnpd
  rm -f "$dir/leases"
  case "$mode" in
    none) return 0 ;;
    both) ;;
    upnp) natpmp=no ;;
    natpmp) upnp=no ;;
    # UPnP alone: miniupnpd 2.3.1's NAT-PMP, refused every port, looks for an
    # allowed one without end.
    deny) natpmp=no rule="deny 0-65535 0.0.0.0/0 0-65535" ;;
    *) echo "netns-router.sh: unknown daemon mode '$mode'" >&2; return 2 ;;
  esac
  cat >"$dir/miniupnpd.conf" <<EOF
ext_ifname=wan
ext_ip=$EXT_IP
listening_ip=lan
http_port=0
enable_upnp=$upnp
enable_natpmp=$natpmp
secure_mode=yes
system_uptime=no
notify_interval=60
clean_ruleset_interval=600
upnp_table_name=filter
upnp_nat_table_name=nat
upnp_forward_chain=miniupnpd
upnp_nat_chain=prerouting_miniupnpd
upnp_nat_postrouting_chain=postrouting_miniupnpd
uuid=3e2c4b0e-7f4f-4a39-9d0c-5b7a6d2f0c11
lease_file=$dir/leases
$rule
EOF
  # -d keeps it in the foreground (so its id is the one recorded) and logs to the file.
  ip netns exec "$rtr" miniupnpd -d -f "$dir/miniupnpd.conf" -P "$dir/miniupnpd.pid" \
    >"$dir/miniupnpd.log" 2>&1 &
  local pid=$!
  echo "$pid" >"$dir/daemon.pid"
  # Ready once it listens: NAT-PMP on UDP 5351, else UPnP's HTTP on its TCP port.
  for _ in $(seq 100); do
    if [[ "$natpmp" == yes ]]; then
      ip netns exec "$rtr" ss -Hlnu "sport = :5351" | grep -q . && return 0
    else
      ip netns exec "$rtr" ss -Hltnp | grep -q miniupnpd && return 0
    fi
    daemon_alive "$pid" "$dir" || break
    sleep 0.05
  done
  echo "netns-router.sh: miniupnpd did not start; its log:" >&2
  cat "$dir/miniupnpd.log" >&2
  return 1
}

search() {
  local rtr=$1-rtr
  case "$2" in
    block)
      ip netns exec "$rtr" nft -f - <<EOF
table inet velmora_search {
  counter dropped {
  }
  chain input {
    type filter hook input priority -300; policy accept;
    udp dport 1900 counter name dropped drop
  }
}
EOF
      ;;
    allow) ip netns exec "$rtr" nft delete table inet velmora_search ;;
    dropped)
      ip netns exec "$rtr" nft list counter inet velmora_search dropped | sed -n 's/.*packets \([0-9]*\).*/\1/p' ;;
    *) echo "netns-router.sh: search block, allow or dropped, not '$2'" >&2; return 2 ;;
  esac
}

leaked() {
  local name=$1 total=0 n
  for ns in "$name-lan" "$name-rtr" "$name-wan"; do
    n=$(ip netns exec "$ns" nft list counter inet velmora_guard toward_ext_ip | sed -n 's/.*packets \([0-9]*\).*/\1/p')
    total=$((total + ${n:-0}))
  done
  echo "$total"
}

down() {
  local name=$1
  stop_daemon "$name" || true
  for ns in "$name-lan" "$name-rtr" "$name-wan"; do
    ip netns del "$ns" 2>/dev/null || true
  done
  rm -rf "$(state_dir "$name")"
}

run() {
  if ((EUID != 0)); then
    echo "netns-router.sh: SKIPPED: the router test needs root to build network namespaces" >&2
    exit $SKIP
  fi
  local tool
  for tool in miniupnpd nft ip ss; do
    if ! command -v "$tool" >/dev/null; then
      echo "netns-router.sh: SKIPPED: '$tool' is missing (scripts/install-deps.sh test installs it)" >&2
      exit $SKIP
    fi
  done
  local status leaks stale
  # Networks of runs that were killed before they could clean up.
  for stale in /run/velmora-router/vr*; do
    [[ -d "$stale" ]] || continue
    stale=${stale##*/}
    kill -0 "$(echo "$stale" | sed 's/^vr\([0-9]*\)-.*/\1/')" 2>/dev/null || down "$stale"
  done
  # Global, for the trap that runs after this function has returned.
  network=vr$$-$RANDOM
  trap 'down "$network"' EXIT
  trap 'exit 130' INT TERM
  up "$network"
  daemon "$network" both
  set +e
  # Bounded, so that this script outlives COMMAND and cleans up even if it hangs.
  timeout --kill-after=10 "$RUN_LIMIT" ip netns exec "$network-lan" env \
    VELMORA_ROUTER_SCRIPT="$script" VELMORA_ROUTER_NAME="$network" VELMORA_ROUTER_STATE="$(state_dir "$network")" \
    VELMORA_ROUTER_EXT_IP="$EXT_IP" VELMORA_ROUTER_WAN_ADDRESS="$WAN_ROUTER" VELMORA_ROUTER_WAN_PEER="$WAN_PEER" \
    "$@"
  status=$?
  set -e
  leaks=$(leaked "$network")
  if ((leaks != 0)); then
    echo "netns-router.sh: $leaks packet(s) were sent toward the external address $EXT_IP" >&2
    ((status != 0)) || status=1
  fi
  if ((status != 0)) && [[ -f "$(state_dir "$network")/miniupnpd.log" ]]; then
    echo "netns-router.sh: the router's log:" >&2
    tail -n 60 "$(state_dir "$network")/miniupnpd.log" >&2
  fi
  exit "$status"
}

command=${1:-}
shift || true
case "$command" in
  run) run "$@" ;;
  up) up "$1" ;;
  daemon) daemon "$1" "$2" ;;
  search) search "$1" "$2" ;;
  down) down "$1" ;;
  leaked) leaked "$1" ;;
  *) sed -n '2,34p' "$script" >&2; exit 2 ;;
esac
