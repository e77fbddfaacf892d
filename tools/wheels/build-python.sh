#!/usr/bin/env bash
# Builds CPython from a source tarball into PREFIX inside a test root, for
# trying the release wheels where the distribution has no such interpreter:
#
#   tools/wheels/build-python.sh TARBALL PREFIX [CONFIGURE_ARGS...]
#
# (--disable-gil for the free-threaded build; CC=musl-gcc in the environment
# for one linked against musl). A failed build leaves nothing at PREFIX.
#
# These interpreters only host the module's tests, so their own speed matters
# little: -O1 without debugging information (unless OPT is set) takes about
# 60 % of the time of CPython's default -O3 -g (77 s against 124 s for 3.14 in
# the bullseye root on two cores).
set -euo pipefail
export OPT=${OPT:--DNDEBUG -O1 -fwrapv}

tarball=$1 prefix=$2
shift 2
work=$(mktemp -d /tmp/cpython-build.XXXXXX)
trap 'rm -rf "$work"' EXIT

tar -xf "$tarball" -C "$work" --strip-components=1
cd "$work"
rm -rf "$prefix"
./configure --prefix="$prefix" "$@"
make -j"$(nproc)"
if ! make install; then rm -rf "$prefix"; exit 1; fi
"$prefix/bin/python3" -c 'import sys, sysconfig; print(sys.version, sysconfig.get_config_var("SOABI"))'
