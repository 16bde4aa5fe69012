// The binding of every HushVault slot and method: arguments, self, access, conversions in their
// order, then the vault operation. Guards live in the inner function so that they are released
// before finish() returns the result or raises the error.
#include "frame/vault_entries.hpp"

#include <optional>

#include "frame/access.hpp"
#include "frame/binding.hpp"
#include "frame/convert.hpp"
#include "frame/results.hpp"
#include "frame/vault_type.hpp"
#include "lib/operations.hpp"
#include "secret/fault.hpp"

namespace hush_vault::frame::entries {
namespace {

// The usual construction, HushVault(b"..."): one bytes by position, nothing else, so that binding
// and the conversions cannot fail and their defaults hold.
bool is_usual_construction(PyObject* args, PyObject* kwargs) noexcept {
    return kwargs == nullptr && PyTuple_GET_SIZE(args) == 1 &&
           PyBytes_Check(PyTuple_GET_ITEM(args, 0));
}

Result<Ref> construct_usual(PyTypeObject* type, PyObject* args) noexcept {
    if (auto warned = warn_of_unlocked_pages(); !warned) return propagate(warned);
    auto record = lib::make_record(bytes_view(PyTuple_GET_ITEM(args, 0)), false, std::nullopt);
    if (!record) return propagate(record);
    return new_vault(type, std::move(*record));
}

Result<Ref> construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    auto bound = bind_tuple(new_spec, args, kwargs);
    if (!bound) return propagate(bound);
    auto data = argument("data", to_bytes((*bound)[0]));
    if (!data) return propagate(data);
    auto is_volatile = argument("volatile", to_bool((*bound)[1]));
    if (!is_volatile) return propagate(is_volatile);
    auto ttl_sec = argument("ttl_sec", to_optional_u64((*bound)[2]));
    if (!ttl_sec) return propagate(ttl_sec);
    if (auto warned = warn_of_unlocked_pages(); !warned) return propagate(warned);
    auto record = lib::make_record(*data, *is_volatile, *ttl_sec);
    if (!record) return propagate(record);
    return new_vault(type, std::move(*record));
}

Result<Ref> construct_from_env(PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) noexcept {
    auto bound = bind_fastcall(from_env_spec, args, nargs, kwnames);
    if (!bound) return propagate(bound);
    auto name = argument("var_name", to_text((*bound)[0]));
    if (!name) return propagate(name);
    auto is_volatile = argument("volatile", to_bool((*bound)[1]));
    if (!is_volatile) return propagate(is_volatile);
    if (auto warned = warn_of_unlocked_pages(); !warned) return propagate(warned);
    auto record = lib::record_from_env(*name, *is_volatile);
    if (!record) return propagate(record);
    return new_vault(vault_type_for_call(), std::move(*record));
}

Result<Ref> verify_call(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept {
    auto bound = bind_fastcall(verify_spec, args, nargs, kwnames);
    if (!bound) return propagate(bound);
    auto access = SharedAccess::take(self);
    if (!access) return propagate(access);
    auto other = argument("other", to_bytes((*bound)[0]));
    if (!other) return propagate(other);
    return new_bool(lib::verify(access->record(), *other));
}

Result<Ref> compare_call(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) noexcept {
    auto bound = bind_fastcall(compare_spec, args, nargs, kwnames);
    if (!bound) return propagate(bound);
    auto access = SharedAccess::take(self);
    if (!access) return propagate(access);
    auto other = argument("other", SharedAccess::take((*bound)[0], /*hold=*/true));
    if (!other) return propagate(other);
    auto equal = lib::compare(access->record(), other->record());
    if (!equal) return propagate(equal);
    return new_bool(*equal);
}

Result<Ref> reveal_masked_call(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) noexcept {
    auto bound = bind_fastcall(reveal_masked_spec, args, nargs, kwnames);
    if (!bound) return propagate(bound);
    auto access = SharedAccess::take(self);
    if (!access) return propagate(access);
    auto suffix_len = argument("suffix_len", to_u64((*bound)[0]));
    if (!suffix_len) return propagate(suffix_len);
    return lib::reveal_masked(access->record(), *suffix_len);
}

// The wipe of wipe_py and __exit__, before any warning of unlocked pages is delivered: a warning
// turned into an error must not leave the secret readable.
Result<void> wipe_unwarned(PyObject* self) noexcept {
    auto access = ExclusiveAccess::take_unwarned(self);
    if (!access) return propagate(access);
    access->record().wipe();
    return {};
}

Result<Ref> wipe_call(PyObject* self) noexcept {
    if (auto wiped = wipe_unwarned(self); !wiped) return propagate(wiped);
    if (auto warned = warn_of_unlocked_pages(); !warned) return propagate(warned);
    return new_none();
}

Result<Ref> exit_call(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept {
    auto bound = bind_fastcall(exit_spec, args, nargs, kwnames);
    if (!bound) return propagate(bound);
    if (auto wiped = wipe_unwarned(self); !wiped) return propagate(wiped);
    auto warned = warn_of_unlocked_pages();
    if (!warned && (*bound)[1] != Py_None) {
        // The block's own exception goes on: a warning turned into an error would replace it,
        // so it is reported as unraisable instead.
        std::move(warned).error().raise();
        PyErr_WriteUnraisable(self);
        return new_none();
    }
    if (!warned) return propagate(warned);
    return new_none();
}

Result<Ref> deepcopy_call(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) noexcept {
    auto bound = bind_fastcall(deepcopy_spec, args, nargs, kwnames);
    if (!bound) return propagate(bound);
    auto access = SharedAccess::take(self);
    if (!access) return propagate(access);
    return Unexpected(lib::serialization_refused());
}

template <class Operation>
Result<Ref> with_exclusive(PyObject* self, Operation operation) noexcept {
    if (auto usual = ExclusiveAccess::try_take(self)) {
        return operation(usual->record());
    }
    auto access = ExclusiveAccess::take(self);
    if (!access) return propagate(access);
    return operation(access->record());
}

template <class Operation>
Result<Ref> with_shared(PyObject* self, Operation operation) noexcept {
    if (auto usual = SharedAccess::try_take(self)) {
        return operation(usual->record());
    }
    auto access = SharedAccess::take(self);
    if (!access) return propagate(access);
    return operation(access->record());
}

}  // namespace

PyObject* vault_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    // Decided before any Result exists, so that the usual call's result is not moved out of a
    // wrapper on its way out.
    if (is_usual_construction(args, kwargs)) {
        return finish(construct_usual(type, args));
    }
    return finish(construct(type, args, kwargs));
}

PyObject* vault_repr(PyObject* self) noexcept {
    return finish(with_shared(
        self, [](const lib::VaultRecord&) -> Result<Ref> { return lib::redacted_text(); }));
}

PyObject* vault_richcompare(PyObject* self, PyObject* other, int op) noexcept {
    switch (op) {
        case Py_EQ: {
            // Only a vault that cannot be read now (exclusively borrowed) leaves the question to
            // the other operand. Any other failure, such as a warning turned into an error, must
            // reach the caller, or the interpreter would answer the comparison by identity.
            auto vault = check_vault(self);
            if (!vault) {
                std::move(vault).error().raise();
                return nullptr;
            }
            if (!(*vault)->borrow.take_shared()) {
                Py_RETURN_NOTIMPLEMENTED;
            }
            (*vault)->borrow.release_shared();
            lib::equality_refused().raise();
            return nullptr;
        }
        case Py_NE: {
            Ref equal = Ref::steal(PyObject_RichCompare(self, other, Py_EQ));
            if (!equal) {
                return nullptr;
            }
            int truth = PyObject_IsTrue(equal.get());
            if (truth < 0) {
                return nullptr;
            }
            return new_bool(truth == 0).release();
        }
        case Py_LT:
        case Py_LE:
        case Py_GT:
        case Py_GE:
            Py_RETURN_NOTIMPLEMENTED;
        default:
            secret::internal_fault("invalid compareop");
    }
}

PyObject* from_env(PyObject* /*cls*/, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames) noexcept {
    return finish(construct_from_env(args, nargs, kwnames));
}

PyObject* verify(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames) noexcept {
    // The usual call, v.verify(b"..."), cannot fail: it answers without binding or Result. Any
    // other call takes the general path, whose checks report failures in their order.
    if (nargs == 1 && kwnames == nullptr && PyBytes_Check(args[0])) {
        if (auto usual = SharedAccess::try_take(self)) {
            return new_bool(lib::verify(usual->record(), bytes_view(args[0]))).release();
        }
    }
    return finish(verify_call(self, args, nargs, kwnames));
}

PyObject* reveal_masked(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept {
    return finish(reveal_masked_call(self, args, nargs, kwnames));
}

PyObject* compare(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                  PyObject* kwnames) noexcept {
    return finish(compare_call(self, args, nargs, kwnames));
}

PyObject* exit(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
               PyObject* kwnames) noexcept {
    return finish(exit_call(self, args, nargs, kwnames));
}

PyObject* deepcopy(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames) noexcept {
    return finish(deepcopy_call(self, args, nargs, kwnames));
}

PyObject* reveal(PyObject* self, PyObject* /*unused*/) noexcept {
    // The usual call, on a live vault without a time to live: its guard cannot fail, and valid
    // text goes back without a Result. Anything else takes the general path, checks in order.
    if (auto usual = ExclusiveAccess::try_take(self); usual && usual->record().passes_at_once()) {
        if (Ref text = lib::text_of(usual->record())) {
            return text.release();
        }
    }
    return finish(
        with_exclusive(self, [](lib::VaultRecord& record) { return lib::reveal(record); }));
}

PyObject* reveal_bytes(PyObject* self, PyObject* /*unused*/) noexcept {
    if (auto usual = ExclusiveAccess::try_take(self); usual && usual->record().passes_at_once()) {
        return lib::bytes_of(usual->record()).release();
    }
    return finish(
        with_exclusive(self, [](lib::VaultRecord& record) { return lib::reveal_bytes(record); }));
}

PyObject* wipe_py(PyObject* self, PyObject* /*unused*/) noexcept {
    if (auto usual = ExclusiveAccess::try_take(self)) {
        usual->record().wipe();
        return new_none().release();
    }
    return finish(wipe_call(self));
}

PyObject* enter(PyObject* self, PyObject* /*unused*/) noexcept {
    auto access = SharedAccess::take_unwarned(self);
    if (!access) return finish(propagate(access));
    return Ref::borrow(self).release();
}

PyObject* getstate(PyObject* self, PyObject* /*unused*/) noexcept {
    return finish(with_shared(self, [](const lib::VaultRecord&) -> Result<Ref> {
        return Unexpected(lib::serialization_refused());
    }));
}

}  // namespace hush_vault::frame::entries
