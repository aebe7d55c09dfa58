#!/usr/bin/env bash
# Fails, naming each offending line, when a folder includes one above it:
# protocol/ <- links/ <- posdll/ and printer/ (neither includes the other) <- jobs/ <- cli/ <- app/,
# with widgets/ beside app/ on the protocol alone, paint/ (the paper's painter) on the printer, and
# web/ (the page and its API) on the printer, below app/. testing/, tests/, bench/ and fuzz/ may
# include anything.
set -euo pipefail
cd "${1:-$(dirname "$0")/..}"

# Each folder and what it may include besides itself.
rules='protocol:
links: protocol
posdll: protocol links
printer: protocol links
jobs: protocol links posdll printer
cli: protocol links posdll printer jobs
widgets: protocol
paint: protocol links printer
web: protocol links printer
app: protocol links posdll printer jobs cli widgets paint web'

folders=$(cut -d: -f1 <<<"$rules")
# shellcheck disable=SC2086 # one word per folder
grep -rnE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"[^/"]+/' $folders |
    awk -v rules="$rules" '
        BEGIN {
            n = split(rules, line, "\n")
            for (i = 1; i <= n; ++i) {
                split(line[i], part, ":")
                may[part[1] " " part[1]] = 1
                m = split(part[2], below, " ")
                for (j = 1; j <= m; ++j)
                    may[part[1] " " below[j]] = 1
            }
        }
        {
            folder = $0; sub(/\/.*/, "", folder)
            target = $0; sub(/^[^"]*"/, "", target); sub(/\/.*/, "", target)
            if (!((folder " " target) in may)) {
                print $0 "  <- " folder "/ may not include " target "/" > "/dev/stderr"
                bad = 1
            }
        }
        END { exit bad }'
