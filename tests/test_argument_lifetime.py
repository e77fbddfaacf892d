"""Arguments stay alive until the body returns, even when the caller's own
references go away during the call.

functools.partial passes its stored arguments as borrowed references, and
partial.__setstate__ drops them. A later argument's conversion runs Python
code (an __index__, the truth slot of a NumPy-boolean look-alike), which can
do exactly that while an earlier byte view points into the dropped object."""

import functools

import pytest

import orvanecrypto
import reference

AUTH_KEY = bytes(range(256))
SESSION_ID = b"session!"
AUTH_KEY_ID = b"key-id-8"


class Tracked(bytes):
    """Bytes that note when they are freed."""

    freed = []

    def __del__(self):
        Tracked.freed.append(bytes(self))


def dropping_partial(function, *stored):
    """A partial holding the only references to `stored`, and a function that
    drops them, reporting which of them were freed at that moment."""
    holder = functools.partial(function, *stored)
    expected = [bytes(value) for value in stored]

    def drop():
        Tracked.freed.clear()
        holder.__setstate__((function, (), {}, None))
        return [value in Tracked.freed for value in expected]

    return holder, drop


def test_pack_message_keeps_data_alive_through_the_salt_conversion():
    data = Tracked(b"A" * 1000 + b"the end")
    holder, drop = dropping_partial(orvanecrypto.pack_message, data)
    del data
    seen = []

    class Salt:
        def __index__(self):
            seen.extend(drop())
            return 1

    packed = holder(Salt(), SESSION_ID, AUTH_KEY, AUTH_KEY_ID)
    assert seen == [False], "data was freed while the call still read it"
    assert Tracked.freed == [b"A" * 1000 + b"the end"], "the partial did not hold the last reference"
    plaintext = reference.open_client_message(packed, AUTH_KEY)
    assert plaintext[16:16 + 1007] == b"A" * 1000 + b"the end"


@pytest.mark.parametrize("outgoing", [True, False])
def test_kdf_keeps_both_keys_alive_through_the_flag_conversion(outgoing):
    auth_key, msg_key = Tracked(bytes(range(256))[::-1]), Tracked(b"message key 16 b")
    expected = reference.derive_key_iv(bytes(auth_key), bytes(msg_key), outgoing)
    holder, drop = dropping_partial(orvanecrypto.kdf, auth_key, msg_key)
    del auth_key, msg_key
    seen = []

    def truth(self):
        seen.extend(drop())
        return outgoing

    flag = type("bool_", (), {"__module__": "numpy", "__bool__": truth})
    result = holder(flag())
    assert seen == [False, False], "a key was freed while the call still read it"
    assert len(Tracked.freed) == 2, "the partial did not hold the last references"
    assert result == expected
