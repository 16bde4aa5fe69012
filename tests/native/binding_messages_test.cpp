// The texts of binding failures, checked against the interpreter's conventions.
#include "frame/pure/binding_messages.hpp"

#include <gtest/gtest.h>

#include <array>
#include <string_view>

namespace hush_vault::frame {
namespace {

std::string str(const Text& text) {
    return std::string(text.data(), text.size());
}

TEST(BindingMessages, TooManyChoosesItsFormByTheSpec) {
    EXPECT_EQ(str(too_many_message(verify_spec, 2)),
              "HushVault.verify() takes 1 positional arguments but 2 were given");
    EXPECT_EQ(str(too_many_message(new_spec, 4)),
              "HushVault.__new__() takes from 1 to 3 positional arguments but 4 were given");
    EXPECT_EQ(str(too_many_message(exit_spec, 4)),
              "HushVault.__exit__() takes 3 positional arguments but 4 were given");
    ArgumentSpec none{"f", "C", {}, 0, 0, 0};
    EXPECT_EQ(str(too_many_message(none, 1)), "C.f() takes 0 positional arguments but 1 was given");
    // A module function has no class; keyword-only parameters are not counted as positional.
    ArgumentSpec keywords{"f", "", {"fd", "volatile"}, 2, 1, 1};
    EXPECT_EQ(str(too_many_message(keywords, 2)),
              "f() takes 1 positional arguments but 2 were given");
}

TEST(BindingMessages, ListsJoinLikeEnglish) {
    std::array<std::string_view, 3> names{"_exc_type", "_exc_value", "_traceback"};
    EXPECT_EQ(str(quoted_list(std::span(names).first(0))), "");
    EXPECT_EQ(str(quoted_list(std::span(names).first(1))), "'_exc_type'");
    EXPECT_EQ(str(quoted_list(std::span(names).last(2))), "'_exc_value' and '_traceback'");
    EXPECT_EQ(str(quoted_list(names)), "'_exc_type', '_exc_value', and '_traceback'");
    EXPECT_EQ(str(missing_message(exit_spec, std::span(names).last(2))),
              "HushVault.__exit__() missing 2 required positional arguments: '_exc_value' and "
              "'_traceback'");
    EXPECT_EQ(str(missing_message(verify_spec, std::span(names).first(1))),
              "HushVault.verify() missing 1 required positional argument: '_exc_type'");
}

TEST(BindingMessages, KeywordAndConversionTexts) {
    EXPECT_EQ(str(unexpected_keyword_message(verify_spec, "x")),
              "HushVault.verify() got an unexpected keyword argument 'x'");
    EXPECT_EQ(str(multiple_values_message(new_spec, "data")),
              "HushVault.__new__() got multiple values for argument 'data'");
    EXPECT_EQ(str(argument_error_message("other", str(cast_error_message("str", "bytes")))),
              "argument 'other': 'str' object cannot be cast as 'bytes'");
}

}  // namespace
}  // namespace hush_vault::frame
