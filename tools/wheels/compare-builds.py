"""Speed of two builds of the module side by side, in one process: the
shipped release wheel's module against another build of the same source
(./dev wheels-test bench: the GCC build that ./dev test makes).

    python3.14 tools/wheels/compare-builds.py SHIPPED.so OTHER.so [--quick]

Each figure is the best of several repetitions, the two builds' repetitions
interleaved; the ratio is shipped / other time (above 1: the shipped build is
slower). Both modules are checked to give the same bytes first.
"""

import argparse
import importlib.machinery
import importlib.util
import os
import time


def load(path: str, alias: str):
    loader = importlib.machinery.ExtensionFileLoader("orvanecrypto", path)
    spec = importlib.util.spec_from_file_location("orvanecrypto", path, loader=loader)
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    module.__dict__["_alias"] = alias
    return module


def cases(size: int):
    key, iv = os.urandom(32), os.urandom(32)
    data = os.urandom(size)
    auth_key, salt_session = os.urandom(256), os.urandom(8)
    return {
        f"ige256_encrypt {size // 1024} KiB": lambda m: m.ige256_encrypt(data, key, iv),
        f"ige256_decrypt {size // 1024} KiB": lambda m: m.ige256_decrypt(data, key, iv),
        f"ctr256_encrypt {size // 1024} KiB": lambda m: m.ctr256_encrypt(data, key, bytearray(iv[:16]), bytearray(1)),
        f"pack_message {size // 1024} KiB": lambda m: m.pack_message(data, 1, salt_session, auth_key, salt_session),
    }


def timed(function, module, count: int) -> float:
    start = time.perf_counter()
    for _ in range(count):
        function(module)
    return (time.perf_counter() - start) / count


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("shipped")
    parser.add_argument("other")
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    shipped, other = load(args.shipped, "shipped"), load(args.other, "other")
    assert shipped is not other and shipped.__file__ != other.__file__
    repeats = 5 if args.quick else 11
    deterministic = {"ige256_encrypt", "ige256_decrypt", "ctr256_encrypt"}
    print(f"{'figure':<28} {'shipped µs':>11} {'other µs':>11} {'ratio':>7}")
    worst = 0.0
    for size in (4096, 65536, 1 << 20):
        for name, function in cases(size).items():
            if name.split()[0] in deterministic:
                assert function(shipped) == function(other), f"{name}: the builds disagree"
            count = max(1, (1 << 22) // size)
            times = {shipped: [], other: []}
            for _ in range(repeats):
                for module in (shipped, other):
                    times[module].append(timed(function, module, count))
            a, b = min(times[shipped]), min(times[other])
            worst = max(worst, a / b)
            print(f"{name:<28} {a * 1e6:>11.2f} {b * 1e6:>11.2f} {a / b:>7.3f}")
    print(f"largest ratio (shipped / other): {worst:.3f}")


if __name__ == "__main__":
    main()
