"""The module's internal-fault exception class. The module does not export it,
so it is taken from a fault: an auth_key too short for the key derivation."""

import orvanecrypto


def _provoke() -> type[BaseException]:
    try:
        orvanecrypto.kdf(b"", b"", True)
    except BaseException as fault:  # noqa: BLE001 - the fault class is what we are after
        return type(fault)
    raise AssertionError("an empty auth_key did not fault")


PanicException = _provoke()
