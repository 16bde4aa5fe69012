// The error of an environment lookup that found no value, shared by every way a vault is filled
// from the environment.
#pragma once

#include <string_view>

#include "frame/vault_error.hpp"
#include "secret/env_lookup.hpp"

namespace hush_vault::frame {

// KeyError "Env var not found", with a note naming the variable (as repr shows it) and why it
// gave no value.
[[nodiscard]] VaultError env_var_not_found(std::string_view name, secret::EnvMiss miss) noexcept;

}  // namespace hush_vault::frame
