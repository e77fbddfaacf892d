"""Runs every secret path of the module under valgrind memcheck with the secret
bytes marked undefined, and counts memcheck's reports per case: each one is a
branch or a memory address computed from a secret.

    valgrind ... python constant_time.py HELPER.so clean|control|shipped MODULE_DIR

`clean` fails on any report; `control` (with ORVANECRYPTO_CT_CONTROL set, which
makes the check build branch on the first secret byte) fails unless every case
that reaches a secret is reported, which proves the check sees such a branch
on each path. `shipped` is for a module built without the check's hooks, as
released: the cases where the hooks declare a decision public (whether the
message key matched, the decrypted session_id) must be reported, since there
that decision is a branch on secret bytes, and all the others must be clean.
Results are marked defined again before anything reads them, and compared with
the tests' independent reference.
"""
import ctypes
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests"))
import reference  # noqa: E402

import orvanecrypto  # noqa: E402

helper = ctypes.CDLL(sys.argv[1])
mode = sys.argv[2]
for name in ("ct_secret", "ct_public"):
    getattr(helper, name).argtypes = (ctypes.c_char_p, ctypes.c_size_t)
helper.ct_error_count.restype = ctypes.c_uint
helper.ct_on_valgrind.restype = ctypes.c_uint
helper.ct_log.argtypes = (ctypes.c_char_p,)
helper.ct_cpu_has.argtypes = (ctypes.c_char_p,)


def fresh(length: int, seed: int) -> bytes:
    """A new bytes object (never a shared cached one) of distinctive content."""
    return bytes((seed + 37 * i) % 251 for i in range(length))


def copy(value: bytes) -> bytes:
    return bytes(bytearray(value))


def secret(value: bytes) -> bytes:
    helper.ct_secret(value, len(value))
    return value


def public(value: bytes) -> bytes:
    helper.ct_public(value, len(value))
    return value


AUTH_KEY = fresh(256, 1)
AUTH_KEY_ID = fresh(8, 2)
SESSION_ID = fresh(8, 3)
KEY = fresh(32, 4)


def ige_cases():
    iv = fresh(32, 5)
    for size in (0, 16, 69):
        data = fresh(size, 6)
        for name, ref in (("ige256_encrypt", reference.ige_encrypt), ("ige256_decrypt", reference.ige_decrypt)):
            expected = ref(data, KEY, iv)

            def run(name=name, data=data, expected=expected):
                key, plain = secret(fresh(32, 4)), secret(copy(data))
                out = public(getattr(orvanecrypto, name)(plain, key, iv))
                public(key), public(plain)
                assert out == expected
            yield f"{name} {size} bytes", run


def ctr_cases():
    near_wrap = bytes(8) + (2**64 - 3).to_bytes(8, "big")
    # (bytes, counter block, bytes of it used): a partial head, a tail, whole
    # batches, and the low half of the counter wrapping inside a batch
    for size, iv, used in ((40, fresh(16, 7), 0), (30, fresh(16, 7), 5), (16 * 260 + 7, fresh(16, 8), 9),
                           (16 * 8, near_wrap, 0)):
        data = fresh(size, 9)
        expected, counter, offset = reference.ctr_crypt(data, KEY, iv, used)
        for name in ("ctr256_encrypt", "ctr256_decrypt"):
            def run(name=name, data=data, iv=iv, used=used, expected=expected, counter=counter, offset=offset):
                key, plain = secret(fresh(32, 4)), secret(copy(data))
                iv_array, state = bytearray(iv), bytearray([used])
                out = public(getattr(orvanecrypto, name)(plain, key, iv_array, state))
                public(key), public(plain)
                assert (out, bytes(iv_array), state[0]) == (expected, counter, offset)
            yield f"{name} {size} bytes from {used}", run


def kdf_cases():
    msg_key = fresh(16, 10)
    for outgoing in (True, False):
        expected = reference.derive_key_iv(AUTH_KEY, msg_key, outgoing)

        def run(outgoing=outgoing, expected=expected):
            auth_key = secret(fresh(256, 1))
            aes_key, aes_iv = orvanecrypto.kdf(auth_key, msg_key, outgoing)
            public(aes_key), public(aes_iv), public(auth_key)
            assert (aes_key, aes_iv) == expected
        yield f"kdf outgoing={outgoing}", run


def pack_cases():
    for size in (0, 100):
        data = fresh(size, 11)

        def run(data=data):
            auth_key, plain = secret(fresh(256, 1)), secret(copy(data))
            packed = public(orvanecrypto.pack_message(plain, -5, SESSION_ID, auth_key, AUTH_KEY_ID))
            public(auth_key), public(plain)
            plaintext = reference.open_client_message(packed, AUTH_KEY)
            assert packed[:8] == AUTH_KEY_ID and plaintext[8:16 + len(data)] == SESSION_ID + data
        yield f"pack_message {size} bytes", run


def unpack_cases():
    data = fresh(100, 12)
    good = reference.build_server_message(data, SESSION_ID, AUTH_KEY, AUTH_KEY_ID, salt=fresh(8, 13),
                                          padding=fresh(28, 14))
    # A changed last block decrypts to another payload under the right
    # session_id; a changed first block garbles salt and session_id. The
    # message key's check refuses both before any decrypted field is read.
    forged = bytearray(good)
    forged[-1] ^= 1
    forged_first = bytearray(good)
    forged_first[24] ^= 1
    wrong_session = reference.build_server_message(data, fresh(8, 15), AUTH_KEY, AUTH_KEY_ID)
    # (case, packed, the ValueError expected or None for success); a wrong
    # auth_key_id is refused before the authorisation key is read, and a
    # message with no ciphertext before any decision the protocol makes public.
    for label, packed, error in (("a valid message", good, None),
                                 ("an altered payload", bytes(forged), "msg_key mismatch"),
                                 ("an altered first block", bytes(forged_first), "msg_key mismatch"),
                                 ("another session", wrong_session, "session_id mismatch"),
                                 ("another auth_key_id", fresh(8, 16) + good[8:], "auth_key_id mismatch"),
                                 ("no ciphertext", good[:24], "decrypted data too short")):
        def run(packed=packed, error=error):
            auth_key = secret(fresh(256, 1))
            try:
                out = public(orvanecrypto.unpack_message(packed, SESSION_ID, auth_key, AUTH_KEY_ID))
                assert error is None and out == data + fresh(28, 14)
            except ValueError as refused:
                assert str(refused) == error, refused
            finally:
                public(auth_key)
        yield (f"unpack_message {label}", run, error != "auth_key_id mismatch",
               error in (None, "msg_key mismatch", "session_id mismatch"))


def main() -> int:
    if not helper.ct_on_valgrind():
        print("not running under valgrind")
        return 1
    module_dir = os.path.realpath(sys.argv[3])
    if os.path.dirname(os.path.realpath(orvanecrypto.__file__)) != module_dir:
        print(f"imported {orvanecrypto.__file__}, not the check build in {module_dir}")
        return 1
    features = " ".join(f"{name}={'yes' if helper.ct_cpu_has(name.encode()) else 'no'}"
                        for name in ("aes", "vaes", "avx2", "ssse3", "sha"))
    print(f"processor under valgrind: {features}; BOTAN_CLEAR_CPUID={os.environ.get('BOTAN_CLEAR_CPUID', '')}")
    cases = [*ige_cases(), *ctr_cases(), *kdf_cases(), *pack_cases(), *unpack_cases()]
    reported, reaches_secret, declassifies = [], [], []
    for label, run, *flags in cases:
        reaches_secret.append(flags[0] if flags else True)
        declassifies.append(flags[1] if flags else False)
        helper.ct_log(f"---- case: {label}".encode())
        before = helper.ct_error_count()
        run()
        count = helper.ct_error_count() - before
        print(f"{count:4} reports  {label}")
        reported.append(count > 0)
    if mode == "control":
        expected = [r for r, reaches in zip(reported, reaches_secret) if reaches]
        print(f"control: {expected.count(True)} of the {len(expected)} cases that reach a secret reported the "
              f"deliberate branch on it; {sum(reported) - expected.count(True)} other cases did")
        return 1 if not all(expected) or sum(reported) != len(expected) else 0
    if mode == "shipped":
        wrong = [label for (label, *_), r, d in zip(cases, reported, declassifies) if r != d]
        print(f"{sum(reported)} of {len(cases)} cases had reports; {sum(declassifies)} cases make a decision that "
              f"the check build declares public, and only those may have reports here")
        for label in wrong:
            print(f"unexpected: {label}")
        return 1 if wrong else 0
    print(f"{sum(reported)} of {len(cases)} cases had reports")
    return 1 if any(reported) else 0


sys.exit(main())
