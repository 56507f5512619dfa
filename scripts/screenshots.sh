#!/usr/bin/env bash
# Takes the README's pictures under docs/ again: Noctara on a Wine virtual
# desktop, its icon, menu and balloons (scripts/screenshots.py).
set -euo pipefail
BUILD="$(cd "${1:?usage: screenshots.sh BUILD_DIR}" && pwd)"
here="$(cd "$(dirname "$0")" && pwd)"
docs="$(cd "$here/.." && pwd)/docs"
cmake --build "$BUILD" --target Noctara probe >/dev/null
mkdir -p "$docs"
export PYTHONPATH="$here/lib"
python3 "$here/screenshots.py" "$BUILD" "$docs"
echo "pictures written to $docs"
