#!/usr/bin/env bash
# Installs the Debian packages that cdunpack needs to build and test, and nothing
# that is already there. Safe to run any number of times.
set -euo pipefail

packages=(cmake g++ make binutils pkg-config libsndfile1-dev libmp3lame-dev libgtest-dev
          vorbis-tools flac lame mpg123 opus-tools sox genisoimage xorriso valgrind vcdimager ffmpeg)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -eq 0 ]; then
  as_root=()
else
  as_root=(sudo)
fi
echo "installing: ${missing[*]}" >&2
"${as_root[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
