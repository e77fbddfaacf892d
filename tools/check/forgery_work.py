"""Counts the instructions unpack_message executes before it refuses a forged
message, under callgrind, for a bit flipped in each of several ciphertext
blocks: the counts must be equal, since the message key is checked before any
decrypted field, so what a forged block decrypts to cannot change the work
done or the error given. Control: a message one block shorter must give
another count, which shows the measurement sees a difference of one block.

    python forgery_work.py            # runs the cases under valgrind itself
"""

import os
import re
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests"))

AUTH_KEY, SESSION_ID, AUTH_KEY_ID = bytes(range(256)), b"session!", b"key-id-8"
BLOCKS = 15  # ciphertext blocks of the message: salt and session_id, then 14 of data and padding


def forged(block, cut_last_block=False):
    import reference

    good = reference.build_server_message(bytes(200), SESSION_ID, AUTH_KEY, AUTH_KEY_ID, salt=bytes(8),
                                          padding=bytes(24))
    assert len(good) == 24 + 16 * BLOCKS
    message = bytearray(good[:-16] if cut_last_block else good)
    message[24 + 16 * block] ^= 1
    return bytes(message)


def child(block, cut):
    import orvanecrypto

    print(f"module: {orvanecrypto.__file__}", file=sys.stderr)
    try:
        orvanecrypto.unpack_message(forged(block, cut), SESSION_ID, AUTH_KEY, AUTH_KEY_ID)
    except ValueError as refused:
        print(f"refused: {refused}")


def measure(block, cut=False):
    # The arguments keep one width for every case: the process's stack starts
    # below them, and glibc's vector memset and memcpy take a few instructions
    # more or less by where a buffer falls against 32 bytes, so "7" against
    # "14" could move the stack across that boundary and change the count.
    run = subprocess.run(
        ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", "--toggle-collect=*unpack_message_entry*",
         sys.executable, __file__, "child", f"{block:02}", str(int(cut))],
        capture_output=True, text=True, env=dict(os.environ, PYTHONHASHSEED="0"))
    collected = re.search(r"Collected : (\d+)", run.stderr)
    refused = re.search(r"refused: (.*)", run.stdout)
    if run.returncode != 0 or not collected or not refused:
        sys.exit(f"callgrind run failed for block {block}:\n{run.stdout}\n{run.stderr[-2000:]}")
    return int(collected[1]), refused[1]


def main():
    counts = {}
    for block in (0, 1, 7, BLOCKS - 1):
        counts[block] = measure(block)
        print(f"bit flipped in ciphertext block {block:2}: {counts[block][0]:7} instructions, {counts[block][1]}")
    shorter = measure(3, cut=True)
    print(f"control, one block shorter:        {shorter[0]:7} instructions, {shorter[1]}")
    ok = True
    if {outcome for outcome in counts.values()} != {counts[0]}:
        print("the work before the refusal depends on which block was forged"); ok = False
    if counts[0][1] != "msg_key mismatch":
        print("a forged message was not refused by its message key"); ok = False
    if counts[0][0] == 0:
        print("callgrind found no instructions in the module's unpack_message entry"); ok = False
    if shorter[0] == counts[0][0]:
        print("control: one block less made no difference, so the count cannot tell"); ok = False
    return 0 if ok else 1


if __name__ == "__main__":
    if len(sys.argv) == 4 and sys.argv[1] == "child":
        child(int(sys.argv[2]), sys.argv[3] == "1")
    else:
        sys.exit(main())
