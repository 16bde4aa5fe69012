// Making vaults through the public class, and the options every source takes.
#include "sources/vault_maker.hpp"

#include <cstring>

#include "frame/convert.hpp"
#include "frame/once_cell.hpp"
#include "frame/pure/binding_messages.hpp"
#include "frame/results.hpp"
#include "secret/fault.hpp"
#include "secret/leaked.hpp"

namespace hush_vault::sources {
namespace {

using frame::propagate;

struct VaultClassTag {};

Result<Ref> import_vault_class() noexcept {
    Ref module = Ref::steal(PyImport_ImportModule("hush_vault"));
    if (!module) {
        return Unexpected(VaultError::take_pending_or_system_error());
    }
    Ref type = Ref::steal(PyObject_GetAttrString(module.get(), "HushVault"));
    if (!type) {
        return Unexpected(VaultError::take_pending_or_system_error());
    }
    if (!PyType_Check(type.get())) {
        return Unexpected(
            VaultError::make(PyExc_ImportError, "hush_vault.HushVault is not the vault class"));
    }
    return type;
}

// The bytes handed to the class: nobody but us may hold it, or zeroing it would change someone
// else's object, and not zeroing it would leave the secret behind.
void zero_temporary(Ref& data, std::size_t n) noexcept {
    if (n == 0) {
        return;  // the interpreter's shared empty bytes: nothing to zero
    }
    if (Py_REFCNT(data.get()) != 1) {
        secret::internal_fault("the bytes handed to HushVault is still referenced");
    }
    secret::secure_zero(PyBytes_AS_STRING(data.get()), n);
}

}  // namespace

Result<VaultOptions> vault_options(const frame::ArgumentSpec& spec, PyObject* is_volatile,
                                   PyObject* ttl_sec) noexcept {
    Text function = frame::full_name(spec);
    auto checked_volatile = frame::argument("volatile", frame::to_bool(is_volatile), function);
    if (!checked_volatile) return propagate(checked_volatile);
    auto checked_ttl = frame::argument("ttl_sec", frame::to_optional_u64(ttl_sec), function);
    if (!checked_ttl) return propagate(checked_ttl);
    return VaultOptions{is_volatile != nullptr ? is_volatile : Py_False,
                        ttl_sec != nullptr ? ttl_sec : Py_None};
}

Result<PyObject*> vault_class() noexcept {
    return secret::leaked<frame::OnceCell, VaultClassTag>().get_or_fill(import_vault_class);
}

Result<Ref> make_vault(std::span<const std::uint8_t> secret, const VaultOptions& options) noexcept {
    auto type = vault_class();
    if (!type) return propagate(type);
    Ref data =
        Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(secret.size())));
    if (!data) {
        frame::api_call_failed();
    }
    if (!secret.empty()) {
        std::memcpy(PyBytes_AS_STRING(data.get()), secret.data(), secret.size());
    }
    PyObject* arguments[] = {data.get(), options.is_volatile, options.ttl_sec};
    Ref vault = Ref::steal(PyObject_Vectorcall(*type, arguments, 3, nullptr));
    zero_temporary(data, secret.size());
    if (!vault) {
        return Unexpected(VaultError::take_pending_or_system_error());
    }
    return vault;
}

VaultError lock_refused(const secret::LockFailure& failure) noexcept {
    auto error = VaultError::make(PyExc_RuntimeError, failure.message());
    error.add_note(secret::os::lock_limit_note(failure.code, failure.bytes));
    return error;
}

}  // namespace hush_vault::sources
