#!/bin/sh
# Runs a command in a private network namespace of its own, for tests that
# need host names or routes of their own. Inside, only the loopback interface
# exists (up), so no packet sent there can reach another machine; each FILE
# stands in place of its PATH (in a private mount table: the machine's own
# files stay as they are), as a hosts file for /etc/hosts; each PREFIX is
# routed as unreachable, so that a connect there fails at once.
#
#   scripts/netns-run.sh [--bind FILE PATH]... [--unreachable PREFIX]... [--announce] -- COMMAND [ARGUMENT...]
#
# --announce writes "netns-run.sh: namespace ready" to standard error once
# the namespace is set up, so that a caller can tell a set-up that hangs (as
# on a machine whose kernel stalls) from a command that does.
#
# Needs root (or the capabilities to make namespaces), unshare and ip. Exits
# 77 when the namespace cannot be made, else with the command's status.
set -eu

usage() {
  echo "usage: netns-run.sh [--bind FILE PATH]... [--unreachable PREFIX]... [--announce] -- COMMAND [ARGUMENT...]" >&2
  exit 2
}

binds=
unreachable=
announce=
while [ $# -gt 0 ]; do
  case "$1" in
    --bind)
      [ $# -ge 3 ] || usage
      if [ ! -r "$2" ]; then
        echo "netns-run.sh: cannot read '$2'" >&2
        exit 2
      fi
      # A file can stand only where one is: this machine lacks what is asked for.
      if [ ! -e "$3" ]; then
        echo "netns-run.sh: there is no '$3' here to put '$2' in place of" >&2
        exit 77
      fi
      case "$2$3" in *[[:space:]:]*) echo "netns-run.sh: paths with spaces or colons are not supported" >&2; exit 2 ;; esac
      binds="$binds $2:$3"
      shift 3 ;;
    --unreachable) [ $# -ge 2 ] || usage; unreachable="$unreachable $2"; shift 2 ;;
    --announce) announce=1; shift ;;
    --) shift; break ;;
    *) usage ;;
  esac
done
[ $# -ge 1 ] || usage

for tool in unshare ip mount; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "netns-run.sh: '$tool' is not installed" >&2
    exit 77
  fi
done

# The set-up runs inside the new namespaces; any failure there, or of unshare
# itself, is reported as a namespace that could not be made.
ready=$(mktemp)
trap 'rm -f "$ready"' EXIT
status=0
# shellcheck disable=SC2016 # the inner script expands its own arguments
unshare --net --mount -- sh -c '
  fail() { echo "netns-run.sh: $1" >&2; exit 77; }
  ready=$1; announce=$2; binds=$3; unreachable=$4; shift 4
  ip link set lo up || fail "cannot bring up the loopback interface"
  for prefix in $unreachable; do
    ip -6 route add unreachable "$prefix" || fail "cannot route $prefix as unreachable"
  done
  for bind in $binds; do
    mount --bind "${bind%%:*}" "${bind#*:}" || fail "cannot put ${bind%%:*} in place of ${bind#*:}"
  done
  echo ready >"$ready"
  [ -z "$announce" ] || echo "netns-run.sh: namespace ready" >&2
  exec "$@"' netns-run.sh "$ready" "$announce" "$binds" "$unreachable" "$@" || status=$?
if [ "$(cat "$ready")" != ready ]; then
  # 77 comes from a failed set-up step, which has said why.
  [ "$status" -eq 77 ] || echo "netns-run.sh: cannot make a network namespace here (it needs root)" >&2
  exit 77
fi
exit "$status"
