#!/usr/bin/env bash
# Pictures of the administration window into build/screenshots/: the main
# window with three connections (and once not listening), every page of the
# property sheet, the message editor, the About box, the Users page with
# three accounts and the Settings dialog for one and for two accounts. Runs
# on a virtual X display of its own.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset default >/dev/null
cmake --build --preset default --target screenshots_helper test_admin
out=build/screenshots
mkdir -p "$out"
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
BRINDLEX_ROOT="$root" xvfb-run -a -s "-screen 0 1280x1024x24" build/bin/screenshots_helper "$out"
BRINDLEX_ROOT="$root" BRINDLEX_SHOTS="$out" xvfb-run -a -s "-screen 0 1280x1024x24" \
  build/bin/test_admin --gtest_filter=UsersTest.Shots >/dev/null
ls "$out"
