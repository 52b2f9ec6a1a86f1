#!/usr/bin/env bash
# Installs what the build, the tests and the demo need on Debian 12, as root.
# Idempotent: packages that are present are left alone, and TinyXML's source
# is unpacked once into the cache folder.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
cache=${ZANSETUP_DEPS:-$here/.deps}

# Both flavours: the i686 and x86-64 toolchains, and Wine's 32-bit and 64-bit
# loaders (wine32 is installed on any host; only hosts that run 32-bit code
# run it).
packages=(
  g++-mingw-w64-i686-posix binutils-mingw-w64-i686 g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  mingw-w64-tools wine wine32:i386 wine64 libwine-dev xvfb xauth cmake make
  googletest libboost-dev nginx-light nsis fonts-wqy-microhei fonts-wine imagemagick
  python3 dpkg-dev curl osslsigncode openssl locales
  # A proxy that asks for Basic credentials, and its password file, for the tests.
  squid apache2-utils
  # A loopback network of its own for a test module (unshare, ip).
  util-linux iproute2
)
# The visitor's browser for the tests and the demo: Chromium driven by
# Selenium, its certificate database (certutil) and the desktop's hand-off
# of links (xdg-open).
packages+=(chromium chromium-driver python3-selenium libnss3-tools xdg-utils)

need_update=0

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
  need_update=1
fi

# "apt-get source" needs deb-src entries; mirror the machine's own deb entries.
src_list=/etc/apt/sources.list.d/zansetup-src.sources
if ! grep -rqs '^Types:.*deb-src' /etc/apt/sources.list.d/ && \
   ! grep -qs '^deb-src' /etc/apt/sources.list 2>/dev/null; then
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    sed 's/^Types:.*/Types: deb-src/' /etc/apt/sources.list.d/debian.sources > "$src_list"
  elif [ -f /etc/apt/sources.list ]; then
    grep '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' \
      > /etc/apt/sources.list.d/zansetup-src.list
  fi
  need_update=1
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ] || [ $need_update -eq 1 ]; then
  apt-get update -q
fi
if [ ${#missing[@]} -gt 0 ]; then
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# The locales the tests run programs in (LC_ALL). Without one, Wine still
# takes the language from its name but has no character set for file names:
# a folder with Chinese characters cannot be made.
wanted_locales=(en_US.UTF-8 zh_CN.UTF-8 zh_TW.UTF-8)
generate=0
for name in "${wanted_locales[@]}"; do
  if ! locale -a 2>/dev/null | grep -qix "${name%.UTF-8}.utf8"; then
    generate=1
    if ! grep -q "^${name} UTF-8" /etc/locale.gen 2>/dev/null; then
      echo "${name} UTF-8" >> /etc/locale.gen
    fi
  fi
done
if [ $generate -eq 1 ]; then
  locale-gen >/dev/null
fi

# TinyXML 2.6.2 with Debian's patches applied; the build compiles it for mingw.
mkdir -p "$cache"
if ! ls -d "$cache"/tinyxml-2.6.2* >/dev/null 2>&1; then
  (cd "$cache" && apt-get source -q tinyxml)
fi
ls -d "$cache"/tinyxml-2.6.2*/ | head -n 1
