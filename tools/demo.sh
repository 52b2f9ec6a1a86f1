#!/usr/bin/env bash
# The demo: installs what is missing, builds, and runs the setup program for
# the demo product under Wine. With DISPLAY set the clicking is left to you;
# otherwise a virtual display is used and the dialogs are worked for you.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${ZANSETUP_BUILD_DIR:-$here/build}

bash "$here/tools/install-deps.sh" >/dev/null

# A throw-away publisher, outside the repository and gone at exit: the demo
# build is pinned to its key and the demo documents are signed with it.
keys=$(mktemp -d)
trap 'rm -rf "$keys"' EXIT
trap 'exit 130' INT TERM HUP
# RSA: Wine 8 verifies no ECDSA document signatures.
openssl req -x509 -newkey rsa:2048 -nodes -days 2 \
    -subj "/CN=ZanSetup demo publisher" -keyout "$keys/publisher.key" -out "$keys/publisher.crt" \
    2>"$keys/openssl.log" || { cat "$keys/openssl.log" >&2; exit 1; }
pin=$(python3 "$here/tools/publish.py" --pin "$keys/publisher.crt")

# The 32-bit programs where the host runs 32-bit code, the 64-bit ones
# where it does not.
if why=$(python3 "$here/tools/runs_i386.py"); then
  flavour=x86
  echo "the demo runs the x86 flavour, the 32-bit programs ($why)"
else
  flavour=x64
  build=$build-x64
  echo "the demo runs the x64 flavour, the 64-bit programs: this host runs no 32-bit code ($why)"
fi

cmake -S "$here" -B "$build" -DZANSETUP_ARCH=$flavour -DCMAKE_BUILD_TYPE=Release \
    -DZANSETUP_PUBLISHER_PINS="$pin" >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null
# No exec: the trap must still remove the key when the demo ends.
ZANSETUP_DEMO_SIGN_KEY="$keys/publisher.key" ZANSETUP_DEMO_SIGN_CERT="$keys/publisher.crt" \
    python3 "$here/tools/demo.py" "$build"
