// Binding a module to the first interpreter that imports it.
#include "frame/interpreter_binding.hpp"

namespace hush_vault::frame {

Result<void> bind_to_first_interpreter(std::atomic<std::int64_t>& bound,
                                       const char* module) noexcept {
    std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) {
        return Unexpected(VaultError::take_pending_or_system_error());
    }
    std::int64_t expected = -1;
    if (bound.compare_exchange_strong(expected, id) || expected == id) {
        return {};
    }
    Text message(module);
    message +=
        " does not yet support sub-interpreters: it is bound to the interpreter that imported it "
        "first";
    return Unexpected(VaultError::make(PyExc_ImportError, std::move(message)));
}

}  // namespace hush_vault::frame
