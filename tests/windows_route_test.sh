#!/usr/bin/env bash
# Which Windows program the tests run, or why none: each row gives the probe's
# status, which routes' packages can be installed and HVN_WINDOWS_BUILD, and
# the route taken (or "fails") with words the output must hold.
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/windows-route.sh"
rows=(
  # probe  installable  asked  route  words
  "0|32 64||32|"
  "1|32 64||64|this kernel refuses 32-bit programs"
  "0|64||64|Wine's 32-bit half cannot be installed here: no wine32"
  "0|||fails|no wine32; and then no wine64"
  "1|||fails|HVN_SKIP_WINDOWS=1 skips it"
  "2|32 64||fails|"
  "1|32 64|32|fails|refuses 32-bit x86 programs"
  "0|32 64|64|64|HVN_WINDOWS_BUILD=64 asks for it"
  "0|32 64|48|fails|32 or 64, not 48"
)
failed=0
for row in "${rows[@]}"; do
  IFS="|" read -r status installable asked want words <<<"$row"
  out=$(
    i386_probe() { return "$status"; }
    windows_prerequisites() {
      [[ " $installable " == *" $1 "* ]] && return 0
      install_failure="no wine$1"; return 1
    }
    HVN_WINDOWS_BUILD=$asked
    choose_route && echo "route $route ${why_64:-}"
  )
  got=${out##*route }
  [[ "$out" == *"route "* ]] && got=${got%% *} || got=fails
  if [ "$got" != "$want" ] || [[ "$out" != *"$words"* ]]; then
    echo "row '$row': got $got, output: $out"; failed=1
  fi
done
[ $failed = 0 ] && echo "all ${#rows[@]} rows as expected"
exit $failed
