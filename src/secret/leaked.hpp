// Process-lifetime objects: built on first use in static storage and never destroyed, so that no
// destructor runs after the interpreter has shut down.
#pragma once

#include <new>

namespace hush_vault::secret {

// The one T of the calling site, constructed from args on first use (thread-safe).
template <class T, class Tag = T, class... Args>
T& leaked(Args&&... args) noexcept {
    alignas(T) static unsigned char storage[sizeof(T)];
    static T* object = ::new (static_cast<void*>(storage)) T(static_cast<Args&&>(args)...);
    return *object;
}

}  // namespace hush_vault::secret
