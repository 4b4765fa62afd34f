#!/usr/bin/env bash
# Installs every package the project needs on Debian 12: idempotent and
# non-interactive. Runs as root (or through sudo when there is one).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

packages=(cmake ninja-build g++ make clang libgtest-dev googletest mingw-w64 xz-utils fuse3)
while read -r line; do
  line=${line%%#*}
  [ -n "${line// /}" ] && packages+=("$line")
done < "$here/packages.txt"

as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)

# The 32-bit Windows program runs under Wine, which needs the i386 packages.
added_architecture=0
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  "${as_root[@]}" dpkg --add-architecture i386
  added_architecture=1
fi

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && [ $added_architecture -eq 0 ] && exit 0

echo "Installing: ${missing[*]}" >&2
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
[ ${#missing[@]} -eq 0 ] && exit 0
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
