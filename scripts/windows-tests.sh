# Sourced by scripts/test: the Windows part of the tests, with the route it
# takes on this machine. It adds to the totals passed, skipped and
# windows_ran of scripts/test, and uses its run_ctest and install_missing.

# The program users run is the 32-bit .exe of the release zip, and where the
# kernel runs 32-bit x86 programs (scripts/i386-probe) and Wine's 32-bit half
# can be installed, that .exe is what the Windows rows test. Otherwise Wine
# can only run 64-bit programs, so the rows run against a 64-bit build of the
# same sources instead, and the route line says why. HVN_WINDOWS_BUILD=32 or
# =64 chooses a route by hand on any machine; HVN_SKIP_WINDOWS=1 skips the
# part on purpose. A part that cannot run (mingw-w64 or Wine cannot be
# installed) or in which no row ran fails the run: a green run must have
# tested the program its users run.

# The cross compilers (the release is always 32-bit), Wine and the PE reader
# the release check uses; for the 32-bit route also Wine's 32-bit loader.
# False if they cannot be had.
windows_prerequisites() {
  install_missing g++-mingw-w64-i686 binutils-mingw-w64-i686 g++-mingw-w64-x86-64 \
    binutils-mingw-w64-x86-64 python3-pefile wine wine64 || return 1
  [ "$1" = 64 ] && return 0
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    can_install || { install_failure="cannot add the i386 architecture here: not root, or no apt-get"; return 1; }
    dpkg --add-architecture i386
    apt_updated=no
  fi
  install_missing wine32:i386
}

# Builds and checks the release zip, then runs the Windows rows against the
# program of route $1 (32 or 64) under Wine, natively.
windows_ran=0
windows_tests() {
  local route="$1" zip exe faulted loader server unpacked="$root/build-win32/unpacked"
  echo "== Windows release zip (32-bit program)"
  zip=$(scripts/release | tail -n 1)
  # What users get: the zip unpacked into a fresh folder, its program checked
  # for its version resource, manifest and imports.
  rm -rf "$unpacked"
  /usr/bin/python3 tests/check_windows_release.py "$zip" "$unpacked"
  passed=$((passed + 1))
  if [ "$route" = 32 ]; then
    echo "== Windows table: the 32-bit release program"
    exe="$unpacked/halvane-menu.exe" loader=/usr/lib/wine/wine server=/usr/lib/wine/wineserver64
    # The test build with the fault library, which the fault table runs.
    cmake --build build-win32 --target halvane-menu-faults >/dev/null
    faulted="$root/build-win32/halvane-menu-faults.exe"
  else
    echo "== Windows table: a 64-bit build of the same sources, as ${why_64:-this kernel refuses 32-bit programs}"
    cmake -S . -B build-win64 -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" >/dev/null
    cmake --build build-win64 -j "$jobs" --target halvane-menu halvane-menu-faults >/dev/null
    exe="$root/build-win64/halvane-menu.exe" loader=/usr/lib/wine/wine64 server=/usr/lib/wine/wineserver64
    faulted="$root/build-win64/halvane-menu-faults.exe"
  fi

  # The layer tables, built for Windows (GoogleTest from Debian's sources)
  # while the other tables run, since those mostly wait on Wine.
  mkdir -p "$root/build-wine"
  local arch=x86_64 tables="build-wintests-$route"
  [ "$route" = 32 ] && arch=i686
  ( cmake -S . -B "$tables" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-$arch.cmake" -DHVN_WINDOWS_TESTS=ON \
      -DCMAKE_CROSSCOMPILING_EMULATOR="$loader" && cmake --build "$tables" -j "$jobs" --target unit_tests writer_tests
  ) >"$root/build-wine/tables-build.log" 2>&1 &
  local tables_build=$!

  # A 64-bit prefix of the route's own: it runs a 64-bit program natively and
  # a 32-bit one with Wine's 32-bit loader, and unlike a 32-bit prefix it has
  # every helper it starts. No Mono or Gecko is asked for; a console program
  # needs neither.
  export WINEPREFIX="$root/build-wine/prefix-$route" WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  if [ ! -d "$WINEPREFIX" ]; then
    mkdir -p "$(dirname "$WINEPREFIX")"
    /usr/lib/wine/wine64 wineboot --init </dev/null >"$root/build-wine/boot.log" 2>&1 ||
      { cat "$root/build-wine/boot.log"; rm -rf "$WINEPREFIX"; echo "== Wine could not make its prefix"; exit 1; }
  fi
  # The server the boot started, or one an earlier run left behind, is ended
  # (waiting for it would never end if it was kept alive); then one is kept
  # for the whole run.
  "$server" -k 2>/dev/null || true
  "$server" -w
  "$server" -p
  # Expanded now: the trap runs outside this function, where $server is gone.
  trap "\"$server\" -k 2>/dev/null || true" EXIT
  # The first program in a prefix may leave helpers running that hold the
  # descriptors it was given: give it none of a test's. It must answer, or
  # the route does not work here.
  "$loader" "$exe" --version </dev/null 2>&1 | grep -q "Halvane menu creator" ||
    { echo "== Wine did not run $exe"; exit 1; }
  echo "== end-to-end sessions under Wine, natively: $loader $exe"
  cmake -S . -B build -DHVN_WINDOWS_PROGRAM="$loader $exe" -DHVN_WINDOWS_FAULTED="$faulted" >/dev/null
  cmake --build build -j "$jobs"
  local skipped_before=$skipped passed_before=$passed
  run_ctest build -R '^windows\.'
  echo "== layer tables under Wine, natively: $loader"
  wait "$tables_build" || { cat "$root/build-wine/tables-build.log"; echo "== the layer tables did not build for Windows"; exit 1; }
  run_ctest "$tables"
  windows_ran=$(( (passed - passed_before) - (skipped - skipped_before) ))
  [ "$windows_ran" -gt 0 ] || { echo "== no Windows row ran"; exit 1; }
  "$server" -k 2>/dev/null || true
  trap - EXIT
}

source "$root/scripts/windows-route.sh"
windows_skipped=no
if [ "${HVN_SKIP_WINDOWS:-}" = 1 ]; then
  echo "== Windows part skipped (HVN_SKIP_WINDOWS=1)"
  windows_skipped=yes
else
  choose_route
  mkdir -p "$root/build-wine"
  echo $route > "$root/build-wine/route"
  windows_tests "$route"
fi
