"""Times builds of the module against a baseline build in one process.

    python bench/compare_builds.py BASELINE.so CANDIDATE.so [CANDIDATE.so ...] [--rounds N] [--only TEXT] [--control]

Every file is loaded as a separate module object. Each case is timed in
alternating rounds, the order of the contenders turned round from one round
to the next, so that the machine's load and the place in a round fall on all
alike, and the best round of each is compared. Prints one line per case with
the times and each candidate's ratio to the baseline, and each candidate's
worst ratio.

With --control a private copy of the baseline's file is loaded as a third
module and timed in the same rounds: its ratio to the baseline is what this
method reports for two builds with the same code (module placement, heap
layout, noise), the spread against which a candidate's ratio is read.
"""

import argparse
import importlib.machinery
import importlib.util
import os
import shutil
import tempfile
import timeit


def load(path):
    loader = importlib.machinery.ExtensionFileLoader("orvanecrypto", path)
    module_spec = importlib.util.spec_from_file_location("orvanecrypto", path, loader=loader)
    module = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(module)
    return module


class Inputs:
    """The arguments of every case, made once and passed to all contenders:
    the speed of a call over a large buffer depends on where its input lies
    relative to the output (addresses that share their low 12 bits stall the
    processor's loads behind its stores), so the contenders must read the
    very same objects."""

    def __init__(self):
        self.key, self.iv32, self.iv16 = bytes(range(32)), bytes(range(32, 64)), bytes(16)
        self.auth_key, self.session_id, self.auth_key_id = bytes(range(256)), bytes(8), bytes(8)
        # An incoming message packed the way the server does is not at hand, so
        # unpack times a refusal after the full work: decryption and both checks.
        self.packed = self.auth_key_id + bytes(16) + bytes(256 + 32)
        self.data = {size: bytes(size) for size in (64, 256, 1024, 65536)}
        self.msg_key = bytes(16)


def cases(m, i):
    out = {}
    for size in (64, 1024, 65536):
        data = i.data[size]
        out[f"ige256_encrypt {size}"] = lambda d=data: m.ige256_encrypt(d, i.key, i.iv32)
        out[f"ige256_decrypt {size}"] = lambda d=data: m.ige256_decrypt(d, i.key, i.iv32)
        out[f"ctr256_encrypt {size}"] = lambda d=data: m.ctr256_encrypt(d, i.key, bytearray(i.iv16), bytearray(1))
    out["kdf"] = lambda: m.kdf(i.auth_key, i.msg_key, True)
    for size in (64, 256, 1024):
        data = i.data[size]
        out[f"pack_message {size}"] = lambda d=data: m.pack_message(d, 1, i.session_id, i.auth_key, i.auth_key_id)

    def unpack():
        try:
            m.unpack_message(i.packed, i.session_id, i.auth_key, i.auth_key_id)
        except ValueError:
            pass

    out["unpack_message 256 (refused)"] = unpack
    return out


def best_of(function, rounds, number):
    return min(timeit.repeat(function, number=number, repeat=1)[0] / number for _ in range(rounds))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("baseline")
    parser.add_argument("candidates", nargs="+", metavar="candidate")
    parser.add_argument("--rounds", type=int, default=15)
    parser.add_argument("--only", metavar="TEXT", help="time only the cases whose name contains TEXT")
    parser.add_argument("--control", action="store_true",
                        help="also time a copy of the baseline's file, as the method's own spread")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as scratch:
        inputs = Inputs()
        paths = [args.baseline, *args.candidates]
        labels = ["baseline"] + ([f"candidate {i}" for i in range(1, len(paths))] if len(paths) > 2 else ["candidate"])
        if args.control:
            copy = os.path.join(scratch, os.path.basename(args.baseline))
            shutil.copyfile(args.baseline, copy)
            paths.append(copy)
            labels.append("control")
        for label, path in zip(labels, paths):
            print(f"{label}: {path}")
        builds = [cases(load(path), inputs) for path in paths]
        names = [name for name in builds[0] if args.only is None or args.only in name]
        if not names:
            parser.error(f"no case contains {args.only!r}")
        print(f"{'case':32}" + "".join(f" {label:>12}" for label in labels)
              + "".join(f" {'ratio' + label[9:] if label != 'control' else 'control':>8}" for label in labels[1:]))
        worst = [0.0] * (len(builds) - 1)
        for name in names:
            number = max(1, int(0.02 / max(timeit.timeit(builds[0][name], number=3) / 3, 1e-9)))
            times = [[] for _ in builds]
            order = list(range(len(builds)))
            for _ in range(args.rounds):
                for index in order:
                    times[index].append(best_of(builds[index][name], 1, number))
                order.reverse()
            best = [min(build_times) for build_times in times]
            ratios = [t / best[0] for t in best[1:]]
            worst = [max(w, r) for w, r in zip(worst, ratios)]
            print(f"{name:32}" + "".join(f" {t * 1e9:10.0f}ns" for t in best) + "".join(f" {r:8.3f}" for r in ratios))
        for label, w in zip(labels[1:], worst):
            print(f"worst ratio{label[9:] if label != 'control' else ' of the control'}: {w:.3f}")


if __name__ == "__main__":
    main()
