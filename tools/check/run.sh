#!/usr/bin/env bash
# The hardening checks of `./dev check`, run inside the build environment after
# ./dev has built the module into the normal virtual environment.
#
#   ./dev check              every check, in order
#   ./dev check asan valgrind   only the named checks
#
# Each check prints a header and one result line; the run ends with
# "N passed, N failed" and exits non-zero if anything failed. Long runs:
# ORVANECRYPTO_FUZZ_EXAMPLES (default 3000 here) sets the examples per property.
set -uo pipefail

REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd -P)
CHECK_DIR=$REPO/tools/check
BUILD=$REPO/build/check
# An emulated root of another architecture (./dev --arch) shares the working
# tree: its build trees are its own.
[[ ${ORVANECRYPTO_ARCH:-native} == native ]] || BUILD+=-$ORVANECRYPTO_ARCH
NORMAL_PY=$(command -v python)                  # the venv ./dev prepared
ASAN_VENV=${ORVANECRYPTO_ASAN_VENV:-/opt/orvanecrypto-asan}
DBG_VENV=${ORVANECRYPTO_DBG_VENV:-/opt/orvanecrypto-dbg}
BUNDLED_VENV=${ORVANECRYPTO_BUNDLED_VENV:-/opt/orvanecrypto-bundled}
SEAM_VENV=${ORVANECRYPTO_SEAM_VENV:-/opt/orvanecrypto-seam}
TSAN_PREFIX=/opt/cpython-3.14t-tsan            # the instrumented free-threaded interpreter
TSAN_VENV=/opt/orvanecrypto-tsan
CPYTHON_SOURCE=/opt/src/cpython-3.14.tar.xz     # put there by ./dev check
FUZZ_EXAMPLES=${ORVANECRYPTO_FUZZ_EXAMPLES:-3000}
# Seconds of coverage-guided fuzzing of the bodies (check body-fuzz).
BODY_FUZZ_SECONDS=${ORVANECRYPTO_BODY_FUZZ_SECONDS:-90}
unset ORVANECRYPTO_FUZZ_EXAMPLES   # the other checks run the suite's own counts
export PYTHONDONTWRITEBYTECODE=1
# The checks run the suite against the module they build; the stand-alone
# wheel is built, checked and run in a bare root by ./dev test.
export ORVANECRYPTO_SKIP_WHEEL_TEST=1

ALL_CHECKS=(asan debug-python portable-cpu portable-cpu-bundled valgrind fuzz body-fuzz allocation-seam forgery-work
            native-tests static-analysis tsan constant-time registers)
# Feature names of the crypto library's CPU dispatch (its BOTAN_CLEAR_CPUID),
# so that only the portable C++ code is left: on x86-64 AES-NI, VAES on AVX2
# and AVX-512, the SHA extensions and the vector units its other fast AES and
# SHA-256 paths are built on; on arm64 the ARMv8 crypto extensions, SVE and
# NEON. Elsewhere (s390x) the library has no CPU-specific code for either.
case $(uname -m) in
    x86_64) PORTABLE_CPUID=aesni,avx2_vaes,avx512_aes,intel_sha,intel_sha512,gfni,avx512,avx2,bmi2,ssse3,sse2 ;;
    aarch64) PORTABLE_CPUID=arm_aes,arm_pmull,arm_sha1,arm_sha2,arm_sha2_512,arm_sha3,arm_sve,neon ;;
    *) PORTABLE_CPUID= ;;
esac

mkdir -p "$BUILD"
passed=0 failed=0 skipped=0 summary=()

header() { printf '\n\033[1m======== check %s: %s ========\033[0m\n' "$1" "$2"; }

# result NAME STATUS SECONDS [DETAIL]
result() {
    local line="$1: $2 in $3 s${4:+ ($4)}"
    case $2 in
        passed) passed=$((passed + 1)) ;;
        skipped) skipped=$((skipped + 1)) ;;
        *) failed=$((failed + 1)) ;;
    esac
    summary+=("$line")
    printf '\033[1m-------- %s\033[0m\n' "$line"
}

# Runs a check function; a non-zero status is a failure. The function may
# set SKIP_REASON (and return 0) to report the check as skipped.
run_check() {
    local name=$1 title=$2 fn=$3 start=$SECONDS
    header "$name" "$title"
    SKIP_REASON=
    if "$fn"; then
        if [[ -n $SKIP_REASON ]]; then
            result "$name" skipped $((SECONDS - start)) "skipped: $SKIP_REASON"
        else
            result "$name" passed $((SECONDS - start))
        fi
    else
        result "$name" failed $((SECONDS - start))
    fi
}

# pip-installs the module from the working tree into a venv, with extra
# scikit-build-core settings; the build directory is kept for the next run.
install_into() {
    local venv_py=$1; shift
    "$venv_py" -m pip install --quiet --no-build-isolation --no-deps --no-index \
        --disable-pip-version-check --root-user-action=ignore --force-reinstall "$@" "$REPO"
}

make_venv() {
    local interpreter=$1 venv=$2
    [[ -x $venv/bin/python ]] && return
    echo "creating $venv with $interpreter"
    "$interpreter" -m venv --system-site-packages "$venv"
}

pytest_in() {
    local py=$1; shift
    (cd "$REPO" && "$py" -m pytest -p no:cacheprovider "$@")
}

# test_files ARRAY FILE...: sets ARRAY to tests/FILE for each FILE, and fails,
# naming them, if any is missing: a check must not run fewer files than it says.
test_files() {
    local -n into=$1; shift
    local t missing=()
    into=()
    for t in "$@"; do
        if [[ -f $REPO/tests/$t ]]; then into+=("tests/$t"); else missing+=("tests/$t"); fi
    done
    ((${#missing[@]} == 0)) || { echo "no such test file: ${missing[*]}"; return 1; }
}

# Control of test_files: the same list with one more, missing file must fail.
test_files_control() {
    local ignored
    if test_files ignored "$@" test_renamed_probe.py >/dev/null; then
        echo "control: a missing test file went unnoticed"; return 1
    fi
    echo "control: a missing test file is refused"
}

# recording EVENTS COMMAND...: runs COMMAND, a pytest run given
# `-p named_tests`, with each test's collection, start and outcome recorded in
# EVENTS for named_tests.py to judge.
recording() {
    local events=$1; shift
    rm -f "$events"
    NAMED_TESTS_EVENTS=$events PYTHONPATH=$CHECK_DIR${PYTHONPATH:+:$PYTHONPATH} "$@"
}

# judge_named EVENTS STATUS NAME...: 0 if every named test ran and passed, 1
# if they ran and one failed (or the run stopped in one), 2 if something
# named did not run at all (tools/check/named_tests.py).
judge_named() {
    "$NORMAL_PY" "$CHECK_DIR/named_tests.py" "$@"
}

# named_tests_present NAME...: every named test is in the suite; control: the
# first one renamed, run as the check runs it, is judged not run.
named_tests_present() {
    local events=$BUILD/named-tests.events renamed=${1}_renamed status=0 judged=0
    recording "$events" pytest_in "$NORMAL_PY" -p named_tests -q --collect-only "$@" >/dev/null 2>&1
    judge_named --collected "$events" "$@" || { echo "a test named by the check is not in the suite"; return 1; }
    recording "$events" pytest_in "$NORMAL_PY" -p named_tests -q "$renamed" >/dev/null 2>&1 || status=$?
    judge_named "$events" "$status" "$renamed" >/dev/null || judged=$?
    if ((judged != 2)); then
        echo "control: the renamed $renamed (pytest exit status $status) was taken for a test that ran"; return 1
    fi
    echo "control: a renamed test (pytest exit status $status) is judged not run"
}

# ---------------------------------------------------------------------------
# 1. Address and undefined-behaviour sanitizers over the whole suite.

check_asan() {
    local libasan libstdcxx
    libasan=$(g++ -print-file-name=libasan.so) libstdcxx=$(g++ -print-file-name=libstdc++.so.6)
    [[ -f $libasan ]] || { echo "no libasan.so from g++"; return 1; }
    make_venv python3.14 "$ASAN_VENV" || return 1
    echo "building the module with -fsanitize=address,undefined into $ASAN_VENV"
    install_into "$ASAN_VENV/bin/python" \
        -Cbuild-dir="$BUILD/asan" -Ccmake.build-type=RelWithDebInfo \
        -Ccmake.define.ORVANECRYPTO_WERROR=ON \
        "-Ccmake.define.CMAKE_CXX_FLAGS=-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer" \
        "-Ccmake.define.CMAKE_MODULE_LINKER_FLAGS=-fsanitize=address,undefined" || return 1
    # The interpreter is not instrumented, so the runtime is preloaded. The
    # C++ library is preloaded after it: the runtime looks up the real
    # __cxa_throw when it starts, and the interpreter itself does not load
    # libstdc++, so the first exception thrown by the module would abort it.
    #
    # Only interpreters get the preload: python-asan sets it and runs the
    # venv's interpreter under its own name (so sys.executable, and with it
    # every Python subprocess of the tests, goes through it again), and a .pth
    # file drops it from the environment once the interpreter is up, so that
    # the C compiler, cmake and the like that some tests run stay plain. A
    # library a test preloads into its child interpreter comes after the
    # runtime, which has to be first.
    cat >"$ASAN_VENV/bin/python-asan" <<WRAPPER
#!/bin/bash
export LD_PRELOAD="$libasan $libstdcxx\${LD_PRELOAD:+ \$LD_PRELOAD}"
exec -a "\$0" "$ASAN_VENV/bin/python3.14" "\$@"
WRAPPER
    chmod +x "$ASAN_VENV/bin/python-asan"
    "$ASAN_VENV/bin/python" - "$ASAN_VENV" <<'EOF_PTH' || return 1
import pathlib, sys, sysconfig
site = pathlib.Path(sysconfig.get_paths(vars={"base": sys.argv[1], "platbase": sys.argv[1]})["purelib"])
(site / "orvanecrypto_asan_preload.pth").write_text('import os; os.environ.pop("LD_PRELOAD", None)\n')
EOF_PTH
    "$ASAN_VENV/bin/python-asan" - <<'EOF_PY' || return 1
import os, sys, orvanecrypto
maps = open("/proc/self/maps").read()
assert "libasan" in maps and "libubsan" in maps, "the sanitizer runtimes are not loaded"
assert "LD_PRELOAD" not in os.environ, "the preload would reach non-Python subprocesses"
print("sanitized module", orvanecrypto.__file__, "under", sys.executable)
EOF_PY
    # The interpreter's allocator is bypassed so that every object is a
    # malloc block ASan can watch. allocator_may_return_null: the tests that
    # exhaust memory on purpose expect malloc to fail and MemoryError to be
    # raised, where ASan would otherwise end the process.
    PYTHONMALLOC=malloc \
    ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1:exitcode=86:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1 \
    LSAN_OPTIONS=suppressions=$CHECK_DIR/lsan.supp:print_suppressions=0 \
    UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:exitcode=87 \
        pytest_in "$ASAN_VENV/bin/python-asan" -q --durations=10 tests
}

# ---------------------------------------------------------------------------
# 2. The debug interpreter: whole suite plus the reference-leak test.

check_debug_python() {
    command -v python3.14-dbg >/dev/null || { echo "python3.14-dbg is not installed"; return 1; }
    make_venv python3.14-dbg "$DBG_VENV" || return 1
    echo "building the module for $("$DBG_VENV/bin/python" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')"
    # The build defines Py_DEBUG from the interpreter (see CMakeLists.txt);
    # without it the module's own increments and decrements would not be
    # counted and the total would drift by one per object it releases.
    install_into "$DBG_VENV/bin/python" -Cbuild-dir="$BUILD/dbg" \
        -Ccmake.define.ORVANECRYPTO_WERROR=ON || return 1
    "$DBG_VENV/bin/python" - <<'EOF_PY' || return 1
import subprocess, sys, orvanecrypto
assert hasattr(sys, "gettotalrefcount"), "not a debug interpreter"
symbols = subprocess.run(["nm", "-D", "--undefined-only", orvanecrypto.__file__],
                         capture_output=True, text=True, check=True).stdout
assert "RefTotal" in symbols, "the module was not built with the debug build's reference counting"
print("debug-build module", orvanecrypto.__file__)
EOF_PY
    pytest_in "$DBG_VENV/bin/python" -q --durations=5 tests
}

# ---------------------------------------------------------------------------
# 3. The portable AES and SHA-256 code of the crypto library.

# The implementations the crypto library picks for AES-256 and SHA-256, as a
# JSON line, under the current BOTAN_CLEAR_CPUID.
crypto_providers() {
    local program=$BUILD/crypto_providers
    if [[ ! -x $program || $CHECK_DIR/crypto_providers.cpp -nt $program ]]; then
        g++ -std=c++20 -O1 -Wall -Wextra -Wpedantic -Werror "$CHECK_DIR/crypto_providers.cpp" \
            $(pkg-config --cflags --libs botan-3) -o "$program" || return 1
    fi
    "$program"
}

# Judges two runs of cpu_paths.py, FAST (the default paths) and SLOW (with
# BOTAN_CLEAR_CPUID): the same bytes, and on a processor that has the AES or
# SHA-256 instructions the portable path clearly slower. EMULATOR (the
# emulator's name, or empty) turns off the judgement by speed.
judge_cpu_paths() {
    "$NORMAL_PY" - "$@" <<'EOF'
import json, sys
fast, slow = (json.loads(a) for a in sys.argv[1:3])
emulator = sys.argv[3]
ok = True
if fast["digest"] != slow["digest"]:
    print("the two paths gave different results"); ok = False
for what in ("aes", "sha256"):
    ratio = slow[what] / fast[what]
    print(f"{what}: portable path {ratio:.1f}x the time of the default path")
    if emulator:
        print(f"{what}: not judged by speed under {emulator}; the providers above show the path")
    elif fast["cpu_has_" + what] and ratio < 1.5:
        print(f"{what}: BOTAN_CLEAR_CPUID did not change the {what} path"); ok = False
sys.exit(0 if ok else 1)
EOF
}

check_portable_cpu() {
    local fast slow unreached fast_providers slow_providers emulator
    fast_providers=$(crypto_providers) || return 1
    echo "default providers:  $fast_providers"
    if [[ $fast_providers == '{"aes": "base", "sha256": "base"}' ]]; then
        SKIP_REASON="the crypto library's AES and SHA-256 are its portable code already on $(uname -m)"
        return 0
    fi
    [[ -n $PORTABLE_CPUID ]] || { echo "no list of the crypto library's CPU features for $(uname -m)"; return 1; }
    echo "BOTAN_CLEAR_CPUID=$PORTABLE_CPUID"
    slow_providers=$(BOTAN_CLEAR_CPUID=$PORTABLE_CPUID crypto_providers) || return 1
    echo "portable providers: $slow_providers"
    [[ $slow_providers == '{"aes": "base", "sha256": "base"}' ]] \
        || { echo "BOTAN_CLEAR_CPUID=$PORTABLE_CPUID leaves a CPU-specific path"; return 1; }
    # Under emulation the instructions' speed is the emulator's, not the CPU's.
    emulator=$(cd "$REPO/tests" && "$NORMAL_PY" -c 'import emulation; print(emulation.emulator_name() or "")') || return 1
    echo "module: $(cd / && "$NORMAL_PY" -c 'import orvanecrypto; print(orvanecrypto.__file__)')"
    # First show that the setting really changes the path: the same work gives
    # the same bytes and takes clearly longer without the CPU's instructions.
    fast=$(cd "$REPO" && "$NORMAL_PY" "$CHECK_DIR/cpu_paths.py") || return 1
    slow=$(cd "$REPO" && BOTAN_CLEAR_CPUID=$PORTABLE_CPUID "$NORMAL_PY" "$CHECK_DIR/cpu_paths.py") || return 1
    echo "default:  $fast"
    echo "portable: $slow"
    judge_cpu_paths "$fast" "$slow" "$emulator" || return 1
    # Control: a run that the setting does not reach, as when the module's
    # copy of the library ignores it, must be judged unchanged.
    unreached=$(cd "$REPO" && env -u BOTAN_CLEAR_CPUID "$NORMAL_PY" "$CHECK_DIR/cpu_paths.py") || return 1
    echo "control, the setting not passed on: $unreached"
    if [[ -n $emulator ]] || ! grep -q '"cpu_has_\(aes\|sha256\)": true' <<<"$fast"; then
        echo "control: not applicable (no judgement by speed here)"
    elif judge_cpu_paths "$fast" "$unreached" "$emulator" >/dev/null; then
        echo "control: a run without the setting was taken for the portable path"; return 1
    else
        echo "control: a run without the setting is told apart"
    fi
    BOTAN_CLEAR_CPUID=$PORTABLE_CPUID pytest_in "$NORMAL_PY" -q tests
}

# ---------------------------------------------------------------------------
# 3b. The same on the wheel's build, which carries its own static Botan: the
# variable has to reach that copy, not only the system's.

check_portable_cpu_bundled() {
    make_venv python3.14 "$BUNDLED_VENV" || return 1
    echo "building the module with Botan built in into $BUNDLED_VENV"
    install_into "$BUNDLED_VENV/bin/python" -Cbuild-dir="$BUILD/bundled" \
        -Ccmake.define.ORVANECRYPTO_BOTAN=bundled -Ccmake.define.ORVANECRYPTO_WERROR=ON || return 1
    NORMAL_PY=$BUNDLED_VENV/bin/python check_portable_cpu
}

# ---------------------------------------------------------------------------
# 3c. The same on the shipped release wheel's module (`./dev wheels-test
# shipped-portable` installs it and names its venv's interpreter in
# ORVANECRYPTO_SHIPPED_PYTHON): its Botan is built by another compiler.

check_portable_cpu_shipped() {
    shipped_python || return 1
    NORMAL_PY=$ORVANECRYPTO_SHIPPED_PYTHON check_portable_cpu
}

# The venv of the shipped module: there, and its module a wheel's, not a build
# of this tree.
shipped_python() {
    [[ -x ${ORVANECRYPTO_SHIPPED_PYTHON:-} ]] \
        || { echo "ORVANECRYPTO_SHIPPED_PYTHON names no interpreter; ./dev wheels-test sets it"; return 1; }
    (cd / && "$ORVANECRYPTO_SHIPPED_PYTHON" -c '
import pathlib, sys, orvanecrypto
path = pathlib.Path(orvanecrypto.__file__)
assert path.parent == pathlib.Path(sys.prefix, "lib", "python3.14", "site-packages"), path
print("shipped module:", path)')
}

# ---------------------------------------------------------------------------
# 4. valgrind memcheck over the tests of the seven functions.

check_valgrind() {
    local files
    command -v valgrind >/dev/null || { echo "valgrind is not installed"; return 1; }
    local named=(test_call_frame.py test_ige.py test_ctr.py test_kdf.py test_pack_message.py
                 test_unpack_message.py test_refleaks.py)
    test_files files "${named[@]}" || return 1
    test_files_control "${named[@]}" || return 1
    # The tests of bulk sizes (64 KiB to 1 MiB) and the long split test are
    # left out: they run the same code as the small ones, and memcheck runs
    # the interpreter some 50 times slower. --track-origins is off for the same
    # reason; set ORVANECRYPTO_VALGRIND_ORIGINS=1 to find where an
    # uninitialised value came from.
    local deselect="not 1048576 and not 100003 and not 65536 and not any_split"
    echo "memcheck over: ${files[*]} -k '$deselect'"
    (cd "$REPO" && PYTHONMALLOC=malloc \
        valgrind --tool=memcheck --error-exitcode=99 --leak-check=full \
            --show-leak-kinds=definite --errors-for-leak-kinds=definite \
            --track-origins="$([[ ${ORVANECRYPTO_VALGRIND_ORIGINS:-} == 1 ]] && echo yes || echo no)" \
            --num-callers=30 --trace-children=no \
            --suppressions="$CHECK_DIR/valgrind-python.supp" \
            --log-file="$BUILD/valgrind.log" \
            "$NORMAL_PY" -m pytest -p no:cacheprovider -q -k "$deselect" "${files[@]}")
    local status=$?
    grep -E 'ERROR SUMMARY|definitely lost:|Invalid|uninitialised' "$BUILD/valgrind.log" | sed 's/^==[0-9]*== //' | sort | uniq -c | head -20
    ((status == 0)) || echo "memcheck findings: see $BUILD/valgrind.log"
    return $status
}

# ---------------------------------------------------------------------------
# 5-7, 9. Property-based fuzzing, forgery, fault injection and threads, with
# more examples than the normal suite.

check_fuzz() {
    local files
    local named=(test_fuzz.py test_forgery.py test_fault_injection.py test_threads.py)
    test_files files "${named[@]}" || return 1
    test_files_control "${named[@]}" || return 1
    echo "ORVANECRYPTO_FUZZ_EXAMPLES=$FUZZ_EXAMPLES over: ${files[*]}"
    ORVANECRYPTO_FUZZ_EXAMPLES=$FUZZ_EXAMPLES pytest_in "$NORMAL_PY" -q --durations=5 "${files[@]}"
}

# ---------------------------------------------------------------------------
# 7b. libFuzzer over the bodies with no interpreter (tools/check/body_fuzzer.cpp),
# built with AddressSanitizer and UndefinedBehaviorSanitizer and compared with
# a model on OpenSSL's libcrypto, for a fixed time from the seed corpus. Then
# the source coverage the corpus reaches in src/, from a build with clang's
# coverage mapping. Control: a model with a planted fault must be caught.

body_fuzzer_build() {  # OUTPUT EXTRA-FLAGS...
    local output=$1; shift
    clang++ -std=c++20 -g -O1 -fno-omit-frame-pointer -Wall -Wextra -Werror -Wno-#pragma-messages "$@" \
        -I "$REPO/src" -I "$CHECK_DIR" "$CHECK_DIR/body_fuzzer.cpp" "$CHECK_DIR/body_reference.cpp" \
        "$REPO"/src/primitives/*.cpp "$REPO"/src/modes/*.cpp "$REPO"/src/message/*.cpp \
        $(pkg-config --cflags --libs botan-3 libcrypto) -o "$output"
}

check_body_fuzz() {
    local build=$BUILD/body-fuzz status=0 sanitizers=(-fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined)
    command -v clang++ >/dev/null || { echo "clang++ is not installed"; return 1; }
    rm -rf "$build"
    mkdir -p "$build/corpus" "$build/coverage"
    echo "building the fuzz target with $(clang++ --version | head -n1)"
    body_fuzzer_build "$build/body_fuzzer" "${sanitizers[@]}" || return 1
    body_fuzzer_build "$build/body_fuzzer_control" "${sanitizers[@]}" -DBODY_FUZZER_CONTROL || return 1
    body_fuzzer_build "$build/body_fuzzer_coverage" -fsanitize=fuzzer -fprofile-instr-generate -fcoverage-mapping \
        || return 1

    echo "-- control: a model with a planted fault must be caught"
    if "$build/body_fuzzer_control" -max_total_time=60 -seed=1 -artifact_prefix="$build/control-" \
            "$build/corpus" "$CHECK_DIR/body-fuzzer-seeds" >"$build/control.log" 2>&1; then
        echo "the planted fault was not found in 60 s"; status=1
    elif grep -q '^body_fuzzer: ' "$build/control.log"; then
        echo "caught: $(grep -m1 '^body_fuzzer: ' "$build/control.log")"
    else
        tail -n 20 "$build/control.log"; echo "the control run failed without a finding"; status=1
    fi
    rm -rf "$build/corpus" && mkdir -p "$build/corpus"

    echo "-- ${BODY_FUZZ_SECONDS} s from the seed corpus (tools/check/body-fuzzer-seeds)"
    if ! "$build/body_fuzzer" -max_total_time="$BODY_FUZZ_SECONDS" -seed=1 -print_final_stats=1 \
            -artifact_prefix="$build/" "$build/corpus" "$CHECK_DIR/body-fuzzer-seeds" >"$build/fuzz.log" 2>&1; then
        tail -n 40 "$build/fuzz.log"; echo "the fuzz target found a fault; the input is in $build/"; status=1
    fi
    grep -E '^#[0-9]+[[:space:]]+DONE' "$build/fuzz.log" | tail -n 1
    grep -E 'stat::(number_of_executed_units|average_exec_per_sec|new_units_added|peak_rss_mb)' "$build/fuzz.log"

    echo "-- source coverage of the corpus over src/"
    (cd "$build/coverage" && LLVM_PROFILE_FILE="$build/coverage/%p.profraw" \
        "$build/body_fuzzer_coverage" -runs=0 "$build/corpus" "$CHECK_DIR/body-fuzzer-seeds" >/dev/null 2>&1) || status=1
    llvm-profdata merge -sparse "$build"/coverage/*.profraw -o "$build/coverage/merged.profdata" || return 1
    llvm-cov report "$build/body_fuzzer_coverage" -instr-profile="$build/coverage/merged.profdata" \
        -ignore-filename-regex='tools/check|/usr/' "$REPO"/src | sed "s|$REPO/||" || status=1
    return $status
}

# ---------------------------------------------------------------------------
# 7c. The allocation seam: a test-only build with Botan built in whose C++ and
# crypto-library allocations can each be made to fail
# (tests/native/allocation_seam.cpp), swept by tests/test_allocation_seam.py.
# The library's locked-memory pool is turned off, so that its key storage is
# allocated through the seam as well.

check_allocation_seam() {
    make_venv python3.14 "$SEAM_VENV" || return 1
    echo "building the module with the allocation seam into $SEAM_VENV"
    install_into "$SEAM_VENV/bin/python" -Cbuild-dir="$BUILD/seam" -Ccmake.define.ORVANECRYPTO_BOTAN=bundled \
        -Ccmake.define.ORVANECRYPTO_ALLOCATION_SEAM=ON -Ccmake.define.ORVANECRYPTO_WERROR=ON || return 1
    BOTAN_MLOCK_POOL_SIZE=0 pytest_in "$SEAM_VENV/bin/python" -q -rs tests/test_allocation_seam.py
}

# ---------------------------------------------------------------------------
# 7d. The work unpack_message does before refusing a forged message, counted
# in instructions by callgrind: the same whichever block was forged.

check_forgery_work() {
    local build=$BUILD/forgery
    command -v valgrind >/dev/null || { echo "valgrind is not installed"; return 1; }
    # A build of its own, not stripped, so that callgrind finds the entry by name.
    cmake -S "$REPO" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE="$NORMAL_PY" \
        -DORVANECRYPTO_WERROR=ON >/dev/null || return 1
    cmake --build "$build" >/dev/null || return 1
    (cd "$REPO" && PYTHONPATH=$build "$NORMAL_PY" "$CHECK_DIR/forgery_work.py")
}

# ---------------------------------------------------------------------------
# 8. The native key-material test program, through ctest.

check_native_tests() {
    # CMake only warns about an unused -D: a renamed option builds no tests,
    # and ctest passes when it finds none unless told otherwise.
    cmake -S "$REPO" -B "$BUILD/native" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DPython_EXECUTABLE="$NORMAL_PY" -DORVANECRYPTO_NATIVE_TESTS=ON -DORVANECRYPTO_WERROR=ON >/dev/null || return 1
    cmake --build "$BUILD/native" || return 1
    if ctest --test-dir "$BUILD/native" --no-tests=error -R '^renamed_probe$' >/dev/null 2>&1; then
        echo "control: a run that found no tests passed"; return 1
    fi
    echo "control: a run that finds no tests fails"
    ctest --test-dir "$BUILD/native" --no-tests=error --output-on-failure
}

# ---------------------------------------------------------------------------
# 10. clang-tidy and cppcheck over our sources.

check_static_analysis() {
    local sources status=0
    "$NORMAL_PY" "$CHECK_DIR/layers.py" "$REPO/src" || status=1
    "$NORMAL_PY" "$CHECK_DIR/layers.py" --control || { echo "control: an upward include went unnoticed"; status=1; }
    mapfile -t sources < <(cd "$REPO" && find src -name '*.cpp' | sort)
    cmake -S "$REPO" -B "$BUILD/tidy" -G Ninja -DPython_EXECUTABLE="$NORMAL_PY" \
        -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null || return 1
    echo "clang-tidy ($(clang-tidy --version | grep -o 'version [0-9.]*')) over ${#sources[@]} files, checks from .clang-tidy"
    (cd "$REPO" && printf '%s\n' "${sources[@]}" \
        | xargs -P "$(nproc)" -n 2 clang-tidy -p "$BUILD/tidy" --quiet --warnings-as-errors='*') \
        2> >(grep -v -E '^[0-9]+ warnings? generated|^Suppressed [0-9]+ warnings|^Use -header-filter|^Use -system-headers' >&2) \
        || status=1
    echo "cppcheck ($(cppcheck --version))"
    (cd "$REPO" && cppcheck --quiet --std=c++20 --language=c++ --enable=warning,style,performance,portability \
        --inline-suppr --error-exitcode=1 --check-level=exhaustive \
        --suppress=missingIncludeSystem --suppress=unmatchedSuppression \
        -I src -j "$(nproc)" --cppcheck-build-dir="$(mkdir -p "$BUILD/cppcheck" && echo "$BUILD/cppcheck")" src) \
        || status=1
    return $status
}

# ---------------------------------------------------------------------------
# 11. ThreadSanitizer on the free-threaded interpreter: the thread tests with
# an instrumented CPython 3.14t (built once, about six minutes) and the module
# built -fsanitize=thread. Zero reports may come from the module. Controls: a
# deliberate race must be reported, and the two faults only threads running
# in parallel can show (the spare cipher shared by all threads; the
# process-once values created without their lock) must be caught, by a report
# or by the failing thread test each names; a named test that is not found or
# does not run catches nothing (control: the test renamed).

TSAN_SUPPRESSIONS=$TSAN_PREFIX/share/tsan/suppressions_free_threading.txt
# The thread tests need none of CPython's test modules (_testcapi and the
# rest, a fifth of the instrumented build's time).
TSAN_CONFIGURE=(--with-thread-sanitizer --disable-test-modules)
# A stack frame in the module: its library, or one of its source files.
MODULE_FRAMES='orvanecrypto[.]cpython|/src/(core|primitives|modes|message|surface)/'

ensure_tsan_python() {
    local stamp=$TSAN_PREFIX/.orvanecrypto-source start=$SECONDS
    [[ -f $CPYTHON_SOURCE ]] || { echo "no CPython source at $CPYTHON_SOURCE (./dev check copies it there)"; return 1; }
    local want
    want="$(cat "$CPYTHON_SOURCE.sha256") ${TSAN_CONFIGURE[*]}"
    [[ -f $stamp && $(cat "$stamp") == "$want" ]] && return 0
    echo "building the ThreadSanitizer free-threaded CPython into $TSAN_PREFIX (about six minutes; log in $BUILD/tsan-cpython.log)"
    if ! bash "$REPO/tools/build-cpython.sh" "$CPYTHON_SOURCE" "$TSAN_PREFIX" "${TSAN_CONFIGURE[@]}" \
            >"$BUILD/tsan-cpython.log" 2>&1; then
        tail -n 20 "$BUILD/tsan-cpython.log"; return 1
    fi
    echo "$want" >"$stamp"
    rm -rf "$TSAN_VENV"
    echo "instrumented interpreter built in $((SECONDS - start)) s"
}

# Builds the module from a source tree ($1) with -fsanitize=thread into the venv.
install_tsan_module() {
    local source=$1 build_dir=$2
    "$TSAN_VENV/bin/python" -m pip install --quiet --no-build-isolation --no-deps --no-index \
        --disable-pip-version-check --root-user-action=ignore --force-reinstall \
        -Cbuild-dir="$build_dir" -Ccmake.build-type=RelWithDebInfo \
        "-Ccmake.define.CMAKE_CXX_FLAGS=-fsanitize=thread -fno-omit-frame-pointer" \
        "-Ccmake.define.CMAKE_MODULE_LINKER_FLAGS=-fsanitize=thread" "$source"
}

# Runs Python under the instrumented interpreter with the report log in $1;
# prints how many reports there were and how many name the module's library.
tsan_run() {
    local log=$1; shift
    rm -f "$log".*
    # exitcode=0: reports are counted from the log, and pytest's status says
    # how the tests ended. The sanitizer would end a crashed process with that
    # same status (seen: a mutant's segmentation fault read as status 0), or
    # hang symbolizing it: fatal signals keep their default action, after
    # faulthandler's traceback.
    (cd "$REPO" && TSAN_OPTIONS="suppressions=$TSAN_SUPPRESSIONS halt_on_error=0 exitcode=0 log_path=$log handle_segv=0 handle_sigbus=0 handle_abort=0 handle_sigill=0 handle_sigfpe=0" \
        ORVANECRYPTO_FUZZ_EXAMPLES=50 PYTHON_GIL=0 ${TSAN_TIME_LIMIT:+timeout --signal=KILL "$TSAN_TIME_LIMIT"} \
        "$TSAN_VENV/bin/python" "$@")
}

# LOG PATTERN: prints the number of reports and of those with a frame matching PATTERN.
tsan_counts() {
    local log=$1 pattern=$2 total=0 matching=0
    total=$(cat "$log".* 2>/dev/null | grep -c '^WARNING: ThreadSanitizer') || true
    matching=$(cat "$log".* 2>/dev/null | awk -v p="$pattern" '
        /^WARNING: ThreadSanitizer/ { inside = 1; hit = 0; next }
        inside && $0 ~ p { hit = 1 }
        inside && /^SUMMARY: ThreadSanitizer/ { matching += hit; inside = 0 }
        END { print matching + 0 }')
    echo "$total $matching"
}

# A copy of the module's sources with one change made by sed.
mutant_source() {
    local name=$1 file=$2 expression=$3 dir=$BUILD/tsan-mutants/$1
    rm -rf "$dir"; mkdir -p "$dir"
    tar -C "$REPO" --exclude=./build --exclude=./.git --exclude=./dist -cf - . | tar -C "$dir" -xf -
    sed -i "$expression" "$dir/$file"
    if cmp -s "$REPO/$file" "$dir/$file"; then echo "mutant $name: the change did not apply to $file" >&2; return 1; fi
    echo "$dir"
}

check_tsan() {
    local status=0 counts control_library mutant_dir
    ensure_tsan_python || return 1
    if [[ ! -x $TSAN_VENV/bin/python ]]; then
        "$TSAN_PREFIX/bin/python3.14t" -m venv --without-pip "$TSAN_VENV" || return 1
        "$TSAN_VENV/bin/python" -c 'import pathlib, sysconfig
(pathlib.Path(sysconfig.get_paths()["purelib"]) / "debian-dist-packages.pth").write_text("/usr/lib/python3/dist-packages\n")' || return 1
    fi

    echo "control: a deliberate race in a test-only library"
    control_library=$BUILD/tsan_control.so
    gcc -O1 -g -fsanitize=thread -fPIC -shared -o "$control_library" "$CHECK_DIR/tsan_control.c" || return 1
    tsan_run "$BUILD/tsan-control" -c '
import ctypes, sys, threading
library = ctypes.CDLL(sys.argv[1])
threads = [threading.Thread(target=library.race_on_shared_counter, args=(100000,)) for _ in range(2)]
[t.start() for t in threads]; [t.join() for t in threads]' "$control_library" || return 1
    read -r total matching <<<"$(tsan_counts "$BUILD/tsan-control" tsan_control)"
    echo "control: $total reports, $matching in the control library"
    ((matching > 0)) || { echo "control: the deliberate race was not reported"; status=1; }

    local mutant expression file tests test_limit=120 run_limit=900 attempt
    for mutant in shared-spare-cipher unlocked-process-once; do
        case $mutant in
            shared-spare-cipher) file=src/primitives/aes256.cpp
                expression='s/^thread_local std::unique_ptr<Botan::BlockCipher> spare_cipher;/std::unique_ptr<Botan::BlockCipher> spare_cipher;/'
                tests=tests/test_threads.py::test_all_functions_from_eight_threads_match_the_reference ;;
            # Without the lock, two threads create the value only if both
            # pass the null check before either stores; on a busy machine the
            # threads may run one after the other every time. The mutant
            # widens that window to 50 ms, so that the bug it models shows
            # whenever the test runs threads at once.
            unlocked-process-once) file=src/surface/once.hpp
                expression='/PyMutex_\(Lock\|Unlock\)(&mutex_);/d
                    s/^#include <atomic>$/#include <atomic>\n#include <chrono>\n#include <thread>/
                    s/^\( *\)if (object == nullptr) {$/&\n\1    std::this_thread::sleep_for(std::chrono::milliseconds(50));/'
                tests=tests/test_threads.py::test_threads_racing_for_the_values_made_once_per_process ;;
        esac
        echo "mutant $mutant ($file), caught by $tests"
        named_tests_present "$tests" || { status=1; continue; }
        mutant_dir=$(mutant_source "$mutant" "$file" "$expression") || return 1
        install_tsan_module "$mutant_dir" "$BUILD/tsan-mutant-build/$mutant" || return 1
        # A race is caught when it happens: a mutant the first run missed gets
        # two more, so that a loaded machine's other interleavings cannot
        # pass it.
        for attempt in 1 2 3; do
            local outcome=0 judged=0 events=$BUILD/pytest-$mutant.events
            # (The pytest output goes beside the reports, not under their names: tsan_run clears those.)
            # Threads sharing what they must not can also corrupt the library's
            # state and spin for ever: a test still running $test_limit s after it
            # started ends the run, which kills the mutant (the whole run's
            # limit is only a backstop: importing alone takes minutes on a busy machine).
            NAMED_TESTS_TIME_LIMIT=$test_limit TSAN_TIME_LIMIT=$run_limit recording "$events" tsan_run "$BUILD/tsan-$mutant" \
                -m pytest -p no:cacheprovider -p named_tests -q "$tests" >"$BUILD/pytest-$mutant.txt" 2>&1 \
                || outcome=$?
            tail -n 1 "$BUILD/pytest-$mutant.txt"
            read -r total matching <<<"$(tsan_counts "$BUILD/tsan-$mutant" "$MODULE_FRAMES")"
            echo "mutant $mutant, run $attempt: $total reports, $matching in the module; tests exit status $outcome"
            judge_named "$events" "$outcome" "$tests" || judged=$?
            # Killed by a report in the module, or by the named test failing; a
            # test that was not found or did not run has caught nothing.
            case $judged in
                0) ((matching > 0)) && break
                   ((attempt < 3)) || { echo "mutant $mutant: survived $attempt runs"; status=1; } ;;
                1) break ;;
                *) echo "mutant $mutant: the named test did not run, so nothing was tested"; status=1; break ;;
            esac
        done
    done

    echo "the module as it is, with the thread tests"
    install_tsan_module "$REPO" "$BUILD/tsan" || return 1
    local outcome=0 events=$BUILD/pytest-module.events
    recording "$events" tsan_run "$BUILD/tsan-module" -m pytest -p no:cacheprovider -p named_tests -q tests/test_threads.py \
        || outcome=$?
    read -r total matching <<<"$(tsan_counts "$BUILD/tsan-module" "$MODULE_FRAMES")"
    echo "module: $total reports, $matching in the module"
    judge_named "$events" "$outcome" tests/test_threads.py || status=1
    if ((matching > 0)); then
        echo "reports in the module:"; cat "$BUILD/tsan-module".* | head -n 80; status=1
    fi
    return $status
}

# ---------------------------------------------------------------------------
# 12. Constant time: no branch and no memory address computed from a secret.

# Runs constant_time.py under memcheck over the check build in $1 with the mode
# $2 (clean, control or shipped), logging to memcheck-$3.log; the remaining arguments
# are environment settings.
ct_run() {
    local build=$1 mode=$2 log=$1/memcheck-$3.log; shift 3
    (cd "$REPO" && env "$@" PYTHONMALLOC=malloc PYTHONPATH="$build" \
        valgrind --tool=memcheck --leak-check=no --num-callers=40 --trace-children=no \
            --log-file="$log" "$NORMAL_PY" "$CHECK_DIR/constant_time.py" "$build/ct_secrets.so" "$mode" "$build")
    local status=$?
    if ((status != 0)) || [[ $mode != control ]]; then
        grep -E 'ERROR SUMMARY' "$log" | sed 's/^==[0-9]*== //'
    fi
    ((status == 0)) || echo "memcheck's reports with their stacks: $log"
    return $status
}

# ct_paths BUILD WHAT LOG_PREFIX: a check build on the processor's and the
# portable AES path, then the control (a deliberate branch on the first
# secret byte, which must be reported on every path).
ct_paths() {
    local build=$1 what=$2 prefix=$3 status=0
    echo "-- ${what}the processor's AES path"
    ct_run "$build" clean "${prefix}processor-aes" || status=1
    echo "-- ${what}the portable AES path (BOTAN_CLEAR_CPUID)"
    ct_run "$build" clean "${prefix}portable-aes" BOTAN_CLEAR_CPUID=$PORTABLE_CPUID || status=1
    echo "-- ${what}control: a deliberate branch on the first secret byte must be reported on every path"
    ct_run "$build" control "${prefix}control" ORVANECRYPTO_CT_CONTROL=1 || status=1
    return $status
}

check_constant_time() {
    local build=$BUILD/ct status=0
    command -v valgrind >/dev/null || { echo "valgrind is not installed"; return 1; }
    # The module with the hooks of src/core/secrets.hpp compiled in, beside
    # the helper that marks bytes secret; normal builds have neither.
    cmake -S "$REPO" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE="$NORMAL_PY" \
        -DORVANECRYPTO_CT_CHECK=ON -DORVANECRYPTO_WERROR=ON >/dev/null || return 1
    cmake --build "$build" || return 1
    c++ -std=c++20 -O2 -shared -fPIC -o "$build/ct_secrets.so" "$CHECK_DIR/ct_secrets.cpp" || return 1
    ct_paths "$build" "" "" || status=1
    # Again with Botan built into the module, as the wheels ship it: its own
    # copy of the library, configured and compiled here.
    local bundled=$BUILD/ct-bundled
    cmake -S "$REPO" -B "$bundled" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE="$NORMAL_PY" \
        -DORVANECRYPTO_CT_CHECK=ON -DORVANECRYPTO_WERROR=ON -DORVANECRYPTO_BOTAN=bundled >/dev/null || return 1
    cmake --build "$bundled" || return 1
    cp "$build/ct_secrets.so" "$bundled/ct_secrets.so" || return 1
    ct_paths "$bundled" "Botan built in: " bundled- || status=1
    return $status
}

# The same on the shipped module's code: the check build that ./dev wheels-test
# shipped-constant-time made with the release wheel's toolchain, flags and
# Botan (ORVANECRYPTO_SHIPPED_CT_BUILD, its module alone in the directory),
# and then the shipped module itself (in ORVANECRYPTO_SHIPPED_PYTHON's venv):
# it has no hooks, so the cases that declare a decision public must be
# reported there and all others clean.
check_constant_time_shipped() {
    local build=${ORVANECRYPTO_SHIPPED_CT_BUILD:-} shipped=$BUILD/ct-shipped status=0 module
    command -v valgrind >/dev/null || { echo "valgrind is not installed"; return 1; }
    [[ -d $build ]] && compgen -G "$build/orvanecrypto.*.so" >/dev/null \
        || { echo "ORVANECRYPTO_SHIPPED_CT_BUILD names no check build; ./dev wheels-test sets it"; return 1; }
    module=$(shipped_python | sed -n 's/^shipped module: //p')
    [[ -n $module ]] || return 1
    rm -rf "$shipped"; mkdir -p "$shipped"
    cp "$module" "$shipped/" || return 1
    c++ -std=c++20 -O2 -shared -fPIC -o "$build/ct_secrets.so" "$CHECK_DIR/ct_secrets.cpp" || return 1
    cp "$build/ct_secrets.so" "$shipped/ct_secrets.so" || return 1
    ct_paths "$build" "the release build with the hooks: " release- || status=1
    echo "-- the shipped module: the processor's AES path"
    ct_run "$shipped" shipped shipped-processor-aes || status=1
    echo "-- the shipped module: the portable AES path (BOTAN_CLEAR_CPUID)"
    ct_run "$shipped" shipped shipped-portable-aes BOTAN_CLEAR_CPUID=$PORTABLE_CPUID || status=1
    return $status
}

# ---------------------------------------------------------------------------
# 13. Secrets in saved register state: the stack residue tests, whose signal
# and new-thread cases look for round keys and auth_key in register state that
# was saved after a call, on the processor's and the portable AES and SHA-256
# paths. Control: a build that leaves the vector registers as the secret code
# leaves them (ORVANECRYPTO_KEEP_VECTOR_REGISTERS), where those cases must find
# them for every function named in CONTROL_FINDS: those whose registers still
# hold a round key when they return. kdf and unpack_message leave none there
# even so (their last secret work is SHA-256, whose later rounds overwrite
# the message words), and are searched all the same.
CONTROL_FINDS="ige256_encrypt ige256_decrypt ctr256_encrypt ctr256_decrypt pack_message"

check_registers() {
    local build=$BUILD/registers-control status=0 log module
    echo "-- the module, on the processor's and the portable AES and SHA-256 paths"
    pytest_in "$NORMAL_PY" -q tests/test_stack_residue.py || status=1
    BOTAN_CLEAR_CPUID=$PORTABLE_CPUID pytest_in "$NORMAL_PY" -q tests/test_stack_residue.py || status=1
    if [[ $(uname -m) != x86_64 && $(uname -m) != aarch64 ]]; then
        echo "control: none on $(uname -m), where the crypto library's AES and SHA-256 use no vector registers"
        return $status
    fi
    cmake -S "$REPO" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE="$NORMAL_PY" \
        -DORVANECRYPTO_KEEP_VECTOR_REGISTERS=ON -DORVANECRYPTO_WERROR=ON >/dev/null || return 1
    cmake --build "$build" >/dev/null || return 1
    module=$(cd "$REPO" && PYTHONPATH=$build "$NORMAL_PY" -c 'import orvanecrypto; print(orvanecrypto.__file__)')
    [[ $module == "$build"/* ]] || { echo "control: the control build was not imported ($module)"; return 1; }
    log=$build/pytest.txt
    echo "-- control: $module"
    (cd "$REPO" && PYTHONPATH=$build "$NORMAL_PY" -m pytest -p no:cacheprovider -q -rf -k saved_registers \
        tests/test_stack_residue.py) >"$log" 2>&1
    # Said in words of its own: these failures are the control's finds, and a
    # reader of the log (or a tool that collects "FAILED" lines) must not take
    # them for the check's.
    grep -E '^FAILED|passed|failed' "$log" \
        | sed -E 's/ - .*//; /^FAILED /{s/^FAILED /control found a secret: /;b}; s/^/control run: /'
    local name
    for name in $CONTROL_FINDS; do
        grep -q "^FAILED .*saved_registers\[$name-" "$log" \
            || { echo "control: nothing of $name was found with the registers left as they are"; status=1; }
    done
    return $status
}

# ---------------------------------------------------------------------------

selected=("$@")
((${#selected[@]})) || selected=("${ALL_CHECKS[@]}")
for name in "${selected[@]}"; do
    case $name in
        asan) run_check asan "AddressSanitizer and UndefinedBehaviorSanitizer, whole suite" check_asan ;;
        debug-python) run_check debug-python "python3.14-dbg, whole suite and reference leaks" check_debug_python ;;
        portable-cpu) run_check portable-cpu "portable AES and SHA-256 (BOTAN_CLEAR_CPUID), whole suite" check_portable_cpu ;;
        portable-cpu-bundled) run_check portable-cpu-bundled "the same with Botan built into the module" check_portable_cpu_bundled ;;
        valgrind) run_check valgrind "valgrind memcheck over the seven functions' tests" check_valgrind ;;
        fuzz) run_check fuzz "fuzzing, forgery, fault injection and threads" check_fuzz ;;
        body-fuzz) run_check body-fuzz "libFuzzer over the bodies against OpenSSL, ASan and UBSan" check_body_fuzz ;;
        forgery-work) run_check forgery-work "instructions before a forged message is refused, by forged block" check_forgery_work ;;
        allocation-seam) run_check allocation-seam "every C++ and crypto-library allocation failing once" check_allocation_seam ;;
        native-tests) run_check native-tests "native key-material tests (ctest)" check_native_tests ;;
        static-analysis) run_check static-analysis "clang-tidy and cppcheck over src/" check_static_analysis ;;
        tsan) run_check tsan "ThreadSanitizer, free-threaded 3.14t, thread tests and their controls" check_tsan ;;
        constant-time) run_check constant-time "memcheck: no branch or address computed from a secret" check_constant_time ;;
        registers) run_check registers "no secret in register state saved after a call, and its control" check_registers ;;
        # On the shipped wheel, which ./dev wheels-test installs for them.
        portable-cpu-shipped) run_check portable-cpu-shipped "the same on the shipped module" check_portable_cpu_shipped ;;
        constant-time-shipped) run_check constant-time-shipped "the same on the shipped module's code" check_constant_time_shipped ;;
        *) echo "unknown check '$name'; the checks are: ${ALL_CHECKS[*]} (and, from ./dev wheels-test, portable-cpu-shipped and constant-time-shipped)" >&2; exit 2 ;;
    esac
done

printf '\n\033[1m======== summary ========\033[0m\n'
printf '%s\n' "${summary[@]}"
printf '%d passed, %d failed%s\n' "$passed" "$failed" "$( ((skipped)) && echo ", $skipped skipped")"
((failed == 0))
