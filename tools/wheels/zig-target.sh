#!/usr/bin/env bash
# Prepares one target of the release wheels for Zig's toolchain (its clang,
# libc++ and C libraries), inside the build root:
#
#   tools/wheels/zig-target.sh ZIG TARGET DIR
#
# TARGET is Zig's name: x86_64-linux-gnu.2.17, aarch64-linux-gnu.2.17,
# x86_64-linux-musl or aarch64-linux-musl. DIR receives compiler wrappers
# (CMake and Botan's configure take a program, not a command with arguments)
# and toolchain.cmake for CMAKE_TOOLCHAIN_FILE.
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

zig=$1 target=$2 dir=$3
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd -P)
case $target in
    x86_64-linux-*) processor=x86_64 ;;
    aarch64-linux-*) processor=aarch64 ;;
    *) echo "zig-target.sh: unknown target $target" >&2; exit 2 ;;
esac

rm -rf "$dir.partial"
mkdir -p "$dir.partial/bin"
for tool in cc c++; do
    printf '#!/bin/sh\nexec %q %s -target %s "$@"\n' "$zig" "$tool" "$target" >"$dir.partial/bin/$tool"
done
for tool in ar ranlib; do
    printf '#!/bin/sh\nexec %q %s "$@"\n' "$zig" "$tool" >"$dir.partial/bin/$tool"
done
chmod +x "$dir.partial/bin"/*

# Zig's libc++ carries debug information, which a wheel does not need.
link_flags=(-Wl,--strip-debug)
botan_args=()
libc_soname=
[[ $target == *-musl ]] && libc_soname=libc.musl-$processor.so.1
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
        "$dir.partial/bin/cc" -shared -nostdlib -Wl,-soname,libgcc_s.so.1 \
            "-Wl,--version-script=$here/gcc_s-stub.map" "$here/gcc_s-stub.c" -o "$dir.partial/runtime/libgcc_s.so.1"
        link_flags+=(-nostdlib++ "$dir/runtime/libc++.a" "$dir/runtime/libc++abi.a" "$dir/runtime/libgcc_s.so.1")
        # Botan's Linux target calls explicit_bzero and getentropy, which
        # glibc has from 2.25 only; without them it wipes with volatile
        # stores and reads random bytes through the getrandom system call.
        botan_args=(--without-os-features=explicit_bzero,getentropy)
        ;;
esac

# Debian's pyconfig.h includes the one of the compiler's target architecture
# from the multiarch directory /usr/include/<triplet>, which Zig, a cross
# compiler, does not search, and which has none for a foreign target. The
# configuration describes the interpreter's build; what the headers take from
# it for an extension (type sizes, the GIL and debug ABI) is the same on the
# 64-bit little-endian Linux targets, so the host's stands in for the arm64
# targets too (the arm64 wheels' suite runs under QEMU).
for header in /usr/include/x86_64-linux-gnu/python3.*/pyconfig.h; do
    [[ -f $header ]] || continue
    version=$(basename "$(dirname "$header")")
    mkdir -p "$dir.partial/pyconfig/$processor-linux-gnu/$version"
    printf '#include "%s"\n' "$header" >"$dir.partial/pyconfig/$processor-linux-gnu/$version/pyconfig.h"
done
compile_flags="-idirafter $dir/pyconfig"

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
