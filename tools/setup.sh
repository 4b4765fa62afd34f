#!/usr/bin/env bash
# Installs every package the project needs on Debian 12: idempotent and
# non-interactive. Runs as root (or through sudo when there is one).
# Where the kernel runs no 32-bit program, also installs qemu-i386 and
# registers it with binfmt_misc, so that 32-bit Wine starts (emulated).
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

# A mirror in the middle of a sync fails an index file now and then; the
# packages may still be there, so a failed update is retried, then reported
# and passed over. Only the install itself decides.
updated=0
update() {
  [ $updated -eq 0 ] || return 0
  updated=1
  local pause=${PELMORA_APT_RETRY_PAUSE:-10} attempt
  for attempt in 1 2 3 4; do
    "${apt[@]}" update -qq && return 0
    [ "$attempt" -lt 4 ] && { echo "setup: apt-get update failed (attempt $attempt of 4); again in ${pause}s" >&2; sleep "$pause"; }
  done
  echo "setup: some package indexes could not be fetched; installing from what is there" >&2
}

# install_packages PACKAGE...: those not installed yet; exits naming any that cannot be had.
install_packages() {
  local missing=() package
  for package in "$@"; do
    installed "$package" || missing+=("$package")
  done
  [ ${#missing[@]} -gt 0 ] || return 0
  echo "Installing: ${missing[*]}" >&2
  update
  "${apt[@]}" install -y -qq --no-install-recommends "${missing[@]}" >&2 && return 0
  # Name the packages that could not be had, one try each.
  local failed=()
  for package in "${missing[@]}"; do
    installed "$package" && continue
    "${apt[@]}" install -y -qq --no-install-recommends "$package" >/dev/null 2>&1 || failed+=("$package")
  done
  if [ ${#failed[@]} -gt 0 ]; then
    echo "setup: could not install: ${failed[*]}" >&2
    exit 1
  fi
}

# A new architecture's packages are known only after an update.
[ $added_architecture -eq 0 ] || update
install_packages "${packages[@]}"

# runs_32bit: 0 when a 32-bit x86 program runs (natively or through a
# registered emulator), 2 when the kernel refuses it (exec format error), 1
# when the probe could not tell. The probe is a 96-byte i386 ELF that exits 42.
# PELMORA_PROBE_32BIT names another program to try (tests/platform/SetupTest.sh).
runs_32bit() {
  python3 - "${PELMORA_PROBE_32BIT:-}" <<'PROBE'
import errno, os, subprocess, sys, tempfile
probe = sys.argv[1]
with tempfile.TemporaryDirectory() as folder:
    if not probe:
        probe = os.path.join(folder, "probe")
        with open(probe, "wb") as f:
            f.write(bytes.fromhex(
                "7f454c46010101000000000000000000" "02000300010000005480040834000000"  # ELF32, i386, entry
                "00000000000000003400200001000000" "00000000010000000000000000800408"  # one PT_LOAD
                "00800408600000006000000005000000" "00100000"                          # of the whole file, r-x
                "b801000000" "bb2a000000" "cd80"))  # exit(42)
        os.chmod(probe, 0o755)
    try:
        status = subprocess.run([probe], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode
    except OSError as e:
        sys.exit(2 if e.errno == errno.ENOEXEC else 1)
sys.exit(0 if status == 42 else 1)
PROBE
}

sys=${PELMORA_PROC_SYS:-/proc/sys}
binfmt=$sys/fs/binfmt_misc
emulator=/usr/bin/qemu-i386-static
# ELF, 32-bit, little-endian, version 1, any ABI; executable or shared
# object (e_type 2 or 3); e_machine EM_386. F: the kernel opens the emulator
# now, so it runs in any mount namespace or chroot.
registration=':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xff\xff\x00\x00\x00\x00\x00\x00\x00\x00\x00\xfe\xff\xff\xff:'"$emulator"':F'

status=0
runs_32bit || status=$?
if [ $status -eq 1 ]; then
  echo "setup: could not tell whether this kernel runs 32-bit programs; left as it is" >&2
  exit 0
fi
if [ $status -eq 2 ]; then
  echo "setup: this kernel runs no 32-bit program: registering $emulator for them" >&2
  install_packages qemu-user-static
  if [ ! -e "$binfmt/register" ]; then
    "${as_root[@]}" mount -t binfmt_misc binfmt_misc "$binfmt"
  fi
  if [ -e "$binfmt/qemu-i386" ]; then
    echo 1 | "${as_root[@]}" tee "$binfmt/qemu-i386" >/dev/null  # registered, but disabled
  else
    printf '%s' "$registration" | "${as_root[@]}" tee "$binfmt/register" >/dev/null
  fi
  if ! runs_32bit; then
    echo "setup: a 32-bit program still does not run with $emulator registered" >&2
    exit 1
  fi
fi

# Emulated, Wine's server reads and writes a program's memory (for another
# process) at the program's own addresses: the end-to-end tests have qemu put
# them at the same host addresses (QEMU_GUEST_BASE=0). qemu then maps from
# vm.mmap_min_addr up, which must not be below the kernel's own floor (65536 on
# x86; some kernels report 4096 and refuse the pages between).
for entry in "$binfmt"/*; do
  [ -f "$entry" ] && [ "$(head -1 "$entry" 2>/dev/null)" = enabled ] && grep -q qemu-i386 "$entry" || continue
  if [ "$(cat "$sys/vm/mmap_min_addr")" -lt 65536 ]; then
    echo 65536 | "${as_root[@]}" tee "$sys/vm/mmap_min_addr" >/dev/null
  fi
  break
done
