// Each module belongs to the first interpreter that imports it, for the process's life.
#pragma once

#include <atomic>
#include <cstdint>

#include "frame/vault_error.hpp"

namespace hush_vault::frame {

// Binds the module whose id is `bound` (-1 until first bound) to the interpreter running this
// call, with a sequentially consistent compare-and-swap: the first interpreter to ask keeps it.
// Succeeds for that interpreter; another gets ImportError "{module} does not yet support
// sub-interpreters: ...", and `bound` is left as it was.
[[nodiscard]] Result<void> bind_to_first_interpreter(std::atomic<std::int64_t>& bound,
                                                     const char* module) noexcept;

}  // namespace hush_vault::frame
