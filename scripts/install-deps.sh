#!/usr/bin/env bash
# Installs the Debian 12 packages one make target needs, and only those that
# are missing: a second run on a prepared machine calls no apt-get.
#
#   scripts/install-deps.sh [target...]    run (default), test, bench, fuzz, memcheck,
#                                          package, soak
set -euo pipefail

# The program: compiler, CMake, the Qt it links, the NAT-PMP and UPnP-IGD
# client libraries that ask the router to forward the listening port, and a
# font to draw with.
run=(build-essential cmake pkg-config qt6-base-dev libgl-dev libminiupnpc-dev libnatpmp-dev fontconfig fonts-dejavu-core)
# The suite: GoogleTest, GMP as the arithmetic's oracle, a virtual X server
# with xprop to read window titles as the window system sees them, ip for the
# private network namespaces of the connection tests, and for the router test
# miniupnpd (the daemon alone: the package without the service, so installing
# it starts nothing) and nftables.
test=("${run[@]}" libgtest-dev libgmp-dev xvfb xauth x11-utils miniupnpd-nftables nftables iproute2)

packages=()
for target in "${@:-run}"; do
  case "$target" in
    run) packages+=("${run[@]}" xvfb xauth) ;;
    test) packages+=("${test[@]}") ;;
    bench) packages+=("${run[@]}" libbenchmark-dev libgmp-dev) ;;
    fuzz) packages+=("${run[@]}" libgmp-dev clang libclang-rt-dev) ;;
    memcheck) packages+=("${test[@]}" valgrind) ;;
    soak) packages+=("${test[@]}" clang libclang-rt-dev) ;;
    # dpkg-shlibdeps and file for CPack's dependency scan, the two validators,
    # and man to check that the manual pages format cleanly.
    package) packages+=("${run[@]}" dpkg-dev file desktop-file-utils appstream man-db) ;;
    *) echo "install-deps.sh: unknown target '$target' (run, test, bench, fuzz, memcheck, package, soak)" >&2; exit 2 ;;
  esac
done

missing=()
for p in $(printf '%s\n' "${packages[@]}" | sort -u); do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done

if ((${#missing[@]} == 0)); then
  exit 0
fi

echo "Installing missing packages: ${missing[*]}"
sudo_cmd=()
if ((EUID != 0)); then
  if ! command -v sudo >/dev/null; then
    echo "install-deps.sh: installing packages needs root, and this system has no sudo." >&2
    echo "Run the same command as root (su -), or install them as root: apt-get install ${missing[*]}" >&2
    exit 1
  fi
  sudo_cmd=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
