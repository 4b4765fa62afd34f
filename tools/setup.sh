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
apt=("${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get)

# The 32-bit Windows program runs under Wine, which needs the i386 packages.
added_architecture=0
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  "${as_root[@]}" dpkg --add-architecture i386
  added_architecture=1
fi

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }
missing=()
for package in "${packages[@]}"; do
  installed "$package" || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && [ $added_architecture -eq 0 ] && exit 0

echo "Installing: ${missing[*]}" >&2
# A mirror in the middle of a sync fails an index file now and then; the
# packages may still be there, so a failed update is retried, then reported
# and passed over. Only the install itself decides.
pause=${PELMORA_APT_RETRY_PAUSE:-10}
updated=0
for attempt in 1 2 3 4; do
  if "${apt[@]}" update -qq; then
    updated=1
    break
  fi
  [ "$attempt" -lt 4 ] && { echo "setup: apt-get update failed (attempt $attempt of 4); again in ${pause}s" >&2; sleep "$pause"; }
done
[ $updated -eq 1 ] || echo "setup: some package indexes could not be fetched; installing from what is there" >&2
[ ${#missing[@]} -eq 0 ] && exit 0

if ! "${apt[@]}" install -y -qq --no-install-recommends "${missing[@]}" >&2; then
  # Name the packages that could not be had, one try each.
  failed=()
  for package in "${missing[@]}"; do
    installed "$package" && continue
    "${apt[@]}" install -y -qq --no-install-recommends "$package" >/dev/null 2>&1 || failed+=("$package")
  done
  if [ ${#failed[@]} -gt 0 ]; then
    echo "setup: could not install: ${failed[*]}" >&2
    exit 1
  fi
fi
