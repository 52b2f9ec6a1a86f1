#!/usr/bin/env bash
# The demo: installs what is missing, builds, and runs the setup program for
# the demo product under Wine. With DISPLAY set the clicking is left to you;
# otherwise a virtual display is used and the dialogs are worked for you.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${ZANSETUP_BUILD_DIR:-$here/build}

bash "$here/tools/install-deps.sh" >/dev/null
cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null
exec python3 "$here/tools/demo.py" "$build"
