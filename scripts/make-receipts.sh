#!/usr/bin/env bash
# Makes the encoder receipts again (tests/receipts/*.bin and receipts.inc) with the encoders at the
# versions package-lock.json pins. Needs node and npm; the tests need neither: they read the files.
set -euo pipefail
cd "$(dirname "$0")/../tests/receipts"
npm ci --ignore-scripts --no-audit --no-fund
node make.js
