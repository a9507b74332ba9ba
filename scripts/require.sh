# Sourced by the project's scripts: make sure Debian packages are installed.
# As root, missing packages are installed with apt-get; otherwise the script
# says exactly which are missing and stops. Nothing is ever skipped silently.

missing_packages() {
  local pkg
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || echo "$pkg"
  done
}

apt_updated=0
require_packages() {
  local missing
  missing=$(missing_packages "$@" | tr '\n' ' ')
  [ -z "${missing// /}" ] && return 0
  if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
    echo "== installing: $missing"
    if [ $apt_updated = 0 ]; then
      apt-get -o DPkg::Lock::Timeout=900 update -qq || { echo "error: apt-get update failed" >&2; exit 1; }
      apt_updated=1
    fi
    # shellcheck disable=SC2086
    DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=900 install -y -qq --no-install-recommends $missing >/dev/null \
      || { echo "error: could not install: $missing" >&2; exit 1; }
    missing=$(missing_packages "$@" | tr '\n' ' ')
    [ -z "${missing// /}" ] && return 0
  fi
  echo "error: missing Debian packages: $missing" >&2
  echo "       install them with: sudo apt-get install $missing" >&2
  exit 1
}

# The packages every build needs.
ROVOD_BUILD_PACKAGES="cmake ninja-build g++ make binutils libgtest-dev libgmock-dev libbenchmark-dev libcli11-dev nlohmann-json3-dev help2man libudev-dev pkg-config libmosquitto-dev libyaml-cpp-dev mosquitto mosquitto-clients openssl libmodbus-dev mbpoll libsqlite3-dev protobuf-compiler libprotobuf-dev"
