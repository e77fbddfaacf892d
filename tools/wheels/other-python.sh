#!/usr/bin/env bash
# Builds a CPython for a platform that the test roots have no interpreter for,
# with the zlib (pip unpacks wheels with it) and libffi (ctypes, which the
# suite needs) that Debian's source packages give, inside the sid-musl test
# root:
#
#   tools/wheels/other-python.sh [OPTIONS] x86_64-linux-musl PREFIX TARBALL
#   tools/wheels/other-python.sh [OPTIONS] TRIPLET PREFIX TARBALL ZIG_TARGET ZIG BUILD_PYTHON DEBIAN_ARCH LOADER
#
# TRIPLET is CPython's multiarch name for the platform (tools/wheels/targets.py
# lists the interpreters built: `built-interpreters`). x86_64 musl is built
# natively by Debian's musl-gcc. The others are cross-compiled by Zig's clang
# for ZIG_TARGET, linked dynamically (a static interpreter cannot load
# extension modules), with BUILD_PYTHON (the same CPython version, built for
# this machine) running the build's Python steps; they run under QEMU user
# emulation (i386 on this machine's processor) with the C library of Debian's
# package for DEBIAN_ARCH: musl's unpacked into the root with its loader at
# LOADER, or Debian's glibc installed beside the root's own (multiarch).
#
# TARBALL is a CPython source tarball. Options: --disable-gil builds the
# free-threaded one; --small a quicker build for the known answers only.
# The libraries are linked statically into the interpreter's extension
# modules. A failed build leaves nothing at PREFIX.
set -euo pipefail

configure_args=() ensurepip=install
while [[ $1 == --* ]]; do
    case $1 in
        --disable-gil) configure_args+=(--disable-gil) ;;
        # For a short check only: no test modules, and no pip in the
        # interpreter itself (a venv gets its own; installing it runs under
        # emulation for the cross builds).
        --small) configure_args+=(--disable-test-modules) ensurepip=no ;;
        *) echo "other-python.sh: unknown option $1" >&2; exit 2 ;;
    esac
    shift
done
triplet=$1 prefix=$2 tarball=$3
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

# The loader and C library of the target's architecture that run the
# interpreter under emulation.
target_runtime() {
    local debian_arch=$1 libc=$2 loader=$3
    [[ -e $loader ]] && return
    dpkg --add-architecture "$debian_arch"
    apt-get update -q
    if [[ $libc == musl ]]; then
        # The root's release of musl for that architecture, unpacked from its package.
        (cd "$work" && apt-get download "musl:$debian_arch")
        dpkg-deb -x "$work"/musl_*_"$debian_arch".deb "$work/musl-$debian_arch"
        cp -a "$work/musl-$debian_arch/usr/lib/$triplet" /usr/lib/
        ln -sf "/usr/lib/$triplet/libc.so" "$loader"
    else
        DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "libc6:$debian_arch"
    fi
}

mkdir -p "$work/bin"
if [[ $triplet == x86_64-linux-musl ]]; then
    host_args=()
    # musl-gcc is GCC with musl's headers and libraries; asked for its
    # multiarch name it answers GCC's, which CPython's configure refuses
    # next to the musl triplet it detects.
    printf '#!/bin/sh\n[ "$1" = --print-multiarch ] && { echo x86_64-linux-musl; exit 0; }\nexec musl-gcc "$@"\n' \
        >"$work/bin/cc"
    chmod +x "$work/bin/cc"
    export CC=$work/bin/cc AR=ar RANLIB=ranlib
else
    (($# == 8)) || { echo "other-python.sh: a cross build takes ZIG_TARGET ZIG BUILD_PYTHON DEBIAN_ARCH LOADER" >&2; exit 2; }
    zig_target=$4 zig=$5 build_python=$6 debian_arch=$7 loader=$8
    # (Zig's clang makes __DATE__ an error, for reproducible builds; the
    # interpreter's build information uses it.)
    printf '#!/bin/sh\nexec %q cc -target %s -dynamic -Wno-date-time "$@"\n' "$zig" "$zig_target" >"$work/bin/cc"
    printf '#!/bin/sh\nexec %q c++ -target %s -dynamic "$@"\n' "$zig" "$zig_target" >"$work/bin/c++"
    for tool in ar ranlib; do printf '#!/bin/sh\nexec %q %s "$@"\n' "$zig" "$tool" >"$work/bin/$tool"; done
    chmod +x "$work/bin"/*
    export CC=$work/bin/cc CXX=$work/bin/c++ AR=$work/bin/ar RANLIB=$work/bin/ranlib
    # One cache for every cross build in this root: Zig builds each
    # target's C library and runtime once, not once per interpreter.
    export ZIG_GLOBAL_CACHE_DIR=/opt/zig-cache
    # Autoconf cannot probe the target's device files from here.
    host_args=(--host="$triplet" --build=x86_64-pc-linux-gnu --with-build-python="$build_python"
               ac_cv_file__dev_ptmx=yes ac_cv_file__dev_ptc=no ac_cv_buggy_getaddrinfo=no)
    if [[ $triplet == *-musl* ]]; then
        # CPython's configure tells musl by a macro of musl's stdarg.h,
        # which clang's own stdarg.h stands in for: its preprocessor run
        # is told so.
        export CPP="$work/bin/cc -E -D__DEFINED_va_list"
        target_runtime "$debian_arch" musl "$loader"
    else
        target_runtime "$debian_arch" glibc "$loader"
    fi
fi

mkdir -p "$work/zlib" "$work/libffi"
tar -xf "$sources"/zlib_*.orig.tar.* -C "$work/zlib" --strip-components=1
tar -xf "$sources"/libffi_*.orig.tar.* -C "$work/libffi" --strip-components=1
# (zlib's configure probes in C17: with C23's stricter declarations its probes
# fail and it leaves errno out.)
# (Debian's zlib source leaves out contrib/, where s390x's vector CRC code
# lives: built without it.)
zlib_args=()
grep -q -e '--disable-crcvx' "$work/zlib/configure" && zlib_args+=(--disable-crcvx)
(cd "$work/zlib" && CFLAGS="-O2 -fPIC -std=gnu17" ./configure --static --prefix="$deps" "${zlib_args[@]}" && make -j"$(nproc)" && make install)
# (Debian's libffi tarball is the project's repository, without the
# generated configure. Its static trampolines want the kernel's headers,
# which musl-gcc does not search.) lld refuses PC-relative references to a
# symbol that could be preempted in a shared object, as libffi's assembly
# makes them on s390x (to its C helpers) and i386 (to its pc thunk): there
# its C symbols are hidden (it is linked into _ctypes alone) and the
# extension modules bind their own symbols to themselves, as GNU ld would
# through the PLT.
ffi_cflags="-O2 -fPIC"
case $triplet in
    s390x-*) ffi_cflags+=" -fvisibility=hidden" ;;
    i386-*) export LDFLAGS_NODIST="-Wl,-Bsymbolic" ;;
esac
(cd "$work/libffi" && { [[ -x configure ]] || autoreconf -fi >/dev/null; } && CFLAGS=$ffi_cflags ./configure --host="$triplet" --prefix="$deps" --libdir="$deps/lib" \
    --disable-shared --enable-static --disable-docs --disable-exec-static-tramp && make -j"$(nproc)" && make install)

export CPPFLAGS="-I$deps/include" LDFLAGS="-L$deps/lib"
export ZLIB_CFLAGS="-I$deps/include" ZLIB_LIBS="-L$deps/lib -lz"
export LIBFFI_CFLAGS="-I$deps/include" LIBFFI_LIBS="-L$deps/lib -lffi"
/bin/bash "$here/build-python.sh" "$tarball" "$prefix" --with-ensurepip=$ensurepip "${configure_args[@]}" "${host_args[@]}"
"$prefix/bin/python3" - "$triplet" <<'EOF'
import ctypes, sys, sysconfig, zlib
soabi = sysconfig.get_config_var("SOABI")
assert soabi.endswith("-" + sys.argv[1]), soabi
print("CPython with zlib and ctypes:", soabi)
EOF
