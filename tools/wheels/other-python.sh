#!/usr/bin/env bash
# Builds a CPython for a platform that the test roots have no interpreter for,
# with the zlib (pip unpacks wheels with it) and libffi (ctypes, which the
# suite needs) that Debian's source packages give, inside the sid-musl test
# root:
#
#   tools/wheels/other-python.sh [OPTIONS] x86_64-linux-musl PREFIX TARBALL
#   tools/wheels/other-python.sh [OPTIONS] aarch64-linux-musl PREFIX TARBALL ZIG BUILD_PYTHON
#   tools/wheels/other-python.sh [OPTIONS] aarch64-linux-gnu PREFIX TARBALL ZIG BUILD_PYTHON
#
# x86_64 musl is built natively by Debian's musl-gcc. The aarch64 ones are
# cross-compiled by Zig's clang, linked dynamically (a static interpreter
# cannot load extension modules), with BUILD_PYTHON (the same CPython version,
# built for this machine) running the build's Python steps; they run under
# QEMU user emulation with the root's arm64 musl loader, which this script
# puts at /lib/ld-musl-aarch64.so.1, or with Debian's arm64 glibc, installed
# beside the root's own (multiarch).
#
# TARBALL is a CPython source tarball. Options: --disable-gil builds the
# free-threaded one; --small a quicker build for the known answers only.
# The libraries are linked statically into the interpreter's extension
# modules. A failed build leaves nothing at PREFIX.
set -euo pipefail

configure_args=()
while [[ $1 == --* ]]; do
    case $1 in
        --disable-gil) configure_args+=(--disable-gil) ;;
        # For a short check only: no test modules.
        --small) configure_args+=(--disable-test-modules) ;;
        *) echo "other-python.sh: unknown option $1" >&2; exit 2 ;;
    esac
    shift
done
target=$1 prefix=$2 tarball=$3
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
    ls zlib_*.orig.tar.* libffi_*.orig.tar.* || { echo "other-python.sh: no zlib or libffi source tarball" >&2; exit 1; }
    touch .done
fi

work=$(mktemp -d /tmp/other-python.XXXXXX)
trap 'rm -rf "$work"' EXIT
rm -rf "$deps" "$prefix"

# The arm64 loader and C library that run the interpreter under emulation.
arm64_runtime() {
    local package=$1 loader=$2
    [[ -e $loader ]] && return
    dpkg --add-architecture arm64
    apt-get update -q
    if [[ $package == musl ]]; then
        # The root's release of musl for arm64, unpacked from its package.
        (cd "$work" && apt-get download musl:arm64)
        dpkg-deb -x "$work"/musl_*_arm64.deb "$work/musl-arm64"
        cp -a "$work"/musl-arm64/usr/lib/aarch64-linux-musl /usr/lib/
        ln -sf /usr/lib/aarch64-linux-musl/libc.so "$loader"
    else
        DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends libc6:arm64
    fi
}

mkdir -p "$work/bin"
case $target in
    x86_64-linux-musl)
        host_args=()
        # musl-gcc is GCC with musl's headers and libraries; asked for its
        # multiarch name it answers GCC's, which CPython's configure refuses
        # next to the musl triplet it detects.
        printf '#!/bin/sh\n[ "$1" = --print-multiarch ] && { echo x86_64-linux-musl; exit 0; }\nexec musl-gcc "$@"\n' \
            >"$work/bin/cc"
        chmod +x "$work/bin/cc"
        export CC=$work/bin/cc AR=ar RANLIB=ranlib
        ;;
    aarch64-linux-musl | aarch64-linux-gnu)
        zig=$4 build_python=$5
        # (Zig's clang makes __DATE__ an error, for reproducible builds; the
        # interpreter's build information uses it.)
        printf '#!/bin/sh\nexec %q cc -target %s -dynamic -Wno-date-time "$@"\n' "$zig" "$target" >"$work/bin/cc"
        printf '#!/bin/sh\nexec %q c++ -target %s -dynamic "$@"\n' "$zig" "$target" >"$work/bin/c++"
        for tool in ar ranlib; do printf '#!/bin/sh\nexec %q %s "$@"\n' "$zig" "$tool" >"$work/bin/$tool"; done
        chmod +x "$work/bin"/*
        export CC=$work/bin/cc CXX=$work/bin/c++ AR=$work/bin/ar RANLIB=$work/bin/ranlib
        # One cache for every cross build in this root: Zig builds the
        # target's C library and runtime once, not once per interpreter.
        export ZIG_GLOBAL_CACHE_DIR=/opt/zig-cache
        # Autoconf cannot probe the target's device files from here.
        host_args=(--host="$target" --build=x86_64-pc-linux-gnu --with-build-python="$build_python"
                   ac_cv_file__dev_ptmx=yes ac_cv_file__dev_ptc=no ac_cv_buggy_getaddrinfo=no)
        if [[ $target == *musl ]]; then
            # CPython's configure tells musl by a macro of musl's stdarg.h,
            # which clang's own stdarg.h stands in for: its preprocessor run
            # is told so.
            export CPP="$work/bin/cc -E -D__DEFINED_va_list"
            arm64_runtime musl /lib/ld-musl-aarch64.so.1
        else
            arm64_runtime libc6 /lib/ld-linux-aarch64.so.1
        fi
        ;;
    *) echo "other-python.sh: unknown target $target" >&2; exit 2 ;;
esac
triplet=$target

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
"$prefix/bin/python3" - "$target" <<'EOF'
import ctypes, sys, sysconfig, zlib
soabi = sysconfig.get_config_var("SOABI")
assert soabi.endswith("-" + sys.argv[1]), soabi
print("CPython with zlib and ctypes:", soabi)
EOF
