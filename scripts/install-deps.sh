#!/usr/bin/env bash
# Installs every Debian package the project needs to build, test, benchmark and
# generate its decoder sets. Safe to run again: packages already present are
# left alone and the package lists are only refreshed when something is missing.
set -euo pipefail

packages=(
  build-essential cmake pkg-config git
  libgtest-dev libgmock-dev libbenchmark-dev
  libfftw3-dev
  libopenblas-serial-dev libopenblas0-serial
  libsndfile1-dev libsamplerate0-dev
  libmysofa-dev libmysofa1
  nettle-dev
  libzita-convolver-dev
  lv2-dev liblilv-dev lilv-utils sordi
  jalv jackd2
  ardour
  sox gnuplot-nox
  clang-14 libclang-rt-14-dev
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all ${#packages[@]} packages present"
  exit 0
fi

as_root=()
if [ "$(id -u)" -ne 0 ]; then
  as_root=(sudo)
fi

echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update -qq
"${as_root[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
