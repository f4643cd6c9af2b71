#!/usr/bin/env bash
# Installs, with apt, every Debian package the build, the tests and the
# scan need, skipping what is already there.
set -euo pipefail

packages=(
  build-essential g++ cmake ninja-build pkg-config
  clang libclang-rt-14-dev            # libFuzzer and the sanitizers' runtime
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  libsane-dev libjpeg62-turbo-dev libpng-dev
  libssl-dev openssl                  # TLS channels, the simulator's TLS
  sane-utils libsane1 sane-airscan    # scanimage, peer backends for checks
  valgrind binutils procps time strace curl
  libavahi-client-dev avahi-daemon avahi-utils dbus-daemon iproute2  # DNS-SD discovery and its tests
)

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null || true)
  [ "$status" = "installed" ] || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
fi
