#!/usr/bin/env bash
# Pictures of the administration window into build/screenshots/: the main
# window with three connections (and once not listening), the details view
# with four (an upload, a download, an idle session, one not logged in) and
# its context menu, every page of the property sheet, the message editor, the
# About box, the Users page with three accounts and the Settings dialog for
# one and for two accounts; the window's pictures again at a device pixel
# ratio of 1.5 in build/screenshots/scale-1.5/. Runs on a virtual X display
# of its own.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset default >/dev/null
cmake --build --preset default --target screenshots_helper test_admin
out=build/screenshots
mkdir -p "$out"
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
BRINDLEX_ROOT="$root" xvfb-run -a -s "-screen 0 1280x1024x24" build/bin/screenshots_helper "$out"
mkdir -p "$out/scale-1.5"
BRINDLEX_ROOT="$root" QT_SCALE_FACTOR=1.5 xvfb-run -a -s "-screen 0 1920x1200x24" \
  build/bin/screenshots_helper "$out/scale-1.5"
BRINDLEX_ROOT="$root" BRINDLEX_SHOTS="$out" xvfb-run -a -s "-screen 0 1280x1024x24" \
  build/bin/test_admin --gtest_filter=UsersTest.Shots >/dev/null
ls "$out"
