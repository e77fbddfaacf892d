"""Times AES-256 and SHA-256 in this process and prints a JSON line.

Run once normally and once with BOTAN_CLEAR_CPUID set: the digest of the
outputs must be equal, and the times show whether the crypto library really
left its AES-NI/VAES and SHA-NI code. AES is timed through the module's IGE
(one block at a time, so the instruction latency shows); SHA-256 through the
library's C interface in the same process, since the module hashes only short
inputs besides the payload.
"""

import ctypes
import ctypes.util
import hashlib
import json
import platform
import time

import orvanecrypto

KEY = bytes(range(32))
IV = bytes(range(100, 132))
DATA = bytes(i * 7 % 251 for i in range(1 << 18))


def best_of(runs, fn):
    best = float("inf")
    for _ in range(runs):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def botan_sha256(data):
    lib = ctypes.CDLL(ctypes.util.find_library("botan-3") or "libbotan-3.so.13")
    handle = ctypes.c_void_p()
    if lib.botan_hash_init(ctypes.byref(handle), b"SHA-256", 0) != 0:
        raise RuntimeError("botan_hash_init failed")
    out = ctypes.create_string_buffer(32)

    def run():
        lib.botan_hash_update(handle, data, ctypes.c_size_t(len(data)))
        lib.botan_hash_final(handle, out)

    seconds = best_of(5, run)
    lib.botan_hash_destroy(handle)
    return seconds, out.raw


# Where /proc/cpuinfo names the AES and SHA-256 instructions: the line that
# lists the features, and the names of the two on it.
CPUINFO_FEATURES = {
    "x86_64": ("flags", "aes", "sha_ni"),
    "aarch64": ("Features", "aes", "sha2"),
}


def cpu_features():
    """Whether /proc/cpuinfo lists the AES and the SHA-256 instructions; both
    False on a machine not in CPUINFO_FEATURES."""
    field, aes, sha256 = CPUINFO_FEATURES.get(platform.machine(), (None, None, None))
    with open("/proc/cpuinfo") as cpuinfo:
        for line in cpuinfo:
            name, _, value = line.partition(":")
            if name.strip() == field:
                features = set(value.split())
                return aes in features, sha256 in features
    return False, False


def main():
    has_aes, has_sha256 = cpu_features()

    outputs = hashlib.sha256()
    outputs.update(orvanecrypto.ige256_encrypt(DATA, KEY, IV))
    outputs.update(orvanecrypto.ige256_decrypt(DATA, KEY, IV))
    iv, state = bytearray(IV[:16]), bytearray(1)
    outputs.update(orvanecrypto.ctr256_encrypt(DATA, KEY, iv, state))
    outputs.update(bytes(iv) + bytes(state))
    for outgoing in (True, False):
        aes_key, aes_iv = orvanecrypto.kdf(DATA[:256], DATA[256:272], outgoing)
        outputs.update(aes_key + aes_iv)
    packed = bytes(8) + DATA[:16] + orvanecrypto.ige256_encrypt(DATA[:64], KEY, IV)
    try:
        orvanecrypto.unpack_message(packed, bytes(8), DATA[:256], bytes(8))
    except ValueError as error:
        outputs.update(str(error).encode())

    aes = best_of(5, lambda: orvanecrypto.ige256_encrypt(DATA, KEY, IV))
    sha, digest = botan_sha256(DATA * 8)
    outputs.update(digest)

    print(json.dumps({
        "digest": outputs.hexdigest(),
        "aes": aes,
        "sha256": sha,
        "cpu_has_aes": has_aes,
        "cpu_has_sha256": has_sha256,
    }))


if __name__ == "__main__":
    main()
