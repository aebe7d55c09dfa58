#!/usr/bin/env bash
# Saves a picture of every page in both languages to docs/screenshots (after scripts/test.sh built).
# Offline: the log's picture talks to a printer on a loopback address.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --build build --target ui_screenshots
# The printer library from the build tree and the suite's own loopback host, as ctest gives them.
KELVO_SCREENSHOT_DIR="$PWD/docs/screenshots" QT_QPA_PLATFORM=offscreen \
    KELVO_POSDLL="$PWD/build/posdll/libposdll.so" KELVO_TEST_HOST=127.77.25.1 \
    scripts/offline.sh build/tests/ui_screenshots
# The virtual printer's web page, in the system's Chromium as the page's own test drives it.
cmake --build build --target kelvotool
scripts/offline.sh node tests/web/page.js "$PWD/build/kelvotool" --screenshot "$PWD/docs/screenshots/web-page.png" >/dev/null
ls docs/screenshots
