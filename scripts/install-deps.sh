#!/bin/sh
# Installs the Debian packages the build and the test suite need, calling
# apt-get only when one of them is missing. Works as root on a fresh Debian 12
# machine; an ordinary user needs sudo.
set -eu

packages="build-essential cmake pkg-config make git
  libgtest-dev googletest
  libcpp-httplib-dev libssl-dev libapr1-dev libaprutil1-dev libpcre2-dev
  apache2 apache2-dev libapache2-mod-php
  python3 openssl curl ca-certificates
  clang libclang-rt-14-dev valgrind strace linux-perf
  wrk nginx-core gnuplot-nox
  php8.2-fpm php8.2-cgi libapache2-mod-fcgid nghttp2-client
  clang-format shellcheck flake8
  prometheus"

missing=""
for p in $packages; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing="$missing $p"
  fi
done

if [ -z "$missing" ]; then
  exit 0
fi

echo "installing:$missing"
sudo=""
if [ "$(id -u)" -ne 0 ]; then
  sudo="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
# shellcheck disable=SC2086
$sudo apt-get install -y -qq --no-install-recommends $missing
