#!/usr/bin/env bash
# Installs what is missing, builds both flavours and runs every test with
# ctest, once for each flavour this host can run: x86 (the 32-bit programs,
# in build/, under a win32 Wine prefix) and x64 (the 64-bit programs, in
# build-x64/, under a win64 prefix). A host that runs no 32-bit code still
# builds x86; one line says that its tests were not run, and why.
# Tests that are the same for both flavours (ctest label flavour-free, and
# cases that harness.flavour_free marks) run with the first flavour tested.
# Arguments go to both ctest runs.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${ZANSETUP_BUILD_DIR:-$here/build}
declare -A folder=([x86]="$build" [x64]="$build-x64")

bash "$here/tools/install-deps.sh" >/dev/null

for flavour in x86 x64; do
  # A development build, unpinned: a demo run before pins this folder; the
  # tests build their own pinned variant.
  cmake -S "$here" -B "${folder[$flavour]}" -DZANSETUP_ARCH=$flavour -DCMAKE_BUILD_TYPE=Release \
      -DZANSETUP_PUBLISHER_PINS= -DZANSETUP_DEVELOPMENT_BUILD=ON >/dev/null
  cmake --build "${folder[$flavour]}" -j"$(nproc)"
done

runnable=(x64)
if why=$(python3 "$here/tools/runs_i386.py"); then
  runnable=(x86 x64)
fi

failed=()
summary=()
# Once a flavour has been tested, the next leaves out what that one ran already.
again_env=()
again_args=()
for flavour in x86 x64; do
  if [[ ! " ${runnable[*]} " == *" $flavour "* ]]; then
    summary+=("$flavour: built in ${folder[$flavour]}, tests not run: this host runs no 32-bit code ($why)")
    continue
  fi
  echo "== $flavour: ctest in ${folder[$flavour]}"
  began=$SECONDS
  if (cd "${folder[$flavour]}" && env "${again_env[@]}" ctest --output-on-failure -j2 "${again_args[@]}" "$@"); then
    result=passed
  else
    result=FAILED
    failed+=("$flavour")
  fi
  summary+=("$flavour: tests $result in $((SECONDS - began)) s (${folder[$flavour]})")
  again_env=(ZANSETUP_SKIP_FLAVOUR_FREE=1)
  again_args=(-LE flavour-free)
done

printf '%s\n' "${summary[@]}"
[ ${#failed[@]} -eq 0 ]
