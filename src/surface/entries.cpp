// Each entry matches its arguments, converts them in parameter order (one
// declaration, so the order is fixed), and hands plain values to its body.
#include "surface/entries.hpp"

#include "message/kdf.hpp"
#include "message/messages.hpp"
#include "modes/ctr.hpp"
#include "modes/ige.hpp"
#include "surface/arguments.hpp"
#include "surface/conversions.hpp"
#include "surface/critical_section.hpp"
#include "surface/guard.hpp"
#include "surface/results.hpp"

namespace orvane {

namespace {

// The matched arguments of one call, each held by a strong reference until
// the body has returned. The caller's references are not enough: a
// conversion may run Python code (an __index__, a truth slot), and a caller
// that passes borrowed references (functools.partial) may drop its own from
// there, which would free a byte view's storage before the body reads it.
template <std::size_t N>
class Arguments {
public:
    Arguments(const CallSignature<N>& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
        : signature_(signature) {
        const std::array<PyObject*, N> slots = match_arguments(signature, args, nargs, kwnames);
        for (std::size_t i = 0; i < N; ++i) held_[i] = PyRef::hold(slots[i]);
    }
    Arguments(const Arguments&) = delete;
    Arguments& operator=(const Arguments&) = delete;
    Arguments(Arguments&&) = delete;
    Arguments& operator=(Arguments&&) = delete;
    // A thread that exits inside a conversion's Python code (pthread_exit from
    // a ctypes call, which detaches it first) unwinds through here with no
    // thread state attached. A reference count must not be touched then, so
    // the references are left to the exited thread.
    ~Arguments() {
        if (PyThreadState_GetUnchecked() == nullptr)
            for (PyRef& held : held_) (void)held.release();
    }

    ByteView bytes(std::size_t i) const { return as_byte_view(held_[i].get(), signature_.parameters[i]); }
    PyObject* bytearray(std::size_t i) const { return as_bytearray(held_[i].get(), signature_.parameters[i]); }
    std::int64_t int64(std::size_t i) const { return as_int64(held_[i].get(), signature_.parameters[i]); }
    bool flag(std::size_t i) const { return as_flag(held_[i].get(), signature_.parameters[i]); }

private:
    const CallSignature<N>& signature_;
    std::array<PyRef, N> held_;
};

template <std::size_t N, class Body>
PyObject* enter(const CallSignature<N>& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                Body body) {
    return guarded_call([&] { return body(Arguments<N>(signature, args, nargs, kwnames)); });
}

constexpr CallSignature<3> ige256_encrypt_signature{"ige256_encrypt", {"data", "key", "iv"}};
constexpr CallSignature<3> ige256_decrypt_signature{"ige256_decrypt", {"data", "key", "iv"}};
constexpr CallSignature<4> ctr256_encrypt_signature{"ctr256_encrypt", {"data", "key", "iv", "state"}};
constexpr CallSignature<4> ctr256_decrypt_signature{"ctr256_decrypt", {"data", "key", "iv", "state"}};
constexpr CallSignature<3> kdf_signature{"kdf", {"auth_key", "msg_key", "outgoing"}};
constexpr CallSignature<5> pack_message_signature{"pack_message",
                                                  {"data", "salt", "session_id", "auth_key", "auth_key_id"}};
constexpr CallSignature<4> unpack_message_signature{"unpack_message",
                                                    {"packed", "session_id", "auth_key", "auth_key_id"}};

PyRef ctr_body(const Arguments<4>& a) {
    const ByteView data = a.bytes(0), key = a.bytes(1);
    PyObject *const iv = a.bytearray(2), *const state = a.bytearray(3);
    BytesOutput output;
    // From the first read of `iv` and `state` to the write-back, no other
    // thread may resize them: the write-back goes to the storage read here.
    const CriticalSection2 position_locked(iv, state);
    ctr256_crypt(data, key, bytearray_storage(iv), bytearray_storage(state), output);
    return output.take();
}

}  // namespace

PyObject* ige256_encrypt_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return enter(ige256_encrypt_signature, args, nargs, kwnames, [](const Arguments<3>& a) {
        const ByteView data = a.bytes(0), key = a.bytes(1), iv = a.bytes(2);
        BytesOutput output;
        ige256_encrypt(data, key, iv, output);
        return output.take();
    });
}

PyObject* ige256_decrypt_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return enter(ige256_decrypt_signature, args, nargs, kwnames, [](const Arguments<3>& a) {
        const ByteView data = a.bytes(0), key = a.bytes(1), iv = a.bytes(2);
        BytesOutput output;
        ige256_decrypt(data, key, iv, output);
        return output.take();
    });
}

PyObject* ctr256_encrypt_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return enter(ctr256_encrypt_signature, args, nargs, kwnames, ctr_body);
}

PyObject* ctr256_decrypt_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return enter(ctr256_decrypt_signature, args, nargs, kwnames, ctr_body);
}

PyObject* kdf_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return enter(kdf_signature, args, nargs, kwnames, [](const Arguments<3>& a) {
        const ByteView auth_key = a.bytes(0), msg_key = a.bytes(1);
        const bool outgoing = a.flag(2);
        return key_iv_pair(derive_key_iv(auth_key, msg_key, outgoing));
    });
}

PyObject* pack_message_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return enter(pack_message_signature, args, nargs, kwnames, [](const Arguments<5>& a) {
        const ByteView data = a.bytes(0);
        const std::int64_t salt = a.int64(1);
        const ByteView session_id = a.bytes(2), auth_key = a.bytes(3), auth_key_id = a.bytes(4);
        BytesOutput output;
        pack_message(data, salt, session_id, auth_key, auth_key_id, output);
        return output.take();
    });
}

PyObject* unpack_message_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return enter(unpack_message_signature, args, nargs, kwnames, [](const Arguments<4>& a) {
        const ByteView packed = a.bytes(0), session_id = a.bytes(1), auth_key = a.bytes(2),
                       auth_key_id = a.bytes(3);
        BytesOutput output;
        unpack_message(packed, session_id, auth_key, auth_key_id, output);
        return output.take();
    });
}

}  // namespace orvane
