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
# What the installed packages provide counts as installed (another vendor's nodejs provides npm).
provided=$(dpkg-query -W -f='${db:Status-Abbrev} ${Provides}\n' 2>/dev/null | awk '$1 == "ii" { $1 = ""; print }' | tr ',' '\n' | awk '{ print $1 }')
missing=()
for pkg in "${wanted[@]}"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' ||
        grep -qxF "$pkg" <<<"$provided" || missing+=("$pkg")
done
if [ ${#missing[@]} -gt 0 ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
# The page's browser test drives Chromium with puppeteer-core, installed here as its lock file
# pins it: the tests themselves run without a network.
if [[ " $* " == *" test "* ]]; then
    web="$(dirname "$0")/../tests/web"
    if ! cmp -s "$web/package-lock.json" "$web/node_modules/.installed-lock.json" 2>/dev/null; then
        (cd "$web" && npm ci --no-audit --no-fund --loglevel=error &&
            cp package-lock.json node_modules/.installed-lock.json)
    fi
fi
