#!/usr/bin/env bash
# Installs the packages of the groups named on the command line (scripts/packages.txt) that are not
# installed yet.
set -euo pipefail
list="$(dirname "$0")/packages.txt"
wanted=()
for group in "$@"; do
    line=$(grep -E "^$group[[:space:]]" "$list") || { echo "deps.sh: no group '$group' in $list" >&2; exit 2; }
    read -r -a pkgs <<<"${line#"$group"}"
    wanted+=("${pkgs[@]}")
done
missing=()
for pkg in "${wanted[@]}"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
done
if [ ${#missing[@]} -gt 0 ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
