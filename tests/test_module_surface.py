"""The module object, its seven functions and the execution step that makes them."""

import ctypes
import importlib
import importlib.util
import json
import os
import subprocess
import sys
import sysconfig
import types

import pytest

import orvanecrypto

# Registration order and parameter lists of the seven functions.
FUNCTIONS = {
    "ige256_encrypt": "(data, key, iv)",
    "ige256_decrypt": "(data, key, iv)",
    "ctr256_encrypt": "(data, key, iv, state)",
    "ctr256_decrypt": "(data, key, iv, state)",
    "kdf": "(auth_key, msg_key, outgoing)",
    "pack_message": "(data, salt, session_id, auth_key, auth_key_id)",
    "unpack_message": "(packed, session_id, auth_key, auth_key_id)",
}
NAMES = list(FUNCTIONS)

# Attributes the import machinery sets on every module object by itself.
IMPORT_ATTRIBUTES = {"__name__", "__doc__", "__spec__", "__loader__", "__file__", "__package__"}


def test_all_lists_the_seven_functions_in_registration_order():
    assert type(orvanecrypto.__all__) is list
    assert orvanecrypto.__all__ == NAMES
    assert all(type(name) is str for name in orvanecrypto.__all__)


def test_module_doc_is_the_empty_string():
    assert orvanecrypto.__doc__ == ""


def test_nothing_else_is_created_at_import():
    assert set(vars(orvanecrypto)) == IMPORT_ATTRIBUTES | {"__all__"} | set(NAMES)
    assert not hasattr(orvanecrypto, "PanicException")


@pytest.mark.parametrize("name", NAMES)
def test_function_object(name):
    function = getattr(orvanecrypto, name)
    assert type(function) is types.BuiltinFunctionType
    assert function.__text_signature__ == FUNCTIONS[name]
    assert function.__doc__ is None
    assert function.__module__ == orvanecrypto.__name__ == "orvanecrypto"
    assert function.__name__ == name
    assert function.__qualname__ == name
    assert function.__self__ is None


def test_reload_keeps_all_unchanged():
    before = list(orvanecrypto.__all__)
    reloaded = importlib.reload(orvanecrypto)
    assert reloaded.__all__ == before == NAMES
    assert set(vars(reloaded)) == IMPORT_ATTRIBUTES | {"__all__"} | set(NAMES)


def test_import_after_removal_makes_a_new_module_with_new_functions():
    original = sys.modules.pop("orvanecrypto")
    try:
        fresh = importlib.import_module("orvanecrypto")
        assert fresh is not original
        assert fresh.__all__ == NAMES
        assert fresh.__all__ is not original.__all__
        for name in NAMES:
            old, new = getattr(original, name), getattr(fresh, name)
            assert new is not old
            assert new.__name__ == old.__name__ == name
            assert new.__text_signature__ == FUNCTIONS[name]
        # The new functions work like the old ones.
        key, iv, data = bytes(range(32)), bytes(range(32, 64)), bytes(range(48))
        assert fresh.ige256_encrypt(data, key, iv) == original.ige256_encrypt(data, key, iv)
    finally:
        sys.modules["orvanecrypto"] = original


# --- The execution step, called directly through ctypes -----------------------

# Slot ids as the headers of the interpreter the module was built for define
# them: 3.15 renumbered the module slots (the old ids stay accepted as aliases,
# but a module built against 3.15 carries the new ones).
SLOT_IDS = {(3, 14): (2, 4), (3, 15): (85, 87)}
Py_mod_exec, Py_mod_gil = SLOT_IDS[sys.version_info[:2]]
Py_MOD_GIL_NOT_USED = 1


def _object_head_size():
    # PyObject_HEAD: refcount and type, a word each; the free-threaded build
    # has the owning thread's id, then flags, mutex and GC bits (4 bytes) and
    # the local refcount (4), then the shared refcount and the type.
    word = ctypes.sizeof(ctypes.c_void_p)
    return word + 8 + 2 * word if sysconfig.get_config_var("Py_GIL_DISABLED") else 2 * word


class PyModuleDefSlot(ctypes.Structure):
    _fields_ = [("slot", ctypes.c_int), ("value", ctypes.c_void_p)]


class PyModuleDef(ctypes.Structure):
    _fields_ = [
        ("ob_head", ctypes.c_char * _object_head_size()),
        ("m_init", ctypes.c_void_p),
        ("m_index", ctypes.c_ssize_t),
        ("m_copy", ctypes.c_void_p),
        ("m_name", ctypes.c_char_p),
        ("m_doc", ctypes.c_char_p),
        ("m_size", ctypes.c_ssize_t),
        ("m_methods", ctypes.c_void_p),
        ("m_slots", ctypes.POINTER(PyModuleDefSlot)),
        ("m_traverse", ctypes.c_void_p),
        ("m_clear", ctypes.c_void_p),
        ("m_free", ctypes.c_void_p),
    ]


def _module_definition():
    library = ctypes.PyDLL(orvanecrypto.__file__)
    init = library.PyInit_orvanecrypto
    init.restype = ctypes.c_void_p
    init.argtypes = []
    return PyModuleDef.from_address(init())


def _slots(definition):
    slots, i = [], 0
    while definition.m_slots[i].slot != 0:
        slots.append((definition.m_slots[i].slot, definition.m_slots[i].value))
        i += 1
    assert definition.m_slots[i].value is None
    return slots


@pytest.fixture(scope="module")
def definition():
    return _module_definition()


@pytest.fixture(scope="module")
def exec_address(definition):
    found = [value for slot, value in _slots(definition) if slot == Py_mod_exec]
    assert len(found) == 1
    return found[0]


@pytest.fixture(scope="module")
def module_exec(exec_address):
    # A Python-API function type: called with the GIL held, and a set error is
    # raised as soon as the call returns.
    return ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object)(exec_address)


def test_definition_fields(definition):
    assert definition.m_name == b"orvanecrypto"
    assert definition.m_doc == b""
    assert definition.m_size == 0
    assert definition.m_methods is None
    assert (definition.m_traverse, definition.m_clear, definition.m_free) == (None, None, None)


def test_slots_are_exec_then_gil_not_used(definition):
    slots = _slots(definition)
    assert [slot for slot, _ in slots] == [Py_mod_exec, Py_mod_gil]
    assert slots[1][1] == Py_MOD_GIL_NOT_USED


# A fresh interpreter's lock before anything is loaded, after the control's
# change (if offsets are given: the module's own GIL slot set to "used"
# before the import reads it), and after `import orvanecrypto`.
GIL_PROBE = """
import ctypes, importlib.util, json, sys
offsets = json.loads(sys.argv[1])
before = sys._is_gil_enabled()
if offsets:
    init = ctypes.PyDLL(importlib.util.find_spec("orvanecrypto").origin).PyInit_orvanecrypto
    init.restype = ctypes.c_void_p
    slots = ctypes.c_void_p.from_address(init() + offsets["m_slots"]).value
    ctypes.c_void_p.from_address(slots + offsets["gil_value"]).value = None  # Py_MOD_GIL_USED
changed = sys._is_gil_enabled()
import orvanecrypto
print(json.dumps([before, changed, sys._is_gil_enabled()]))
"""


@pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED"),
                    reason="only the free-threaded interpreter runs without its lock")
def test_import_leaves_the_interpreter_lock_off(definition):
    # What users see, beside the slot read above: the import does not turn
    # the lock back on, as it does (with a warning) for a module that needs it.
    gil_slot = [slot for slot, _ in _slots(definition)].index(Py_mod_gil)
    offsets = {"m_slots": PyModuleDef.m_slots.offset,
               "gil_value": gil_slot * ctypes.sizeof(PyModuleDefSlot) + PyModuleDefSlot.value.offset}
    environment = {name: value for name, value in os.environ.items() if name != "PYTHON_GIL"}

    def probe(offsets):
        run = subprocess.run([sys.executable, "-c", GIL_PROBE, json.dumps(offsets)],
                             capture_output=True, text=True, env=environment, check=True)
        return json.loads(run.stdout), run.stderr

    assert probe({}) == ([False, False, False], "")
    # Control: the same import of the same module, its slot saying it needs the lock.
    states, warning = probe(offsets)
    assert states == [False, False, True]
    assert "GIL" in warning and "'orvanecrypto'" in warning


def test_exec_fills_a_fresh_module(module_exec):
    module = types.ModuleType("fresh_probe")
    assert module_exec(module) == 0
    assert module.__all__ == NAMES
    for name in NAMES:
        function = getattr(module, name)
        assert type(function) is types.BuiltinFunctionType
        assert function is not getattr(orvanecrypto, name)
        assert function.__module__ == "fresh_probe"
        assert function.__text_signature__ == FUNCTIONS[name]
    assert module.kdf(bytes(256), bytes(16), True) == orvanecrypto.kdf(bytes(256), bytes(16), True)


def test_exec_appends_to_an_existing_all_list(module_exec):
    class ModuleSubclass(types.ModuleType):
        pass

    class ListSubclass(list):
        pass

    module = ModuleSubclass("subclass_probe")
    existing = ListSubclass(["first"])
    module.__all__ = existing
    assert module_exec(module) == 0
    assert module.__all__ is existing
    assert existing == ["first", *NAMES]


def test_exec_starts_a_list_when_reading_all_raises_an_attributeerror_subclass(module_exec):
    class Missing(AttributeError):
        pass

    class GuardedModule(types.ModuleType):
        def __getattribute__(self, name):
            if name == "__all__" and "__all__" not in vars(self):
                raise Missing(name)
            return super().__getattribute__(name)

    module = GuardedModule("attribute_error_probe")
    assert module_exec(module) == 0
    assert module.__all__ == NAMES


@pytest.mark.parametrize(
    "argument, message",
    [
        (5, "'int' object is not an instance of 'module'"),
        (None, "'None' is not an instance of 'module'"),
        ("orvanecrypto", "'str' object is not an instance of 'module'"),
    ],
    ids=["int", "None", "str"],
)
def test_exec_refuses_what_is_not_a_module(module_exec, argument, message):
    with pytest.raises(TypeError) as caught:
        module_exec(argument)
    assert caught.value.args == (message,)
    assert not hasattr(caught.value, "__notes__")


def test_exec_with_tuple_all_stops_before_adding_anything(module_exec):
    module = types.ModuleType("tuple_all_probe")
    module.__all__ = ("x",)
    with pytest.raises(TypeError) as caught:
        module_exec(module)
    assert caught.value.args == ("'tuple' object is not an instance of 'list'",)
    assert module.__all__ == ("x",)
    assert not any(hasattr(module, name) for name in NAMES)


def test_exec_failure_reaches_the_import_machinery_as_that_error():
    # Through the import system rather than ctypes, the step's return value
    # counts: 0 with an error set would become a SystemError.
    module_spec = importlib.util.spec_from_file_location("orvanecrypto", orvanecrypto.__file__)
    module = importlib.util.module_from_spec(module_spec)
    module.__all__ = ("x",)
    with pytest.raises(TypeError) as caught:
        module_spec.loader.exec_module(module)
    assert caught.value.args == ("'tuple' object is not an instance of 'list'",)


def test_exec_with_no_object_and_no_pending_error(exec_address):
    null_exec = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.c_void_p)(exec_address)
    with pytest.raises(SystemError) as caught:
        null_exec(None)
    assert caught.value.args == ("attempted to fetch exception but none was set",)


def test_exec_passes_on_an_error_reading_all(module_exec):
    class Refusing(types.ModuleType):
        def __getattribute__(self, name):
            if name == "__all__":
                raise KeyError("no __all__ for you")
            return super().__getattribute__(name)

    with pytest.raises(KeyError, match="no __all__ for you"):
        module_exec(Refusing("refusing_probe"))


def test_exec_failing_part_way_keeps_what_was_added(module_exec):
    # Each name goes into __all__ before its attribute is set, and a failure
    # stops the step without rolling anything back.
    class RefusingKdf(types.ModuleType):
        def __setattr__(self, name, value):
            if name == "kdf":
                raise RuntimeError("no kdf here")
            super().__setattr__(name, value)

    module = RefusingKdf("refusing_kdf_probe")
    with pytest.raises(RuntimeError, match="no kdf here"):
        module_exec(module)
    assert module.__all__ == NAMES[:5]
    assert [name for name in NAMES if hasattr(module, name)] == NAMES[:4]
