# Sourced by the scripts: installs missing Debian packages where that can be
# done (as root, with apt-get), and says so where it cannot.

can_install() { [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; }
is_installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'ok installed'; }
apt_updated=no
# Installs the packages named that are missing; false if that cannot be done.
install_missing() {
  local missing=() p
  for p in "$@"; do is_installed "$p" || missing+=("$p"); done
  [ ${#missing[@]} -eq 0 ] && return 0
  if ! can_install; then
    echo "== cannot install ${missing[*]} here: not root, or no apt-get"
    return 1
  fi
  echo "== installing ${missing[*]}"
  if [ "$apt_updated" = no ]; then apt-get update -q; apt_updated=yes; fi
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
}
