#!/usr/bin/env bash
# Validates a desktop entry and an AppStream metainfo file. Usage:
#   validate-entries.sh DESKTOP_FILE METAINFO_FILE
# Needs desktop-file-validate (desktop-file-utils) and appstreamcli (appstream).
set -euo pipefail
if (($# != 2)); then
  echo "usage: $0 DESKTOP_FILE METAINFO_FILE" >&2
  exit 2
fi
# desktop-file-validate reports some problems without failing; any output fails here.
report=$(desktop-file-validate "$1" 2>&1) || { echo "$report" >&2; exit 1; }
if [[ -n "$report" ]]; then
  echo "$report" >&2
  exit 1
fi
# No network: the screenshot addresses are not fetched.
appstreamcli validate --no-net --explain "$2"
