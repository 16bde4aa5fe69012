// The parameters of every function of hush_vault_sources, and the texts of the errors the module
// reports itself. Everything after the first parameter is keyword-only.
#pragma once

#include <cstdint>
#include <string_view>

#include "frame/pure/argument_spec.hpp"

namespace hush_vault::sources {

using frame::ArgumentSpec;

// clang-format off
//                              function           class  parameters                                                      n  required  positional
inline constexpr ArgumentSpec from_file_spec{      "from_file",       "", {"path",     "volatile", "ttl_sec", "strip_newline", "max_size"}, 5, 1, 1};
inline constexpr ArgumentSpec from_fd_spec{        "from_fd",         "", {"fd",       "volatile", "ttl_sec", "strip_newline", "max_size"}, 5, 1, 1};
inline constexpr ArgumentSpec from_credential_spec{"from_credential", "", {"name",     "volatile", "ttl_sec", "strip_newline", "max_size"}, 5, 1, 1};
inline constexpr ArgumentSpec pop_env_spec{        "pop_env",         "", {"var_name", "volatile", "ttl_sec"},                              3, 1, 1};
inline constexpr ArgumentSpec from_buffer_spec{    "from_buffer",     "", {"buffer",   "volatile", "ttl_sec"},                              3, 1, 1};
inline constexpr ArgumentSpec from_prompt_spec{    "from_prompt",     "", {"prompt",   "volatile", "ttl_sec"},                              3, 0, 1};
// clang-format on

// The largest secret the file sources read unless told otherwise.
inline constexpr std::uint64_t default_max_size = 65536;

// The texts of the module's own errors. Each is preceded by the function's name, "{function}()".
namespace message {
// ValueError, around the limit in bytes.
inline constexpr std::string_view too_large = " read more than max_size=";
inline constexpr std::string_view too_large_end = " bytes; nothing was kept";
// ValueError: a credential is a file directly inside the credentials directory.
inline constexpr std::string_view bad_credential_name =
    " argument 'name': a credential name is a file name: not empty, '.' or '..', and holding no "
    "path separator";
// FileNotFoundError: systemd (or the service manager) gave the process no credentials.
inline constexpr std::string_view no_credentials =
    ": this process was given no credentials: CREDENTIALS_DIRECTORY is not set";
// TypeError, followed by the type's name and "'".
inline constexpr std::string_view not_a_buffer =
    " argument 'buffer': a writable bytes-like object is required, not '";
// TypeError: the buffer could not be zeroed afterwards.
inline constexpr std::string_view read_only_buffer =
    " argument 'buffer': the buffer is read-only, so it could not be zeroed";
// TypeError: the bytes must be one run in memory.
inline constexpr std::string_view not_contiguous =
    " argument 'buffer': the buffer is not C-contiguous";
}  // namespace message

}  // namespace hush_vault::sources
