#!/usr/bin/env bash
# Checks a built Debian package: its control fields, that it holds every file
# it must (and no maintainer scripts), that its icons have their sizes and its
# manual pages read, and that its desktop entry and metainfo validate. Usage:
#   check-package.sh PACKAGE.deb EXPECTED_VERSION
set -euo pipefail
if (($# != 2)); then
  echo "usage: $0 PACKAGE.deb EXPECTED_VERSION" >&2
  exit 2
fi
deb=$1
version=$2
here=$(cd "$(dirname "$0")" && pwd)
failures=0
fail() {
  echo "check-package: $*" >&2
  failures=$((failures + 1))
}

field() { dpkg-deb --field "$deb" "$1"; }
[[ "$(field Package)" == velmora ]] || fail "package name is '$(field Package)', not velmora"
[[ "$(field Version)" == "$version" ]] || fail "version is '$(field Version)', not $version"
depends=$(field Depends)
for library in libqt6core6 libqt6gui6 libqt6widgets6 libc6 libstdc++6 libminiupnpc17 libnatpmp1; do
  [[ "$depends" == *"$library "* || "$depends" == *"$library," || "$depends" == *"$library" ]] \
    || fail "Depends lacks $library: $depends"
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
dpkg-deb --control "$deb" "$work/control"
for script in preinst postinst prerm postrm config; do
  [[ ! -e "$work/control/$script" ]] || fail "the package has a maintainer script: $script"
done
dpkg-deb --extract "$deb" "$work/root"
root=$work/root

expected=(
  usr/bin/velmora
  usr/bin/velmora-term
  usr/share/applications/velmora.desktop
  usr/share/icons/hicolor/scalable/apps/velmora.svg
  usr/share/metainfo/invalid.velmora.Velmora.metainfo.xml
  usr/share/man/man1/velmora.1.gz
  usr/share/man/man1/velmora-term.1.gz
)
for size in 16 22 24 32 48 64 128 256; do
  expected+=("usr/share/icons/hicolor/${size}x${size}/apps/velmora.png")
done
for file in "${expected[@]}"; do
  [[ -f "$root/$file" ]] || fail "missing $file"
done
# Nothing else: every file of the package is one of the above.
while IFS= read -r file; do
  file=${file#./}
  printf '%s\n' "${expected[@]}" | grep -qxF "$file" || fail "unexpected file $file"
done < <(cd "$root" && find . -type f -o -type l)

for program in "$root"/usr/bin/*; do
  [[ -x "$program" ]] || fail "$program is not executable"
  [[ -f "$root/usr/share/man/man1/$(basename "$program").1.gz" ]] || fail "no manual page for $(basename "$program")"
done

# Each PNG icon has the size of its folder (width and height from the IHDR chunk).
for size in 16 22 24 32 48 64 128 256; do
  icon="$root/usr/share/icons/hicolor/${size}x${size}/apps/velmora.png"
  [[ -f "$icon" ]] || continue
  read -r width height < <(od -An -tu1 -j16 -N8 "$icon" | awk '{print $1*16777216+$2*65536+$3*256+$4, $5*16777216+$6*65536+$7*256+$8}')
  [[ "$width" == "$size" && "$height" == "$size" ]] || fail "icon ${size}x${size} is ${width}x${height}"
done

for page in "$root"/usr/share/man/man1/*.1.gz; do
  gzip -t "$page" || fail "$page is not a valid gzip file"
  if command -v man >/dev/null; then
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null) || fail "man cannot format $page"
    [[ -z "$warnings" ]] || fail "$page: $warnings"
  fi
done

metainfo="$root/usr/share/metainfo/invalid.velmora.Velmora.metainfo.xml"
grep -q "<release version=\"$version\"" "$metainfo" || fail "the metainfo has no release $version"
"$here/validate-entries.sh" "$root/usr/share/applications/velmora.desktop" "$metainfo" || fail "validation failed"

if ((failures > 0)); then
  echo "check-package: $failures problem(s) in $deb" >&2
  exit 1
fi
echo "check-package: $deb holds every file and validates"
