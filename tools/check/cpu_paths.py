"""Times AES-256 and SHA-256 in this process and prints a JSON line.

Run once normally and once with BOTAN_CLEAR_CPUID set: the digest of the
outputs must be equal, and the times show whether the crypto library really
left its AES-NI/VAES and SHA-NI code. AES is timed through the module's IGE
(one block at a time, so the instruction latency shows), and SHA-256 through
the module's kdf, which is two SHA-256 computations and a few copies. Both go
through the module because it may carry its own copy of the library: the
system's would be no measure of it.
"""

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


def kdf_sha256():
    """Seconds for 20,000 kdf calls: 40,000 single-block SHA-256 computations."""
    auth_key, msg_key, kdf = DATA[:256], DATA[256:272], orvanecrypto.kdf

    def run():
        for _ in range(20_000):
            kdf(auth_key, msg_key, True)

    return best_of(5, run)


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
    sha = kdf_sha256()

    print(json.dumps({
        "digest": outputs.hexdigest(),
        "aes": aes,
        "sha256": sha,
        "cpu_has_aes": has_aes,
        "cpu_has_sha256": has_sha256,
    }))


if __name__ == "__main__":
    main()
