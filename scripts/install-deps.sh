#!/bin/sh
# Installs the Debian packages the build and the tests need, only when some are missing.
# `install-deps.sh aarch64`: those of the 64-bit ARM edition instead (the cross toolchain,
# the arm64 libraries through multiarch, qemu-user with its binfmt entry), and Debian's
# arm64 lv2apply unpacked into /opt/vgs-arm64/lilv-utils, since lilv-utils:arm64 cannot
# be installed beside the amd64 one.
set -e
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO=sudo
if [ "$1" = "aarch64" ]; then
  PKGS="g++-aarch64-linux-gnu binutils-aarch64-linux-gnu qemu-user qemu-user-binfmt \
  libc6:arm64 libstdc++6:arm64 libx11-dev:arm64 libcairo2-dev:arm64 libsndfile1-dev:arm64 libgtest-dev:arm64 \
  libbenchmark-dev:arm64 libfftw3-dev:arm64 libfontconfig-dev:arm64 liblilv-0-0:arm64 \
  dpkg-dev lv2-dev xvfb"
  LILV_ARM64=/opt/vgs-arm64/lilv-utils
  missing=""
  for p in $PKGS; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
  done
  if [ -n "$missing" ]; then
    echo "installing:$missing"
    dpkg --print-foreign-architectures | grep -qx arm64 || $SUDO dpkg --add-architecture arm64
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $missing
  fi
  if [ ! -x "$LILV_ARM64/usr/bin/lv2apply" ]; then
    tmp=$(mktemp -d) && chmod 755 "$tmp"
    (cd "$tmp" && apt-get download lilv-utils:arm64 >/dev/null)
    $SUDO mkdir -p "$LILV_ARM64"
    $SUDO dpkg -x "$tmp"/lilv-utils_*_arm64.deb "$LILV_ARM64"
    rm -rf "$tmp"
  fi
  # Without a running systemd (containers, CI machines) the kernel learns qemu's binfmt
  # entry here, so that aarch64 programs start one another as on an ARM machine.
  if [ ! -e /proc/sys/fs/binfmt_misc/qemu-aarch64 ]; then
    [ -e /proc/sys/fs/binfmt_misc/register ] || $SUDO mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
    # The entry file's line is in the kernel's register format.
    $SUDO sh -c 'cat /usr/lib/binfmt.d/qemu-aarch64.conf > /proc/sys/fs/binfmt_misc/register'
  fi
  exit 0
fi
PKGS="build-essential cmake pkg-config libgtest-dev libbenchmark-dev libx11-dev \
  libsndfile1-dev libcairo2-dev libfftw3-dev fonts-dejavu-core clang libclang-rt-14-dev \
  xvfb xfonts-base xdotool x11-utils ardour nlohmann-json3-dev lintian openbox \
  lv2-dev lilv-utils jalv jackd2 sordi valgrind libasound2 libfreetype6 libfontconfig1 \
  libpng16-16 python3"
missing=""
for p in $PKGS; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
echo "installing:$missing"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $missing
