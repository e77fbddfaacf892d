#!/usr/bin/env bash
# Builds CPython against musl, with the zlib (pip unpacks wheels with it) and
# libffi (ctypes, which the suite needs) that Debian's source packages give,
# inside the sid-musl test root:
#
#   tools/wheels/musl-python.sh [--disable-gil] x86_64 PREFIX SOURCE
#   tools/wheels/musl-python.sh [--disable-gil] aarch64 PREFIX SOURCE ZIG BUILD_PYTHON
#
# SOURCE is a CPython source tarball, or the name of the Debian source package
# of a CPython that has none here (python3.15): its upstream tarball is then
# taken from Debian's archive. --disable-gil builds the free-threaded one.
# x86_64 is built natively by Debian's musl-gcc.
# aarch64 is cross-compiled by Zig's clang for aarch64-linux-musl, linked
# dynamically (a static interpreter cannot load extension modules), with
# BUILD_PYTHON (the same CPython, built for this machine) running the build's
# Python steps; it runs under QEMU user emulation with the root's arm64 musl
# loader, which this script puts at /lib/ld-musl-aarch64.so.1.
# The libraries are linked statically into the interpreter's extension
# modules. A failed build leaves nothing at PREFIX.
set -euo pipefail

configure_args=()
[[ $1 == --disable-gil ]] && { configure_args+=(--disable-gil); shift; }
arch=$1 prefix=$2 tarball=$3
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd -P)
sources=/opt/musl-sources deps=$prefix-deps

# The library sources, once per root.
if [[ ! -f $sources/.done ]]; then
    read -r _ mirror suite _ < <(grep -m 1 '^deb ' /etc/apt/sources.list)
    echo "deb-src $mirror $suite main" >/etc/apt/sources.list.d/orvanecrypto-src.list
    apt-get update -q
    rm -rf "$sources" && mkdir -p "$sources" && cd "$sources"
    # Only the upstream tarballs are used; a missing Debian part (the
    # archive has been seen to lack libffi's) does not matter.
    apt-get source --download-only zlib libffi || true
    ls zlib_*.orig.tar.* libffi_*.orig.tar.* || { echo "musl-python.sh: no zlib or libffi source tarball" >&2; exit 1; }
    touch .done
fi
if [[ ! -f $tarball ]]; then
    (cd "$sources" && { ls "$tarball"_*.orig.tar.* >/dev/null 2>&1 \
        || { apt-get update -q && apt-get source --download-only "$tarball"; } || true; })
    found=$(ls "$sources/$tarball"_*.orig.tar.* 2>/dev/null | head -n 1)
    [[ -n $found ]] || { echo "musl-python.sh: no source tarball of $tarball" >&2; exit 1; }
    tarball=$found
fi

work=$(mktemp -d /tmp/musl-python.XXXXXX)
trap 'rm -rf "$work"' EXIT
rm -rf "$deps" "$prefix"

case $arch in
    x86_64)
        host_args=()
        # musl-gcc is GCC with musl's headers and libraries; asked for its
        # multiarch name it answers GCC's, which CPython's configure refuses
        # next to the musl triplet it detects.
        mkdir -p "$work/bin"
        printf '#!/bin/sh\n[ "$1" = --print-multiarch ] && { echo x86_64-linux-musl; exit 0; }\nexec musl-gcc "$@"\n' \
            >"$work/bin/cc"
        chmod +x "$work/bin/cc"
        export CC=$work/bin/cc AR=ar RANLIB=ranlib
        ;;
    aarch64)
        zig=$4 build_python=$5
        mkdir -p "$work/bin"
        # (Zig's clang makes __DATE__ an error, for reproducible builds; the
        # interpreter's build information uses it.)
        printf '#!/bin/sh\nexec %q cc -target aarch64-linux-musl -dynamic -Wno-date-time "$@"\n' "$zig" >"$work/bin/cc"
        printf '#!/bin/sh\nexec %q c++ -target aarch64-linux-musl -dynamic "$@"\n' "$zig" >"$work/bin/c++"
        for tool in ar ranlib; do printf '#!/bin/sh\nexec %q %s "$@"\n' "$zig" "$tool" >"$work/bin/$tool"; done
        chmod +x "$work/bin"/*
        export CC=$work/bin/cc CXX=$work/bin/c++ AR=$work/bin/ar RANLIB=$work/bin/ranlib
        # CPython's configure tells musl by a macro of musl's stdarg.h, which
        # clang's own stdarg.h stands in for: its preprocessor run is told so.
        export CPP="$work/bin/cc -E -D__DEFINED_va_list"
        export ZIG_GLOBAL_CACHE_DIR=$work/zig-cache
        # Autoconf cannot probe the target's device files from here.
        host_args=(--host=aarch64-linux-musl --build=x86_64-pc-linux-gnu --with-build-python="$build_python"
                   ac_cv_file__dev_ptmx=yes ac_cv_file__dev_ptc=no ac_cv_buggy_getaddrinfo=no)
        # The loader that runs the interpreter under emulation: the root's
        # release of musl for arm64, unpacked from its package.
        if [[ ! -e /lib/ld-musl-aarch64.so.1 ]]; then
            dpkg --add-architecture arm64
            apt-get update -q
            (cd "$work" && apt-get download musl:arm64)
            dpkg-deb -x "$work"/musl_*_arm64.deb "$work/musl-arm64"
            cp -a "$work"/musl-arm64/usr/lib/aarch64-linux-musl /usr/lib/
            ln -sf /usr/lib/aarch64-linux-musl/libc.so /lib/ld-musl-aarch64.so.1
        fi
        ;;
    *) echo "musl-python.sh: unknown architecture $arch" >&2; exit 2 ;;
esac
triplet=$arch-linux-musl

mkdir -p "$work/zlib" "$work/libffi"
tar -xf "$sources"/zlib_*.orig.tar.* -C "$work/zlib" --strip-components=1
tar -xf "$sources"/libffi_*.orig.tar.* -C "$work/libffi" --strip-components=1
# (zlib's configure probes in C17: with C23's stricter declarations its probes
# fail and it leaves errno out.)
(cd "$work/zlib" && CFLAGS="-O2 -fPIC -std=gnu17" ./configure --static --prefix="$deps" && make -j"$(nproc)" && make install)
# (Debian's libffi tarball is the project's repository, without the
# generated configure. Its static trampolines want the kernel's headers,
# which musl-gcc does not search.)
(cd "$work/libffi" && { [[ -x configure ]] || autoreconf -fi >/dev/null; } && CFLAGS="-O2 -fPIC" ./configure --host="$triplet" --prefix="$deps" --libdir="$deps/lib" \
    --disable-shared --enable-static --disable-docs --disable-exec-static-tramp && make -j"$(nproc)" && make install)

export CPPFLAGS="-I$deps/include" LDFLAGS="-L$deps/lib"
export ZLIB_CFLAGS="-I$deps/include" ZLIB_LIBS="-L$deps/lib -lz"
export LIBFFI_CFLAGS="-I$deps/include" LIBFFI_LIBS="-L$deps/lib -lffi"
/bin/bash "$here/build-python.sh" "$tarball" "$prefix" --with-ensurepip=install "${configure_args[@]}" "${host_args[@]}"
"$prefix/bin/python3" -c '
import ctypes, sysconfig, zlib
assert "musl" in sysconfig.get_config_var("SOABI"), sysconfig.get_config_var("SOABI")
print("musl CPython with zlib and ctypes:", sysconfig.get_config_var("SOABI"))'
