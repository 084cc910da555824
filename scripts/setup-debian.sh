#!/usr/bin/env bash
# Installs every Debian 12 package the project needs to build, test, benchmark and run
# the demo. Safe to run again. Run it as root, or as a user: it then runs itself again
# through sudo, which a fresh machine's root shell may not have.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null 2>&1; then
    exec sudo DEBIAN_FRONTEND=noninteractive "$0" "$@"
  fi
  echo "setup-debian.sh: needs root; run it as root (su -c $0) or install sudo" >&2
  exit 1
fi
apt-get update
apt-get install -y --no-install-recommends \
  build-essential cmake ninja-build pkg-config git ccache \
  clang clang-format libclang-rt-14-dev \
  libgtest-dev libgmock-dev googletest libbenchmark-dev \
  libssl-dev libsodium-dev libsqlite3-dev sqlite3 libenet-dev \
  libasound2-dev alsa-utils libswscale-dev libavutil-dev \
  qt6-base-dev qt6-base-dev-tools qt6-declarative-dev libqt6opengl6-dev \
  libgl-dev libxkbcommon-dev \
  libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev libgstreamer-plugins-bad1.0-dev \
  gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-x \
  gstreamer1.0-plugins-bad gstreamer1.0-plugins-ugly gstreamer1.0-libav \
  xvfb xauth iproute2 nftables procps psmisc sox ffmpeg \
  libcli11-dev lintian fakeroot dpkg-dev systemd
