// What a vault does, given plain native values: the reveals, the comparisons, redaction and the
// environment constructor. The frame binds arguments and takes access before calling these.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "frame/py_ref.hpp"
#include "lib/vault_record.hpp"

namespace hush_vault::lib {

using frame::Ref;

// The secret as str (validated UTF-8) or bytes, after the access guard; a volatile vault is
// burned once the result exists. Caller holds exclusive access.
[[nodiscard]] Result<Ref> reveal(VaultRecord& record) noexcept;
[[nodiscard]] Result<Ref> reveal_bytes(VaultRecord& record) noexcept;

// The same once the guard has passed (the usual call's way, when passes_at_once()): the object,
// then the burn. text_of gives nothing, and burns nothing, when the bytes are not valid UTF-8.
[[nodiscard]] Ref text_of(VaultRecord& record) noexcept;
[[nodiscard]] Ref bytes_of(VaultRecord& record) noexcept;

// Asterisks for all but the last suffix_len bytes; refuses only a wiped vault. Shared access.
[[nodiscard]] Result<Ref> reveal_masked(const VaultRecord& record,
                                        std::uint64_t suffix_len) noexcept;

// Constant-time equality with candidate; a wiped vault answers false.
[[nodiscard]] bool verify(const VaultRecord& record,
                          std::span<const std::uint8_t> candidate) noexcept;

// Constant-time equality of two vaults' secrets; ValueError when either is wiped.
[[nodiscard]] Result<bool> compare(const VaultRecord& record, const VaultRecord& other) noexcept;

// TypeError "Direct equality comparison is disabled for security. Use .verify() ...".
[[nodiscard]] VaultError equality_refused() noexcept;

// "<HushVault: [REDACTED]>", for every vault in every state.
[[nodiscard]] Ref redacted_text() noexcept;

// TypeError "HushVault objects cannot be serialized (pickled) for security reasons."
[[nodiscard]] VaultError serialization_refused() noexcept;

// A live record holding the UTF-8 bytes of an environment variable; KeyError "Env var not
// found" when it is missing or not valid text. Every intermediate copy is zeroed.
[[nodiscard]] Result<VaultRecord> record_from_env(std::string_view name, bool is_volatile) noexcept;

// The module body: gives a fresh module its __all__ and the HushVault attribute.
[[nodiscard]] Result<void> add_vault_class(PyObject* module) noexcept;

}  // namespace hush_vault::lib
