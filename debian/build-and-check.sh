#!/bin/bash
# SPDX-License-Identifier: MIT
# Builds the Debian packages from a copy of the source tree, checks them with
# lintian, installs them and builds a consumer against the installed package.
#   debian/build-and-check.sh WORK_DIR
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/.." && pwd)
work=$1
rm -rf "$work"
mkdir -p "$work/tavrel"
tar -C "$source_dir" --exclude='./build*' --exclude=./.git -cf - . | tar -C "$work/tavrel" -xf -
(cd "$work/tavrel" && DEB_BUILD_OPTIONS="parallel=$(nproc)" dpkg-buildpackage -us -uc -b)
# lintian exits non-zero on errors only, with these options.
lintian --fail-on error --suppress-tags-from-file /dev/null "$work"/tavrel_*.changes
apt-get install -y "$work"/libtavrel1_*.deb "$work"/libtavrel-dev_*.deb "$work"/tavrel-tools_*.deb
tavrel-call --help >/dev/null
cmake -S "$source_dir/tests/consumer" -B "$work/consumer"
cmake --build "$work/consumer"
"$work/consumer/consumer"
echo "the packages built, passed lintian, installed, tavrel-call ran, and a consumer built against them ran"
