// The texts of binding and conversion failures. Built only when a call fails.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include "frame/pure/argument_spec.hpp"
#include "secret/memory.hpp"

namespace hush_vault::frame {

using secret::Text;

// "{class}.{function}()", or "{function}()" for a module function (no class)
[[nodiscard]] Text full_name(const ArgumentSpec& spec);

// "{func} takes {max} positional arguments but {given} {was} given", or with
// "from {required} to {max}" when some parameters are optional.
[[nodiscard]] Text too_many_message(const ArgumentSpec& spec, std::size_t given);

// "{func} got an unexpected keyword argument '{name}'"
[[nodiscard]] Text unexpected_keyword_message(const ArgumentSpec& spec, std::string_view name);

// "{func} got multiple values for argument '{name}'"
[[nodiscard]] Text multiple_values_message(const ArgumentSpec& spec, std::string_view name);

// "{func} missing {n} required positional argument(s): {list}"
[[nodiscard]] Text missing_message(const ArgumentSpec& spec,
                                   std::span<const std::string_view> missing);

// Names in single quotes: "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
[[nodiscard]] Text quoted_list(std::span<const std::string_view> names);

// "argument '{name}': {inner}"
[[nodiscard]] Text argument_error_message(std::string_view name, std::string_view inner);

// "'{from}' object cannot be cast as '{to}'"
[[nodiscard]] Text cast_error_message(std::string_view from, std::string_view to);

}  // namespace hush_vault::frame
