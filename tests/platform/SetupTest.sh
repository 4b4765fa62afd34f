#!/usr/bin/env bash
# tools/setup.sh against a mirror in the middle of a sync: fake apt-get,
# dpkg, dpkg-query and sudo first on PATH (they only keep state in a
# temporary folder, never touch the system) play each case. An index that
# cannot be fetched is retried, then passed over; only a failed install
# fails, naming the package.
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
cat > "$work/bin/dpkg-query" <<'FAKE'
#!/usr/bin/env bash
if [ -e "$FAKE/all-installed" ] || grep -qxF -- "${@: -1}" "$FAKE/installed"; then printf 'install ok installed'; fi
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

failures=0
# run_case WHAT UPDATE_FAILURES UNAVAILABLE_PACKAGE ALL_INSTALLED STATUS UPDATES INSTALLS MESSAGE:
# the expected exit status, apt-get updates and installs, and a line on stderr.
run_case() {
  local what=$1 fake="$work/$1"
  mkdir -p "$fake"
  echo "$2" > "$fake/update-failures"
  echo "$3" > "$fake/unavailable"
  : > "$fake/log" > "$fake/installed" > "$fake/architectures"
  if [ "$4" = yes ]; then
    echo i386 > "$fake/architectures"
    : > "$fake/all-installed"
  fi
  local status=0
  FAKE=$fake PATH="$work/bin:$PATH" PELMORA_APT_RETRY_PAUSE=0 bash "$setup" > "$fake/out" 2> "$fake/err" || status=$?
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
[ "$failures" -eq 0 ]
