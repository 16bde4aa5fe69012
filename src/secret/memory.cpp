// The one native allocation function: the process heap, or the documented end of the process.
#include "memory.hpp"

#include "fault.hpp"
#include "os.hpp"

namespace hush_vault::secret {

void* allocate(std::size_t n) noexcept {
    if (n == 0) {
        return nullptr;
    }
    void* block = os::heap_alloc(n);
    if (block == nullptr) {
        allocation_failure(n);
    }
    return block;
}

void deallocate(void* block) noexcept {
    if (block != nullptr) {
        os::heap_free(block);
    }
}

void secure_zero(void* p, std::size_t n) noexcept {
    if (p != nullptr && n != 0) {
        os::secure_zero(p, n);
    }
}

}  // namespace hush_vault::secret
