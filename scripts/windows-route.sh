# Sourced by scripts/windows-tests.sh: which Windows program the tests run.
# It uses i386_probe (the status of scripts/i386-probe) and
# windows_prerequisites ROUTE (false, with install_failure set, where they
# cannot be installed), so that tests/windows_route_test.sh can stand in for
# both.
i386_probe() { "$root/scripts/i386-probe"; }

# The route this machine takes, in $route, and why it is not the release
# program's in $why_64; fails the run where no route can be had.
choose_route() {
  local refused="" probe=0
  route=${HVN_WINDOWS_BUILD:-}
  case $route in
    "") i386_probe || probe=$?
        case $probe in
          0) route=32 ;;
          1) route=64 why_64="this kernel refuses 32-bit programs" ;;
          *) exit 1 ;;
        esac
        if [ $route = 32 ] && ! windows_prerequisites 32; then
          refused=$install_failure
          route=64 why_64="Wine's 32-bit half cannot be installed here: $install_failure"
        fi ;;
    32) i386_probe || { echo "== HVN_WINDOWS_BUILD=32, but this kernel refuses 32-bit x86 programs"; exit 1; } ;;
    64) why_64="HVN_WINDOWS_BUILD=64 asks for it" ;;
    *) echo "== HVN_WINDOWS_BUILD is 32 or 64, not $route"; exit 1 ;;
  esac
  if ! windows_prerequisites $route; then
    echo "== the Windows part cannot run: ${refused:+$refused; and then }$install_failure"
    echo "== HVN_SKIP_WINDOWS=1 skips it on purpose (on a machine without apt-get, say)"
    exit 1
  fi
}

