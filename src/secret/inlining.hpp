// Inlining decisions the optimiser must not revisit. cl.exe knows only its own spelling; GCC and
// Clang (clang-cl too) take the standard one.
#pragma once

#if defined(_MSC_VER)
#define HUSH_VAULT_NOINLINE __declspec(noinline)
#define HUSH_VAULT_ALWAYS_INLINE __forceinline
#else
#define HUSH_VAULT_NOINLINE [[gnu::noinline]]
#define HUSH_VAULT_ALWAYS_INLINE [[gnu::always_inline]] inline
#endif
