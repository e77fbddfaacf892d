"""Argument matching, argument conversion and how failures leave a call.

Every function goes through the same frame, so most cases run across all seven.
"""

import ctypes
import itertools

import pytest

import orvanecrypto
import reference
from optional_numpy import numpy_case

PARAMETERS = {
    "ige256_encrypt": ("data", "key", "iv"),
    "ige256_decrypt": ("data", "key", "iv"),
    "ctr256_encrypt": ("data", "key", "iv", "state"),
    "ctr256_decrypt": ("data", "key", "iv", "state"),
    "kdf": ("auth_key", "msg_key", "outgoing"),
    "pack_message": ("data", "salt", "session_id", "auth_key", "auth_key_id"),
    "unpack_message": ("packed", "session_id", "auth_key", "auth_key_id"),
}
FUNCTIONS = list(PARAMETERS)

AUTH_KEY = bytes((7 * i + 3) % 256 for i in range(256))
AUTH_KEY_ID = bytes.fromhex("0102030405060708")
SESSION_ID = bytes.fromhex("a1a2a3a4a5a6a7a8")
SALT = -0x0123456789ABCDEF
PAYLOAD = bytes(range(40))
SERVER_MESSAGE = reference.build_server_message(PAYLOAD, SESSION_ID, AUTH_KEY, AUTH_KEY_ID)


def valid_arguments(function):
    """A fresh, valid argument list (the CTR byte arrays are written to)."""
    return {
        "ige256_encrypt": lambda: [PAYLOAD, bytes(range(32)), bytes(range(64, 96))],
        "ige256_decrypt": lambda: [PAYLOAD, bytes(range(32)), bytes(range(64, 96))],
        "ctr256_encrypt": lambda: [PAYLOAD, bytes(range(32)), bytearray(range(16)), bytearray(1)],
        "ctr256_decrypt": lambda: [PAYLOAD, bytes(range(32)), bytearray(range(16)), bytearray(1)],
        "kdf": lambda: [AUTH_KEY, bytes(range(16)), True],
        "pack_message": lambda: [PAYLOAD, SALT, SESSION_ID, AUTH_KEY, AUTH_KEY_ID],
        "unpack_message": lambda: [SERVER_MESSAGE, SESSION_ID, AUTH_KEY, AUTH_KEY_ID],
    }[function]()


def outcome(function, arguments, call):
    """What a call produced, comparable between calls: pack_message's output is
    random, so it is checked with the reference and reduced to its fixed parts."""
    result = call()
    if function == "pack_message":
        data, salt, session_id, auth_key, auth_key_id = arguments
        plaintext = reference.open_client_message(result, auth_key)
        assert result[:8] == auth_key_id
        assert result[8:24] == reference.msg_key_of(auth_key, plaintext, outgoing=True)
        return plaintext[:16 + len(data)]
    if function.startswith("ctr"):
        return result, bytes(arguments[2]), bytes(arguments[3])
    return result


def function_of(name):
    return getattr(orvanecrypto, name)


def replaced(arguments, index, value):
    arguments = list(arguments)
    arguments[index] = value
    return arguments


# --- Argument matching --------------------------------------------------------


@pytest.mark.parametrize("name", FUNCTIONS)
@pytest.mark.parametrize("with_unknown_keyword", [False, True])
def test_too_many_positional_arguments(name, with_unknown_keyword):
    n = len(PARAMETERS[name])
    arguments = valid_arguments(name) + [b""]
    keywords = {"nonexistent": b""} if with_unknown_keyword else {}
    with pytest.raises(TypeError) as caught:
        function_of(name)(*arguments, **keywords)
    assert caught.value.args == (f"{name}() takes {n} positional arguments but {n + 1} were given",)


def test_too_many_positional_arguments_counts_all_of_them():
    with pytest.raises(TypeError) as caught:
        orvanecrypto.kdf(*range(9), outgoing=True)
    assert caught.value.args == ("kdf() takes 3 positional arguments but 9 were given",)


@pytest.mark.parametrize("name", FUNCTIONS)
def test_keyword_names_are_case_sensitive(name):
    arguments = valid_arguments(name)
    first = PARAMETERS[name][0]
    keywords = dict(zip(PARAMETERS[name][1:], arguments[1:]))
    with pytest.raises(TypeError) as caught:
        function_of(name)(**{first.capitalize(): arguments[0]}, **keywords)
    assert caught.value.args == (f"{name}() got an unexpected keyword argument '{first.capitalize()}'",)


@pytest.mark.parametrize(
    "keyword",
    ["Key", "key ", "ke", "keys", "k\u00e9y", "\udc80", "key\x00"],
    ids=["capitalised", "trailing-space", "prefix", "longer", "non-ascii", "unencodable", "embedded-nul"],
)
def test_unexpected_keyword(keyword):
    with pytest.raises(TypeError) as caught:
        orvanecrypto.ige256_encrypt(b"", iv=bytes(32), **{keyword: bytes(32)})
    assert caught.value.args == (f"ige256_encrypt() got an unexpected keyword argument '{keyword}'",)


def test_unexpected_keyword_is_reported_before_missing_arguments():
    with pytest.raises(TypeError) as caught:
        orvanecrypto.pack_message(session=b"")
    assert caught.value.args == ("pack_message() got an unexpected keyword argument 'session'",)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: orvanecrypto.kdf(b"x", auth_key=b"y", msg_key=b"z", outgoing=True),
         "kdf() got multiple values for argument 'auth_key'"),
        (lambda: orvanecrypto.ctr256_decrypt(b"", b"", bytearray(), state=bytearray(), iv=bytearray()),
         "ctr256_decrypt() got multiple values for argument 'iv'"),
        (lambda: orvanecrypto.unpack_message(b"", b"", packed=b""),
         "unpack_message() got multiple values for argument 'packed'"),
        (lambda: orvanecrypto.pack_message(b"", 0, b"", b"", salt=0),
         "pack_message() got multiple values for argument 'salt'"),
    ],
    ids=["kdf", "ctr256_decrypt", "unpack_message", "pack_message"],
)
def test_multiple_values(call, message):
    with pytest.raises(TypeError) as caught:
        call()
    assert caught.value.args == (message,)


@pytest.mark.parametrize(
    "keywords, message",
    [
        ({"bogus": 1, "auth_key": b""}, "kdf() got an unexpected keyword argument 'bogus'"),
        ({"auth_key": b"", "bogus": 1}, "kdf() got multiple values for argument 'auth_key'"),
    ],
)
def test_keywords_are_examined_in_the_order_given(keywords, message):
    with pytest.raises(TypeError) as caught:
        orvanecrypto.kdf(b"", **keywords)
    assert caught.value.args == (message,)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: orvanecrypto.kdf(),
         "kdf() missing 3 required positional arguments: 'auth_key', 'msg_key', and 'outgoing'"),
        (lambda: orvanecrypto.kdf(b"x", b"y"), "kdf() missing 1 required positional argument: 'outgoing'"),
        (lambda: orvanecrypto.kdf(outgoing=True),
         "kdf() missing 2 required positional arguments: 'auth_key' and 'msg_key'"),
        (lambda: orvanecrypto.kdf(msg_key=b""),
         "kdf() missing 2 required positional arguments: 'auth_key' and 'outgoing'"),
        (lambda: orvanecrypto.ctr256_encrypt(b"", key=b""),
         "ctr256_encrypt() missing 2 required positional arguments: 'iv' and 'state'"),
        (lambda: orvanecrypto.ctr256_decrypt(state=bytearray()),
         "ctr256_decrypt() missing 3 required positional arguments: 'data', 'key', and 'iv'"),
        (lambda: orvanecrypto.pack_message(),
         "pack_message() missing 5 required positional arguments: "
         "'data', 'salt', 'session_id', 'auth_key', and 'auth_key_id'"),
        (lambda: orvanecrypto.pack_message(b"", session_id=b""),
         "pack_message() missing 3 required positional arguments: 'salt', 'auth_key', and 'auth_key_id'"),
        (lambda: orvanecrypto.unpack_message(b"", b"", b""),
         "unpack_message() missing 1 required positional argument: 'auth_key_id'"),
        (lambda: orvanecrypto.ige256_encrypt(iv=b""),
         "ige256_encrypt() missing 2 required positional arguments: 'data' and 'key'"),
        (lambda: orvanecrypto.ige256_decrypt(b""),
         "ige256_decrypt() missing 2 required positional arguments: 'key' and 'iv'"),
    ],
)
def test_missing_arguments(call, message):
    with pytest.raises(TypeError) as caught:
        call()
    assert caught.value.args == (message,)
    assert not hasattr(caught.value, "__notes__")


@pytest.mark.parametrize("name", FUNCTIONS)
def test_keywords_in_any_order_behave_as_positional_arguments(name):
    parameters = PARAMETERS[name]
    function = function_of(name)
    positional = valid_arguments(name)
    expected = outcome(name, positional, lambda: function(*positional))
    for order in itertools.permutations(range(len(parameters))):
        arguments = valid_arguments(name)
        keywords = {parameters[i]: arguments[i] for i in order}
        assert outcome(name, arguments, lambda: function(**keywords)) == expected, order
    # Positional first, the rest by keyword in reverse order.
    arguments = valid_arguments(name)
    rest = {parameters[i]: arguments[i] for i in reversed(range(1, len(parameters)))}
    assert outcome(name, arguments, lambda: function(arguments[0], **rest)) == expected


# --- Conversions --------------------------------------------------------------

BYTE_VIEWS = [
    (name, index, parameter)
    for name, parameters in PARAMETERS.items()
    for index, parameter in enumerate(parameters)
    if (parameter, name[:3]) not in {("iv", "ctr"), ("state", "ctr"), ("salt", "pac"), ("outgoing", "kdf")}
]
BYTEARRAYS = [(name, index, PARAMETERS[name][index]) for name in ("ctr256_encrypt", "ctr256_decrypt") for index in (2, 3)]


class Outer:
    class Thing:
        pass


def note_of(exception):
    return getattr(exception, "__notes__", None)


@pytest.mark.parametrize("name, index, parameter", BYTE_VIEWS)
@pytest.mark.parametrize(
    "value, message",
    [
        (bytearray(32), "'bytearray' object is not an instance of 'bytes'"),
        (memoryview(bytes(32)), "'memoryview' object is not an instance of 'bytes'"),
        ("x" * 32, "'str' object is not an instance of 'bytes'"),
        (None, "'None' is not an instance of 'bytes'"),
        (0, "'int' object is not an instance of 'bytes'"),
        (Outer.Thing(), "'Outer.Thing' object is not an instance of 'bytes'"),
    ],
    ids=["bytearray", "memoryview", "str", "None", "int", "qualified-name"],
)
def test_byte_view_refuses(name, index, parameter, value, message):
    arguments = replaced(valid_arguments(name), index, value)
    with pytest.raises(TypeError) as caught:
        function_of(name)(*arguments)
    assert caught.value.args == (message,)
    assert note_of(caught.value) == [f"while processing '{parameter}'"]


class BytesSubclass(bytes):
    pass


class BytearraySubclass(bytearray):
    pass


@pytest.mark.parametrize("name, index, parameter", BYTE_VIEWS)
def test_byte_view_accepts_a_bytes_subclass(name, index, parameter):
    plain = valid_arguments(name)
    expected = outcome(name, plain, lambda: function_of(name)(*plain))
    arguments = valid_arguments(name)
    arguments[index] = BytesSubclass(arguments[index])
    assert outcome(name, arguments, lambda: function_of(name)(*arguments)) == expected


@pytest.mark.parametrize("name, index, parameter", BYTEARRAYS)
@pytest.mark.parametrize(
    "make, message",
    [
        (lambda b: bytes(b), "'bytes' object is not an instance of 'bytearray'"),
        (lambda b: BytesSubclass(b), "'BytesSubclass' object is not an instance of 'bytearray'"),
        (lambda b: memoryview(b), "'memoryview' object is not an instance of 'bytearray'"),
        (lambda b: None, "'None' is not an instance of 'bytearray'"),
        (lambda b: list(b), "'list' object is not an instance of 'bytearray'"),
    ],
    ids=["bytes", "bytes-subclass", "memoryview", "None", "list"],
)
def test_bytearray_refuses(name, index, parameter, make, message):
    arguments = valid_arguments(name)
    untouched = valid_arguments(name)
    arguments[index] = make(arguments[index])
    with pytest.raises(TypeError) as caught:
        function_of(name)(*arguments)
    assert caught.value.args == (message,)
    assert note_of(caught.value) == [f"while processing '{parameter}'"]
    # The other byte array is left as it was.
    other = 5 - index
    assert arguments[other] == untouched[other]


@pytest.mark.parametrize("name, index, parameter", BYTEARRAYS)
def test_bytearray_accepts_a_subclass(name, index, parameter):
    plain = valid_arguments(name)
    expected = outcome(name, plain, lambda: function_of(name)(*plain))
    arguments = valid_arguments(name)
    arguments[index] = BytearraySubclass(arguments[index])
    assert outcome(name, arguments, lambda: function_of(name)(*arguments)) == expected
    assert type(arguments[index]) is BytearraySubclass


MSG_KEY = bytes(range(16))


@pytest.mark.parametrize(
    "flag, same_as",
    [pytest.param(True, True, id="True"), pytest.param(False, False, id="False"),
     numpy_case(lambda np: np.True_, True, id="numpy.True_"),
     numpy_case(lambda np: np.False_, False, id="numpy.False_")],
)
def test_flag_accepts(flag, same_as):
    assert orvanecrypto.kdf(AUTH_KEY, MSG_KEY, flag) == reference.derive_key_iv(AUTH_KEY, MSG_KEY, same_as)


@pytest.mark.parametrize(
    "flag, message",
    [
        pytest.param(0, "'int' object is not an instance of 'bool'", id="0"),
        pytest.param(1, "'int' object is not an instance of 'bool'", id="1"),
        pytest.param(None, "'None' is not an instance of 'bool'", id="None"),
        pytest.param(1.0, "'float' object is not an instance of 'bool'", id="float"),
        pytest.param("True", "'str' object is not an instance of 'bool'", id="str"),
        numpy_case(lambda np: np.int8(1), "'int8' object is not an instance of 'bool'", id="numpy.int8"),
        numpy_case(lambda np: np.array([True]), "'ndarray' object is not an instance of 'bool'", id="numpy.ndarray"),
    ],
)
def test_flag_refuses(flag, message):
    with pytest.raises(TypeError) as caught:
        orvanecrypto.kdf(AUTH_KEY, MSG_KEY, flag)
    assert caught.value.args == (message,)
    assert note_of(caught.value) == ["while processing 'outgoing'"]


class Complaint(Exception):
    pass


def _raise_complaint(self):
    raise Complaint("no truth here")


# Stand-ins for NumPy's boolean scalar: the flag recognises it by the type's
# module and name only.
FakeBoolWithoutTruth = type("bool_", (), {"__module__": "numpy"})
FakeBoolFalse = type("bool", (), {"__module__": "numpy", "__bool__": lambda self: False})
FakeBoolTrue = type("bool_", (), {"__module__": "numpy", "__bool__": lambda self: True})
FakeBoolRaising = type("bool_", (), {"__module__": "numpy", "__bool__": _raise_complaint})
FakeBoolWrongModule = type("bool_", (), {"__module__": "numpyx", "__bool__": lambda self: True})


@pytest.mark.parametrize("fake, same_as", [(FakeBoolFalse, False), (FakeBoolTrue, True)])
def test_flag_uses_the_truth_of_a_numpy_boolean(fake, same_as):
    assert orvanecrypto.kdf(AUTH_KEY, MSG_KEY, fake()) == orvanecrypto.kdf(AUTH_KEY, MSG_KEY, same_as)


def test_flag_numpy_boolean_without_truth_slot():
    with pytest.raises(TypeError) as caught:
        orvanecrypto.kdf(AUTH_KEY, MSG_KEY, FakeBoolWithoutTruth())
    assert str(FakeBoolWithoutTruth) == "<class 'numpy.bool_'>"
    assert caught.value.args == ("object of type '<class 'numpy.bool_'>' does not define a '__bool__' conversion",)
    assert note_of(caught.value) == ["while processing 'outgoing'"]


def test_flag_numpy_boolean_whose_truth_raises():
    with pytest.raises(Complaint) as caught:
        orvanecrypto.kdf(AUTH_KEY, MSG_KEY, FakeBoolRaising())
    assert caught.value.args == ("no truth here",)
    assert note_of(caught.value) == ["while processing 'outgoing'"]


def test_flag_numpy_boolean_whose_type_str_raises():
    class UnprintableType(type):
        def __str__(cls):
            raise Complaint("no str for the type")

    fake = UnprintableType("bool_", (), {"__module__": "numpy"})
    with pytest.raises(Complaint) as caught:
        orvanecrypto.kdf(AUTH_KEY, MSG_KEY, fake())
    assert caught.value.args == ("no str for the type",)
    assert note_of(caught.value) == ["while processing 'outgoing'"]


@pytest.mark.parametrize("module", [b"numpy", b"\x24\0\0\0\0\0\0\0\5\0\0\0\0\0\0\0AAAAAAAA", 7, None],
                         ids=["bytes numpy", "bytes shaped like a str header", "int", "None"])
def test_flag_type_whose_module_is_not_a_str(module):
    fake = type("bool_", (), {"__bool__": lambda self: True})
    fake.__module__ = module
    with pytest.raises(TypeError) as caught:
        orvanecrypto.kdf(AUTH_KEY, MSG_KEY, fake())
    assert caught.value.args == ("'bool_' object is not an instance of 'bool'",)
    assert note_of(caught.value) == ["while processing 'outgoing'"]


class StrSubclass(str):
    pass


def _renamed(field, value):
    fake = type("bool_", (), {"__module__": "numpy", "__bool__": lambda self: True})
    setattr(fake, field, value)
    return fake


@pytest.mark.parametrize("field, value", [("__module__", StrSubclass("numpy")), ("__name__", StrSubclass("bool_"))])
def test_flag_names_held_as_str_subclasses_still_name_numpy(field, value):
    # A class may hold its module and name as instances of a str subclass.
    fake = _renamed(field, value)
    assert type(getattr(fake, field)) is StrSubclass
    assert orvanecrypto.kdf(AUTH_KEY, MSG_KEY, fake()) == orvanecrypto.kdf(AUTH_KEY, MSG_KEY, True)


def test_mismatch_names_a_qualified_name_held_as_a_str_subclass():
    odd = type("Plain", (), {})
    odd.__qualname__ = StrSubclass("Odd.Name")
    with pytest.raises(TypeError) as caught:
        orvanecrypto.kdf(odd(), MSG_KEY, True)
    assert caught.value.args == ("'Odd.Name' object is not an instance of 'bytes'",)


def test_flag_type_without_a_module_name():
    # A class made where the globals have no __name__ has no __module__: the
    # lookup fails, and that failure must not outlive the NumPy test.
    namespace = {}
    exec("fake = type('bool_', (), {'__bool__': lambda self: True})", namespace)
    with pytest.raises(AttributeError):
        namespace["fake"].__module__
    with pytest.raises(TypeError) as caught:
        orvanecrypto.kdf(AUTH_KEY, MSG_KEY, namespace["fake"]())
    assert caught.value.args == ("'bool_' object is not an instance of 'bool'",)
    assert note_of(caught.value) == ["while processing 'outgoing'"]


def test_flag_other_module_is_not_numpy():
    with pytest.raises(TypeError) as caught:
        orvanecrypto.kdf(AUTH_KEY, MSG_KEY, FakeBoolWrongModule())
    assert caught.value.args == ("'bool_' object is not an instance of 'bool'",)


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def salt_written(salt):
    packed = orvanecrypto.pack_message(PAYLOAD, salt, SESSION_ID, AUTH_KEY, AUTH_KEY_ID)
    return reference.open_client_message(packed, AUTH_KEY)[:8]


@pytest.mark.parametrize(
    "salt, value",
    [pytest.param(-1, -1, id="-1"), pytest.param(True, 1, id="True"), pytest.param(False, 0, id="False"),
     pytest.param(-2**63, -2**63, id="min"), pytest.param(2**63 - 1, 2**63 - 1, id="max"),
     pytest.param(Index(-5), -5, id="__index__"), numpy_case(lambda np: np.int64(77), 77, id="numpy.int64")],
)
def test_salt_accepts(salt, value):
    assert salt_written(salt) == value.to_bytes(8, "little", signed=True)


def _as_long_long(value):
    """The interpreter's own conversion, called directly, for its exception."""
    convert = ctypes.pythonapi.PyLong_AsLongLong
    convert.argtypes = [ctypes.py_object]
    convert.restype = ctypes.c_longlong
    with pytest.raises(BaseException) as caught:
        convert(value)
    return type(caught.value), caught.value.args


@pytest.mark.parametrize(
    "salt",
    [2**63, -2**63 - 1, 2**100, Index(2**64), 1.5, "1", None, b"\x01", Index("x")],
    ids=["2**63", "-2**63-1", "2**100", "__index__-overflow", "float", "str", "None", "bytes",
         "__index__-returns-str"],
)
def test_salt_refuses_with_the_interpreters_error(salt):
    expected_type, expected_args = _as_long_long(salt)
    assert expected_type in (OverflowError, TypeError)
    with pytest.raises(expected_type) as caught:
        orvanecrypto.pack_message(PAYLOAD, salt, SESSION_ID, AUTH_KEY, AUTH_KEY_ID)
    assert type(caught.value) is expected_type
    assert caught.value.args == expected_args
    assert note_of(caught.value) == ["while processing 'salt'"]


def test_salt_index_exception_passes_with_note():
    class Raising:
        def __index__(self):
            raise Complaint("bad index")

    with pytest.raises(Complaint) as caught:
        orvanecrypto.pack_message(PAYLOAD, Raising(), SESSION_ID, AUTH_KEY, AUTH_KEY_ID)
    assert caught.value.args == ("bad index",)
    assert note_of(caught.value) == ["while processing 'salt'"]


def test_note_is_added_after_existing_notes():
    class Raising:
        def __index__(self):
            error = Complaint("noted")
            error.add_note("first")
            raise error

    with pytest.raises(Complaint) as caught:
        orvanecrypto.pack_message(PAYLOAD, Raising(), SESSION_ID, AUTH_KEY, AUTH_KEY_ID)
    assert note_of(caught.value) == ["first", "while processing 'salt'"]


def test_note_that_cannot_be_attached_is_dropped():
    class NoNotes(Exception):
        def add_note(self, note):
            raise RuntimeError("notes refused")

    class Raising:
        def __index__(self):
            raise NoNotes("the conversion's own error")

    with pytest.raises(NoNotes) as caught:
        orvanecrypto.pack_message(PAYLOAD, Raising(), SESSION_ID, AUTH_KEY, AUTH_KEY_ID)
    assert caught.value.args == ("the conversion's own error",)
    assert not hasattr(caught.value, "__notes__")


# --- Conversion order ---------------------------------------------------------


@pytest.mark.parametrize("name", FUNCTIONS)
def test_the_first_bad_argument_is_the_one_reported(name):
    # Arguments from `bad` on are all wrong; the earlier ones are good.
    parameters = PARAMETERS[name]
    for bad in range(len(parameters)):
        arguments = valid_arguments(name)
        for i in range(bad, len(parameters)):
            arguments[i] = object()
        with pytest.raises(TypeError) as caught:
            function_of(name)(*arguments)
        assert note_of(caught.value) == [f"while processing '{parameters[bad]}'"]


@pytest.mark.parametrize(
    "call, parameter",
    [
        (lambda: orvanecrypto.ige256_encrypt(b"", bytes(31), None), "iv"),
        (lambda: orvanecrypto.ige256_decrypt(bytearray(16), b"k", b"i"), "data"),
        (lambda: orvanecrypto.ctr256_encrypt(b"", bytes(5), bytes(16), bytearray(1)), "iv"),
        (lambda: orvanecrypto.ctr256_decrypt(b"", bytes(32), bytearray(3), bytes(1)), "state"),
        (lambda: orvanecrypto.kdf(b"", b"", 1), "outgoing"),
        (lambda: orvanecrypto.pack_message(b"", 0, b"", b"", bytearray(8)), "auth_key_id"),
        (lambda: orvanecrypto.unpack_message(b"", b"", b"", None), "auth_key_id"),
    ],
    ids=FUNCTIONS,
)
def test_type_errors_come_before_the_bodys_own_checks(call, parameter):
    with pytest.raises(TypeError) as caught:
        call()
    assert note_of(caught.value) == [f"while processing '{parameter}'"]


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: orvanecrypto.ige256_encrypt(b"", bytes(16), bytes(32)), "Key must be 32 bytes"),
        (lambda: orvanecrypto.ige256_decrypt(b"", bytes(32), bytes(16)), "IV must be 32 bytes"),
        (lambda: orvanecrypto.ctr256_encrypt(b"", bytes(32), bytearray(32), bytearray(1)),
         "IV must be 16 bytes"),
        (lambda: orvanecrypto.unpack_message(bytes(23), SESSION_ID, AUTH_KEY, AUTH_KEY_ID),
         "packed data too short"),
        (lambda: orvanecrypto.unpack_message(SERVER_MESSAGE, SESSION_ID, AUTH_KEY, bytes(8)),
         "auth_key_id mismatch"),
    ],
    ids=["ige-key", "ige-iv", "ctr-iv", "packed-short", "auth_key_id"],
)
def test_value_errors_of_bodies_carry_no_note(call, message):
    with pytest.raises(ValueError) as caught:
        call()
    assert type(caught.value) is ValueError
    assert caught.value.args == (message,)
    assert not hasattr(caught.value, "__notes__")


# --- Internal faults ----------------------------------------------------------


def provoke_panic():
    try:
        orvanecrypto.kdf(b"", b"", True)
    except BaseException as error:  # noqa: BLE001 - the point is what it is
        return error
    raise AssertionError("kdf with an empty auth_key did not fault")


@pytest.fixture(scope="module")
def panic_type():
    return type(provoke_panic())


def test_panic_exception_class(panic_type):
    assert panic_type.__name__ == "PanicException"
    assert panic_type.__qualname__ == "PanicException"
    assert panic_type.__module__ == "pyo3_runtime"
    assert panic_type.__bases__ == (BaseException,)
    assert not issubclass(panic_type, Exception)
    doc = panic_type.__doc__
    assert "internal fault" in doc and "BaseException" in doc
    assert type(provoke_panic()) is panic_type


def test_panic_exception_is_not_caught_as_exception():
    caught_by = None
    try:
        try:
            orvanecrypto.kdf(b"", b"", False)
        except Exception:
            caught_by = "Exception"
    except BaseException:
        caught_by = "BaseException"
    assert caught_by == "BaseException"


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: orvanecrypto.kdf(b"", b"", True), "range end index 36 out of range for slice of length 0"),
        (lambda: orvanecrypto.kdf(bytes(8), b"", False), "range end index 44 out of range for slice of length 8"),
    ],
)
def test_panic_message_and_report(capfd, panic_type, call, message):
    capfd.readouterr()
    with pytest.raises(panic_type) as caught:
        call()
    assert caught.value.args == (message,)
    assert str(caught.value) == message
    assert not hasattr(caught.value, "__notes__")
    err = capfd.readouterr().err
    assert "orvanecrypto: internal fault at src/" in err
    assert err.rstrip().endswith(message)


class Panicking:
    def __init__(self, error):
        self.error = error

    def __index__(self):
        raise self.error

    def __bool__(self):
        raise self.error


class Unprintable:
    def __str__(self):
        raise RuntimeError("cannot print")


def test_panic_from_salt_index_ends_the_call_as_a_fault(capfd, panic_type):
    capfd.readouterr()
    raised = panic_type("raised from __index__")
    with pytest.raises(panic_type) as caught:
        orvanecrypto.pack_message(PAYLOAD, Panicking(raised), SESSION_ID, AUTH_KEY, AUTH_KEY_ID)
    assert type(caught.value) is panic_type
    assert caught.value.args == ("raised from __index__",)
    assert not hasattr(caught.value, "__notes__")
    assert not hasattr(raised, "__notes__")
    err = capfd.readouterr().err
    assert "salt" in err
    assert "raised from __index__" in err
    assert "orvanecrypto: internal fault at src/" in err


def test_panic_whose_str_fails(capfd, panic_type):
    capfd.readouterr()
    with pytest.raises(panic_type) as caught:
        orvanecrypto.pack_message(PAYLOAD, Panicking(panic_type(Unprintable())), SESSION_ID, AUTH_KEY, AUTH_KEY_ID)
    assert caught.value.args == ("Unwrapped panic from Python code",)
    assert not hasattr(caught.value, "__notes__")
    assert "Unwrapped panic from Python code" in capfd.readouterr().err


def test_panic_whose_str_is_not_utf8_keeps_it(capfd, panic_type):
    capfd.readouterr()
    text = "bad \udc80 text"
    with pytest.raises(panic_type) as caught:
        orvanecrypto.pack_message(PAYLOAD, Panicking(panic_type(text)), SESSION_ID, AUTH_KEY, AUTH_KEY_ID)
    assert caught.value.args == (text,)
    assert "orvanecrypto: internal fault at src/" in capfd.readouterr().err


def test_panic_from_numpy_truth_slot(capfd, panic_type):
    capfd.readouterr()
    fake = type("bool_", (), {"__module__": "numpy", "__bool__": Panicking.__bool__, "error": None})()
    fake.error = panic_type("raised from __bool__")
    with pytest.raises(panic_type) as caught:
        orvanecrypto.kdf(AUTH_KEY, MSG_KEY, fake)
    assert caught.value.args == ("raised from __bool__",)
    assert not hasattr(caught.value, "__notes__")
    assert "raised from __bool__" in capfd.readouterr().err


def test_subclass_of_panic_is_an_ordinary_conversion_failure(panic_type):
    class Derived(panic_type):
        pass

    with pytest.raises(Derived) as caught:
        orvanecrypto.pack_message(PAYLOAD, Panicking(Derived("derived")), SESSION_ID, AUTH_KEY, AUTH_KEY_ID)
    assert caught.value.args == ("derived",)
    assert note_of(caught.value) == ["while processing 'salt'"]
