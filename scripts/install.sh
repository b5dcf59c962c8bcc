# Sourced by the scripts: installs missing Debian packages where that can be
# done (as root, with apt-get), and says so where it cannot. After a failure,
# install_failure holds why, in apt's own words where apt gave them.

can_install() { [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; }
is_installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'ok installed'; }
apt_updated=no
install_failure=""
# apt's errors in the log $1, or its last lines where it printed none.
apt_words() { grep -E '^(E|W): ' "$1" | head -n 8 || true; grep -qE '^(E|W): ' "$1" || tail -n 3 "$1"; }
# Runs apt-get with its arguments, its output shown and kept in $apt_log.
run_apt() {
  apt_log=$(mktemp)
  local status=0
  DEBIAN_FRONTEND=noninteractive apt-get -q "$@" >"$apt_log" 2>&1 || status=$?
  cat "$apt_log"
  return $status
}
# Installs the packages named that are missing; false if that cannot be done.
install_missing() {
  local missing=() p
  for p in "$@"; do is_installed "$p" || missing+=("$p"); done
  [ ${#missing[@]} -eq 0 ] && return 0
  if ! can_install; then
    install_failure="cannot install ${missing[*]} here: not root, or no apt-get"
    echo "== $install_failure"
    return 1
  fi
  echo "== installing ${missing[*]}"
  if [ "$apt_updated" = no ]; then
    apt_updated=yes
    # A failed update is said; the lists there are may still hold the packages.
    if ! run_apt update; then
      echo "== apt-get update failed; installing from the package lists already here:"
      apt_words "$apt_log"
    fi
    rm -f "$apt_log"
  fi
  if ! run_apt install -y --no-install-recommends "${missing[@]}"; then
    install_failure="could not install ${missing[*]}: $(apt_words "$apt_log" | tr "\n" " ")"
    rm -f "$apt_log"
    echo "== $install_failure"
    return 1
  fi
  rm -f "$apt_log"
}
