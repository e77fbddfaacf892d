#!/usr/bin/env bash
# Prepares one target of the release wheels for Zig's toolchain (its clang,
# libc++ and C libraries), inside the build root:
#
#   tools/wheels/zig-target.sh ZIG TARGET DIR DEBIAN
#
# TARGET is Zig's name of a row of tools/wheels/targets.py, which gives its
# processor, the baseline processor the code may assume and CPython's
# multiarch name. DIR receives compiler wrappers (CMake and Botan's configure
# take a program, not a command with arguments) and toolchain.cmake for
# CMAKE_TOOLCHAIN_FILE. DEBIAN is a tree holding Debian's files of the
# target's architecture: the interpreters' pyconfig.h and, for the targets
# other than x86-64 and arm64, libgcc_s.so.1.
#
# glibc: libc++ and libc++abi are linked from archives and the unwinder is the
# system's shared libgcc_s.so.1 (glibc unwinds an exiting or cancelled thread
# with it; Zig would otherwise link its own libunwind, whose personality
# routines then crash inside that unwind). The archives come from Zig's cache,
# where a throwaway link puts them; the module links against a stub of
# libgcc_s built here.
# musl: Zig's defaults (libc++, libc++abi and libunwind linked statically; no
# libgcc_s, which musllinux wheels may not need).
set -euo pipefail

zig=$1 target=$2 dir=$3 debian=$4
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd -P)
fields=$(python3 "$here/targets.py" shell "$target") || exit 2
# processor, zig_cpu, triplet, libc, host_triplet, ...
eval "$fields"

rm -rf "$dir.partial"
mkdir -p "$dir.partial/bin"
# The baseline processor, unless Zig's default for the target is it.
cpu_flag=${zig_cpu:+-mcpu=$zig_cpu}
for tool in cc c++; do
    printf '#!/bin/sh\nexec %q %s -target %s %s "$@"\n' "$zig" "$tool" "$target" "$cpu_flag" >"$dir.partial/bin/$tool"
done
for tool in ar ranlib; do
    printf '#!/bin/sh\nexec %q %s "$@"\n' "$zig" "$tool" >"$dir.partial/bin/$tool"
done
chmod +x "$dir.partial/bin"/*

# Zig's libc++ carries debug information, which a wheel does not need.
link_flags=(-Wl,--strip-debug)
botan_args=()
libc_soname=
[[ $libc == musl ]] && libc_soname=libc.musl-$musl_name.so.1
case $target in
    *-linux-gnu.*)
        scratch=$(mktemp -d)
        trap 'rm -rf "$scratch"' EXIT
        echo 'int main() { try { throw 1; } catch (int) { return 0; } }' >"$scratch/probe.cpp"
        # Optimised: Zig builds its libc++ in the mode of the program it links.
        (cd "$scratch" && ZIG_VERBOSE_LINK=1 "$dir.partial/bin/c++" -O2 probe.cpp -o probe) 2>"$scratch/link.txt"
        mkdir -p "$dir.partial/runtime"
        for archive in libc++.a libc++abi.a; do
            path=$(tr ' ' '\n' <"$scratch/link.txt" | grep "/$archive\$" | head -n 1)
            [[ -n $path && -f $path ]] || { echo "zig-target.sh: Zig's link line names no $archive" >&2; exit 1; }
            cp "$path" "$dir.partial/runtime/$archive"
        done
        if [[ $processor == x86_64 || $processor == aarch64 ]]; then
            "$dir.partial/bin/cc" -shared -nostdlib -Wl,-soname,libgcc_s.so.1 \
                "-Wl,--version-script=$here/gcc_s-stub.map" "$here/gcc_s-stub.c" -o "$dir.partial/runtime/libgcc_s.so.1"
        else
            # Elsewhere the unwinder's interface differs (ARM's EHABI, for
            # one) and 64-bit division comes from it too: the module links
            # against Debian's libgcc_s of that architecture, whose symbol
            # versions are those of every glibc system's.
            cp "$debian/usr/lib/$host_triplet/libgcc_s.so.1" "$dir.partial/runtime/libgcc_s.so.1" \
                || { echo "zig-target.sh: no libgcc_s.so.1 for $host_triplet in $debian" >&2; exit 1; }
        fi
        link_flags+=(-nostdlib++ "$dir/runtime/libc++.a" "$dir/runtime/libc++abi.a" "$dir/runtime/libgcc_s.so.1")
        # Botan's Linux target calls explicit_bzero and getentropy, which
        # glibc has from 2.25 only; without them it wipes with volatile
        # stores and reads random bytes through the getrandom system call.
        botan_args=(--without-os-features=explicit_bzero,getentropy)
        ;;
esac

# Debian's pyconfig.h includes the one of the compiler's target architecture
# from the multiarch directory /usr/include/<triplet>, which Zig, a cross
# compiler, does not search. Each target takes its own architecture's, from
# Debian's libpython3.x-dev of that architecture (the musl targets too: what
# an extension takes from it, type sizes and byte order, the GIL and debug
# ABI, does not depend on the C library). The module refuses to build with
# another architecture's (src/surface/interpreter_abi.hpp); the control
# below shows that it would.
found=0
for header in "$debian"/usr/include/"$host_triplet"/python3.*/pyconfig.h; do
    [[ -f $header ]] || continue
    version=$(basename "$(dirname "$header")")
    mkdir -p "$dir.partial/pyconfig/$host_triplet/$version"
    cp "$header" "$dir.partial/pyconfig/$host_triplet/$version/pyconfig.h"
    found=$((found + 1))
done
((found)) || { echo "zig-target.sh: no pyconfig.h for $host_triplet in $debian" >&2; exit 1; }
compile_flags="-idirafter $dir/pyconfig"

# The header check compiles with the target's configuration and, as its
# control, refuses the x86-64 interpreter's where pointer size or byte order
# differ.
abi_probe() {
    local config=$1 include
    printf '#include "surface/interpreter_abi.hpp"\n' >"$dir.partial/abi-probe.cpp"
    for include in "$dir.partial/pyconfig/$host_triplet"/*/; do
        [[ -f /usr/include/$(basename "$include")/Python.h ]] || continue
        "$dir.partial/bin/c++" -std=c++20 -c "$dir.partial/abi-probe.cpp" -o "$dir.partial/abi-probe.o" \
            -I"/usr/include/$(basename "$include")" -idirafter "$config" -I"$here/../../src" || return 1
    done
    rm -f "$dir.partial"/abi-probe.*
}
abi_probe "$dir.partial/pyconfig" || { echo "zig-target.sh: the module's header check fails with $target's own pyconfig.h" >&2; exit 1; }
if [[ $word != 64le ]]; then
    mkdir -p "$dir.partial/wrong-pyconfig"
    for header in /usr/include/x86_64-linux-gnu/python3.*/pyconfig.h; do
        version=$(basename "$(dirname "$header")")
        mkdir -p "$dir.partial/wrong-pyconfig/$host_triplet/$version"
        cp "$header" "$dir.partial/wrong-pyconfig/$host_triplet/$version/pyconfig.h"
    done
    if abi_probe "$dir.partial/wrong-pyconfig" 2>/dev/null; then
        echo "zig-target.sh: control failed: the module's header check accepts x86-64's pyconfig.h for $target" >&2; exit 1
    fi
    rm -rf "$dir.partial/wrong-pyconfig"
    echo "$target: the module's header check refuses x86-64's pyconfig.h (control) and accepts its own"
fi

cat >"$dir.partial/toolchain.cmake" <<CMAKE
# Written by tools/wheels/zig-target.sh for $target.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR $processor)
set(CMAKE_C_COMPILER "$dir/bin/cc")
set(CMAKE_CXX_COMPILER "$dir/bin/c++")
set(CMAKE_AR "$dir/bin/ar" CACHE FILEPATH "")
set(CMAKE_RANLIB "$dir/bin/ranlib" CACHE FILEPATH "")
set(CMAKE_C_FLAGS_INIT "$compile_flags")
set(CMAKE_CXX_FLAGS_INIT "$compile_flags")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${link_flags[*]}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${link_flags[*]}")
# The C++ runtime is linked as set above; Zig's linker has no --exclude-libs
# (the version script alone keeps the exports to the entry point).
set(ORVANECRYPTO_RUNTIME_FROM_TOOLCHAIN ON CACHE BOOL "")
set(ORVANECRYPTO_BOTAN_CONFIGURE_ARGS "${botan_args[*]}" CACHE STRING "")
set(ORVANECRYPTO_LIBC_SONAME "$libc_soname" CACHE STRING "")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
CMAKE
rm -rf "$dir"
mv "$dir.partial" "$dir"
