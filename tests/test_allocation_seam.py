"""Every allocation outside the interpreter's allocators may fail: the cipher
and hash objects of the crypto library, its key storage, the C++ strings of
internal faults, the C++ runtime's exception objects.

Runs only against the test-only build with the allocation seam
(`./dev check allocation-seam`, tests/native/allocation_seam.cpp), which can
make any one of those allocations fail. Each case of the interpreter sweep
(test_allocation_failures.py) is swept the same way: allocation n fails, for
n = 0, 1, 2, ... until the call completes untouched. A failed allocation ends
the call as MemoryError or as the case's own error, never as anything else,
never with a wrong result or a written iv or state, and leaves no block of
the seam's behind."""

import ctypes

import pytest

import orvanecrypto
from test_allocation_failures import CASES, SWEEP_LIMIT, Expected, _correct, _fresh_arguments, CTR_IV

_library = ctypes.CDLL(orvanecrypto.__file__)
if not hasattr(_library, "orvanecrypto_seam_fail_at"):
    pytest.skip("needs the test-only build with the allocation seam (./dev check allocation-seam)",
                allow_module_level=True)
_library.orvanecrypto_seam_fail_at.argtypes = (ctypes.c_long,)
_library.orvanecrypto_seam_outstanding.restype = ctypes.c_long
_library.orvanecrypto_seam_failures.restype = ctypes.c_long


def attempt(function, args, kwargs, n):
    try:
        _library.orvanecrypto_seam_fail_at(n)
        try:
            return function(*args, **kwargs), None
        finally:
            _library.orvanecrypto_seam_fail_at(-1)
    except BaseException as error:  # noqa: BLE001 - every outcome is judged below
        return None, error


def sweep(name, function, args, kwargs, expected):
    """The number of allocations the call makes through the seam, and how
    many of the failures ended as MemoryError."""
    memory_errors = 0
    for n in range(SWEEP_LIMIT):
        failures_before = _library.orvanecrypto_seam_failures()
        call_args, iv, state = _fresh_arguments(args)
        result, error = attempt(function, call_args, kwargs, n)
        if _library.orvanecrypto_seam_failures() == failures_before:
            # The call made fewer than n + 1 allocations: it ran untouched.
            assert error is None or isinstance(expected, Expected) and expected.untouched(error), \
                f"{name}: no allocation failed, yet {error!r}"
            return n, memory_errors
        where = f"{name}: seam allocation {n} failing"
        if error is None:
            assert not isinstance(expected, Expected) and _correct(expected, result), f"{where}: {result!r}"
        elif type(error) is MemoryError:
            memory_errors += 1
        else:
            assert isinstance(expected, Expected) and expected.own_error(error), \
                f"{where}: {type(error).__name__}: {error}"
        if isinstance(expected, tuple) and len(expected) == 3 and error is not None:
            assert (bytes(iv), state[0]) == (CTR_IV, 5), f"{where}: position written by a failed call"
    raise AssertionError(f"{name}: still allocating after {SWEEP_LIMIT}")


@pytest.mark.parametrize("name, function, args, kwargs, expected", CASES, ids=[case[0] for case in CASES])
def test_every_seam_allocation_of_a_call_may_fail(name, function, args, kwargs, expected):
    call_args, _, _ = _fresh_arguments(args)
    attempt(function, call_args, kwargs, -1)  # the per-thread spare objects exist after this
    before = _library.orvanecrypto_seam_outstanding()
    allocations, memory_errors = sweep(name, function, args, kwargs, expected)
    attempt(function, call_args, kwargs, -1)  # spares dropped by a failure are made again
    assert _library.orvanecrypto_seam_outstanding() == before, "blocks left behind by failed calls"
    if name.endswith("-short-auth-key") or name.endswith("-length") and expected.kind is not ValueError:
        assert allocations >= 1, "the internal fault's message allocates nothing through the seam"


def test_control_the_seam_reaches_the_crypto_library():
    # With no spare cipher object on a new thread, an IGE call must allocate
    # the library's cipher object through the seam, and failing it is a
    # MemoryError that leaves nothing behind.
    import threading

    outcomes = []

    def first_call_on_a_thread():
        before = _library.orvanecrypto_seam_outstanding()
        outcomes.append(attempt(orvanecrypto.ige256_encrypt, (bytes(32), bytes(32), bytes(32)), {}, 0))
        outcomes.append(_library.orvanecrypto_seam_outstanding() - before)

    thread = threading.Thread(target=first_call_on_a_thread)
    thread.start()
    thread.join()
    (result, error), left = outcomes
    assert result is None and type(error) is MemoryError
    assert left == 0
