# Sourced by the scripts: ensure_packages PURPOSE ENTRY... installs the Debian packages of
# the entries whose command or file is missing, through apt-get when run as root, or names
# them and fails otherwise. An entry is "command package" or "/path/of/a/file package".
ensure_packages() {
  local purpose=$1
  shift
  local missing=() entry what package
  for entry in "$@"; do
    what=${entry% *}
    package=${entry##* }
    if [[ $what == /* ]]; then
      [[ -e $what ]] || missing+=("$package")
    else
      command -v "$what" >/dev/null 2>&1 || missing+=("$package")
    fi
  done
  [[ ${#missing[@]} -eq 0 ]] && return 0
  if [[ $(id -u) -ne 0 ]]; then
    echo "$purpose needs these Debian packages: ${missing[*]}" >&2
    echo "Install them with: sudo apt-get install --no-install-recommends ${missing[*]}" >&2
    return 1
  fi
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}
