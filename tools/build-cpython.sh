#!/usr/bin/env bash
# Builds a free-threaded CPython from a source tarball into PREFIX, inside the
# build root (./dev for 3.14t, the tsan check for its instrumented twin).
#
#   tools/build-cpython.sh TARBALL PREFIX [CONFIGURE_ARGS...]
#
# The tarball's Tools/tsan suppression files are kept under PREFIX/share/tsan
# for ThreadSanitizer runs. A failed build leaves nothing at PREFIX.
set -euo pipefail

tarball=$1 prefix=$2
shift 2
work=$(mktemp -d /tmp/cpython-build.XXXXXX)
trap 'rm -rf "$work"' EXIT

tar -xf "$tarball" -C "$work" --strip-components=1
cd "$work"
rm -rf "$prefix"
./configure --disable-gil --prefix="$prefix" --without-ensurepip "$@"
make -j"$(nproc)"
if ! make install; then rm -rf "$prefix"; exit 1; fi
mkdir -p "$prefix/share/tsan"
cp Tools/tsan/*.txt "$prefix/share/tsan/"
"$prefix/bin/python3.14t" -c 'import sys; assert not sys._is_gil_enabled(), "the GIL is on"; print(sys.version)'
