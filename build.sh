#!/bin/sh
# Sets up, builds and runs the module, or runs every test.
#   ./build.sh run [options]   install what is missing, build, start the module
#   ./build.sh test            install what is missing, build, run all tests
# Needs root (or sudo) only when packages are missing.
set -eu
cd "$(dirname "$0")"

RUN_PACKAGES="g++ cmake make libboost-dev nlohmann-json3-dev coreutils unzip zip psmisc"
TEST_PACKAGES="$RUN_PACKAGES libgtest-dev clang-format"

# Installs the packages that are not installed yet; does nothing otherwise.
install_missing() {
  missing=""
  for pkg in "$@"; do
    if ! dpkg-query -W -f='${Status}\n' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
      missing="$missing $pkg"
    fi
  done
  [ -z "$missing" ] && return 0
  echo "installing:$missing" >&2
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get update -qq >&2
  # shellcheck disable=SC2086
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing >&2
}

build() {
  cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DXAP_WERROR=ON "$@" >&2
  cmake --build build -j "$(nproc)" >&2
}

cmd="${1:-}"
[ $# -gt 0 ] && shift
case "$cmd" in
  run)
    install_missing $RUN_PACKAGES
    build -DXAP_BUILD_TESTS=OFF
    exec build/xapFileSystem "$@"
    ;;
  test)
    install_missing $TEST_PACKAGES
    build -DXAP_BUILD_TESTS=ON
    ctest --test-dir build --output-on-failure -j "$(nproc)"
    ;;
  *)
    echo "usage: $0 run [--log-level N] | $0 test" >&2
    exit 2
    ;;
esac
