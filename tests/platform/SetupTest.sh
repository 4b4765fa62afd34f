#!/usr/bin/env bash
# tools/setup.sh against a mirror in the middle of a sync: fake apt-get,
# dpkg, dpkg-query and sudo first on PATH (they only keep state in a
# temporary folder, never touch the system) play each case. An index that
# cannot be fetched is retried, then passed over; only a failed install
# fails, naming the package. Then against a kernel that runs no 32-bit
# program: a fake /proc/sys (mount, and tee writing its files) and a probe
# that the kernel refuses (exec format error) until qemu-i386 is registered;
# with it, vm.mmap_min_addr is raised to 65536.
#   SetupTest.sh [SETUP_SCRIPT]   (default: the project's tools/setup.sh)
set -euo pipefail
setup=${1:-$(cd "$(dirname "$0")/../.." && pwd)/tools/setup.sh}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin"

cat > "$work/bin/apt-get" <<'FAKE'
#!/usr/bin/env bash
echo "apt-get $*" >> "$FAKE/log"
case "$1" in
  update)
    left=$(cat "$FAKE/update-failures")
    if [ "$left" -gt 0 ]; then
      echo $((left - 1)) > "$FAKE/update-failures"
      echo "E: Failed to fetch .../Packages.xz  File has unexpected size. Mirror sync in progress?" >&2
      exit 100
    fi ;;
  install)
    shift
    for p in "$@"; do
      case "$p" in -*) continue ;; esac
      if grep -qxF -- "$p" "$FAKE/unavailable"; then echo "E: Package '$p' has no installation candidate" >&2; exit 100; fi
    done
    for p in "$@"; do case "$p" in -*) ;; *) echo "$p" >> "$FAKE/installed" ;; esac; done ;;
esac
FAKE
# all-installed: every package but those it names.
cat > "$work/bin/dpkg-query" <<'FAKE'
#!/usr/bin/env bash
if grep -qxF -- "${@: -1}" "$FAKE/installed" ||
   { [ -e "$FAKE/all-installed" ] && ! grep -qxF -- "${@: -1}" "$FAKE/all-installed"; }; then
  printf 'install ok installed'
fi
FAKE
cat > "$work/bin/mount" <<'FAKE'
#!/usr/bin/env bash
echo "mount $*" >> "$FAKE/log"
[ "${@: -1}" = "$FAKE/sys/fs/binfmt_misc" ] && : > "$FAKE/sys/fs/binfmt_misc/register"
FAKE
# The kernel's side: a line written to register adds an entry, 1 written to
# an entry enables it; while an enabled entry names qemu-i386, the probe runs.
cat > "$work/bin/tee" <<'FAKE'
#!/usr/bin/env bash
value=$(cat)
echo "tee $1 $value" >> "$FAKE/log"
binfmt=$FAKE/sys/fs/binfmt_misc
case "$1" in
  "$binfmt/register")
    IFS=: read -r _ name _ _ _ _ interpreter _ <<< "$value"
    printf 'enabled\ninterpreter %s\n' "$interpreter" > "$binfmt/$name" ;;
  "$binfmt/"*)
    [ "$value" = 1 ] && sed -i 1s/.*/enabled/ "$1" ;;
  *)
    echo "$value" > "$1" ;;
esac
for entry in "$binfmt/"*; do
  if [ "$(head -1 "$entry")" = enabled ] && grep -q qemu-i386 "$entry"; then cp "$FAKE/../runs" "$FAKE/probe"; fi
done
FAKE
cat > "$work/bin/dpkg" <<'FAKE'
#!/usr/bin/env bash
case "$1" in
  --print-foreign-architectures) cat "$FAKE/architectures" ;;
  --add-architecture) echo "$2" >> "$FAKE/architectures" ;;
esac
FAKE
printf '#!/usr/bin/env bash\nexec "$@"\n' > "$work/bin/sudo"
chmod +x "$work/bin/"*
# The probes: a 32-bit program that runs, and one the kernel refuses.
printf '#!/bin/sh\nexit 42\n' > "$work/runs"
printf '\0\0\0\0\0\0\0\0' > "$work/refused"
chmod +x "$work/runs" "$work/refused"

failures=0
# run_case WHAT UPDATE_FAILURES UNAVAILABLE_PACKAGE ALL_INSTALLED STATUS UPDATES INSTALLS MESSAGE:
# the expected exit status, apt-get updates and installs, and a line on stderr.
# ALL_INSTALLED: yes, no, or "all but PACKAGE". $kernel is the probe it starts with
# (runs or refused); $binfmt what binfmt_misc holds before (a command run in it).
kernel=runs
binfmt=:
run_case() {
  local what=$1 fake="$work/$1"
  mkdir -p "$fake/sys/fs/binfmt_misc" "$fake/sys/vm"
  echo 4096 > "$fake/sys/vm/mmap_min_addr"
  (cd "$fake/sys/fs/binfmt_misc" && eval "$binfmt")
  echo "$2" > "$fake/update-failures"
  echo "$3" > "$fake/unavailable"
  : > "$fake/log" > "$fake/installed" > "$fake/architectures"
  if [ "$4" != no ]; then
    echo i386 > "$fake/architectures"
    if [ "$4" = yes ]; then : > "$fake/all-installed"; else echo "${4#all but }" > "$fake/all-installed"; fi
  fi
  cp "$work/$kernel" "$fake/probe"
  local status=0
  FAKE=$fake PATH="$work/bin:$PATH" PELMORA_APT_RETRY_PAUSE=0 PELMORA_PROBE_32BIT="$fake/probe" \
    PELMORA_PROC_SYS="$fake/sys" bash "$setup" > "$fake/out" 2> "$fake/err" || status=$?
  local updates installs
  updates=$(grep -c '^apt-get update' "$fake/log" || true)
  installs=$(grep -c '^apt-get install' "$fake/log" || true)
  local shown=yes
  [ -z "$8" ] || grep -qF -- "$8" "$fake/err" || shown=no
  # INSTALLS is exact, or a least with a '+'.
  if [ "$status" != "$5" ] || [ "$updates" != "$6" ] || [ "$shown" != yes ] ||
     { [ "${7%+}" = "$7" ] && [ "$installs" != "$7" ]; } || [ "$installs" -lt "${7%+}" ]; then
    echo "FAILED: $what: status $status (want $5), $updates updates (want $6), $installs installs (want $7)," \
         "message '$8' shown: $shown" >&2
    sed 's/^/  /' "$fake/err" >&2
    failures=$((failures + 1))
  else
    echo "ok: $what"
  fi
}

run_case "an index never fetched: installed all the same" 9 "" no 0 4 1 "some package indexes could not be fetched"
run_case "an index fetched on the third try" 2 "" no 0 3 1 "attempt 2 of 4"
run_case "a package that cannot be had fails, named" 9 "wine32:i386" no 1 4 2+ "could not install: wine32:i386"
run_case "nothing missing: nothing done" 9 "" yes 0 0 0 ""
grep -q '^mount\|^tee' "$work"/*/log && { echo "FAILED: /proc/sys touched where 32-bit programs run natively" >&2; failures=$((failures + 1)); }

# expect_binfmt WHAT ENTRY LOG MIN: the qemu-i386 entry's first two lines, the log's mount and tee
# lines after a case, and vm.mmap_min_addr.
expect_binfmt() {
  local entry log min
  entry=$( (head -2 "$work/$1/sys/fs/binfmt_misc/qemu-i386" 2>/dev/null || true) | tr '\n' ' ')
  log=$( (grep '^mount\|^tee' "$work/$1/log" || true) | tr '\n' ' ')
  min=$(cat "$work/$1/sys/vm/mmap_min_addr")
  if [ "$entry" != "$2" ] || [ "$log" != "$3" ] || [ "$min" != "$4" ]; then
    echo "FAILED: $1: entry '$entry' (want '$2'), log '$log' (want '$3'), mmap_min_addr $min (want $4)" >&2
    failures=$((failures + 1))
  fi
}
registered='enabled interpreter /usr/bin/qemu-i386-static '
magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
mask='\xff\xff\xff\xff\xff\xff\xff\x00\x00\x00\x00\x00\x00\x00\x00\x00\xfe\xff\xff\xff'
kernel=refused
what="no 32-bit: qemu-user-static installed, binfmt_misc mounted, qemu-i386 registered"
run_case "$what" 0 "" "all but qemu-user-static" 0 1 1 "registering /usr/bin/qemu-i386-static"
sys="$work/$what/sys"
expect_binfmt "$what" "$registered" "mount -t binfmt_misc binfmt_misc $sys/fs/binfmt_misc \
tee $sys/fs/binfmt_misc/register :qemu-i386:M::$magic:$mask:/usr/bin/qemu-i386-static:F tee $sys/vm/mmap_min_addr 65536 " 65536
binfmt='printf "disabled\ninterpreter /usr/bin/qemu-i386-static\n" > qemu-i386; : > register'
what="no 32-bit, qemu-i386 registered but disabled: enabled"
run_case "$what" 0 "" yes 0 0 0 ""
sys="$work/$what/sys"
expect_binfmt "$what" "$registered" "tee $sys/fs/binfmt_misc/qemu-i386 1 tee $sys/vm/mmap_min_addr 65536 " 65536
binfmt=:
what="no 32-bit and no qemu-user-static to be had: fails, named"
run_case "$what" 0 "qemu-user-static" "all but qemu-user-static" 1 1 2 "could not install: qemu-user-static"
expect_binfmt "$what" "" "" 4096
binfmt='printf "enabled\ninterpreter /usr/bin/qemu-i386-static\n" > qemu-i386; : > register'
kernel=runs
what="qemu-i386 registered already: only vm.mmap_min_addr raised"
run_case "$what" 0 "" yes 0 0 0 ""
expect_binfmt "$what" "$registered" "tee $work/$what/sys/vm/mmap_min_addr 65536 " 65536
[ "$failures" -eq 0 ]
