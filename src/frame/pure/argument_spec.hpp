// ArgumentSpec: the parameters of one method, as binding and its messages see them.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

namespace hush_vault::frame {

inline constexpr std::size_t max_parameters = 5;

struct ArgumentSpec {
    std::string_view function_name;
    std::string_view class_name;
    std::array<std::string_view, max_parameters> names;  // positional-or-keyword, in order
    std::size_t count;                                   // how many of `names` are used
    std::size_t required;    // the first `required` parameters must be given
    std::size_t positional;  // the first `positional` may come by position; the rest by keyword
};

// clang-format off
//                              function        class        parameters                         n  required  positional
inline constexpr ArgumentSpec new_spec{          "__new__",      "HushVault", {"data", "volatile", "ttl_sec"},           3, 1,        3};
inline constexpr ArgumentSpec from_env_spec{     "from_env",     "HushVault", {"var_name", "volatile"},                  2, 1,        2};
inline constexpr ArgumentSpec verify_spec{       "verify",       "HushVault", {"other"},                                 1, 1,        1};
inline constexpr ArgumentSpec compare_spec{      "compare",      "HushVault", {"other"},                                 1, 1,        1};
inline constexpr ArgumentSpec reveal_masked_spec{"reveal_masked", "HushVault", {"suffix_len"},                           1, 1,        1};
inline constexpr ArgumentSpec exit_spec{         "__exit__",     "HushVault", {"_exc_type", "_exc_value", "_traceback"}, 3, 3,        3};
inline constexpr ArgumentSpec deepcopy_spec{     "__deepcopy__", "HushVault", {"_memo"},                                 1, 1,        1};
// clang-format on

}  // namespace hush_vault::frame
