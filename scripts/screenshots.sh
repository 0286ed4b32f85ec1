#!/usr/bin/env bash
# Pictures of the administration window into build/screenshots/: the main
# window with live connections, every page of the property sheet, the message
# editor and the About box. Runs on a virtual X display of its own.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset default >/dev/null
cmake --build --preset default --target screenshots_helper
out=build/screenshots
mkdir -p "$out"
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
BRINDLEX_ROOT="$root" xvfb-run -a -s "-screen 0 1280x1024x24" build/bin/screenshots_helper "$out"
