#!/usr/bin/env bash
# Regenerates the README's pictures under docs/: the end-to-end journeys that
# show the icon, the menu and the balloons save them while they run.
set -euo pipefail
BUILD="$(cd "${1:?usage: screenshots.sh BUILD_DIR}" && pwd)"
docs="$(cd "$(dirname "$0")/.." && pwd)/docs"
mkdir -p "$docs"
export NOCTARA_E2E_PICTURES="$docs"
"$(dirname "$0")/run-tests.sh" "$BUILD" -L e2e
for picture in tray-active tray-paused menu menu-update balloon-paused balloon-update; do
    [[ -s "$docs/$picture.png" ]] || { echo "screenshots: $picture.png is missing" >&2; exit 1; }
done
echo "pictures written to $docs"
