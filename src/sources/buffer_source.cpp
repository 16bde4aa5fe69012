// from_buffer: the bytes of a writable buffer become the vault, and the buffer is zeroed.
#include <span>

#include "frame/binding.hpp"
#include "frame/pure/binding_messages.hpp"
#include "frame/results.hpp"
#include "secret/memory.hpp"
#include "sources/entries.hpp"
#include "sources/specs.hpp"
#include "sources/vault_maker.hpp"

namespace hush_vault::sources {
namespace {

using frame::propagate;

// The caller's buffer while we hold it: zeroed and released on every path out, whatever the
// vault's making gave.
class ZeroedOnRelease {
  public:
    explicit ZeroedOnRelease(Py_buffer view) noexcept : view_(view) {}
    ZeroedOnRelease(const ZeroedOnRelease&) = delete;
    ZeroedOnRelease& operator=(const ZeroedOnRelease&) = delete;
    ZeroedOnRelease(ZeroedOnRelease&&) = delete;
    ZeroedOnRelease& operator=(ZeroedOnRelease&&) = delete;
    ~ZeroedOnRelease() {
        secret::secure_zero(view_.buf, static_cast<std::size_t>(view_.len));
        PyBuffer_Release(&view_);
    }
    [[nodiscard]] std::span<const std::uint8_t> bytes() const noexcept {
        return {static_cast<const std::uint8_t*>(view_.buf), static_cast<std::size_t>(view_.len)};
    }

  private:
    Py_buffer view_;
};

VaultError buffer_type_error(std::string_view text) noexcept {
    Text full = frame::full_name(from_buffer_spec);
    full += text;
    return VaultError::make(PyExc_TypeError, std::move(full));
}

// The buffer of `object`, writable and in one C-contiguous run; nothing is touched on refusal.
Result<Py_buffer> writable_view(PyObject* object) noexcept {
    if (!PyObject_CheckBuffer(object)) {
        Text text = frame::full_name(from_buffer_spec);
        text += message::not_a_buffer;
        text += Py_TYPE(object)->tp_name;
        text += '\'';
        return Unexpected(VaultError::make(PyExc_TypeError, std::move(text)));
    }
    Py_buffer view{};
    if (PyObject_GetBuffer(object, &view, PyBUF_FULL_RO) != 0) {
        return Unexpected(VaultError::take_pending_or_system_error());
    }
    if (view.readonly != 0) {
        PyBuffer_Release(&view);
        return Unexpected(buffer_type_error(message::read_only_buffer));
    }
    if (PyBuffer_IsContiguous(&view, 'C') == 0) {
        PyBuffer_Release(&view);
        return Unexpected(buffer_type_error(message::not_contiguous));
    }
    return view;
}

Result<Ref> from_buffer_call(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    const auto& spec = from_buffer_spec;
    auto bound = frame::bind_fastcall(spec, args, nargs, kwnames);
    if (!bound) return propagate(bound);
    auto options = vault_options(spec, (*bound)[1], (*bound)[2]);
    if (!options) return propagate(options);
    auto view = writable_view((*bound)[0]);
    if (!view) return propagate(view);
    ZeroedOnRelease held(*view);
    return make_vault(held.bytes(), *options);
}

}  // namespace

namespace entries {

PyObject* from_buffer(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept {
    return frame::finish(from_buffer_call(args, nargs, kwnames));
}

}  // namespace entries
}  // namespace hush_vault::sources
