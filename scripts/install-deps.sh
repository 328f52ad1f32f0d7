#!/bin/sh
# Installs the Debian packages the build and the tests need, only when some are missing.
set -e
PKGS="build-essential cmake pkg-config libgtest-dev libbenchmark-dev libx11-dev \
  libsndfile1-dev libcairo2-dev libfftw3-dev fonts-dejavu-core clang libclang-rt-14-dev \
  xvfb xfonts-base xdotool x11-utils ardour nlohmann-json3-dev lintian openbox \
  lv2-dev lilv-utils jalv jackd2 sordi valgrind libasound2 libfreetype6 libfontconfig1 \
  libpng16-16"
missing=""
for p in $PKGS; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO=sudo
echo "installing:$missing"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $missing
